// The device item's property collection: the static properties read once at construction and
// the dynamic groups re-read on request. Every read has a status of its own that is checked
// right after it (a failure throws qoerr::Exception), except where a comment says otherwise.
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>

#include <boost/regex.hpp>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator.h"
#include "source/Constants.h"
#include "source/tNextVorlixItem.h"
#include "sysapicpp/HResultException.h"

namespace VorlixSysapiExpert {

using nQOVORLIXATOMICSAE_23_3::kComponentName;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tDeviceInterfaceIterator;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

namespace {

// Attributes of the enumeration library.
constexpr std::uint32_t kAttributeProduct = 2;
constexpr std::uint32_t kAttributeVendor = 3;
constexpr std::uint32_t kAttributeSerial = 4;
constexpr std::uint32_t kAttributeDescription = 5;
constexpr std::uint32_t kAttributePciBus = 10;
constexpr std::uint32_t kAttributePciDevice = 11;
constexpr std::uint32_t kAttributePciFunction = 12;
constexpr std::uint32_t kAttributeChassisSlot = 0x1C;
constexpr std::uint32_t kAttributeBusType = 0x1E;
constexpr std::uint32_t kAttributeSupported = 0x4A;
constexpr std::size_t kDescriptionCapacity = 256;

// The status of a board whose interface entry is missing from the driver's tree.
constexpr std::int64_t kNoInterfaceEntry = -52006;
constexpr char kConstantsSource[] = "source/Constants";
constexpr int kLineNoInterfaceEntry = 151;

constexpr char kSensorName[] = "FPGA Temperature";
constexpr std::uint32_t kUnreadableModule = 0xFFFFFFFFu;
constexpr std::uint8_t kUnreadableRevision = 255;

struct tSensorReading {
  std::string name;
  double reading;
  double lowerLimit;
  double upperLimit;
  std::int32_t state;
};

struct tFanReading {
  std::string name;
  std::uint32_t speed;
  std::int32_t state;
};

std::string hex8(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// A 4-byte bus property of the iterator's current entry, preset to `preset`; checked.
template <typename T>
T readBusValue(tDeviceInterfaceIterator& iterator, const char* name, T preset) {
  static_assert(sizeof(T) == 4);
  T value = preset;
  tStatus status;
  iterator.readBusProperty(name, &value, sizeof value, nullptr, &status);
  qoerr::throwIfFailed(status);
  return value;
}

}  // namespace

std::string versionTextOf(std::uint32_t word) {
  static constexpr char kPhase[] = {'d', 'a', 'b', 'f'};
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u%c%u", word >> 24, (word >> 20) & 0xFu,
                (word >> 16) & 0xFu, kPhase[(word >> 14) & 3u], word & 0x3FFFu);
  return text;
}

std::string revisionLetterOf(std::uint32_t revision) {
  if (revision == 0) return "Unknown";
  return std::string(1, static_cast<char>(0x40 + revision));
}

std::int32_t linkRateOf(std::int32_t code) {
  switch (code) {
    case 1: return 0;
    case 2: return 1;
    case 3: return 2;
    default: return -1;
  }
}

std::uint32_t fpgaClassOf(const std::string& part) {
  static const boost::regex kUltraPlus("(^KU\\d+P$)", boost::regex::perl);
  static const boost::regex kUltra("(^KU\\d+)", boost::regex::perl);
  static const boost::regex kVirtexPlus("(^VU\\d+P$)", boost::regex::perl);
  if (boost::regex_search(part, kUltraPlus)) return 4;
  if (boost::regex_search(part, kUltra)) return 3;
  if (boost::regex_search(part, kVirtexPlus)) return 5;
  return 0;
}

mxSysAttrTimestampUTC timestampOf(std::uint64_t seconds) {
  mxSysAttrTimestampUTC value{};
  value.fraction = 0;
  value.seconds = seconds == kNeverSet ? 0 : static_cast<std::int64_t>(seconds);
  return value;
}

void tNextVorlixItem::collectStaticProperties() {
  // 1. The board in the enumeration library, under the holder's lock for the whole run.
  {
    tStatus status;
    holder_->refreshDeviceList(&status);
    qoerr::throwIfFailed(status);
  }
  boost::unique_lock<boost::recursive_mutex> holderLock(holder_->lock());
  qokeldevenum::iKelDevice* device = holder_->findDevice(name_);
  if (device == nullptr)
    throw qoerr::Exception::withError(
        qokeldevenum::kInvalidParameter,
        {kNextVorlixItemSource, kLineNoBoard, kComponentName, nullptr});
  tAttributeAccess attributes(device);

  // 2. The driver's interface entries of the main interface, and the catalog.
  tStatus iteratorStatus;
  tDeviceInterfaceIterator iterator(kMainInterfaceName, &iteratorStatus);
  qoerr::throwIfFailed(iteratorStatus);
  tProductCatalog& catalog = getProductCatalog();

  sysapicpp::SystemAPIPropertyBagAccessor& system = bag_.systemApi();
  sysapicpp::VorlixPropertyBagAccessor& vorlix = bag_.vorlix();
  sysapicpp::RoutingPropertyBagAccessor& routing = bag_.routing();

  // 3, 4
  productId_ = attributes.read(kAttributeProduct);
  system.setInt32(tags::kSettingsFlags, 0x40000000);
  system.setInt32(tags::kItemKind, 1);
  system.setString(tags::kExpertId, kExpertIdentifier);
  system.setBool(tags::kPresent, true);

  // 5. Boards the library marks as not supported are not served.
  if (attributes.read(kAttributeSupported) != 1)
    throw sysapicpp::FailException({kNextVorlixItemSource, kLineUnsupported, kComponentName});

  // 6. PCI address, bus type, description.
  const std::uint32_t pciBus = attributes.read(kAttributePciBus);
  const std::uint32_t pciDevice = attributes.read(kAttributePciDevice);
  const std::uint32_t pciFunction = attributes.read(kAttributePciFunction);
  system.setUInt32(tags::kPciBus, pciBus);
  system.setUInt32(tags::kPciDevice, pciDevice);
  system.setUInt32(tags::kPciFunction, pciFunction);
  system.setInt32(tags::kBusType, static_cast<std::int32_t>(attributes.read(kAttributeBusType)));
  system.setString(tags::kDescription,
                   attributes.readString(kAttributeDescription, kDescriptionCapacity));

  // 7. The interface entry at the board's PCI address (one status for the whole walk).
  {
    tStatus walk;
    bool found = false;
    for (; !iterator.isEnd(); iterator.next()) {
      std::uint32_t bus = 0, dev = 0, function = 0;
      iterator.readBusProperty("pciBusNumber", &bus, sizeof bus, nullptr, &walk);
      iterator.readBusProperty("pciDeviceNumber", &dev, sizeof dev, nullptr, &walk);
      iterator.readBusProperty("pciFunctionNumber", &function, sizeof function, nullptr, &walk);
      if (walk.isFatal()) break;
      if (bus == pciBus && dev == pciDevice && function == pciFunction) {
        char path[tDeviceInterfaceIterator::kInterfacePathSize] = {};
        if (iterator.readInterfacePath(path, &walk) != 0) interfacePath_ = path;
        found = true;
        break;
      }
    }
    if (!found && walk.isNotFatal())
      walk.setCode(kNoInterfaceEntry, kComponentName, kConstantsSource, kLineNoInterfaceEntry);
    qoerr::throwIfFailed(walk);
  }

  // 8
  std::shared_ptr<tProxy> proxy = openDriverProxy();

  // 9. Link width and rate of the entry's bus.
  const auto linkWidth = readBusValue<std::int32_t>(iterator, "pcieLinkWidth", -1);
  const auto maxLinkWidth = readBusValue<std::int32_t>(iterator, "pcieMaxLinkWidth", -1);
  const auto linkRate = readBusValue<std::int32_t>(iterator, "pcieTransferRate", -1);
  const auto maxLinkRate = readBusValue<std::int32_t>(iterator, "pcieMaxTransferRate", -1);
  system.setInt32(tags::kLinkWidth, linkWidth);
  system.setInt32(tags::kMaxLinkWidth, maxLinkWidth);
  system.setInt32(tags::kMaxLinkRate, linkRateOf(maxLinkRate));
  system.setInt32(tags::kLinkRate, linkRateOf(linkRate));

  // 10
  system.setInt32(tags::kChassisSlot,
                  static_cast<std::int32_t>(attributes.read(kAttributeChassisSlot)));
  system.setUInt32(tags::kSlotReserved, 0);

  // 11. The module record's last byte; not checked: 1 when the call fails or the byte is 0.
  {
    tStatus recordStatus;
    const nQOVORLIXATOMICSAE_23_3::tIoModuleRecord record = proxy->op0604(recordStatus);
    const std::int32_t byte = static_cast<std::int8_t>(record.value6);
    system.setInt32(tags::kModuleRecordByte, recordStatus.isNotFatal() && byte != 0 ? byte : 1);
  }

  // 12. Routing strings.
  {
    std::string deviceName;
    tStatus nameStatus;
    iterator.getDeviceName(deviceName, &nameStatus);
    qoerr::throwIfFailed(nameStatus);
    routing.setString(tags::kDeviceName, deviceName);

    std::string productName, fpgaPart;
    const bool fpgaKnown = catalog.getProductName(productId_, productName, fpgaPart);
    routing.setString(tags::kRoutingLibrary, fpgaKnown ? kRoutingLibraryName : "");

    tStatus routingStatus;
    tDeviceInterfaceIterator routingIterator(kRoutingInterfaceName, deviceName.c_str(),
                                             &routingStatus);
    qoerr::throwIfFailed(routingStatus);
    std::string routingPath;
    if (!routingIterator.isEnd()) {
      char path[tDeviceInterfaceIterator::kInterfacePathSize] = {};
      if (routingIterator.readInterfacePath(path, &routingStatus) != 0) routingPath = path;
      qoerr::throwIfFailed(routingStatus);
    }
    routing.setString(tags::kRoutingInterfacePath, routingPath);
  }

  // 13
  system.setUInt32(tags::kFlag1002, 1);
  system.setUInt32(tags::kFlag1086, 1);
  system.setBool(tags::kFlag1020, true);
  system.setBool(tags::kFlag1010, false);
  system.setBool(tags::kFlag1014, false);
  system.setBool(tags::kFirmwareUpdatable, true);
  system.setUInt32(tags::kFlag108D, 1);
  system.setString(tags::kFirmwareFilePattern, "*.zip");

  // 14. The I/O module: one status for the three reads, not checked (a board without a
  // readable module falls back below).
  tStatus moduleStatus;
  moduleId_ = proxy->op0600(moduleStatus);
  const std::uint32_t moduleSerial = proxy->op0601(moduleStatus);
  moduleRevision_ = proxy->op0602(moduleStatus);

  // 15
  system.setBool(tags::kFlag1028, false);
  system.setBool(tags::kFlag1001, true);
  system.setInt32(tags::kFlag1024, 1);

  // 16, 17. Written before their status is checked (from 0 after a transport failure).
  {
    tStatus versionStatus;
    const std::uint32_t word = proxy->op0701(versionStatus);
    system.setString(tags::kFirmwareVersion, versionTextOf(word));
    qoerr::throwIfFailed(versionStatus);
  }
  {
    tStatus revisionStatus;
    const std::uint32_t revision = proxy->op0700(revisionStatus);
    system.setString(tags::kHardwareRevision, revisionLetterOf(revision));
    qoerr::throwIfFailed(revisionStatus);
  }

  // 18
  system.setString(tags::kItemName, name_);
  system.setUInt32(tags::kProductId, productId_);
  system.setUInt32(tags::kProductId2, productId_);

  // 19, 20
  if (moduleStatus.isFatal()) {
    moduleId_ = kUnreadableModule;
    moduleRevision_ = kUnreadableRevision;
  }
  vorlix.setUInt32(tags::kModuleId, moduleId_);
  vorlix.setUInt32(tags::kModuleRevision, moduleRevision_);
  const bool otherVendor = catalog.isOtherVendorModule(productId_, moduleId_, moduleRevision_);
  vorlix.setBool(tags::kOtherVendorModule, otherVendor);

  // 21. Identity: another vendor's module names the board after itself when it can be
  // described completely; otherwise the board's own identity.
  std::uint32_t vendor = 0;
  std::string serialText;
  bool identityComplete = false;
  if (moduleStatus.isNotFatal() && otherVendor && moduleId_ != 0 &&
      moduleId_ != kUnreadableModule) {
    vendor = moduleId_ >> 16;
    const bool vendorFound = catalog.getVendorName(vendor, manufacturerText_);
    const bool modelFound = catalog.getModuleModel(productId_, moduleId_, modelText_);
    if (moduleSerial != 0 && moduleSerial != kUnreadableModule) {
      serialText = hex8(vendor == kMakerVendorId ? attributes.read(kAttributeSerial)
                                                 : moduleSerial);
      identityComplete = vendorFound && modelFound;
    }
  }
  if (!identityComplete) {
    vendor = attributes.read(kAttributeVendor);
    manufacturerText_ = kMakerName;
    catalog.getModelText(productId_, moduleId_, moduleRevision_, true, modelText_);
    serialText = hex8(attributes.read(kAttributeSerial));
  }
  system.setUInt32(tags::kVendorId, vendor);
  system.setString(tags::kManufacturer, manufacturerText_);
  system.setString(tags::kModel, modelText_);
  system.setString(tags::kSerial, serialText);
  system.setBool(tags::kIsMaker, vendor == kMakerVendorId);

  // 22. FPGA.
  std::string productName, fpgaPart;
  if (catalog.getProductName(productId_, productName, fpgaPart)) {
    vorlix.setString(tags::kProductName, productName);
    vorlix.setUInt32(tags::kFpgaKnown, 6);
  } else {
    vorlix.setUInt32(tags::kFpgaKnown, 0);
  }
  vorlix.setUInt32(tags::kFpgaClass, fpgaClassOf(fpgaPart));
  // 23: the holder's lock is released as the scope ends.
}

void tNextVorlixItem::refreshDated(std::uint32_t valueTag, std::uint32_t numberTag,
                                   std::uint32_t markerTag, bool second, bool& result) {
  std::shared_ptr<tProxy> proxy = openDriverProxy();
  tStatus secondsStatus, valueStatus;
  const std::uint64_t seconds =
      second ? proxy->op0304(secondsStatus) : proxy->op0300(secondsStatus);
  const std::uint32_t value = second ? proxy->op0305(valueStatus) : proxy->op0301(valueStatus);
  // The first group is the host's, the second the family's own.
  using sysapicpp::PropertyBagHandle;
  const PropertyBagHandle& bag = second ? static_cast<PropertyBagHandle&>(bag_.vorlix())
                                        : static_cast<PropertyBagHandle&>(bag_.systemApi());
  if (secondsStatus.isFatal() || valueStatus.isFatal()) {
    result = false;
  } else {
    bag.setTimestamp(valueTag, timestampOf(seconds));
    bag.setDouble(numberTag, static_cast<double>(value));
  }
  bag.setInt32(markerTag, -1);
}

void tNextVorlixItem::refreshTemperatures() {
  std::shared_ptr<tProxy> proxy = openDriverProxy();
  tStatus readingStatus;
  const std::uint32_t reading = proxy->op0405(0, readingStatus);
  qoerr::throwIfFailed(readingStatus);
  std::uint32_t upper = 0, second = 0;
  tStatus limitStatus;
  proxy->op0402(&upper, &second, limitStatus);
  qoerr::throwIfFailed(limitStatus);

  const tSensorReading sensors[] = {
      {kSensorName, static_cast<double>(reading), std::numeric_limits<double>::quiet_NaN(),
       static_cast<double>(upper), upper < reading ? 3 : 0}};
  sysapicpp::SystemAPIPropertyBagAccessor& system = bag_.systemApi();
  system.setInt32(tags::kSensorCount, static_cast<std::int32_t>(std::size(sensors)));
  for (std::uint32_t i = 0; i < std::size(sensors); ++i) {
    const tSensorReading& sensor = sensors[i];
    using sysapicpp::PropertyBagHandle;
    system.setString(PropertyBagHandle::indexedTag(tags::kSensorName, i), sensor.name);
    system.setDouble(PropertyBagHandle::indexedTag(tags::kSensorReading, i), sensor.reading);
    system.setDouble(PropertyBagHandle::indexedTag(tags::kSensorLower, i), sensor.lowerLimit);
    system.setDouble(PropertyBagHandle::indexedTag(tags::kSensorUpper, i), sensor.upperLimit);
    system.setInt32(PropertyBagHandle::indexedTag(tags::kSensorState, i), sensor.state);
  }
}

void tNextVorlixItem::refreshFans() {
  std::shared_ptr<tProxy> proxy = openDriverProxy();
  tStatus countStatus;
  const std::uint32_t count = proxy->op0407(countStatus);
  qoerr::throwIfFailed(countStatus);
  std::vector<tFanReading> fans;
  for (std::uint32_t i = 0; i < count; ++i) {
    // The index limit of the bag is met before the driver is asked for more fans than a bag
    // can hold.
    sysapicpp::PropertyBagHandle::indexedTag(tags::kFanName, i);
    char name[256];
    std::snprintf(name, sizeof name, "Baseboard Fan %u", i);
    tStatus speedStatus;
    const std::uint32_t speed = proxy->op0408(i, speedStatus);
    qoerr::throwIfFailed(speedStatus);
    fans.push_back({name, speed, 0});
  }
  sysapicpp::SystemAPIPropertyBagAccessor& system = bag_.systemApi();
  system.setInt32(tags::kFanCount, static_cast<std::int32_t>(fans.size()));
  for (std::uint32_t i = 0; i < fans.size(); ++i) {
    using sysapicpp::PropertyBagHandle;
    system.setString(PropertyBagHandle::indexedTag(tags::kFanName, i), fans[i].name);
    system.setUInt32(PropertyBagHandle::indexedTag(tags::kFanSpeed, i), fans[i].speed);
    system.setInt32(PropertyBagHandle::indexedTag(tags::kFanState, i), fans[i].state);
  }
}

void tNextVorlixItem::refreshVersion() {
  std::shared_ptr<tProxy> proxy = openDriverProxy();
  tStatus status;
  const std::uint32_t word = proxy->op0701(status);
  // As the static collection: the text of what was read (zero on failure) replaces the old
  // one before the failure is reported, so a stale version never reads as current.
  bag_.systemApi().setString(tags::kFirmwareVersion, versionTextOf(word));
  qoerr::throwIfFailed(status);
}

bool tNextVorlixItem::refreshProperties(const std::vector<std::uint32_t>& requested) {
  bool result = true;
  for (const std::uint32_t tag : requested) {
    try {
      switch (tag) {
        case tags::kDated0:
        case tags::kDated0Value:
        case tags::kDated0Marker:
          refreshDated(tags::kDated0, tags::kDated0Value, tags::kDated0Marker, false, result);
          break;
        case tags::kDated1:
        case tags::kDated1Value:
        case tags::kDated1Marker:
          refreshDated(tags::kDated1, tags::kDated1Value, tags::kDated1Marker, true, result);
          break;
        case tags::kSensorReading:
        case tags::kSensorCount:
        case tags::kSensorName:
        case tags::kSensorLower:
        case tags::kSensorUpper:
        case tags::kSensorState:
          refreshTemperatures();
          break;
        case tags::kFanCount:
        case tags::kFanName:
        case tags::kFanSpeed:
          refreshFans();
          break;
        case tags::kFirmwareVersion:
          refreshVersion();
          break;
        default:
          result = false;
          break;
      }
    } catch (const std::exception&) {
      result = false;
    } catch (const qoerr::ExceptionBase&) {
      result = false;
    } catch (...) {
      // Nothing leaves a refresh (an allocation failure of the bag included).
      result = false;
    }
  }
  return result;
}

}  // namespace VorlixSysapiExpert
