// tNotificationDispatcher: tells one waiting thread that a device-interface node of interest
// appeared in or vanished from /dev/qo. The driver publishes one node per device interface
// there, named <device>\<interface>\<rest>; /dev/qo itself comes and goes with the boards (see
// qoapal/driver/qoDriverContract.h). The dispatcher watches /dev/qo with inotify, and /dev to
// notice /dev/qo being created (again), filters node names by interface part against a sorted
// list of interface names, and queues one event per matching node created or deleted. A pipe
// lets another thread cancel a wait.
//
// Failures go into the caller's tStatus (component "qovorlixatomicsae", source
// "qoapal/protons/device_notification/linux/tNotificationDispatcher"); nothing throws. Once the
// status holds an error, wait returns at once with changed = false.
//
// Threads: one thread owns the dispatcher and calls wait; cancel may come from any thread at any
// time. The owner makes sure the dispatcher is not destroyed while cancel runs.
#pragma once

#include <limits.h>
#include <sys/inotify.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

inline constexpr char kNotificationDispatcherSource[] =
    "qoapal/protons/device_notification/linux/tNotificationDispatcher";

// The designated any-interface entry: a name list holding this very object (recognised by its
// address, not its content; another empty string is just a name) makes the dispatcher accept
// every node.
extern const char kAnyInterface[1];

// One queued change. kind: 1 node created, 0 node deleted. `device` and `interface` are the
// first two backslash-separated fields of the node name; a node without an interface part that
// was accepted (accept-all) has an empty device and its whole name in `interface`. Names are
// cut to NAME_MAX bytes, the longest a directory entry can have.
struct tDeviceNodeEvent {
  static constexpr std::uint8_t kDeleted = 0;
  static constexpr std::uint8_t kCreated = 1;
  std::uint8_t kind = kCreated;
  std::uint8_t valid = 0;
  char device[NAME_MAX + 1] = {};
  char interface[NAME_MAX + 1] = {};
};

class tNotificationDispatcher {
 public:
  // Masks of both watches: created, deleted, the watched directory itself deleted (0x700).
  static constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_DELETE_SELF;
  static_assert(kWatchMask == 0x700);
  // Most spare event nodes kept for reuse.
  static constexpr std::size_t kMaxSpareNodes = 8;
  // Bytes taken from the inotify descriptor per read: exactly one event with the longest name
  // a directory entry can have (the kernel pads a name to a multiple of the header size, so
  // this is 272), enough for the kernel never to refuse a read with EINVAL.
  static constexpr std::size_t kReadBufferSize = sizeof(inotify_event) + NAME_MAX + 1;
  static_assert(kReadBufferSize == 272 && kReadBufferSize % sizeof(inotify_event) == 0);

  // `names`: `count` interface names (copied). An entry that is kAnyInterface makes the
  // dispatcher accept every node. Null names with a non-zero count, or a null entry, set -52005.
  // A missing /dev/qo is not an error. When the status is null or already holds an error the
  // dispatcher is built stopped.
  tNotificationDispatcher(const char* const* names, std::size_t count, tStatus* status) noexcept;
  virtual ~tNotificationDispatcher();

  tNotificationDispatcher(const tNotificationDispatcher&) = delete;
  tNotificationDispatcher& operator=(const tNotificationDispatcher&) = delete;

  // Blocks until one event can be handed out (*changed = true) or the dispatcher is cancelled
  // or fails (*changed = false).
  void wait(bool* changed, tStatus* status) noexcept;
  // The same, also copying the event handed out into *event when event is not null.
  void wait(bool* changed, tDeviceNodeEvent* event, tStatus* status) noexcept;
  // Makes the current and every later wait return with changed = false. Only the first call
  // writes to the pipe.
  void cancel() noexcept;

  // Diagnostics.
  std::size_t pendingCount() const noexcept { return countNodes(pending_); }
  std::size_t spareCount() const noexcept { return countNodes(spare_); }
  bool acceptsAll() const noexcept { return acceptAll_; }
  bool watchesNodeDirectory() const noexcept { return qoWatch_ != -1; }
  // Bytes written by cancel and not yet consumed by wait.
  std::size_t pendingCancelBytes() const noexcept;
  // Whether the interface part `interfacePart` of a node name is accepted.
  bool accepts(const char* interfacePart) const noexcept;

 private:
  // Links of a circular doubly-linked list; a list is a sentinel tLinks pointing to itself
  // when empty.
  struct tLinks {
    tLinks* next;
    tLinks* previous;
  };
  // An event node; its links come first so a tLinks* of a node converts back to the node.
  struct tEventNode {
    tLinks links;
    tDeviceNodeEvent event;
  };

  static std::size_t countNodes(const tLinks& list) noexcept;
  // First node of the list, unlinked; null when the list is empty.
  static tEventNode* popFront(tLinks& list) noexcept;
  static void pushBack(tLinks& list, tEventNode* node) noexcept;
  static void freeList(tLinks& list) noexcept;

  void copyNames(const char* const* names, std::size_t count, tStatus* status) noexcept;
  void addWatches(bool rescan, tStatus* status) noexcept;
  void rescanNodeDirectory(tStatus* status) noexcept;
  void readEvents(tStatus* status) noexcept;
  // Queues the node `name` (a directory entry name of /dev/qo) when it is accepted.
  void offerNode(const char* name, std::uint8_t kind, tStatus* status) noexcept;
  void queueEvent(std::uint8_t kind, const char* device, const char* interface,
                  tStatus* status) noexcept;

  // Interface names, owned, sorted ascending by strcmp.
  char** names_ = nullptr;
  std::size_t nameCount_ = 0;
  bool namesAllocationFailed_ = false;
  // Pending events and spare nodes.
  tLinks pending_{&pending_, &pending_};
  tLinks spare_{&spare_, &spare_};
  // inotify descriptor, pipe read end, pipe write end; -1 when not open.
  int inotifyFd_ = -1;
  int pipeRead_ = -1;
  int pipeWrite_ = -1;
  bool acceptAll_ = false;
  int qoWatch_ = -1;   // watch descriptor of /dev/qo
  int devWatch_ = -1;  // watch descriptor of /dev
  bool devWatched_ = false;
  std::atomic<bool> stopped_{false};
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
