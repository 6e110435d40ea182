#include "RequestLog.h"

#include <ctime>

namespace qosim {

using nlohmann::json;

std::int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void RequestLog::add(LogRecord rec) {
  std::lock_guard lock(mutex_);
  rec.seq = nextSeq_++;
  if (rec.timeNs == 0) rec.timeNs = monotonicNs();
  records_.push_back(std::move(rec));
  while (records_.size() > kMaxRecords) {
    records_.pop_front();
    ++dropped_;
  }
}

json RequestLog::toJson(bool clear) {
  std::lock_guard lock(mutex_);
  json entries = json::array();
  for (const auto& r : records_) {
    entries.push_back({{"seq", r.seq},
                       {"timeNs", r.timeNs},
                       {"op", r.op},
                       {"node", r.node},
                       {"command", r.command},
                       {"tid", r.tid},
                       {"block", toHex(r.block)},
                       {"input", toHex(r.input)},
                       {"output", toHex(r.output)},
                       {"inputSize", r.inputSize},
                       {"outputSize", r.outputSize},
                       {"result", r.result},
                       {"errno", r.err},
                       {"offset", r.offset},
                       {"note", r.note}});
    if (!r.method.empty()) {
      entries.back()["method"] = r.method;
      entries.back()["decoded"] = r.decoded;
    }
  }
  json out{{"entries", entries}, {"dropped", dropped_}};
  if (clear) {
    records_.clear();
    dropped_ = 0;
  }
  return out;
}

void RequestLog::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
  dropped_ = 0;
}

}  // namespace qosim
