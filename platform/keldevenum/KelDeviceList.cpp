// Device enumeration over the simulated driver's publications (qoPlatformStandinContract.h,
// section 1): every /proc/driver/qo/<device> holding a .kel directory is a board; the
// machine-wide generation file says whether the boards changed; fault files make single
// operations answer a chosen status.
//
// A device object holds a descriptor of its board's directory /proc/driver/qo/<device>, opened
// when the board was first listed, and reads <that>/.kel/... through it: once the board is
// unplugged the directory is empty and deleted, so every read fails with kNotFound, and a board
// plugged again under the same name is a new directory and so a new device object (identity =
// device name + directory inode). The simulator replaces a board's .kel directory as a whole
// when its publications change; reads through the board directory see the new one. Sessions
// and readers share the descriptor, so they do not depend on the list's lifetime.
//
// A board gone is noticed by the next refresh of any list (its directory is no longer listed, and
// its name names nothing or another directory) or by a read that finds nothing: the descriptor is
// closed at once, in every list of the process, although the device object and
// the caller's sessions and readers stay valid until released. Holding it would keep the
// deleted directory open for the whole life of the list, one descriptor per unplug and list.
// From then on every read through the object fails with kNotFound, as it did before through
// the deleted directory. The descriptor is never reused for another board while a read of the
// gone one is in flight: reads hold the directory's lock (shared) across their system calls,
// the close holds it exclusively.
//
// Locks, in this order: a list's mutex, then the registry of open directories, then a board
// directory's lock (a leaf). None is ever held while a caller's code runs.
#include "qokeldevenum/qokeldevenum.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "qostandin/qoPlatformStandinContract.h"

namespace qokeldevenum {
namespace {

namespace contract = qoplatform_standin;

constexpr char kComponent[] = "qokeldeve";
constexpr char kSourceName[] = "qokeldevenum/KelDeviceList";
constexpr std::int64_t kMemoryFull = -52000;
constexpr std::int64_t kPermissionDenied = -52026;
constexpr std::int64_t kIoError = -52024;
constexpr std::size_t kMaxFileSize = 64 * 1024;

// ---- status records -------------------------------------------------------------------------

bool failed(const tStatus* status) { return status != nullptr && status->code < 0; }

void copyText(char* field, std::size_t fieldSize, const char* text) {
  const std::size_t length = ::strnlen(text, fieldSize - 1);
  std::memcpy(field, text, length);
  field[length] = '\0';
}

// The severity rule: a zero record takes any code, a warning only an error, an error nothing.
void report(tStatus* status, std::int64_t code, unsigned line) {
  if (status == nullptr || code == 0) return;
  const bool taken = status->code == 0 || (status->code > 0 && code < 0);
  if (!taken) return;
  status->code = code;
  if (status->structSize < tStatus::kFullSize) return;
  copyText(status->component, sizeof status->component, kComponent);
  copyText(status->file, sizeof status->file, kSourceName);
  status->line = line;
  std::memset(status->detail, 0, sizeof status->detail);
}

std::int64_t codeFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case ESRCH:
    case EBADF:
      return kNotFound;
    case EINVAL:
      return kInvalidParameter;
    case ENOMEM:
    case ENFILE:
    case EMFILE:
      return kMemoryFull;
    case EACCES:
    case EPERM:
      return kPermissionDenied;
    case EIO:
      return kIoError;
    default:
      return kOsFault;
  }
}

// ---- files ----------------------------------------------------------------------------------

// Reads a whole (small) file relative to `dir`; the errno on failure.
int readFile(int dir, const char* path, std::string& out) {
  const int fd = ::openat(dir, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  out.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      return error;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
    if (out.size() > kMaxFileSize) {
      ::close(fd);
      return EFBIG;
    }
  }
  ::close(fd);
  return 0;
}

// Decimal text with optional surrounding whitespace.
std::optional<std::int64_t> parseDecimal(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  while (begin < end && std::strchr(" \t\r\n", *begin) != nullptr) ++begin;
  while (end > begin && std::strchr(" \t\r\n", end[-1]) != nullptr) --end;
  std::int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end) return std::nullopt;
  return value;
}

// The status injected for operation `op` in the faults directory `faults` (relative to `dir`),
// 0 for none. A fault file that is not decimal text answers kOsFault (a broken publication).
std::int64_t injectedFault(int dir, const std::string& faults, const std::string& op) {
  const std::string path = faults + "/" + op;
  std::string text;
  if (readFile(dir, path.c_str(), text) != 0) return 0;
  return parseDecimal(text).value_or(kOsFault);
}

// Reports an injected fault; true when the operation must fail (an error was injected). An
// injected warning is reported and the operation goes on.
bool answerFault(int dir, const std::string& faults, const std::string& op, tStatus* status,
                 unsigned line) {
  const std::int64_t fault = injectedFault(dir, faults, op);
  report(status, fault, line);
  return fault < 0;
}

// A path below a board's .kel directory.
std::string kelPath(const std::string& below) {
  return std::string(contract::kKelDirectory) + "/" + below;
}

// Answers an injected fault of a board's operation (see answerFault).
bool answerBoardFault(int board, const std::string& op, tStatus* status, unsigned line) {
  return answerFault(board, kelPath(contract::kFaultsDirectory), op, status, line);
}

// The machine-wide enumeration directory, or -1 when there is none.
class MachineDirectory {
 public:
  MachineDirectory() {
    const std::string path = std::string(contract::kProcRoot) + "/" + contract::kKelDirectory;
    fd_ = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  ~MachineDirectory() {
    if (fd_ >= 0) ::close(fd_);
  }
  MachineDirectory(const MachineDirectory&) = delete;
  MachineDirectory& operator=(const MachineDirectory&) = delete;

  bool answerFault(const char* op, tStatus* status, unsigned line) const {
    return fd_ >= 0 && qokeldevenum::answerFault(fd_, contract::kFaultsDirectory, op, status, line);
  }
  // The generation text; nullopt when the machine publishes none.
  std::optional<std::string> generation() const {
    std::string text;
    if (fd_ < 0 || readFile(fd_, contract::kGenerationFile, text) != 0) return std::nullopt;
    return text;
  }

 private:
  int fd_ = -1;
};

// A board's directory, shared by its device, sessions and readers. Paths below are relative to
// it and start with the .kel directory. Once the board has gone the descriptor is closed
// (retire) and every use sees -1: the system calls answer EBADF, which reads report as
// kNotFound.
//
// Whoever finds first that the board has gone closes it for every list, session and reader of
// the process (see OpenDirectories): the next refresh of any list, or a read that found nothing.
// A process often holds several lists, and one of them may not be refreshed again for a long
// time after an unplug (nothing asks it; or its refresh was skipped because the generation was
// read before the unplug had ended); it must not keep the gone board's directory open meanwhile.
class KelDirectory {
 public:
  KelDirectory(int fd, std::string name, dev_t deviceId, ino_t inode)
      : name_(std::move(name)), deviceId_(deviceId), inode_(inode), fd_(fd) {}
  ~KelDirectory() { retire(); }
  KelDirectory(const KelDirectory&) = delete;
  KelDirectory& operator=(const KelDirectory&) = delete;

  // Runs `use` with the descriptor (-1 once retired); it stays open until `use` returns.
  template <class Use>
  auto with(Use&& use) const {
    std::shared_lock lock(mutex_);
    return use(fd_);
  }
  bool retired() const {
    std::shared_lock lock(mutex_);
    return fd_ < 0;
  }
  // Closes the descriptor of a board that has gone (waits for the reads in flight).
  void retire() const {
    std::unique_lock lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // After a read that answered `code`: a board whose read found nothing and that has gone is
  // retired.
  void noteRead(std::int64_t code) const;
  // Retires every directory of this board in the process (this one included).
  void retireEverywhere() const;

  bool isBoard(const std::string& name, dev_t deviceId, ino_t inode) const {
    return name == name_ && deviceId == deviceId_ && inode == inode_;
  }
  bool sameBoardAs(const KelDirectory& other) const {
    return isBoard(other.name_, other.deviceId_, other.inode_);
  }
  // Whether the board's directory has gone from the driver's tree: its name names nothing, or
  // another directory (the board was plugged again). Other failures to look say nothing.
  bool gone() const {
    const std::string path = std::string(contract::kProcRoot) + "/" + name_;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR;
    return !isBoard(name_, st.st_dev, st.st_ino);
  }

  // Whether the board is still published (its attributes directory is still there).
  bool present(tStatus* status, unsigned line) const {
    const int error = with([](int fd) {
      struct stat st {};
      return ::fstatat(fd, kelPath(contract::kAttributesDirectory).c_str(), &st, 0) == 0 ? 0
                                                                                         : errno;
    });
    if (error == 0) return true;
    const std::int64_t code = codeFromErrno(error);
    noteRead(code);
    report(status, code, line);
    return false;
  }
  // Answers an injected fault of the board's operation (see answerFault).
  bool answerFault(const std::string& op, tStatus* status, unsigned line) const {
    return with([&](int fd) { return answerBoardFault(fd, op, status, line); });
  }

 private:
  const std::string name_;
  const dev_t deviceId_;
  const ino_t inode_;
  mutable std::shared_mutex mutex_;  // a leaf; guards fd_ and its use
  mutable int fd_;
};

using Directory = std::shared_ptr<const KelDirectory>;

// Every board directory the process has open, whichever list opened it.
class OpenDirectories {
 public:
  void add(const Directory& directory) {
    std::lock_guard lock(mutex_);
    open_.push_back(directory);
  }
  // Retires every directory of the board `gone` names; forgets those freed meanwhile.
  void retireBoard(const KelDirectory& gone) {
    std::lock_guard lock(mutex_);
    std::erase_if(open_, [&](const std::weak_ptr<const KelDirectory>& entry) {
      const Directory directory = entry.lock();
      if (!directory) return true;
      if (!directory->sameBoardAs(gone)) return false;
      directory->retire();
      return true;
    });
  }

  // After a refresh that listed `listed`: retires every directory of the process whose board is
  // not among them and has gone, also one the refreshing list never knew (a board plugged and
  // pulled between two of its refreshes, known only to a list nothing asks again); forgets the
  // directories already retired or freed.
  void retireUnlisted(const std::vector<const KelDirectory*>& listed) {
    std::lock_guard lock(mutex_);
    std::erase_if(open_, [&](const std::weak_ptr<const KelDirectory>& entry) {
      const Directory directory = entry.lock();
      if (!directory || directory->retired()) return true;
      for (const KelDirectory* board : listed)
        if (directory->sameBoardAs(*board)) return false;
      if (!directory->gone()) return false;  // plugged after the listing, or not readable now
      directory->retire();
      return true;
    });
  }

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<const KelDirectory>> open_;
};

// Never destroyed: lists and readers may outlive static destruction in a host that exits
// without releasing them.
OpenDirectories& openDirectories() {
  static auto* registry = new OpenDirectories;
  return *registry;
}

void KelDirectory::noteRead(std::int64_t code) const {
  if (code == kNotFound && gone()) retireEverywhere();
}

void KelDirectory::retireEverywhere() const {
  retire();
  openDirectories().retireBoard(*this);
}

// Numeric attribute `attribute` of the board whose directory is `board`: 0 or the status.
std::int64_t readAttributeFile(int board, std::uint32_t attribute, std::uint32_t& value) {
  value = 0;
  std::string bytes;
  const std::string path =
      kelPath(std::string(contract::kAttributesDirectory) + "/" + std::to_string(attribute));
  if (const int error = readFile(board, path.c_str(), bytes); error != 0)
    return codeFromErrno(error);
  if (bytes.size() != 4) return kOsFault;  // a numeric attribute is exactly 4 bytes
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  value = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
          std::uint32_t{b[3]} << 24;
  return 0;
}

// ---- reader, session, device -----------------------------------------------------------------

class KelAttributeReader final : public iKelAttributeReader {
 public:
  explicit KelAttributeReader(Directory directory) : directory_(std::move(directory)) {}

  std::uint32_t readU32(std::uint32_t attribute, tStatus* status) override {
    if (failed(status)) return 0;
    const std::string n = std::to_string(attribute);
    if (directory_->answerFault("readU32." + n, status, __LINE__)) return 0;
    std::uint32_t value = 0;
    const std::int64_t code =
        directory_->with([&](int fd) { return readAttributeFile(fd, attribute, value); });
    directory_->noteRead(code);
    report(status, code, __LINE__);
    return value;
  }

  std::size_t readString(std::uint32_t attribute, char* buffer, std::size_t size,
                         tStatus* status) override {
    if (failed(status)) return 0;
    if (buffer == nullptr || size == 0) {
      report(status, kInvalidParameter, __LINE__);
      return 0;
    }
    buffer[0] = '\0';
    const std::string n = std::to_string(attribute);
    if (directory_->answerFault("readString." + n, status, __LINE__)) return 0;
    std::string text;
    const std::string path = kelPath(std::string(contract::kStringsDirectory) + "/" + n);
    const int error = directory_->with([&](int fd) { return readFile(fd, path.c_str(), text); });
    if (error != 0) {
      const std::int64_t code = codeFromErrno(error);
      directory_->noteRead(code);
      report(status, code, __LINE__);
      return 0;
    }
    text.resize(::strnlen(text.c_str(), text.size()));  // a NUL ends the text
    std::size_t length = text.size();
    if (length >= size) {
      length = size - 1;
      report(status, kBufferTooSmall, __LINE__);
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
  }

  void release() override { delete this; }

 private:
  Directory directory_;
};

class KelSession final : public iKelSession {
 public:
  explicit KelSession(Directory directory) : directory_(std::move(directory)) {}

  iKelAttributeReader* getAttributeReader(std::uint32_t flags, tStatus* status) override {
    if (failed(status)) return nullptr;
    if (flags != 0) {
      report(status, kInvalidParameter, __LINE__);
      return nullptr;
    }
    if (directory_->answerFault("getAttributeReader", status, __LINE__)) return nullptr;
    if (!directory_->present(status, __LINE__)) return nullptr;
    auto* reader = new (std::nothrow) KelAttributeReader(directory_);
    if (reader == nullptr) report(status, kMemoryFull, __LINE__);
    return reader;
  }

  void release() override { delete this; }

 private:
  Directory directory_;
};

std::string readName(int dir, const char* file) {
  std::string text;
  if (readFile(dir, kelPath(file).c_str(), text) != 0) return {};
  text.resize(::strnlen(text.c_str(), text.size()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// A name text of a device. Every text handed out stays valid until the device is freed: a
// changed name is a new text, the earlier ones are kept.
class DeviceName {
 public:
  const char* get() const { return current_.load(std::memory_order_acquire); }
  // Takes `text` when it differs from the current one (called under the list's lock).
  void update(std::string text) {
    if (!texts_.empty() && *texts_.back() == text) return;
    texts_.push_back(std::make_unique<std::string>(std::move(text)));
    current_.store(texts_.back()->c_str(), std::memory_order_release);
  }

 private:
  std::vector<std::unique_ptr<std::string>> texts_;
  std::atomic<const char*> current_{""};
};

class KelDevice final : public iKelDevice {
 public:
  explicit KelDevice(Directory directory) : directory_(std::move(directory)) { readNames(); }

  iKelSession* openSession(std::uint32_t flags, tStatus* status) override {
    if (failed(status)) return nullptr;
    if (flags != 0) {
      report(status, kInvalidParameter, __LINE__);
      return nullptr;
    }
    if (directory_->answerFault("openSession", status, __LINE__)) return nullptr;
    if (!directory_->present(status, __LINE__)) return nullptr;
    auto* session = new (std::nothrow) KelSession(directory_);
    if (session == nullptr) report(status, kMemoryFull, __LINE__);
    return session;
  }
  const char* getPrimaryName() override { return primaryName_.get(); }
  const char* getSecondaryName() override { return secondaryName_.get(); }

  // Re-reads the names (at every refresh that lists the board; under the list's lock).
  void readNames() {
    primaryName_.update(
        directory_->with([](int fd) { return readName(fd, contract::kPrimaryNameFile); }));
    secondaryName_.update(
        directory_->with([](int fd) { return readName(fd, contract::kSecondaryNameFile); }));
  }
  bool sameBoard(const std::string& name, dev_t deviceId, ino_t inode) const {
    return directory_->isBoard(name, deviceId, inode);
  }
  const KelDirectory& directory() const { return *directory_; }

 private:
  const Directory directory_;
  DeviceName primaryName_;
  DeviceName secondaryName_;
};

// ---- the list ---------------------------------------------------------------------------------

class KelDeviceList final : public iKelDeviceList {
 public:
  bool hasChanged(tStatus* status) override {
    if (failed(status)) return false;
    try {
      std::lock_guard lock(mutex_);
      MachineDirectory machine;
      if (machine.answerFault("hasChanged", status, __LINE__)) return false;
      if (!refreshed_) return true;
      return machine.generation() != generation_;
    } catch (const std::bad_alloc&) {
      report(status, kMemoryFull, __LINE__);
      return false;
    }
  }

  void refresh(tStatus* status) override {
    if (failed(status)) return;
    try {
      std::lock_guard lock(mutex_);
      MachineDirectory machine;
      if (machine.answerFault("refresh", status, __LINE__)) return;
      // The generation is read before the boards: a change while they are read is seen by the
      // next hasChanged.
      std::optional<std::string> generation = machine.generation();
      std::vector<KelDevice*> boards;
      if (!readBoards(boards, status)) return;
      // A board left out while its directory is still there (a descriptor could not be opened
      // for the listing) keeps its descriptor and is looked at again at the next refresh.
      std::vector<const KelDirectory*> listed;
      listed.reserve(boards.size());
      for (const KelDevice* board : boards) listed.push_back(&board->directory());
      openDirectories().retireUnlisted(listed);
      current_ = std::move(boards);
      generation_ = std::move(generation);
      refreshed_ = true;
    } catch (const std::bad_alloc&) {
      report(status, kMemoryFull, __LINE__);
    }
  }

  std::uint32_t count() override {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(current_.size());
  }

  iKelDevice* deviceAt(std::uint32_t index, std::uint32_t flags, tStatus* status) override {
    if (failed(status)) return nullptr;
    std::lock_guard lock(mutex_);
    if (flags != 0 || index >= current_.size()) {
      report(status, kInvalidParameter, __LINE__);
      return nullptr;
    }
    KelDevice* device = current_[index];
    if (device->directory().answerFault("deviceAt", status, __LINE__)) return nullptr;
    return device;
  }

  void release() override { delete this; }

 private:
  struct Found {
    std::string name;
    int fd;
    dev_t deviceId;
    ino_t inode;
    std::uint32_t number;  // attribute 1; boards without one sort last
  };

  // Adds the directory entry `name` of the driver's tree to `found` when it is a board of this
  // family (its descriptor kept open). False (status set) when the board's directory cannot be
  // examined.
  bool noteBoard(DIR* root, const char* name, std::vector<Found>& found, tStatus* status) {
    if (name[0] == '.') return true;  // ".", "..", the machine-wide .kel, hidden names
    const int fd = ::openat(::dirfd(root), name, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;  // gone meanwhile
    struct stat kel {};
    if (::fstatat(fd, contract::kKelDirectory, &kel, 0) != 0 || !S_ISDIR(kel.st_mode)) {
      ::close(fd);  // not a board of this family
      return true;
    }
    try {
      found.push_back(Found{name, fd, 0, 0, 0xFFFFFFFFu});
    } catch (...) {
      ::close(fd);
      throw;
    }
    Found& f = found.back();
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      report(status, codeFromErrno(errno), __LINE__);
      return false;
    }
    f.deviceId = st.st_dev;
    f.inode = st.st_ino;
    // The order is the board's own: read past the faults injected for callers.
    std::uint32_t number = 0;
    if (readAttributeFile(fd, contract::kAttrDeviceNumber, number) == 0) f.number = number;
    return true;
  }

  // The device objects of `found`, in its order: the object of a board already listed (its names
  // read again), else a new one that takes over the board's descriptor.
  void adopt(std::vector<Found>& found, std::vector<KelDevice*>& boards) {
    boards.reserve(found.size());
    all_.reserve(all_.size() + found.size());
    for (Found& f : found) {
      KelDevice* device = nullptr;
      for (KelDevice* known : current_) {
        if (known->sameBoard(f.name, f.deviceId, f.inode)) device = known;
      }
      if (device != nullptr) {
        device->readNames();
      } else {
        auto directory = std::make_shared<KelDirectory>(f.fd, f.name, f.deviceId, f.inode);
        f.fd = -1;  // owned by the directory now
        openDirectories().add(directory);
        all_.push_back(std::make_unique<KelDevice>(std::move(directory)));
        device = all_.back().get();
      }
      boards.push_back(device);
    }
  }

  // Fills `boards` with the boards published now, in list order. False (status set) when the
  // driver's tree cannot be read; a machine without the tree has no boards.
  bool readBoards(std::vector<KelDevice*>& boards, tStatus* status) {
    DIR* root = ::opendir(contract::kProcRoot);
    if (root == nullptr) {
      if (errno == ENOENT || errno == ENOTDIR) return true;
      report(status, codeFromErrno(errno), __LINE__);
      return false;
    }
    std::vector<Found> found;
    struct Closer {
      std::vector<Found>& found;
      DIR* root;
      ~Closer() {
        for (const Found& f : found)
          if (f.fd >= 0) ::close(f.fd);
        ::closedir(root);
      }
    } closer{found, root};

    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(root);
      if (entry == nullptr) {
        if (errno != 0) {
          report(status, codeFromErrno(errno), __LINE__);
          return false;
        }
        break;
      }
      if (!noteBoard(root, entry->d_name, found, status)) return false;
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
      return a.number != b.number ? a.number < b.number : a.name < b.name;
    });
    adopt(found, boards);
    return true;
  }

  std::mutex mutex_;  // guards everything below; a leaf lock
  bool refreshed_ = false;
  std::optional<std::string> generation_;  // as read by the last refresh
  std::vector<KelDevice*> current_;        // the boards of the last refresh, in list order
  // Every device object handed out by this list, also of boards gone since: they stay valid
  // until the list is released.
  std::vector<std::unique_ptr<KelDevice>> all_;
};

std::atomic<int> gInitializations{0};

}  // namespace
}  // namespace qokeldevenum

namespace {
// The status injected machine-wide for an entry point (0 for none; memory for the check
// itself missing counts as none).
std::int32_t machineFault(const char* op) noexcept {
  try {
    qokeldevenum::tStatus status;
    qokeldevenum::MachineDirectory().answerFault(op, &status, __LINE__);
    return static_cast<std::int32_t>(status.code);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::int32_t qokeldevenum_initialize() {
  // An injected warning is not a failure of an entry point (0 = success, negative = failure).
  if (const std::int32_t fault = machineFault("initialize"); fault < 0) return fault;
  qokeldevenum::gInitializations.fetch_add(1);
  return 0;
}

__attribute__((visibility("default"))) std::int32_t qokeldevenum_getAllKelDevices(
    std::uint32_t flags, qokeldevenum::iKelDeviceList** list) {
  if (list == nullptr) return static_cast<std::int32_t>(qokeldevenum::kInvalidParameter);
  *list = nullptr;
  if (flags != 0 || qokeldevenum::gInitializations.load() <= 0)
    return static_cast<std::int32_t>(qokeldevenum::kInvalidParameter);
  if (const std::int32_t fault = machineFault("getAllKelDevices"); fault < 0) return fault;
  *list = new (std::nothrow) qokeldevenum::KelDeviceList();
  return *list != nullptr ? 0 : -52000;
}

__attribute__((visibility("default"))) std::int32_t qokeldevenum_finalize() {
  int count = qokeldevenum::gInitializations.load();
  while (count > 0 && !qokeldevenum::gInitializations.compare_exchange_weak(count, count - 1)) {
  }
  return count > 0 ? 0 : static_cast<std::int32_t>(qokeldevenum::kInvalidParameter);
}

}  // extern "C"
