// One board of the family as the configuration host sees it: an item named "KEL" + device number
// with a master property bag that holds every property of the board.
//
// At construction the item reads the board's static properties (enumeration library, the
// driver's /proc bus properties, the driver through a fresh proxy, product catalog and I/O
// module tables) into its master bag; afterwards it hands out copies of that bag, re-reads the
// dynamic properties on request, runs the board diagnostic and drives firmware updates through
// its firmware updater. The board is found again through the device-list holder of the factory
// that made the item; every driver operation opens its own proxy on the board's device
// interface and drops it when done.
//
// Locks (order: item lock -> the factory holder's recursive lock -> the catalog's locks):
//  - itemLock_ (plain) serialises the bag copy, property preparation and invalidation;
//    prepareProperties takes the holder's lock under it.
//  - firmwareLock_ (plain) guards the firmware updater; it is never held together with the
//    item lock, so firmware progress can be polled while properties are being read.
//  - collectStaticProperties runs in the constructor, before the item is shared, and holds the
//    holder's lock for its whole run. refreshProperties takes no lock of its own: every single
//    bag write is indivisible under the bag's own lock.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/thread/mutex.hpp>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h"
#include "codegen/qovorlixatomicsae/tPropertyTags.h"
#include "source/FirmwareUpdater.h"
#include "source/tItemFactory.h"
#include "sysapicpp/cache/Item.h"
#include "sysapicpp/interfaces/ImxSysPropertyBag.h"
#include "sysapicpp/propbag/PropertyBagHandle.h"

namespace VorlixSysapiExpert {

inline constexpr char kNextVorlixItemSource[] = "source/tNextVorlixItem";
// Stamped into every item's bag (tag 0x101E000).
inline constexpr char kExpertIdentifier[] = "qovorlix2";
inline constexpr const auto& kMainInterfaceName = qodrv::vorlixtarrow::kInterfaceName;
inline constexpr const auto& kRoutingInterfaceName = qodrv::routing::kInterfaceName;
// The routing library offered for boards whose FPGA the catalog knows (tag 0x16002000).
inline constexpr char kRoutingLibraryName[] = "libqovorlixtarrowu.so";

// Property tags the item writes (namespace tags), the tags it re-reads on request
// (kDynamicTags) and their refresh groups: generated from codegen/descriptions/properties.json.

// The driver's value of a date that was never set.
inline constexpr std::uint64_t kNeverSet = qodrv::vorlixtarrow::kNeverSet;

// Pure mappings of the property collection.
// "major.minor.fix<phase>build" of a packed version word (phase d, a, b, f).
std::string versionTextOf(std::uint32_t word);
// "Unknown" for 0, else the letter 0x40 + revision.
std::string revisionLetterOf(std::uint32_t revision);
// Bus transfer-rate codes 1, 2, 3 -> 0, 1, 2; anything else -> -1.
std::int32_t linkRateOf(std::int32_t code);
// FPGA part class: KU<n>P -> 4, KU<n>... -> 3, VU<n>P -> 5, else 0.
std::uint32_t fpgaClassOf(const std::string& part);
// Seconds of a dated value as a host timestamp (fraction 0; kNeverSet -> 0).
mxSysAttrTimestampUTC timestampOf(std::uint64_t seconds);
// The host's firmware state of an updater's progress (busy, percent, second flag, and whether
// the last update ended with an error message). A failed update that ended before any progress
// reads as ended (5), not as "starting" (-1), so a host polling for the end sees it.
std::int32_t firmwareStateOf(bool busy, std::int32_t percent, bool second, bool failed);

class tNextVorlixItem final : public sysapicpp::Item {
 public:
  using tProxy = nQOVORLIXATOMICSAE_23_3::tInterfaceProxy_vorlixtarrow;

  // Lines reported by the item's own exceptions.
  static constexpr int kLineFirmwareOperation3 = 83;
  static constexpr int kLineFirmwareOperation4 = 94;
  static constexpr int kLineWrongItemName = 67;
  static constexpr int kLineCommit = 431;
  static constexpr int kLineDiagnosticFailed = 443;
  static constexpr int kLineInvalidMode = 447;
  static constexpr int kLineDiagnosticOperation3 = 453;
  static constexpr int kLineDiagnosticOperation1 = 458;
  static constexpr int kLineExtended1 = 468;
  static constexpr int kLineExtended2 = 479;
  static constexpr int kLineNoBoard = 536;
  static constexpr int kLineUnsupported = 564;
  static constexpr int kLineNoInterface = 695;
  static constexpr int kLineNoFirmwareUpdater = 700;

  // Finds the board named `name` through `holder` and reads its static properties. A name
  // without a board: qoerr::Exception -52005; any failing read throws (see the .cpp).
  // `firmware` must outlive the item.
  tNextVorlixItem(std::string name, tDeviceListHolder& holder,
                  iFirmwareLibrary& firmware = platformFirmwareLibrary());
  ~tNextVorlixItem() override;
  tNextVorlixItem(const tNextVorlixItem&) = delete;
  tNextVorlixItem& operator=(const tNextVorlixItem&) = delete;

  int getTagUpdateKind(std::uint32_t tag) override;
  void invalidate() override;
  void prepareProperties() override;
  bool refreshProperties(const std::vector<std::uint32_t>& tags) override;
  ImxSysPropertyBag* getPropertyBag() override;
  std::string getName() override;
  void setOption(std::uint32_t value) override;
  void commitProperties(const std::string& text, std::int32_t value,
                        std::string& resultText) override;
  void extendedOperation1(sysapicpp::PropertyBagHandle& bag, std::set<std::uint32_t>& tags,
                          std::string& errorText) override;
  void extendedOperation2(sysapicpp::PropertyBagHandle& bag, std::int32_t& result,
                          std::string& text) override;
  void diagnosticOperation1(std::int32_t value) override;
  void runDiagnostic(std::int32_t mode, std::string& resultText) override;
  void diagnosticOperation3(std::string& text) override;
  std::string beginFirmwareUpdate() override;
  void updateFirmware(const std::string& confirmingName, bool flag, const std::string& text,
                      sysapicpp::BinaryImageHandle& image) override;
  void firmwareOperation3(const std::string& text1, bool flag, const std::string& text2) override;
  void firmwareOperation4(const std::string& text) override;
  void getFirmwareUpdateStatus(std::int32_t& state, std::int32_t& percent,
                               std::string& text) override;
  bool itemQuery1() override { return true; }
  int itemQuery2() override { return 0; }
  int itemQuery3() override { return 0; }

  // A new proxy opened on the board's device interface. ItemNotExistException (0x80040375)
  // when the item has none; qoerr::Exception when the node does not open.
  std::shared_ptr<tProxy> openDriverProxy();

  // Fields filled by the property collection (read-only views for diagnostics and tests).
  std::uint32_t productId() const noexcept { return productId_; }
  std::uint32_t moduleId() const noexcept { return moduleId_; }
  std::uint8_t moduleRevision() const noexcept { return moduleRevision_; }
  const std::string& deviceInterfacePath() const noexcept { return interfacePath_; }
  const std::string& modelText() const noexcept { return modelText_; }
  const std::string& manufacturerText() const noexcept { return manufacturerText_; }

 private:
  void collectStaticProperties();
  void refreshDated(std::uint32_t valueTag, std::uint32_t numberTag, std::uint32_t markerTag,
                    bool second, bool& result);
  void refreshTemperatures();
  void refreshFans();
  void refreshVersion();

  const std::string name_;
  tDeviceListHolder* const holder_;  // not owned: the creating factory's
  iFirmwareLibrary& firmwareLibrary_;
  std::uint32_t productId_ = 0;
  std::uint32_t moduleId_ = 0;
  std::uint8_t moduleRevision_ = 0;
  std::string interfacePath_;
  std::string modelText_;
  std::string manufacturerText_;
  boost::mutex firmwareLock_;  // guards firmwareUpdater_; never held with itemLock_
  std::unique_ptr<FirmwareUpdater> firmwareUpdater_;
  boost::mutex itemLock_;                         // before the holder's recursive lock
  sysapicpp::CompositePropertyBagAccessor3 bag_;  // the master bag
};

// The factory's production maker: a tNextVorlixItem for the name.
sysapicpp::SharedPtrHelper<sysapicpp::Item> makeDeviceItem(const std::string& name,
                                                           tDeviceListHolder& holder);

}  // namespace VorlixSysapiExpert
