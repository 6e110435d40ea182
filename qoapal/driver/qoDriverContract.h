// What the library sends to the board family's kernel driver and what it relies on from it,
// written down once. The platform layer, the generated driver-interface proxies and the
// simulated driver (sim/) all use these definitions, so the two sides cannot drift apart.
// Plain constants and fixed-layout records only: no library code depends on anything else here.
//
// In the order a session with a board meets it:
//  1. /proc tree: one directory per board, /proc/driver/qo/<device>/, holding
//       deviceInterfaces/<interface>\<a>\<b>/interfacePath   text, the node path (<= 255 bytes)
//       busProperties/<name>                                   binary values (4 bytes each)
//  2. Interface nodes open read-write and accept ioctl(fd, command, tCallBlock*): the driver
//     reads the request block, writes the response block and may store a 32-bit value (its
//     output byte count) in the low half of the block's result.
//  3. Every generated method's response block ends with a signed 32-bit status word: 0 success,
//     negative error, positive warning; the library merges it into the caller's status
//     unchanged.
//  4. Routing lists: the driver fills caller buffers whose addresses and capacities travel in
//     the request, reports the number of entries, and answers -52019 when a route path does not
//     fit.
//  5. Demotion subscription: ioctl kSubscribeNotification with a tSubscribeNotification block
//     registers, ioctl kUnsubscribeNotification with the kind as the integer argument
//     unregisters; the driver then sends generic-netlink messages (tIONotificationMessage)
//     carrying the cookie and at most 32 bytes of payload to the registered port.
//  6. Interface nodes appear and disappear in /dev/qo (named <device>\<interface>\<rest>) when
//     boards come and go; /dev/qo itself may appear and disappear.
// Transport failures (open, ioctl, read returning -1) reach callers as the error-number codes of
// the status records; driver failures as the driver's own codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qodrv/qoDriverConstants.h"  // generated from the interface descriptions

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver {

// --- 1. /proc tree --------------------------------------------------------------------------
inline constexpr char kProcRoot[] = "/proc/driver/qo";
inline constexpr char kProcRootSlash[] = "/proc/driver/qo/";  // 16 characters
inline constexpr char kDeviceInterfacesDir[] = "deviceInterfaces";
inline constexpr char kBusPropertiesDir[] = "busProperties";
inline constexpr char kInterfacePathFile[] = "interfacePath";
inline constexpr std::size_t kMaxInterfacePath = 255;  // bytes in an interfacePath file
inline constexpr char kEntrySeparator = '\\';  // between the fields of an interface entry name

// Interface names the library uses (written in codegen/descriptions).
inline constexpr const auto& kMainInterface = qodrv::vorlixtarrow::kInterfaceName;
inline constexpr const auto& kRoutingInterface = qodrv::routing::kInterfaceName;

// Bus properties the device expert reads, 4 bytes each.
inline constexpr const char* kBusProperties[] = {
    "pciBusNumber",     "pciDeviceNumber",  "pciFunctionNumber",  "pcieLinkWidth",
    "pcieMaxLinkWidth", "pcieTransferRate", "pcieMaxTransferRate"};
inline constexpr std::size_t kBusPropertySize = 4;

// --- 2. The call block of every interface request ---------------------------------------------
struct tCallBlock {
  std::uint64_t input;       // address of the request block
  std::uint64_t output;      // address of the response block
  std::uint32_t inputSize;   // bytes
  std::uint32_t outputSize;  // bytes
  std::uint64_t result;      // 0 before the request; the driver may store a u32 in the low half
};
static_assert(sizeof(tCallBlock) == 32);
static_assert(offsetof(tCallBlock, input) == 0 && offsetof(tCallBlock, output) == 8 &&
              offsetof(tCallBlock, inputSize) == 16 && offsetof(tCallBlock, outputSize) == 20 &&
              offsetof(tCallBlock, result) == 24);

// --- 3. Status word ---------------------------------------------------------------------------
using tDriverStatusWord = std::int32_t;  // last field of every response block
inline constexpr std::int32_t kRouteBufferTooSmall = qodrv::kStatusBufferTooSmall;

// --- 5. Notification subscription -------------------------------------------------------------
inline constexpr unsigned long kSubscribeNotification = 0x4010FF00;  // write, 16 bytes, 0xFF/0
inline constexpr unsigned long kUnsubscribeNotification = 0xFF01;    // argument: the kind
inline constexpr std::uint32_t kDemotionNotificationKind = 0x80000000u;

struct tSubscribeNotification {
  std::uint64_t cookie;  // returned in every message
  std::uint32_t portId;  // the reader's netlink port id
  std::uint32_t kind;
};
static_assert(sizeof(tSubscribeNotification) == 16);
static_assert(offsetof(tSubscribeNotification, cookie) == 0 &&
              offsetof(tSubscribeNotification, portId) == 8 &&
              offsetof(tSubscribeNotification, kind) == 12);
static_assert(((kSubscribeNotification >> 16) & 0x3FFF) == sizeof(tSubscribeNotification));

// Generic-netlink notification as received (native byte order). The reader receives at most
// kMaxNotificationMessage bytes per message.
inline constexpr int kNetlinkFamily = 16;    // AF_NETLINK
inline constexpr int kNetlinkProtocol = 16;  // NETLINK_GENERIC
inline constexpr std::size_t kMaxNotificationPayload = 32;
inline constexpr std::size_t kMaxNotificationMessage = 72;
inline constexpr std::uint16_t kWireKindData = 1;    // reported as kind 0
inline constexpr std::uint16_t kWireKindSecond = 2;  // reported as kind 1

struct tIONotificationMessage {
  std::uint32_t length;       // netlink message length: >= 16 and <= the bytes received
  std::uint16_t type;         // 1..4 are netlink control messages, skipped
  std::uint8_t header[16];    // rest of the netlink header and the message header
  std::uint16_t kind;         // kWireKindData or kWireKindSecond
  std::uint64_t cookie;       // as given at subscription
  std::uint32_t payloadSize;  // <= kMaxNotificationPayload
  std::uint8_t payload[kMaxNotificationPayload];
  std::uint8_t padding[4];
} __attribute__((packed));
static_assert(offsetof(tIONotificationMessage, type) == 4);
static_assert(offsetof(tIONotificationMessage, kind) == 22);
static_assert(offsetof(tIONotificationMessage, cookie) == 24);
static_assert(offsetof(tIONotificationMessage, payloadSize) == 32);
static_assert(offsetof(tIONotificationMessage, payload) == 36);
static_assert(sizeof(tIONotificationMessage) == kMaxNotificationMessage);

// --- 6. Device nodes --------------------------------------------------------------------------
inline constexpr char kDevRoot[] = "/dev";
inline constexpr char kNodeDirectory[] = "/dev/qo";

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver
