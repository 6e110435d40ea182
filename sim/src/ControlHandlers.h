// What the control server does with each request of the control table
// (protocol/ControlRequests.h): the keys are checked against the request's description, then
// the request's handler answers it. Called on the control thread ("qosim-ctl"), and directly by
// tests and the fuzz target through ControlServer::handle.
#pragma once

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "Machine.h"
#include "Netlink.h"

namespace qosim {

// A request the server refuses with an error text.
struct RequestError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ControlContext {
  Machine& machine;
  NetlinkSender& netlink;
  const nlohmann::json& info;  // added to every ping answer
};

// The answer {"ok": true, ...} to a request whose board names are resolved already; a refusal
// throws (RequestError, StatusError, BoardError or another std::exception).
nlohmann::json answerRequest(ControlContext& context, const nlohmann::json& request);

}  // namespace qosim
