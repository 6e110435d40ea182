#include "ControlRequests.h"

#include <algorithm>
#include <stdexcept>

namespace qosim::control {

namespace {

using T = KeyType;
constexpr bool kRequired = true;
constexpr bool kOnDemand = false;  // Key::checked

// respond and inject take the same keys.
std::vector<Key> ruleKeys() {
  return {{"target", T::Text},       {"command", T::U32},  {"method", T::CtlOnly},
          {"interface", T::CtlOnly}, {"output", T::Hex},   {"result", T::U32},
          {"status", T::I32},        {"errno", T::I32},    {"count", T::Count},
          {"then", T::Text},         {"restartMs", T::U32}};
}

const Key kDevice{"device", T::Text, kRequired};

using P = Positional;

// clang-format off
const std::vector<Request> kTable = {
    {Id::Ping, "ping", {}, false, P::None, "is the machine there (its pid, command, board file)"},
    {Id::List, "list", {}, false, P::None, "the plugged boards and their nodes"},
    {Id::Plug, "plug", {{"board", T::Json}, {"boards", T::Json}}, false, P::BoardFile,
     "plug the boards of a board file: plug FILE | board=@FILE"},
    {Id::Unplug, "unplug", {kDevice}, false, P::Device, "unplug a board: unplug DEVICE"},
    {Id::DevQoRemove, "devqo-remove", {}, false, P::None, "remove /dev/qo"},
    {Id::DevQoCreate, "devqo-create", {}, false, P::None, "create /dev/qo again"},
    {Id::Respond, "respond", ruleKeys(), false, P::None,
     "program an answer (method=op0405 or command=0x...)"},
    {Id::Inject, "inject", ruleKeys(), false, P::None, "make calls fail with an errno"},
    {Id::ClearResponses, "clear-responses", {}, false, P::None, "forget every programmed answer"},
    {Id::Responses, "responses", {}, false, P::None, "the programmed answers"},
    {Id::Notify, "notify",
     {{"node", T::Text}, {"port", T::U32}, {"cookie", T::U64},
      {"subscriptionKind", T::U32, false, kOnDemand}, {"wireKind", T::U16}, {"payload", T::Hex},
      {"lengthField", T::U32}, {"type", T::U16}, {"payloadSizeField", T::U32}},
     false, P::None, "send a notification datagram"},
    {Id::NotifyRaw, "notify-raw", {{"port", T::U32}, {"bytes", T::Hex}}, false, P::None,
     "send any bytes as a datagram"},
    {Id::Log, "log", {{"clear", T::Bool}}, false, P::None,
     "the request log (clear=true empties it)"},
    {Id::LogClear, "log-clear", {}, false, P::None, "empty the request log"},
    {Id::Subscriptions, "subscriptions", {}, false, P::None, "the notification subscriptions"},
    {Id::Set, "set", {kDevice}, true, P::Device,
     "change model fields: set device=D FIELD=VALUE..."},
    {Id::Get, "get", {kDevice}, false, P::Device, "a board's model, registers and firmware state"},
    {Id::EnumFault, "enum-fault",
     {{"device", T::Text}, {"operation", T::Text, kRequired}, {"status", T::I32}}, false, P::None,
     "make an enumeration operation fail"},
    {Id::Generation, "generation", {}, false, P::None, "the enumeration generation"},
    {Id::ModuleFile, "module-file", {{"name", T::Text, kRequired}, {"text", T::Text}}, false,
     P::None, "write (or, without text, remove) a module file"},
    {Id::RelocationFault, "relocation-fault", {{"answer", T::Text}}, false, P::None,
     "make directory relocation answer none/failure/empty/overlong"},
    {Id::FirmwareUpdate, "firmware-update",
     {kDevice, {"target", T::Text}, {"size", T::U64}, {"flag", T::U32}, {"hash", T::Text},
      {"version", T::U32}},
     false, P::None, "start a firmware update"},
    {Id::FirmwareProgress, "firmware-progress", {kDevice}, false, P::Device,
     "the progress of a firmware update"},
    {Id::FirmwareFault, "firmware-fault",
     {kDevice, {"status", T::I32}, {"atPercent", T::U32, false, kOnDemand},
      {"count", T::Count, false, kOnDemand}, {"operation", T::Text, false, kOnDemand}},
     false, P::None, "make a firmware update fail"},
    {Id::FirmwareConfig, "firmware-config",
     {kDevice, {"durationMs", T::U32}, {"versionAfterUpdate", T::U32}}, false, P::None,
     "how long updates last, the version after one"},
    {Id::PowerCycle, "power-cycle", {kDevice}, false, P::Device,
     "power-cycle a board (a new firmware becomes its version)"},
    {Id::Demote, "demote", {kDevice, {"ticket", T::I32}}, false, P::None,
     "take the reservation of routes, telling their sessions"},
    {Id::Routes, "routes", {kDevice}, false, P::Device, "the routes the sessions made on a board"},
};
// clang-format on

// The board model's fields that hold text (`set` sends them as typed).
constexpr std::string_view kModelTextFields[] = {"description", "primaryName", "secondaryName",
                                                 "topographyName"};

bool isTextType(KeyType type) { return type == KeyType::Text || type == KeyType::Hex; }

}  // namespace

const std::vector<Request>& requests() {
  static const std::vector<Request> all = [] {
    std::vector<Request> made = kTable;
    if (made.size() != kRequestCount) throw std::logic_error("control request table incomplete");
    for (std::size_t i = 0; i < made.size(); ++i)
      if (static_cast<std::size_t>(made[i].id) != i)
        throw std::logic_error(std::string("control request out of order: ") + made[i].name);
    return made;
  }();
  return all;
}

const Request& request(Id id) { return requests().at(static_cast<std::size_t>(id)); }

const Request* findRequest(std::string_view name) {
  for (const Request& r : requests())
    if (name == r.name) return &r;
  return nullptr;
}

const Key* findKey(const Request& request, std::string_view key) {
  for (const Key& k : request.keys)
    if (key == k.name) return &k;
  return nullptr;
}

std::string requestNames() {
  std::string names;
  for (const Request& r : requests()) names += (names.empty() ? "" : ", ") + std::string(r.name);
  return names;
}

bool isTextKey(const Request& request, std::string_view key) {
  if (const Key* k = findKey(request, key)) return isTextType(k->type);
  if (!request.anyField) return false;
  if (std::find(std::begin(kModelTextFields), std::end(kModelTextFields), key) !=
      std::end(kModelTextFields))
    return true;
  // Any other field is text when a request takes a key of that name as text.
  for (const Request& r : requests())
    if (const Key* k = findKey(r, key); k != nullptr && isTextType(k->type)) return true;
  return false;
}

nlohmann::json make(Id id) { return nlohmann::json{{"cmd", request(id).name}}; }

}  // namespace qosim::control
