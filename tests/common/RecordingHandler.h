// A notification handler for tests: records every notice with the thread it arrived on.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sysapicpp/NotificationHandler.h"

namespace qotest {

class RecordingHandler final : public sysapicpp::NotificationHandler {
 public:
  struct Notice {
    std::int32_t kind;
    std::vector<std::string> names;
    std::thread::id thread;
  };
  using NotificationHandler::notify;
  void notify(std::int32_t kind, const std::vector<std::string>& names) override {
    std::lock_guard<std::mutex> g(lock_);
    notices_.push_back({kind, names, std::this_thread::get_id()});
  }
  bool isListening(std::int32_t, const std::vector<std::string>&) override { return true; }

  std::vector<Notice> notices() {
    std::lock_guard<std::mutex> g(lock_);
    return notices_;
  }
  // Waits up to 5 s for a notice of `kind` naming `name` exactly once.
  bool waitFor(std::int32_t kind, const std::string& name) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> g(lock_);
        for (const Notice& n : notices_)
          if (n.kind == kind && std::count(n.names.begin(), n.names.end(), name) == 1) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  std::mutex lock_;
  std::vector<Notice> notices_;
};

}  // namespace qotest
