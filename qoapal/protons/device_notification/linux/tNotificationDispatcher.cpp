#include "qoapal/protons/device_notification/linux/tNotificationDispatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qoapal/component.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/protons/cppNewDelete/memoryAllocation.h"
#include "qoapal/protons/enumeration/linuxU/linuxDevEnumHelper.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

const char kAnyInterface[1] = "";

namespace {

using Codes = nQOAPALS100::tStatus;

// Source lines reported by the dispatcher's operations.
constexpr std::uint64_t kLineInotifyInit = 47;
constexpr std::uint64_t kLineAddWatch = 69;
constexpr std::uint64_t kLinePipe = 149;
constexpr std::uint64_t kLineReadDirectory = 191;
constexpr std::uint64_t kLineReadEvents = 277;
constexpr std::uint64_t kLineWait = 350;

bool blocked(const tStatus* status) { return status == nullptr || status->isFatal(); }

void fail(tStatus* status, std::int64_t code, std::uint64_t line) {
  status->setCode(code, kComponentName, kNotificationDispatcherSource, line);
}

void failErrno(tStatus* status, int errnoValue, std::uint64_t line) {
  fail(status, errnoValue == 0 ? Codes::kOsFault : statusFromErrno(errnoValue), line);
}

// Copies text into a NAME_MAX+1 field, cut to NAME_MAX bytes.
void copyName(char (&field)[NAME_MAX + 1], const char* text) {
  const std::size_t length = ::strnlen(text, NAME_MAX);
  std::memcpy(field, text, length);
  field[length] = '\0';
}

// /dev/qo missing, or not a directory: wait for it to be created.
bool nodeDirectoryAbsent(int errnoValue) { return errnoValue == ENOENT || errnoValue == ENOTDIR; }

}  // namespace

// --- Event lists ------------------------------------------------------------------------------

std::size_t tNotificationDispatcher::countNodes(const tLinks& list) noexcept {
  std::size_t count = 0;
  for (const tLinks* link = list.next; link != &list; link = link->next) ++count;
  return count;
}

tNotificationDispatcher::tEventNode* tNotificationDispatcher::popFront(tLinks& list) noexcept {
  tLinks* first = list.next;
  if (first == &list) return nullptr;
  first->previous->next = first->next;
  first->next->previous = first->previous;
  first->next = first->previous = first;
  return reinterpret_cast<tEventNode*>(first);
}

void tNotificationDispatcher::pushBack(tLinks& list, tEventNode* node) noexcept {
  tLinks* link = &node->links;
  link->next = &list;
  link->previous = list.previous;
  list.previous->next = link;
  list.previous = link;
}

void tNotificationDispatcher::freeList(tLinks& list) noexcept {
  while (tEventNode* node = popFront(list)) deleteWithStatus(node);
}

// --- Construction and destruction --------------------------------------------------------------

tNotificationDispatcher::tNotificationDispatcher(const char* const* names, std::size_t count,
                                                 tStatus* status) noexcept {
  if (blocked(status)) {
    stopped_ = true;
    return;
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) == -1) {
    failErrno(status, errno, kLinePipe);
    stopped_ = true;
    return;
  }
  pipeRead_ = ends[0];
  pipeWrite_ = ends[1];

  copyNames(names, count, status);
  if (!blocked(status) && nameCount_ > 1) {
    std::sort(names_, names_ + nameCount_,
              [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
  }

  if (!blocked(status)) {
    inotifyFd_ = ::inotify_init1(IN_CLOEXEC);
    if (inotifyFd_ == -1) failErrno(status, errno, kLineInotifyInit);
  }
  stopped_ = blocked(status);
  // Nodes already present are not reported: the owner enumerates them itself at start.
  addWatches(false, status);
  stopped_ = blocked(status);
}

void tNotificationDispatcher::copyNames(const char* const* names, std::size_t count,
                                        tStatus* status) noexcept {
  if (names == nullptr && count != 0) {
    fail(status, Codes::kInvalidParameter, __LINE__);
    return;
  }
  names_ = newArrayWithStatus<char*>(count == 0 ? 1 : count, status);
  if (names_ == nullptr) {
    namesAllocationFailed_ = true;
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const char* name = names[i];
    if (name == kAnyInterface) {
      acceptAll_ = true;
      for (std::size_t k = 0; k < nameCount_; ++k) freeAllocation(names_[k]);
      nameCount_ = 0;
      return;
    }
    if (name == nullptr) {
      fail(status, Codes::kInvalidParameter, __LINE__);
      return;
    }
    const std::size_t size = std::strlen(name) + 1;
    auto* copy = static_cast<char*>(allocateWithStatus(size, status));
    if (copy == nullptr) {
      namesAllocationFailed_ = true;
      return;
    }
    std::memcpy(copy, name, size);
    names_[nameCount_++] = copy;
  }
}

tNotificationDispatcher::~tNotificationDispatcher() {
  if (inotifyFd_ != -1) ::close(inotifyFd_);
  if (pipeRead_ != -1) ::close(pipeRead_);
  if (pipeWrite_ != -1) ::close(pipeWrite_);
  for (std::size_t i = 0; i < nameCount_; ++i) freeAllocation(names_[i]);
  freeAllocation(names_);
  freeList(pending_);
  freeList(spare_);
}

// --- Watches ----------------------------------------------------------------------------------

void tNotificationDispatcher::addWatches(bool rescan, tStatus* status) noexcept {
  if (blocked(status) || inotifyFd_ == -1) return;
  if (!devWatched_) {
    const int watch = ::inotify_add_watch(inotifyFd_, driver::kDevRoot, kWatchMask);
    if (watch == -1) {
      const int error = errno;
      if (error != ENOENT) failErrno(status, error, kLineAddWatch);
      return;
    }
    devWatch_ = watch;
    devWatched_ = true;
  }
  if (qoWatch_ != -1) return;
  const int watch = ::inotify_add_watch(inotifyFd_, driver::kNodeDirectory, kWatchMask);
  if (watch == -1) {
    const int error = errno;
    if (!nodeDirectoryAbsent(error)) failErrno(status, error, kLineAddWatch);
    return;
  }
  qoWatch_ = watch;
  if (rescan) rescanNodeDirectory(status);
}

void tNotificationDispatcher::rescanNodeDirectory(tStatus* status) noexcept {
  DIR* directory = ::opendir(driver::kNodeDirectory);
  if (directory == nullptr) {
    const int error = errno;
    if (!nodeDirectoryAbsent(error)) failErrno(status, error, kLineReadDirectory);
    return;
  }
  while (const dirent* entry = ::readdir(directory)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    offerNode(entry->d_name, tDeviceNodeEvent::kCreated, status);
    if (blocked(status)) break;
  }
  ::closedir(directory);
}

// --- Events -----------------------------------------------------------------------------------

bool tNotificationDispatcher::accepts(const char* interfacePart) const noexcept {
  if (acceptAll_) return true;
  if (interfacePart == nullptr) return false;
  return std::binary_search(names_, names_ + nameCount_, interfacePart,
                            [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
}

void tNotificationDispatcher::offerNode(const char* name, std::uint8_t kind,
                                        tStatus* status) noexcept {
  char parts[NAME_MAX + 1];
  copyName(parts, name);
  const auto [device, interface] = linuxDevEnumHelper::splitEntryName(parts);
  if (interface != nullptr) {
    if (accepts(interface)) queueEvent(kind, device, interface, status);
  } else if (acceptAll_) {
    queueEvent(kind, "", name, status);
  }
}

void tNotificationDispatcher::queueEvent(std::uint8_t kind, const char* device,
                                         const char* interface, tStatus* status) noexcept {
  tEventNode* node = popFront(spare_);
  if (node == nullptr) {
    node = newWithStatus<tEventNode>(status);  // failure: -52000, the event is dropped
    if (node == nullptr) return;
  }
  node->event.kind = kind;
  node->event.valid = 1;
  copyName(node->event.device, device);
  copyName(node->event.interface, interface);
  pushBack(pending_, node);
}

void tNotificationDispatcher::readEvents(tStatus* status) noexcept {
  alignas(inotify_event) char buffer[kReadBufferSize];
  ssize_t count;
  do {
    count = ::read(inotifyFd_, buffer, sizeof buffer);
  } while (count == -1 && errno == EINTR);
  if (count == -1) {
    failErrno(status, errno, kLineReadEvents);
    return;
  }
  const auto total = static_cast<std::size_t>(count);
  std::uint32_t batchMask = 0;
  std::size_t offset = 0;
  // Every record is checked against the bytes actually read before it is used.
  while (total - offset >= sizeof(inotify_event)) {
    inotify_event header;
    std::memcpy(&header, buffer + offset, sizeof header);
    if (header.len > total - offset - sizeof header) break;  // cut record: never read past
    const char* name = header.len != 0 ? buffer + offset + sizeof header : nullptr;
    offset += sizeof header + header.len;
    batchMask |= header.mask;

    if (header.mask & IN_Q_OVERFLOW) {
      // Events were lost: report one change so the owner looks again.
      queueEvent(tDeviceNodeEvent::kCreated, "", "", status);
      continue;
    }
    if (header.wd == qoWatch_ && qoWatch_ != -1 && (header.mask & (IN_DELETE_SELF | IN_IGNORED))) {
      // /dev/qo is gone; its creation in /dev adds the watch again.
      ::inotify_rm_watch(inotifyFd_, qoWatch_);  // usually already removed by the kernel
      qoWatch_ = -1;
      continue;
    }
    if (header.wd == devWatch_ && devWatch_ != -1 &&
        (header.mask & (IN_DELETE_SELF | IN_IGNORED))) {
      devWatch_ = -1;
      devWatched_ = false;
      continue;
    }
    if (!(header.mask & (IN_CREATE | IN_DELETE)) || name == nullptr) continue;
    char entry[NAME_MAX + 1];
    const std::size_t length = ::strnlen(name, std::min<std::size_t>(header.len, NAME_MAX));
    std::memcpy(entry, name, length);
    entry[length] = '\0';
    if (entry[0] == '\0') continue;
    // Only entries of /dev/qo are interface nodes; in /dev only the creation of "qo" matters,
    // and that is handled after the batch by adding the watch again (with a rescan).
    if (header.wd != qoWatch_ || qoWatch_ == -1) continue;
    offerNode(entry,
              (header.mask & IN_CREATE) ? tDeviceNodeEvent::kCreated : tDeviceNodeEvent::kDeleted,
              status);
  }
  if (batchMask & IN_CREATE) addWatches(true, status);
}

// --- Waiting and cancelling -------------------------------------------------------------------

void tNotificationDispatcher::wait(bool* changed, tStatus* status) noexcept {
  wait(changed, nullptr, status);
}

void tNotificationDispatcher::wait(bool* changed, tDeviceNodeEvent* event,
                                   tStatus* status) noexcept {
  if (changed != nullptr) *changed = false;
  while (!stopped_.load() && !blocked(status)) {
    if (tEventNode* node = popFront(pending_)) {
      if (event != nullptr) *event = node->event;
      if (countNodes(spare_) >= kMaxSpareNodes) {
        deleteWithStatus(node);
      } else {
        pushBack(spare_, node);
      }
      if (changed != nullptr) *changed = true;
      return;
    }
    // poll rather than select: descriptors above FD_SETSIZE must not overrun an fd_set.
    pollfd watched[2] = {{inotifyFd_, POLLIN, 0}, {pipeRead_, POLLIN, 0}};
    if (::poll(watched, 2, -1) == -1) {
      if (errno == EINTR) continue;
      failErrno(status, errno, kLineWait);
      return;
    }
    if (watched[1].revents != 0) {
      char byte;
      if (::read(pipeRead_, &byte, 1) == 1) return;
    }
    if ((watched[0].revents | watched[1].revents) & (POLLERR | POLLNVAL)) {
      // A descriptor that can only fail would make this loop spin.
      fail(status, Codes::kOsFault, kLineWait);
      return;
    }
    if (watched[0].revents & POLLIN) readEvents(status);
  }
}

void tNotificationDispatcher::cancel() noexcept {
  if (stopped_.exchange(true)) return;
  if (pipeWrite_ == -1) return;
  const char byte = 'q';
  while (::write(pipeWrite_, &byte, 1) == -1 && errno == EINTR) {
  }
}

std::size_t tNotificationDispatcher::pendingCancelBytes() const noexcept {
  int bytes = 0;
  if (pipeRead_ == -1 || ::ioctl(pipeRead_, FIONREAD, &bytes) == -1 || bytes < 0) return 0;
  return static_cast<std::size_t>(bytes);
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
