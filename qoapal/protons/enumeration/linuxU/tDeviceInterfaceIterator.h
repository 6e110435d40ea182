// tDeviceInterfaceIterator: finds the entries of one device interface in the kernel driver's
// /proc tree (on every device, or on one device) and reads the small files beside them. The
// tree's layout is part of the driver contract, qoapal/driver/qoDriverContract.h:
//   /proc/driver/qo/<device>/deviceInterfaces/<interface>\<a>\<b>/interfacePath
//   /proc/driver/qo/<device>/busProperties/<name>
//
// Every operation reports into the caller's tStatus (component "qovorlixatomicsae", source
// "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator" or ".../linuxDevEnumHelper"),
// never throws, and does nothing when the status is null or already holds an error.
// An iterator is used by one thread at a time.
#pragma once

#include <glob.h>

#include <cstddef>
#include <string>
#include <utility>

#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

inline constexpr char kDeviceInterfaceIteratorSource[] =
    "qoapal/protons/enumeration/linuxU/tDeviceInterfaceIterator";

class tDeviceInterfaceIterator {
 public:
  // Bytes of the buffer readInterfacePath fills: at most 255 bytes of path plus the NUL.
  static constexpr std::size_t kInterfacePathSize = 256;

  // Entries of `interfaceName` on every device. Names are literal text (see
  // linuxDevEnumHelper::buildMatchPattern): matcher characters in them are escaped; a null or
  // empty name, a name with '/', or a pattern longer than 4096 bytes sets -52005. No match is
  // not an error (the iterator is at its end); any other matcher failure sets -52003.
  // Only directories are kept.
  tDeviceInterfaceIterator(const char* interfaceName, tStatus* status);
  // Entries of `interfaceName` on the device `deviceName` only ("." and ".." are refused too).
  tDeviceInterfaceIterator(const char* interfaceName, const char* deviceName, tStatus* status);
  ~tDeviceInterfaceIterator();

  tDeviceInterfaceIterator(const tDeviceInterfaceIterator&) = delete;
  tDeviceInterfaceIterator& operator=(const tDeviceInterfaceIterator&) = delete;

  // True when nothing matched or the cursor has passed the last entry.
  bool isEnd() const noexcept;
  // Advances to the next entry (nothing at the end).
  void next() noexcept;
  // Path of the current entry; null at the end.
  const char* entryPath() const noexcept;

  // Reads <entry>/interfacePath into `buffer` and NUL-terminates it; returns the length
  // including the NUL (0 on failure). -52006 when there is no current entry or the file does
  // not open after 10 attempts, -52024 on a read error, -52019 when it holds more than 255
  // bytes (nothing is copied then).
  std::size_t readInterfacePath(char (&buffer)[kInterfacePathSize], tStatus* status) noexcept;

  // Reads /proc/driver/qo/<device>/<group>/<name> of the current entry's device. Stores the
  // byte count (at most 4096) in *outSize when outSize is given, and copies the bytes to
  // `destination` when it is given and `capacity` holds them; otherwise -52019, the size still
  // reported. -52006 when there is no current entry or the file does not open, -52024 on a
  // read error, -52005 when group or name is not a plain entry name.
  void readDeviceFile(const char* group, const char* name, void* destination, std::size_t capacity,
                      std::size_t* outSize, tStatus* status) noexcept;
  // readDeviceFile with the group "busProperties".
  void readBusProperty(const char* name, void* destination, std::size_t capacity,
                       std::size_t* outSize, tStatus* status) noexcept;

  // The current entry's device directory name (see linuxDevEnumHelper::deviceNameFromEntryPath).
  // `out` is emptied first; -52006 when there is no current entry.
  void getDeviceName(std::string& out, tStatus* status) noexcept;

  // Splits an interface entry name in place at its first two backslashes; see
  // linuxDevEnumHelper::splitEntryName.
  static std::pair<const char*, const char*> splitEntryName(char* name) noexcept;

 private:
  void match(const char* interfaceName, const char* deviceName, tStatus* status) noexcept;
  void skipNonDirectories() noexcept;

  glob_t matches_{};
  bool matched_ = false;  // matches_ holds a result to free
  std::size_t cursor_ = 0;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
