// Sends I/O notifications the way the board family's driver does: generic-netlink messages
// unicast to the netlink port id a subscription registered, carrying its cookie.
//
// Layout (native byte order, 36 + payload bytes):
//   0  u32 nlmsg_len      4 u16 nlmsg_type (the driver's family id)   6 u16 flags
//   8  u32 sequence      12 u32 sender port id
//  16  u8 genl command   17 u8 genl version   18 u16 reserved
//  20  u16 attribute length  22 u16 attribute type = the wire kind (1 or 2)
//  24  u64 cookie        32 u32 payload size  36 payload (at most 32 bytes)
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qosim {

struct NotificationFields {
  std::uint64_t cookie = 0;
  std::uint16_t wireKind = 1;
  std::vector<std::uint8_t> payload;
  // Overrides for deliberately malformed messages.
  std::optional<std::uint32_t> lengthField;
  std::optional<std::uint16_t> type;
  std::optional<std::uint32_t> payloadSizeField;
};

class NetlinkSender {
 public:
  static constexpr std::uint16_t kFamilyId = 0x1c;  // the simulated driver's generic-netlink family

  NetlinkSender() = default;
  ~NetlinkSender();
  NetlinkSender(const NetlinkSender&) = delete;
  NetlinkSender& operator=(const NetlinkSender&) = delete;

  std::vector<std::uint8_t> build(const NotificationFields& f);
  // Sends the bytes as one datagram to `port`; false with `error` set on failure.
  bool send(std::uint32_t port, const std::vector<std::uint8_t>& bytes, std::string& error);

 private:
  bool open(std::string& error);
  std::mutex mutex_;
  int fd_ = -1;
  std::uint32_t ownPort_ = 0;
  std::uint32_t sequence_ = 0;
};

}  // namespace qosim
