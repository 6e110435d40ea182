// Notices about items that appear, disappear or change, on their way to the host's sink.
// Kinds are those of the item cache: 1 items added, 2 items removed, 3 items changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sysapicpp {

class NotificationHandler {
 public:
  virtual ~NotificationHandler() = default;
  // One name: forwards to the list form.
  virtual void notify(std::int32_t kind, const std::string& name) {
    notify(kind, std::vector<std::string>{name});
  }
  virtual void notify(std::int32_t kind, const std::vector<std::string>& names) = 0;
  // Whether a notice would reach anybody.
  virtual bool isListening(std::int32_t kind, const std::vector<std::string>& names) = 0;
};

}  // namespace sysapicpp
