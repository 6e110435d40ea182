// qokeldevenum: device enumeration of the Vorlix board family.
//
// The library lists the boards of the family present in the machine and reads their
// attributes. Entry points (C linkage, 0 = success, a negative status otherwise):
//
//   qokeldevenum_initialize()                     once per user, before anything else
//   qokeldevenum_getAllKelDevices(0, &list)       a device list of the boards present
//   qokeldevenum_finalize()                       once per user, after its lists are released
//
// Every operation of the objects below that takes a tStatus reports into it by the severity
// rule (a zero record takes any code; a warning is replaced only by an error; an error is never
// replaced) and does nothing when the record already holds an error. A record whose structSize
// is below tStatus::kFullSize receives the code only.
//
// Object lifetimes:
//   - iKelDeviceList: from getAllKelDevices until release().
//   - iKelDevice: owned by its list; valid until the list is released, also after the board
//     has gone (its reads then fail with kNotFound). A device keeps its object across refreshes.
//   - iKelSession, iKelAttributeReader: owned by the caller, freed with release() (reader
//     first). They do not depend on the list's lifetime.
// The names returned by getPrimaryName/getSecondaryName are owned by the device object.
//
// Every object may be used from any thread; a list serialises its own operations.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qokeldevenum {

// Status codes the library reports (all errors).
inline constexpr std::int64_t kInvalidParameter = -52005;
inline constexpr std::int64_t kNotFound = -52006;
inline constexpr std::int64_t kOsFault = -52008;
inline constexpr std::int64_t kBufferTooSmall = -52019;

// The platform status record (216 bytes, native byte order, x86-64).
struct tStatus {
  static constexpr std::uint64_t kFullSize = 216;
  static constexpr std::size_t kComponentSize = 10;
  static constexpr std::size_t kFileSize = 101;
  static constexpr std::size_t kDetailSize = 80;

  std::uint64_t structSize = kFullSize;  // the size the caller built; < 216: code only
  std::int64_t code = 0;                 // 0 success, < 0 error, > 0 warning
  char component[kComponentSize] = {};   // NUL-terminated, at most 9 characters
  char file[kFileSize] = {};             // NUL-terminated, at most 100 characters
  std::uint64_t line = 0;
  std::uint8_t detail[kDetailSize] = {};  // cleared whenever a new code is set
};

static_assert(sizeof(tStatus) == 216);
static_assert(offsetof(tStatus, structSize) == 0);
static_assert(offsetof(tStatus, code) == 8);
static_assert(offsetof(tStatus, component) == 16);
static_assert(offsetof(tStatus, file) == 26);
static_assert(offsetof(tStatus, line) == 128);
static_assert(offsetof(tStatus, detail) == 136);

// Attribute reader of one session. Slot order: readU32, readString, release.
class iKelAttributeReader {
 public:
  // The 32-bit attribute `attribute`; 0 on failure.
  virtual std::uint32_t readU32(std::uint32_t attribute, tStatus* status) = 0;
  // The string attribute `attribute`, NUL-terminated into buffer[0..size). Returns the length
  // of the text (without the NUL); 0 on failure. A text that does not fit is cut (still
  // NUL-terminated) and kBufferTooSmall is reported. A null buffer or size 0: kInvalidParameter.
  virtual std::size_t readString(std::uint32_t attribute, char* buffer, std::size_t size,
                                 tStatus* status) = 0;
  virtual void release() = 0;

 protected:
  ~iKelAttributeReader() = default;
};

// A session with one board. Slot order: getAttributeReader, release.
class iKelSession {
 public:
  // flags: 0. Null on failure.
  virtual iKelAttributeReader* getAttributeReader(std::uint32_t flags, tStatus* status) = 0;
  virtual void release() = 0;

 protected:
  ~iKelSession() = default;
};

// One board. Slot order: openSession, getPrimaryName, getSecondaryName.
class iKelDevice {
 public:
  // flags: 0. Null on failure.
  virtual iKelSession* openSession(std::uint32_t flags, tStatus* status) = 0;
  // NUL-terminated, never null (empty when the board publishes none).
  virtual const char* getPrimaryName() = 0;
  virtual const char* getSecondaryName() = 0;

 protected:
  ~iKelDevice() = default;
};

// The boards present, as of the last refresh. Slot order: hasChanged, refresh, count,
// deviceAt, release.
class iKelDeviceList {
 public:
  // Whether the boards changed since the last refresh (true before the first one).
  virtual bool hasChanged(tStatus* status) = 0;
  // Re-reads the boards. On failure the list keeps its previous content.
  virtual void refresh(tStatus* status) = 0;
  virtual std::uint32_t count() = 0;
  // flags: 0. Null on failure (an index at or beyond count(): kInvalidParameter).
  virtual iKelDevice* deviceAt(std::uint32_t index, std::uint32_t flags, tStatus* status) = 0;
  // Frees the list and its devices.
  virtual void release() = 0;

 protected:
  ~iKelDeviceList() = default;
};

}  // namespace qokeldevenum

extern "C" {
std::int32_t qokeldevenum_initialize();
// flags: 0; *list receives a new list (null on failure).
std::int32_t qokeldevenum_getAllKelDevices(std::uint32_t flags,
                                           qokeldevenum::iKelDeviceList** list);
std::int32_t qokeldevenum_finalize();
}

// The entry points' types, for users that resolve them at run time.
namespace qokeldevenum {
using tInitialize = std::int32_t (*)();
using tGetAllKelDevices = std::int32_t (*)(std::uint32_t, iKelDeviceList**);
using tFinalize = std::int32_t (*)();
inline constexpr char kLibraryName[] = "libqokeldevenum.so.1";
}  // namespace qokeldevenum
