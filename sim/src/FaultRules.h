// Programmed responses and injected transport errors (the control requests respond and inject):
// which rule answers a request instead of the board model. Added and cleared by the control
// thread, consulted by the FUSE loop threads; its own lock (a leaf: nothing else is locked
// while it is held).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoardFile.h"
#include "protocol/Hex.h"

namespace qosim {

struct Node;

struct Rule {
  std::uint64_t id = 0;
  std::string target;  // node name, device name, or empty for every node
  std::optional<std::uint32_t> command;
  std::optional<Bytes> output;
  std::optional<std::uint32_t> result;
  std::optional<std::int32_t> status;
  int err = 0;
  long remaining = -1;  // -1: until cleared
  Aftermath after;      // unplug the board after answering, or crash instead of answering
};

// What the simulated driver answers to one request.
struct Decision {
  int err = 0;
  std::optional<Bytes> output;
  std::optional<std::uint32_t> result;
  std::optional<std::int32_t> status;
  std::uint64_t ruleId = 0;  // 0: default response
  Aftermath after;
};

class FaultRules {
 public:
  // The rule's id.
  std::uint64_t add(Rule rule);
  void clear();
  nlohmann::json toJson() const;
  // Finds the rule for (node, command), consumes one use of a counted rule. For a command that no
  // method of the node's interface owns (`owned` false) only injected errors apply: there is no
  // response block to program.
  Decision decide(const Node& node, std::uint32_t command, bool owned = true);

 private:
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::uint64_t nextId_ = 1;
};

}  // namespace qosim
