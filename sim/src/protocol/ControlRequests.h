// The control requests of the simulated machine, described once: each request's name, the keys
// it takes (with their types and whether it needs them), what a bare `qosim ctl` argument
// stands for, and a line for `qosim --help`. The control server checks and dispatches requests
// by this table (its handlers are listed in the same order, see ControlHandlers.cpp), the
// control client builds its requests from it, and `qosim ctl` checks and builds a request from
// its arguments with it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qosim::control {

// In table order; the server's handler table follows it.
enum class Id : std::size_t {
  Ping,
  List,
  Plug,
  Unplug,
  DevQoRemove,
  DevQoCreate,
  Respond,
  Inject,
  ClearResponses,
  Responses,
  Notify,
  NotifyRaw,
  Log,
  LogClear,
  Subscriptions,
  Set,
  Get,
  EnumFault,
  Generation,
  ModuleFile,
  RelocationFault,
  FirmwareUpdate,
  FirmwareProgress,
  FirmwareFault,
  FirmwareConfig,
  PowerCycle,
  Demote,
  Routes,
  Count
};
inline constexpr std::size_t kRequestCount = static_cast<std::size_t>(Id::Count);

enum class KeyType {
  Text,  // a JSON string
  Hex,   // a string of hex digits (byte strings)
  U16,   // numbers: a JSON number, or a text in decimal or 0x-hex, in the type's range
  U32,
  I32,
  U64,
  Count,  // a signed call count (-1: until cleared)
  Bool,
  Json,    // any JSON value (a board object, a list of them)
  CtlOnly  // read by `qosim ctl` itself and never sent (method=, interface=)
};

struct Key {
  const char* name;
  KeyType type;
  bool required = false;  // the server refuses the request without it ("\"KEY\" is missing")
  // Checked up front; false: only the handler reads it, and only when another key asks for it.
  bool checked = true;
};

// What a bare `qosim ctl` argument (no KEY=) stands for.
enum class Positional { None, Device, BoardFile };

struct Request {
  Id id;
  const char* name;
  std::vector<Key> keys;
  bool anyField = false;  // also takes any board-model field (set)
  Positional positional = Positional::None;
  const char* summary = "";
};

// Every request, in Id order.
const std::vector<Request>& requests();
const Request& request(Id id);
// nullptr for a name no request has.
const Request* findRequest(std::string_view name);
const Key* findKey(const Request& request, std::string_view key);
// Every request's name, comma-separated, in table order (the server's refusal lists them).
std::string requestNames();
// Whether `qosim ctl` keeps KEY=VALUE as text instead of reading VALUE as JSON: text and hex
// keys, and the board model's text fields of a request that takes any field.
bool isTextKey(const Request& request, std::string_view key);
// {"cmd": NAME}, to add the request's keys to.
nlohmann::json make(Id id);

}  // namespace qosim::control
