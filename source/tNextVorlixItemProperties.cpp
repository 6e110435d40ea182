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
    case 1:
      return 0;
    case 2:
      return 1;
    case 3:
      return 2;
    default:
      return -1;
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

namespace {

// The item's fields the static collection fills.
struct tCollectedFields {
  std::uint32_t& productId;
  std::uint32_t& moduleId;
  std::uint8_t& moduleRevision;
  std::string& interfacePath;
  std::string& modelText;
  std::string& manufacturerText;
};

// What the steps of the static collection share: the board's sources, the bags written, and
// what an earlier step read for a later one.
struct tCollection {
  tNextVorlixItem& item;
  const std::string& name;
  tAttributeAccess& attributes;
  tDeviceInterfaceIterator& iterator;
  tProductCatalog& catalog;
  sysapicpp::SystemAPIPropertyBagAccessor& system;
  sysapicpp::VorlixPropertyBagAccessor& vorlix;
  sysapicpp::RoutingPropertyBagAccessor& routing;
  tCollectedFields fields;
  std::uint32_t pciBus = 0, pciDevice = 0, pciFunction = 0;
  std::shared_ptr<tNextVorlixItem::tProxy> proxy{};
  tStatus moduleStatus{};  // one status for the three module reads
  std::uint32_t moduleSerial = 0;
  bool otherVendor = false;
};

// 3, 4
void collectItemKind(tCollection& c) {
  c.fields.productId = c.attributes.read(kAttributeProduct);
  c.system.setInt32(tags::kSettingsFlags, 0x40000000);
  c.system.setInt32(tags::kItemKind, 1);
  c.system.setString(tags::kExpertId, kExpertIdentifier);
  c.system.setBool(tags::kPresent, true);
}

// 5. Boards the library marks as not supported are not served.
void checkSupported(tCollection& c) {
  if (c.attributes.read(kAttributeSupported) != 1)
    throw sysapicpp::FailException(
        {kNextVorlixItemSource, tNextVorlixItem::kLineUnsupported, kComponentName});
}

// 6. PCI address, bus type, description.
void collectPciAddress(tCollection& c) {
  c.pciBus = c.attributes.read(kAttributePciBus);
  c.pciDevice = c.attributes.read(kAttributePciDevice);
  c.pciFunction = c.attributes.read(kAttributePciFunction);
  c.system.setUInt32(tags::kPciBus, c.pciBus);
  c.system.setUInt32(tags::kPciDevice, c.pciDevice);
  c.system.setUInt32(tags::kPciFunction, c.pciFunction);
  c.system.setInt32(tags::kBusType,
                    static_cast<std::int32_t>(c.attributes.read(kAttributeBusType)));
  c.system.setString(tags::kDescription,
                     c.attributes.readString(kAttributeDescription, kDescriptionCapacity));
}

// 7. The interface entry at the board's PCI address (one status for the whole walk).
void findInterfaceEntry(tCollection& c) {
  tStatus walk;
  bool found = false;
  tDeviceInterfaceIterator& iterator = c.iterator;
  for (; !iterator.isEnd(); iterator.next()) {
    std::uint32_t bus = 0, dev = 0, function = 0;
    iterator.readBusProperty("pciBusNumber", &bus, sizeof bus, nullptr, &walk);
    iterator.readBusProperty("pciDeviceNumber", &dev, sizeof dev, nullptr, &walk);
    iterator.readBusProperty("pciFunctionNumber", &function, sizeof function, nullptr, &walk);
    if (walk.isFatal()) break;
    if (bus == c.pciBus && dev == c.pciDevice && function == c.pciFunction) {
      char path[tDeviceInterfaceIterator::kInterfacePathSize] = {};
      if (iterator.readInterfacePath(path, &walk) != 0) c.fields.interfacePath = path;
      found = true;
      break;
    }
  }
  if (!found && walk.isNotFatal())
    walk.setCode(kNoInterfaceEntry, kComponentName, kConstantsSource, kLineNoInterfaceEntry);
  qoerr::throwIfFailed(walk);
}

// 8
void openProxy(tCollection& c) { c.proxy = c.item.openDriverProxy(); }

// 9. Link width and rate of the entry's bus.
void collectLink(tCollection& c) {
  const auto linkWidth = readBusValue<std::int32_t>(c.iterator, "pcieLinkWidth", -1);
  const auto maxLinkWidth = readBusValue<std::int32_t>(c.iterator, "pcieMaxLinkWidth", -1);
  const auto linkRate = readBusValue<std::int32_t>(c.iterator, "pcieTransferRate", -1);
  const auto maxLinkRate = readBusValue<std::int32_t>(c.iterator, "pcieMaxTransferRate", -1);
  c.system.setInt32(tags::kLinkWidth, linkWidth);
  c.system.setInt32(tags::kMaxLinkWidth, maxLinkWidth);
  c.system.setInt32(tags::kMaxLinkRate, linkRateOf(maxLinkRate));
  c.system.setInt32(tags::kLinkRate, linkRateOf(linkRate));
}

// 10
void collectSlot(tCollection& c) {
  c.system.setInt32(tags::kChassisSlot,
                    static_cast<std::int32_t>(c.attributes.read(kAttributeChassisSlot)));
  c.system.setUInt32(tags::kSlotReserved, 0);
}

// 11. The module record's last byte; not checked: 1 when the call fails or the byte is 0.
void collectModuleRecordByte(tCollection& c) {
  tStatus recordStatus;
  const nQOVORLIXATOMICSAE_23_3::tIoModuleRecord record = c.proxy->op0604(recordStatus);
  const std::int32_t byte = static_cast<std::int8_t>(record.value6);
  c.system.setInt32(tags::kModuleRecordByte, recordStatus.isNotFatal() && byte != 0 ? byte : 1);
}

// 12. Routing strings.
void collectRouting(tCollection& c) {
  std::string deviceName;
  tStatus nameStatus;
  c.iterator.getDeviceName(deviceName, &nameStatus);
  qoerr::throwIfFailed(nameStatus);
  c.routing.setString(tags::kDeviceName, deviceName);

  std::string productName, fpgaPart;
  const bool fpgaKnown = c.catalog.getProductName(c.fields.productId, productName, fpgaPart);
  c.routing.setString(tags::kRoutingLibrary, fpgaKnown ? kRoutingLibraryName : "");

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
  c.routing.setString(tags::kRoutingInterfacePath, routingPath);
}

// 13
void collectFirmwareFlags(tCollection& c) {
  c.system.setUInt32(tags::kFlag1002, 1);
  c.system.setUInt32(tags::kFlag1086, 1);
  c.system.setBool(tags::kFlag1020, true);
  c.system.setBool(tags::kFlag1010, false);
  c.system.setBool(tags::kFlag1014, false);
  c.system.setBool(tags::kFirmwareUpdatable, true);
  c.system.setUInt32(tags::kFlag108D, 1);
  c.system.setString(tags::kFirmwareFilePattern, "*.zip");
}

// 14. The I/O module: one status for the three reads, not checked (a board without a
// readable module falls back in collectModule).
void readModule(tCollection& c) {
  c.fields.moduleId = c.proxy->op0600(c.moduleStatus);
  c.moduleSerial = c.proxy->op0601(c.moduleStatus);
  c.fields.moduleRevision = c.proxy->op0602(c.moduleStatus);
}

// 15
void collectItemFlags(tCollection& c) {
  c.system.setBool(tags::kFlag1028, false);
  c.system.setBool(tags::kFlag1001, true);
  c.system.setInt32(tags::kFlag1024, 1);
}

// 16, 17. Written before their status is checked (from 0 after a transport failure).
void collectVersions(tCollection& c) {
  {
    tStatus versionStatus;
    const std::uint32_t word = c.proxy->op0701(versionStatus);
    c.system.setString(tags::kFirmwareVersion, versionTextOf(word));
    qoerr::throwIfFailed(versionStatus);
  }
  tStatus revisionStatus;
  const std::uint32_t revision = c.proxy->op0700(revisionStatus);
  c.system.setString(tags::kHardwareRevision, revisionLetterOf(revision));
  qoerr::throwIfFailed(revisionStatus);
}

// 18
void collectNames(tCollection& c) {
  c.system.setString(tags::kItemName, c.name);
  c.system.setUInt32(tags::kProductId, c.fields.productId);
  c.system.setUInt32(tags::kProductId2, c.fields.productId);
}

// 19, 20
void collectModule(tCollection& c) {
  if (c.moduleStatus.isFatal()) {
    c.fields.moduleId = kUnreadableModule;
    c.fields.moduleRevision = kUnreadableRevision;
  }
  c.vorlix.setUInt32(tags::kModuleId, c.fields.moduleId);
  c.vorlix.setUInt32(tags::kModuleRevision, c.fields.moduleRevision);
  c.otherVendor =
      c.catalog.isOtherVendorModule(c.fields.productId, c.fields.moduleId, c.fields.moduleRevision);
  c.vorlix.setBool(tags::kOtherVendorModule, c.otherVendor);
}

// 21. Identity: another vendor's module names the board after itself when it can be
// described completely; otherwise the board's own identity.
void collectIdentity(tCollection& c) {
  tCollectedFields& f = c.fields;
  std::uint32_t vendor = 0;
  std::string serialText;
  bool identityComplete = false;
  if (c.moduleStatus.isNotFatal() && c.otherVendor && f.moduleId != 0 &&
      f.moduleId != kUnreadableModule) {
    vendor = f.moduleId >> 16;
    const bool vendorFound = c.catalog.getVendorName(vendor, f.manufacturerText);
    const bool modelFound = c.catalog.getModuleModel(f.productId, f.moduleId, f.modelText);
    if (c.moduleSerial != 0 && c.moduleSerial != kUnreadableModule) {
      serialText =
          hex8(vendor == kMakerVendorId ? c.attributes.read(kAttributeSerial) : c.moduleSerial);
      identityComplete = vendorFound && modelFound;
    }
  }
  if (!identityComplete) {
    vendor = c.attributes.read(kAttributeVendor);
    f.manufacturerText = kMakerName;
    c.catalog.getModelText(f.productId, f.moduleId, f.moduleRevision, true, f.modelText);
    serialText = hex8(c.attributes.read(kAttributeSerial));
  }
  c.system.setUInt32(tags::kVendorId, vendor);
  c.system.setString(tags::kManufacturer, f.manufacturerText);
  c.system.setString(tags::kModel, f.modelText);
  c.system.setString(tags::kSerial, serialText);
  c.system.setBool(tags::kIsMaker, vendor == kMakerVendorId);
}

// 22. FPGA.
void collectFpga(tCollection& c) {
  std::string productName, fpgaPart;
  if (c.catalog.getProductName(c.fields.productId, productName, fpgaPart)) {
    c.vorlix.setString(tags::kProductName, productName);
    c.vorlix.setUInt32(tags::kFpgaKnown, 6);
  } else {
    c.vorlix.setUInt32(tags::kFpgaKnown, 0);
  }
  c.vorlix.setUInt32(tags::kFpgaClass, fpgaClassOf(fpgaPart));
}

// The static collection after the board and its interface entries are found, in the order of
// its reads: the driver and the enumeration library see the same calls in the same order.
using tCollectionStep = void (*)(tCollection&);
constexpr tCollectionStep kStaticSteps[] = {
    collectItemKind, checkSupported,       collectPciAddress, findInterfaceEntry,
    openProxy,       collectLink,          collectSlot,       collectModuleRecordByte,
    collectRouting,  collectFirmwareFlags, readModule,        collectItemFlags,
    collectVersions, collectNames,         collectModule,     collectIdentity,
    collectFpga,
};

}  // namespace

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
  tCollection collection{
      *this,
      name_,
      attributes,
      iterator,
      getProductCatalog(),
      bag_.systemApi(),
      bag_.vorlix(),
      bag_.routing(),
      {productId_, moduleId_, moduleRevision_, interfacePath_, modelText_, manufacturerText_}};
  for (const tCollectionStep step : kStaticSteps) step(collection);
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

  const tSensorReading sensors[] = {{kSensorName, static_cast<double>(reading),
                                     std::numeric_limits<double>::quiet_NaN(),
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
    // Each tag runs its group's refresh (kRefreshDispatch); a tag of no group answers false.
    const tRefreshEntry* entry = refreshEntryOf(tag);
    if (entry == nullptr) {
      result = false;
      continue;
    }
    try {
      switch (entry->group) {
        case tRefreshGroup::kDated0:
          refreshDated(tags::kDated0, tags::kDated0Value, tags::kDated0Marker, false, result);
          break;
        case tRefreshGroup::kDated1:
          refreshDated(tags::kDated1, tags::kDated1Value, tags::kDated1Marker, true, result);
          break;
        case tRefreshGroup::kTemperatures:
          refreshTemperatures();
          break;
        case tRefreshGroup::kFans:
          refreshFans();
          break;
        case tRefreshGroup::kVersion:
          refreshVersion();
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
