// Helpers of the device-interface iterator: building the match pattern for the driver's /proc
// tree, reading its small files, and taking interface entry names and paths apart. The tree
// itself is described in qoapal/driver/qoDriverContract.h.
//
// Status-reporting helpers report from "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper"
// and do nothing when the status is null or already holds an error.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::linuxDevEnumHelper {

inline constexpr char kSource[] = "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper";

// Size of the buffer a match pattern is formatted into, and of the buffer holding a path built
// from a matched entry.
inline constexpr std::size_t kPatternSize = 4096;
// Most bytes taken from a /proc file in its one read.
inline constexpr std::size_t kMaxFileRead = 4096;
// Attempts to open a /proc file before giving up (no delay between them).
inline constexpr int kOpenAttempts = 10;

// Formats the pattern of the interface entries named `interfaceName` into `buffer`
// (`size` bytes): on every device when `deviceName` is null
//   /proc/driver/qo/*/deviceInterfaces/<interface>\\*
// or on one device
//   /proc/driver/qo/<device>/deviceInterfaces/<interface>\\*
// The doubled backslash is the matcher's literal backslash, so an entry matches when its name
// is the interface name immediately followed by a backslash.
//
// Caller names are literal text: the matcher's special characters in them (\ * ? [ ]) are
// escaped, so they never widen the match. Names that cannot name one directory entry are
// refused with -52005 (invalid argument): null, empty, containing '/', and "." or ".." as a
// device name. A pattern that does not fit the buffer is refused with -52005 too (never cut).
// Returns whether the pattern was built.
bool buildMatchPattern(char* buffer, std::size_t size, const char* deviceName,
                       const char* interfaceName, tStatus* status);

// Whether `name` can name one entry of a directory: not null, not empty, no '/', not "." or
// "..".
bool isPlainEntryName(const char* name);

// Opens `path` read-only (close-on-exec), up to kOpenAttempts times in a row, and reads at most
// kMaxFileRead bytes in one read into `buffer` (which holds at least kMaxFileRead bytes).
// Returns the byte count, or -1 with -52006 (the file never opened) or -52024 (read error).
// The file is closed in every case.
long readSmallFile(const char* path, char* buffer, tStatus* status);

// Splits an interface entry name in place at its first and second backslash (both replaced by
// NUL) and returns the text before the first backslash and the text between the two. When
// either backslash is missing (or `name` is null) both results are null and the name is left
// as it was.
std::pair<const char*, const char*> splitEntryName(char* name);

// The device directory name of an interface entry path: the path without a leading
// "/proc/driver/qo/" (only removed when present), cut at the first "/deviceInterfaces/"; the
// whole remainder when that marker is absent. `out` is emptied first; growing it can fail with
// -52000 (reported from "qoapal/protons/containers/tBasicString"). A null path yields "".
void deviceNameFromEntryPath(const char* path, std::string& out, tStatus* status);

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::linuxDevEnumHelper
