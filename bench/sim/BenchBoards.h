// Boards the simulated-machine benchmarks plug. The control client's defaults number PCI buses
// round a window of 176 with device number 0, so a benchmark that plugs more boards than that
// over a run would ask for an address a board still plugged holds (the simulator refuses it).
// These boards take device numbers 1..31 on buses 0x10..0xFF instead: 7440 addresses handed out
// in turn, apart from every client default and every board of the default chassis.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "QosimClient.h"

namespace qobench {

inline constexpr std::uint32_t kFirstBus = 0x10;
inline constexpr std::uint32_t kBuses = 0xF0;
inline constexpr std::uint32_t kDevicesPerBus = 31;  // PCI device numbers 1..31

// Gives `board` the next PCI address of the benchmarks' range.
inline qosim::BoardDesc& withDistinctPciAddress(qosim::BoardDesc& board) {
  static std::atomic<std::uint32_t> next{0};
  const std::uint32_t n = next++ % (kBuses * kDevicesPerBus);
  board.withBusProperty("pciBusNumber", kFirstBus + n / kDevicesPerBus);
  board.withBusProperty("pciDeviceNumber", 1 + n % kDevicesPerBus);
  board.withBusProperty("pciFunctionNumber", 0);
  return board;
}

// A complete board (main interface, every bus property the library reads) at a fresh address.
inline qosim::BoardDesc& benchBoard(qosim::BoardDesc& board) {
  return withDistinctPciAddress(board.withDefaults());
}

}  // namespace qobench
