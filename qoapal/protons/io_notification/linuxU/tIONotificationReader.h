// tIONotificationReader: the receiving end of the kernel driver's I/O notifications. It owns a
// generic-netlink socket (the kernel assigns its port id, which subscriptions hand to the
// driver) and a wake pipe, and waits for one message at a time.
//
// Messages (layout in qoapal/driver/qoDriverContract.h, tIONotificationMessage): at most 72
// bytes are read per message. A message is discarded, and the next one read, when fewer than
// 36 bytes arrived (too short to hold the notification fields), its netlink length is below 16
// or above the bytes received, or its netlink type is a control message (1 to 4). Wire kind 1
// is reported as kind 0 (data), wire kind 2 as kind 1; anything else sets -52002. A payload
// size above 32, or a payload running past the received bytes, sets -52024.
//
// wait() reports kind 2 (wake-up) when a byte arrived on the wake pipe: each wake() ends
// exactly one wait. When a message and a wake-up are both pending the message comes first.
//
// Threads: one thread waits; any thread may call wake() at any time. The reader takes no lock.
// Failures go into the caller's tStatus (source kSourceName); nothing throws. A reader whose
// construction failed keeps -1 descriptors, fails every wait at once and can be destroyed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qoapal/driver/qoDriverContract.h"
#include "qoapal/status/tStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

class tIONotificationReader {
 public:
  static constexpr char kSourceName[] =
      "qoapal/protons/io_notification/linuxU/tIONotificationReader";

  // Kinds reported by wait().
  static constexpr int kKindData = 0;    // wire kind 1
  static constexpr int kKindSecond = 1;  // wire kind 2
  static constexpr int kKindWake = 2;    // a wake() ended the wait

  // Bytes the payload buffer given to wait() must hold.
  static constexpr std::size_t kPayloadCapacity = driver::kMaxNotificationPayload;
  // Largest queue depth accepted (-52005 above).
  static constexpr std::uint64_t kMaxQueueDepth = 0xFFFFFFFFu;

  // Creates the wake pipe and the socket, sizes the socket's receive buffer for queueDepth + 1
  // messages of 72 bytes, binds it (port id chosen by the kernel) and reads the port id back.
  // Each failing step maps errno through the status records' table.
  tIONotificationReader(std::uint64_t queueDepth, tStatus* status) noexcept;
  // Closes the wake pipe's two ends and the socket (each only if open).
  virtual ~tIONotificationReader();
  tIONotificationReader(const tIONotificationReader&) = delete;
  tIONotificationReader& operator=(const tIONotificationReader&) = delete;

  // Waits at most timeoutMs milliseconds (-1: no limit) for a message or a wake-up and returns
  // the message's cookie (0 for a wake-up and on failure). `kind` and `payloadSize` must not be
  // null; `payload` must hold kPayloadCapacity bytes. Failures: -52007 time-out, -52008 poll
  // failed, -52024 receive failed / bad payload / descriptor error, -52002 unknown kind,
  // -52006 reader without descriptors, -52005 null outputs. On failure kind and size are 0.
  // Does nothing when *status holds an error.
  virtual std::uint64_t wait(int* kind, std::uint8_t* payload, std::uint32_t* payloadSize,
                             tStatus* status, int timeoutMs) noexcept;
  // Writes one byte to the wake pipe (retrying while interrupted); any other failure, or a
  // short write, sets -52024. Never blocks: a pipe full of unconsumed wake-ups fails instead.
  virtual void wake(tStatus* status) noexcept;

  // The netlink port id the kernel assigned (0 when construction failed).
  std::uint32_t portId() const noexcept { return portId_; }
  // The socket descriptor (-1 when absent); for subscriptions and diagnostics.
  int socketDescriptor() const noexcept { return socket_; }
  // Closes every descriptor now (the destructor does it otherwise). No wait may be running.
  void closeDescriptors() noexcept;

 protected:
  // Waits at most timeoutMs milliseconds for the wake pipe alone; when a wake-up is pending it
  // is consumed and true returned. Used to pause without missing a wake().
  bool waitForWakeOnly(int timeoutMs) noexcept;
  // Reads and drops every pending wake-up.
  void drainWakeups() noexcept;

 private:
  void openSocket(std::uint64_t queueDepth, tStatus* status) noexcept;
  // Receives messages until one is accepted or fails; false when the socket had nothing
  // (more) to read, so the caller polls again.
  bool receive(int* kind, std::uint8_t* payload, std::uint32_t* payloadSize, tStatus* status,
               std::uint64_t* cookie) noexcept;

  int socket_ = -1;
  std::uint32_t portId_ = 0;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
