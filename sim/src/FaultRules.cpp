#include "FaultRules.h"

#include "BoardRegistry.h"

namespace qosim {

using nlohmann::json;

std::uint64_t FaultRules::add(Rule rule) {
  std::lock_guard lock(mutex_);
  rule.id = nextId_++;
  rules_.push_back(std::move(rule));
  return rules_.back().id;
}

void FaultRules::clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

json FaultRules::toJson() const {
  std::lock_guard lock(mutex_);
  json out = json::array();
  for (const auto& r : rules_) {
    json j{{"id", r.id}, {"target", r.target}, {"remaining", r.remaining}, {"errno", r.err}};
    if (r.command) j["command"] = *r.command;
    if (r.output) j["output"] = toHex(*r.output);
    if (r.result) j["result"] = *r.result;
    if (r.status) j["status"] = *r.status;
    out.push_back(j);
  }
  return out;
}

// The most specific rule wins: an injected transport error before a programmed response, a rule
// for the node before one for its device before one for every node, a rule for the command
// before one for every command; among equals the newest.
Decision FaultRules::decide(const Node& node, std::uint32_t command, bool owned) {
  std::lock_guard lock(mutex_);
  int bestScore = -1;
  std::size_t best = 0;
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    const Rule& r = rules_[i];
    int targetScore;
    if (r.target.empty())
      targetScore = 0;
    else if (r.target == node.name)
      targetScore = 2;
    else if (r.target == node.device)
      targetScore = 1;
    else
      continue;
    if (r.command && *r.command != command) continue;
    if (!owned && !r.err) continue;
    int score = (r.err ? 8 : 0) + targetScore * 2 + (r.command ? 1 : 0);
    if (score >= bestScore) {
      bestScore = score;
      best = i;
    }
  }
  Decision d;
  if (bestScore < 0) return d;
  Rule& r = rules_[best];
  d.err = r.err;
  d.output = r.output;
  d.result = r.result;
  d.status = r.status;
  d.ruleId = r.id;
  d.after = r.after;
  if (r.remaining > 0 && --r.remaining == 0)
    rules_.erase(rules_.begin() + static_cast<std::ptrdiff_t>(best));
  return d;
}

}  // namespace qosim
