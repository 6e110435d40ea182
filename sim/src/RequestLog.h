// The simulated driver's request log: every ioctl, read and write a node served, as the control
// request `log` shows it. Written by the FUSE loop threads, read and cleared by the control
// thread; its own lock (a leaf: nothing else is locked while it is held).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/Hex.h"

namespace qosim {

struct LogRecord {
  std::uint64_t seq = 0;
  std::int64_t timeNs = 0;
  std::string op;
  std::string node;
  std::uint32_t command = 0;
  std::int32_t tid = 0;
  Bytes block, input, output;
  std::uint32_t inputSize = 0, outputSize = 0;
  std::uint32_t result = 0;
  int err = 0;
  std::uint64_t offset = 0;
  std::string note;
  std::string method;      // the driver method the command decodes to (empty: not in the table)
  nlohmann::json decoded;  // {"request": [{name, offset, value}...], "response": [...]}
};

std::int64_t monotonicNs();

class RequestLog {
 public:
  static constexpr std::size_t kMaxRecords = 65536;     // oldest records are dropped beyond
  static constexpr std::size_t kMaxLoggedBytes = 4096;  // per input/output block

  // Numbers the record (and stamps it, when it has no time yet).
  void add(LogRecord rec);
  // {"entries": [...], "dropped": N}; `clear` empties the log after reading it.
  nlohmann::json toJson(bool clear);
  void clear();

 private:
  std::mutex mutex_;
  std::deque<LogRecord> records_;
  std::uint64_t nextSeq_ = 1;
  std::uint64_t dropped_ = 0;
};

}  // namespace qosim
