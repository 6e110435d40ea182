// The item factory of the device expert: which boards of the family are in the machine, by item
// name ("KEL" + device number), and new items for given names. Boards are found through the
// family's device-enumeration library; only boards whose product the catalog knows become
// items.
//
// The device list, the devices of its last refresh and the recursive lock that guards both form
// the device-list holder; every item the factory makes keeps the holder's address and finds its
// board again through it, under the same lock.
//
// Locks: the holder's recursive lock is taken by enumeration (list refresh and the copy of the
// devices), by findDevice and refreshDeviceList (recursively by items already holding it). The
// catalog's locks may be taken while it is held (catalog after holder), never the reverse. The
// per-device attribute reads of enumeration run without it, on a copy of the devices.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <boost/thread/recursive_mutex.hpp>

#include "platform/include/qokeldevenum/qokeldevenum.h"
#include "qoapal/status/tStatus.h"
#include "sysapicpp/cache/Item.h"
#include "sysapicpp/cache/ItemFactory.h"
#include "sysapicpp/cache/SharedPtrHelper.h"

namespace VorlixSysapiExpert {

class tEnumerationLibrary;
tEnumerationLibrary& enumerationLibrary();

inline constexpr char kItemFactorySource[] = "source/tItemFactory";
inline constexpr char kItemNamePrefix[] = "KEL";

class tDeviceListHolder {
 public:
  explicit tDeviceListHolder(tEnumerationLibrary& library);
  ~tDeviceListHolder();
  tDeviceListHolder(const tDeviceListHolder&) = delete;
  tDeviceListHolder& operator=(const tDeviceListHolder&) = delete;

  // Under the lock: when the list has changed, refresh it and rebuild the devices (entries that
  // fail are skipped). Reports the list's hasChanged/refresh failures into *status.
  void refreshDeviceList(nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* status);
  // Under the lock: the first device whose item name is `name`, or null.
  qokeldevenum::iKelDevice* findDevice(const std::string& name);
  // A copy of the devices of the last refresh, taken under the lock.
  std::vector<qokeldevenum::iKelDevice*> devices();

  boost::recursive_mutex& lock() noexcept { return lock_; }

 private:
  friend class tItemFactory;
  // Steps 1-3 of enumeration; hasChanged's failure lands in *changedStatus, refresh's in
  // *refreshStatus.
  void refreshLocked(nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* changedStatus,
                     nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus* refreshStatus);

  boost::recursive_mutex lock_;  // constructed first: thread_resource_error on failure
  tEnumerationLibrary& library_;
  qokeldevenum::iKelDeviceList* list_ = nullptr;
  std::vector<qokeldevenum::iKelDevice*> devices_;
  // A refresh that ran out of memory part way left devices_ short: the next one starts over
  // although the library reports no change.
  bool incomplete_ = false;
};

// A session with one device and its attribute reader, both released (reader first) when the
// object goes. Opening throws qoerr::Exception with the failing status.
class tAttributeAccess {
 public:
  explicit tAttributeAccess(qokeldevenum::iKelDevice* device);
  ~tAttributeAccess();
  tAttributeAccess(const tAttributeAccess&) = delete;
  tAttributeAccess& operator=(const tAttributeAccess&) = delete;

  // One 32-bit attribute; a failed read throws qoerr::Exception.
  std::uint32_t read(std::uint32_t attribute);
  // One string attribute read into a buffer of `capacity` bytes (the text is cut there); a
  // failed read throws qoerr::Exception.
  std::string readString(std::uint32_t attribute, std::size_t capacity);

 private:
  qokeldevenum::iKelSession* session_ = nullptr;
  qokeldevenum::iKelAttributeReader* reader_ = nullptr;
};

// Reads one 32-bit attribute of a device through a fresh session and reader (both released);
// throws qoerr::Exception with the failing status.
std::uint32_t readDeviceAttribute(qokeldevenum::iKelDevice* device, std::uint32_t attribute);

// The item name of a device number.
std::string itemNameOf(std::uint32_t deviceNumber);

class tItemFactory : public sysapicpp::ItemFactory {
 public:
  // Makes the item for `name`; it finds its board through the holder (a name without a board:
  // a platform exception of status -52005).
  using tItemMaker = std::function<sysapicpp::SharedPtrHelper<sysapicpp::Item>(
      const std::string& name, tDeviceListHolder& holder)>;

  // Initialises the enumeration library and obtains its device list; a failing library call
  // throws qoerr::Exception with the library's status (and nothing is kept).
  tItemFactory(tItemMaker maker, tEnumerationLibrary& library = enumerationLibrary());
  // The production factory: its items are device items (tNextVorlixItem, makeDeviceItem).
  explicit tItemFactory(tEnumerationLibrary& library = enumerationLibrary());
  // The maker of device items.
  static tItemMaker productionItemMaker();
  ~tItemFactory() override;

  void getItemNames(std::vector<std::string>& names) override;
  // One item per name, in order. A name whose item cannot be made (no such board, a failing
  // read) is left out and asked for again at the next board event; only memory exhaustion ends
  // the call. It is traced when it is first left out and again only when its failure code
  // changes or it was served in between, not at every presence pass that asks again.
  std::vector<sysapicpp::SharedPtrHelper<sysapicpp::Item>> createItems(
      const std::vector<std::string>& names) override;

  tDeviceListHolder& holder() noexcept { return holder_; }

 private:
  // Whether a left-out name is to be traced (new, or another code); remembers it.
  bool firstLeftOut(const std::string& name, std::int64_t code);

  tDeviceListHolder holder_;
  tItemMaker maker_;
  std::mutex leftOutLock_;                       // a leaf
  std::map<std::string, std::int64_t> leftOut_;  // name -> last failure code traced
};

}  // namespace VorlixSysapiExpert
