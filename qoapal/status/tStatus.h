// tStatus: the platform status record. Every platform operation takes one by pointer, reports
// into it, and does nothing when it already holds an error, so callers chain operations and
// test once. Severity rule: a zero record takes any non-zero code; a warning (positive) is
// replaced only by an error (negative); an error is never replaced.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nQOVORLIXATOMICSAE_23_3 {

namespace nQOAPALS100 {
// Status codes of the platform layer (all errors).
struct tStatus {
  static constexpr std::int64_t kSuccess = 0;
  static constexpr std::int64_t kMemoryFull = -52000;
  static constexpr std::int64_t kUnsupported = -52002;
  static constexpr std::int64_t kEnumerationFailed = -52003;
  static constexpr std::int64_t kInvalidParameter = -52005;
  static constexpr std::int64_t kNotFound = -52006;
  static constexpr std::int64_t kTimedOut = -52007;
  static constexpr std::int64_t kOsFault = -52008;
  static constexpr std::int64_t kInProgress = -52011;
  static constexpr std::int64_t kOverflow = -52012;
  static constexpr std::int64_t kAlreadyExists = -52013;
  static constexpr std::int64_t kOwnerDied = -52014;
  static constexpr std::int64_t kNoLocks = -52015;
  static constexpr std::int64_t kBufferTooSmall = -52019;
  static constexpr std::int64_t kIdentifierRemoved = -52020;
  static constexpr std::int64_t kConnectionAborted = -52023;
  static constexpr std::int64_t kIoError = -52024;
  static constexpr std::int64_t kInterrupted = -52025;
  static constexpr std::int64_t kPermissionDenied = -52026;
  static constexpr std::int64_t kDeviceBusy = -52031;
};
}  // namespace nQOAPALS100

namespace nQOAPAL000 {

struct tStatus {
  static constexpr std::uint64_t kFullSize = 216;
  static constexpr std::size_t kComponentSize = 10;
  static constexpr std::size_t kFileSize = 101;
  static constexpr std::size_t kDetailSize = 80;

  std::uint64_t structSize = kFullSize;
  std::int64_t code = 0;
  char component[kComponentSize] = {};
  char file[kFileSize] = {};
  std::uint64_t line = 0;
  std::uint8_t detail[kDetailSize] = {};

  bool isFatal() const { return code < 0; }
  bool isNotFatal() const { return code >= 0; }
  bool isFull() const { return structSize >= kFullSize; }

  // Merges `newCode` by severity; when taken on a full record, stores the origin (component cut
  // to 9 characters; file cut to 100, a longer name kept as first 49 + ".." + last 49) and
  // clears the detail. Returns whether the record changed. Null strings count as empty.
  bool setCode(std::int64_t newCode, const char* componentName, const char* fileName,
               std::uint64_t lineNumber);
  // setCode with the other record's code and origin (empty origin when the other one is short);
  // when taken and both are full, the detail is copied word by word up to and including the
  // first all-zero word.
  void mergeFrom(const tStatus& other);
  // Maps an errno value through the error-number table and merges the result with setCode.
  bool fromErrno(int errnoValue, const char* componentName, const char* fileName,
                 std::uint64_t lineNumber);
};

static_assert(sizeof(tStatus) == 216);
static_assert(offsetof(tStatus, structSize) == 0);
static_assert(offsetof(tStatus, code) == 8);
static_assert(offsetof(tStatus, component) == 16);
static_assert(offsetof(tStatus, file) == 26);
static_assert(offsetof(tStatus, line) == 128);
static_assert(offsetof(tStatus, detail) == 136);

// The error-number table (errno 0..130 of Linux x86-64; anything else is -52008, 0 is 0).
std::int64_t statusFromErrno(int errnoValue);

}  // namespace nQOAPAL000
}  // namespace nQOVORLIXATOMICSAE_23_3
