#include "qoapal/status/tStatus.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {
namespace {

using Codes = nQOAPALS100::tStatus;

// The table is written with the Linux x86-64 numbers; the build checks they are the system's.
static_assert(EPERM == 1 && ENOENT == 2 && ESRCH == 3 && EINTR == 4 && EIO == 5 && ENXIO == 6 &&
              EBADF == 9 && ENOMEM == 12 && EACCES == 13 && EEXIST == 17 && ENODEV == 19 &&
              EINVAL == 22 && ENFILE == 23 && EMFILE == 24 && ENOTTY == 25 && ENOSPC == 28 &&
              EROFS == 30 && EPIPE == 32 && EDEADLOCK == 35 && ENOLCK == 37 && EIDRM == 43 &&
              EBADMSG == 74 && EOVERFLOW == 75 && ENOTSUP == 95 && EADDRINUSE == 98 &&
              ECONNABORTED == 103 && ECONNRESET == 104 && ENOBUFS == 105 && ETIMEDOUT == 110 &&
              EALREADY == 114 && EINPROGRESS == 115 && EOWNERDEAD == 130);

constexpr int kLastErrno = 130;

constexpr std::array<std::int64_t, kLastErrno + 1> makeErrnoTable() {
  std::array<std::int64_t, kLastErrno + 1> table{};
  for (auto& code : table) code = Codes::kOsFault;
  table[0] = Codes::kSuccess;
  for (int e : {EPERM, EACCES, EROFS}) table[e] = Codes::kPermissionDenied;
  for (int e : {EINTR, ECONNRESET}) table[e] = Codes::kInterrupted;
  for (int e : {EIO, EPIPE, EBADMSG}) table[e] = Codes::kIoError;
  table[ECONNABORTED] = Codes::kConnectionAborted;
  table[EIDRM] = Codes::kIdentifierRemoved;
  table[ENOBUFS] = Codes::kBufferTooSmall;
  for (int e : {EDEADLOCK, ENOLCK}) table[e] = Codes::kNoLocks;
  table[EOWNERDEAD] = Codes::kOwnerDied;
  for (int e : {EEXIST, EADDRINUSE}) table[e] = Codes::kAlreadyExists;
  for (int e : {ENOSPC, EOVERFLOW}) table[e] = Codes::kOverflow;
  for (int e : {EALREADY, EINPROGRESS}) table[e] = Codes::kInProgress;
  table[ETIMEDOUT] = Codes::kTimedOut;
  for (int e : {ENOENT, ESRCH, ENXIO, EBADF, ENODEV}) table[e] = Codes::kNotFound;
  table[EINVAL] = Codes::kInvalidParameter;
  for (int e : {ENOTTY, ENOTSUP}) table[e] = Codes::kUnsupported;
  for (int e : {ENOMEM, ENFILE, EMFILE}) table[e] = Codes::kMemoryFull;
  return table;
}

constexpr auto kErrnoTable = makeErrnoTable();

// Severity rule shared by both status records.
bool takesCode(std::int64_t current, std::int64_t incoming) {
  if (current == 0) return incoming != 0;
  return current > 0 && incoming < 0;
}

// Copies at most `limit` characters of name[0, length) into field and NUL-terminates it.
void copyCut(char* field, std::size_t limit, const char* name, std::size_t length) {
  const std::size_t n = length < limit ? length : limit;
  if (n != 0) std::memmove(field, name, n);  // the name may be this record's own field
  field[n] = '\0';
}

void storeOrigin(tStatus& status, const char* component, std::size_t componentLength,
                 const char* file, std::size_t fileLength, std::uint64_t line) {
  copyCut(status.component, tStatus::kComponentSize - 1, component, componentLength);
  constexpr std::size_t kFileLimit = tStatus::kFileSize - 1;  // 100
  if (fileLength <= kFileLimit) {
    copyCut(status.file, kFileLimit, file, fileLength);
  } else {
    // Keep both ends of a long name: the first 49 characters, "..", the last 49.
    constexpr std::size_t kHalf = (kFileLimit - 2) / 2;
    std::memcpy(status.file, file, kHalf);
    status.file[kHalf] = '.';
    status.file[kHalf + 1] = '.';
    std::memcpy(status.file + kHalf + 2, file + fileLength - kHalf, kHalf);
    status.file[kFileLimit] = '\0';
  }
  status.line = line;
  std::memset(status.detail, 0, sizeof status.detail);
}

bool setCodeN(tStatus& status, std::int64_t newCode, const char* component,
              std::size_t componentLength, const char* file, std::size_t fileLength,
              std::uint64_t line) {
  if (!takesCode(status.code, newCode)) return false;
  status.code = newCode;
  if (status.isFull()) storeOrigin(status, component, componentLength, file, fileLength, line);
  return true;
}

}  // namespace

std::int64_t statusFromErrno(int errnoValue) {
  if (errnoValue < 0 || errnoValue > kLastErrno) return Codes::kOsFault;
  return kErrnoTable[static_cast<std::size_t>(errnoValue)];
}

bool tStatus::setCode(std::int64_t newCode, const char* componentName, const char* fileName,
                      std::uint64_t lineNumber) {
  if (componentName == nullptr) componentName = "";
  if (fileName == nullptr) fileName = "";
  return setCodeN(*this, newCode, componentName, std::strlen(componentName), fileName,
                  std::strlen(fileName), lineNumber);
}

void tStatus::mergeFrom(const tStatus& other) {
  if (&other == this) return;
  bool taken;
  if (other.isFull()) {
    // The other record's fields may come from outside: never read past them.
    taken = setCodeN(*this, other.code, other.component, ::strnlen(other.component, kComponentSize),
                     other.file, ::strnlen(other.file, kFileSize), other.line);
  } else {
    taken = setCodeN(*this, other.code, "", 0, "", 0, 0);
  }
  if (!taken || !isFull() || !other.isFull()) return;
  // Copy the detail word by word up to and including the first all-zero word.
  for (std::size_t offset = 0; offset < kDetailSize; offset += 8) {
    std::uint64_t word;
    std::memcpy(&word, other.detail + offset, 8);
    std::memcpy(detail + offset, &word, 8);
    if (word == 0) break;
  }
}

bool tStatus::fromErrno(int errnoValue, const char* componentName, const char* fileName,
                        std::uint64_t lineNumber) {
  return setCode(statusFromErrno(errnoValue), componentName, fileName, lineNumber);
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
