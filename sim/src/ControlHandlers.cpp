#include "ControlHandlers.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "protocol/ControlRequests.h"
#include "protocol/Hex.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qostandin/qoPlatformStandinContract.h"

namespace qosim {

using nlohmann::json;

namespace {

// Whether a method of some driver interface has the command (a programmed answer needs one).
bool ownedByAnInterface(std::uint32_t command) {
  for (const qodrvdesc::Method& m : qodrvdesc::kMethods)
    if (m.command == command) return true;
  return false;
}

// The subscription pair has no method and no answer to program, but it is served, so an
// aftermath (unplug after answering, crash instead) applies to it as to any method.
bool isSubscriptionCommand(std::uint32_t command) {
  namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;
  return command == drv::kSubscribeNotification || command == drv::kUnsubscribeNotification;
}

std::string hexWord(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

[[noreturn]] void refuse(const char* key, const char* what) {
  throw RequestError(std::string("\"") + key + "\" " + what);
}

struct RawNumber {
  long long v = 0;
  unsigned long long u = 0;
  bool negative = false;
};

// A JSON number, or a text in decimal or 0x-hex.
RawNumber rawNumber(const json& value, const char* key) {
  RawNumber n;
  if (value.is_number_unsigned()) {
    n.u = value.get<unsigned long long>();
  } else if (value.is_number_integer()) {
    n.v = value.get<long long>();
    n.negative = n.v < 0;
    n.u = static_cast<unsigned long long>(n.v);
  } else if (value.is_string()) {
    const std::string s = value.get<std::string>();
    errno = 0;
    char* end = nullptr;
    if (!s.empty() && s[0] == '-') {
      n.v = std::strtoll(s.c_str(), &end, 0);
      n.negative = true;
      n.u = static_cast<unsigned long long>(n.v);
    } else {
      n.u = std::strtoull(s.c_str(), &end, 0);
    }
    if (s.empty() || *end != '\0' || errno == ERANGE)
      throw RequestError(std::string("\"") + key + "\" is not a number: " + s);
  } else {
    refuse(key, "must be a number");
  }
  return n;
}

template <class T>
std::optional<T> optNumber(const json& req, const char* key) {
  auto it = req.find(key);
  if (it == req.end() || it->is_null()) return std::nullopt;
  const RawNumber n = rawNumber(*it, key);
  if constexpr (std::is_signed_v<T>) {
    const long long sv = n.negative ? n.v : static_cast<long long>(n.u);
    if ((!n.negative && n.u > static_cast<unsigned long long>(std::numeric_limits<T>::max())) ||
        sv < static_cast<long long>(std::numeric_limits<T>::min()))
      refuse(key, "is out of range");
    return static_cast<T>(sv);
  } else {
    // Negative values of unsigned fields are taken as their two's complement (e.g. -1).
    if (n.negative) {
      if (n.v < -static_cast<long long>(std::numeric_limits<T>::max() / 2) - 1)
        refuse(key, "is out of range");
      return static_cast<T>(n.v);
    }
    if (n.u > std::numeric_limits<T>::max()) refuse(key, "is out of range");
    return static_cast<T>(n.u);
  }
}

std::string stringOf(const json& req, const char* key, bool required) {
  auto it = req.find(key);
  if (it == req.end() || it->is_null()) {
    if (required) refuse(key, "is missing");
    return {};
  }
  if (!it->is_string()) refuse(key, "must be a string");
  return it->get<std::string>();
}

std::optional<Bytes> bytesOf(const json& req, const char* key) {
  std::string s = stringOf(req, key, false);
  if (!req.contains(key)) return std::nullopt;
  auto b = fromHex(s);
  if (!b) refuse(key, "is not a hex string");
  return b;
}

// Refuses a key of the wrong type (or a required one missing) as the handler reading it would.
void checkKey(const json& req, const control::Key& key) {
  using control::KeyType;
  switch (key.type) {
    case KeyType::Text:
      (void)stringOf(req, key.name, key.required);
      break;
    case KeyType::Hex:
      (void)bytesOf(req, key.name);
      break;
    case KeyType::U16:
      (void)optNumber<std::uint16_t>(req, key.name);
      break;
    case KeyType::U32:
      (void)optNumber<std::uint32_t>(req, key.name);
      break;
    case KeyType::I32:
      (void)optNumber<std::int32_t>(req, key.name);
      break;
    case KeyType::U64:
      (void)optNumber<std::uint64_t>(req, key.name);
      break;
    case KeyType::Count:
      (void)optNumber<long>(req, key.name);
      break;
    case KeyType::Bool:
      if (auto it = req.find(key.name); it != req.end()) (void)it->get<bool>();
      break;
    case KeyType::Json:
    case KeyType::CtlOnly:
      break;
  }
}

using Handler = void (*)(ControlContext&, const json& req, json& ok);

void ping(ControlContext& c, const json&, json& ok) {
  ok["pong"] = true;
  ok["pid"] = ::getpid();
  if (!c.info.is_null()) ok.update(c.info);
}

void list(ControlContext& c, const json&, json& ok) {
  ok["boards"] = c.machine.list();
  ok["devQo"] = c.machine.boards().devQoPresent();
}

void plug(ControlContext& c, const json& req, json& ok) {
  std::vector<BoardSpec> boards;
  if (req.contains("board"))
    boards.push_back(parseBoard(req.at("board"), "board"));
  else if (req.contains("boards"))
    boards = parseBoards(json{{"boards", req.at("boards")}});
  else
    throw RequestError("plug needs \"board\" or \"boards\"");
  json nodes = json::array();
  for (const auto& b : boards) {
    c.machine.plug(b);
    for (const auto& i : b.interfaces) nodes.push_back(b.nodeName(i));
  }
  ok["nodes"] = nodes;
}

void unplug(ControlContext& c, const json& req, json&) {
  c.machine.unplug(stringOf(req, "device", true));
}

void devQoRemove(ControlContext& c, const json&, json&) { c.machine.boards().removeDevQo(); }
void devQoCreate(ControlContext& c, const json&, json&) { c.machine.createDevQo(); }

Rule ruleOf(const json& req, bool inject) {
  Rule r;
  r.target = stringOf(req, "target", false);
  r.command = optNumber<std::uint32_t>(req, "command");
  r.output = bytesOf(req, "output");
  r.result = optNumber<std::uint32_t>(req, "result");
  r.status = optNumber<std::int32_t>(req, "status");
  r.err = optNumber<std::int32_t>(req, "errno").value_or(0);
  r.remaining = optNumber<long>(req, "count").value_or(inject ? 1 : -1);
  r.after.then = thenValue(stringOf(req, "then", false), "\"then\"");
  r.after.restartMs = optNumber<std::uint32_t>(req, "restartMs").value_or(r.after.restartMs);
  return r;
}

void checkRule(const Rule& r, bool inject) {
  if (r.after.restartMs > kMaxRestartMs) throw RequestError("\"restartMs\" must be at most 60000");
  if (r.err < 0 || r.err >= 512) throw RequestError("\"errno\" must be between 1 and 511");
  if (inject && r.err == 0) throw RequestError("inject needs \"errno\"");
  if (r.remaining == 0 || r.remaining < -1) throw RequestError("\"count\" must be positive or -1");
  if (r.output && r.output->size() > (16u << 20)) throw RequestError("\"output\" is too large");
  const bool aftermathOnly = r.after.then != Aftermath::Then::None && !r.status && !r.output;
  if (r.command && r.err == 0 && !ownedByAnInterface(*r.command) &&
      !(aftermathOnly && isSubscriptionCommand(*r.command)))
    throw RequestError("command " + hexWord(*r.command) +
                       " is no method of a driver interface: it fails with ENOTTY, only "
                       "\"errno\" applies");
}

void addRule(ControlContext& c, const json& req, json& ok, bool inject) {
  Rule r = ruleOf(req, inject);
  // A crash never answers, so an injected one needs no errno of its own.
  if (inject && r.err == 0 && r.after.then == Aftermath::Then::Crash) r.err = ENOTCONN;
  checkRule(r, inject);
  ok["id"] = c.machine.rules().add(std::move(r));
}

void respond(ControlContext& c, const json& req, json& ok) { addRule(c, req, ok, false); }
void inject(ControlContext& c, const json& req, json& ok) { addRule(c, req, ok, true); }

void clearResponses(ControlContext& c, const json&, json&) { c.machine.rules().clear(); }
void responses(ControlContext& c, const json&, json& ok) {
  ok["rules"] = c.machine.rules().toJson();
}

void send(ControlContext& c, std::uint32_t port, const Bytes& bytes) {
  std::string error;
  if (!c.netlink.send(port, bytes, error)) throw RequestError(error);
}

void notify(ControlContext& c, const json& req, json& ok) {
  NotificationFields f;
  const std::string node = stringOf(req, "node", false);
  auto port = optNumber<std::uint32_t>(req, "port");
  auto cookie = optNumber<std::uint64_t>(req, "cookie");
  if (!node.empty() && (!port || !cookie)) {
    std::string error;
    auto sub =
        c.machine.subscriptionOf(node, optNumber<std::uint32_t>(req, "subscriptionKind"), error);
    if (!sub) throw RequestError(error);
    if (!cookie) cookie = sub->first;
    if (!port) port = sub->second;
  }
  if (!port) throw RequestError("notify needs \"port\" or a subscribed \"node\"");
  f.cookie = cookie.value_or(0);
  f.wireKind = optNumber<std::uint16_t>(req, "wireKind").value_or(1);
  f.payload = bytesOf(req, "payload").value_or(Bytes{});
  if (f.payload.size() > 4096) throw RequestError("\"payload\" is longer than 4096 bytes");
  f.lengthField = optNumber<std::uint32_t>(req, "lengthField");
  f.type = optNumber<std::uint16_t>(req, "type");
  f.payloadSizeField = optNumber<std::uint32_t>(req, "payloadSizeField");
  const Bytes bytes = c.netlink.build(f);
  send(c, *port, bytes);
  ok["port"] = *port;
  ok["bytes"] = toHex(bytes);
}

void notifyRaw(ControlContext& c, const json& req, json&) {
  auto port = optNumber<std::uint32_t>(req, "port");
  auto bytes = bytesOf(req, "bytes");
  if (!port || !bytes) throw RequestError("notify-raw needs \"port\" and \"bytes\"");
  if (bytes->empty() || bytes->size() > 4096)
    throw RequestError("\"bytes\" must hold 1 to 4096 bytes");
  send(c, *port, *bytes);
}

void log(ControlContext& c, const json& req, json& ok) {
  json l = c.machine.requestLog().toJson(req.value("clear", false));
  ok["entries"] = std::move(l["entries"]);
  ok["dropped"] = l["dropped"];
}

void logClear(ControlContext& c, const json&, json&) { c.machine.requestLog().clear(); }

void subscriptions(ControlContext& c, const json&, json& ok) {
  ok["subscriptions"] = c.machine.subscriptions().toJson();
}

void set(ControlContext& c, const json& req, json& ok) {
  json fields = json::object();
  for (auto it = req.begin(); it != req.end(); ++it)
    if (it.key() != "cmd" && it.key() != "request" && it.key() != "device")
      fields[it.key()] = it.value();
  ok["board"] = c.machine.boards().setFields(stringOf(req, "device", true), fields);
}

void get(ControlContext& c, const json& req, json& ok) {
  ok["board"] = c.machine.boards().getBoard(stringOf(req, "device", true));
}

void enumFault(ControlContext& c, const json& req, json& ok) {
  const std::string op = stringOf(req, "operation", true);
  const std::string device = stringOf(req, "device", false);
  const auto status = optNumber<std::int32_t>(req, "status");
  if (device.empty())
    c.machine.publications().setMachineFault(op, status);
  else
    c.machine.boards().setEnumFault(device, op, status);
  ok["generation"] = c.machine.publications().generation();
}

void generation(ControlContext& c, const json&, json& ok) {
  ok["generation"] = c.machine.publications().generation();
}

// A text key whose null (or absence) means "none".
std::optional<std::string> optText(const json& req, const char* key) {
  if (!req.contains(key) || req.at(key).is_null()) return std::nullopt;
  return stringOf(req, key, true);
}

void moduleFile(ControlContext& c, const json& req, json&) {
  const std::string name = stringOf(req, "name", true);
  c.machine.publications().setModuleFile(name, optText(req, "text"));
}

void relocationFault(ControlContext& c, const json& req, json&) {
  c.machine.publications().setRelocationFault(optText(req, "answer"));
}

void firmwareUpdate(ControlContext& c, const json& req, json& ok) {
  const std::string device = stringOf(req, "device", true);
  std::string hash = stringOf(req, "hash", false);
  if (!hash.empty() && (hash.size() != 16 || !fromHex(hash)))
    throw RequestError("\"hash\" must be 16 hex digits");
  auto size = optNumber<std::uint64_t>(req, "size").value_or(0);
  auto flag = optNumber<std::uint32_t>(req, "flag").value_or(0);
  auto version = optNumber<std::uint32_t>(req, "version");
  std::string target = stringOf(req, "target", false);
  c.machine.boards().withFirmwareBoard(device, [&](BoardState& b) {
    const std::uint32_t duration = b.description.model.firmwareDurationMs;
    if (!version) version = b.description.model.versionAfterUpdate;
    if (!b.firmware.start(std::chrono::steady_clock::now(), duration, std::move(target), size, flag,
                          std::move(hash), version))
      throw StatusError(qoplatform_standin::kFirmwareBusy,
                        "an update is already running on " + b.description.device);
    ok["durationMs"] = duration;
  });
}

void firmwareProgress(ControlContext& c, const json& req, json& ok) {
  FirmwareProgress p;
  c.machine.boards().withFirmwareBoard(stringOf(req, "device", true), [&](BoardState& b) {
    p = b.firmware.progress(std::chrono::steady_clock::now());
  });
  ok["status"] = p.known ? p.pollStatus : qoplatform_standin::kNoFirmwareProgress;
  ok["percent"] = p.percent;
  ok["busy"] = p.busy;
  ok["second"] = p.second;
  ok["finished"] = p.finished;
  ok["result"] = p.result;
}

FirmwareFault firmwareFaultOf(const json& req, std::int32_t status) {
  FirmwareFault f;
  f.status = status;
  f.atPercent = optNumber<std::uint32_t>(req, "atPercent").value_or(50);
  f.remaining = optNumber<long>(req, "count").value_or(1);
  const std::string operation =
      req.contains("operation") ? stringOf(req, "operation", true) : "update";
  if (operation != "update" && operation != "progress")
    throw RequestError("\"operation\" of a firmware fault must be \"update\" or \"progress\"");
  f.progressOnly = operation == "progress";
  if (f.status == 0) throw RequestError("\"status\" of a firmware fault must not be 0");
  if (f.atPercent > 100) throw RequestError("\"atPercent\" must be between 0 and 100");
  if (f.remaining == 0 || f.remaining < -1) throw RequestError("\"count\" must be positive or -1");
  return f;
}

void firmwareFault(ControlContext& c, const json& req, json&) {
  const std::string device = stringOf(req, "device", true);
  auto status = optNumber<std::int32_t>(req, "status");
  std::optional<FirmwareFault> fault;
  if (status) fault = firmwareFaultOf(req, *status);
  c.machine.boards().withFirmwareBoard(device, [&](BoardState& b) { b.firmware.setFault(fault); });
}

void firmwareConfig(ControlContext& c, const json& req, json&) {
  const std::string device = stringOf(req, "device", true);
  auto duration = optNumber<std::uint32_t>(req, "durationMs");
  if (duration && *duration > 600000) throw RequestError("\"durationMs\" must be at most 600000");
  std::optional<std::optional<std::uint32_t>> version;
  if (req.contains("versionAfterUpdate"))
    version = optNumber<std::uint32_t>(req, "versionAfterUpdate");
  c.machine.boards().withFirmwareBoard(device, [&](BoardState& b) {
    if (duration) b.description.model.firmwareDurationMs = *duration;
    if (version) b.description.model.versionAfterUpdate = *version;
  });
}

// A new firmware becomes the board's version.
void powerCycle(ControlContext& c, const json& req, json& ok) {
  c.machine.boards().withFirmwareBoard(stringOf(req, "device", true), [&](BoardState& b) {
    if (auto v = b.firmware.powerCycle(std::chrono::steady_clock::now()))
      b.description.model.firmwareVersion = *v;
    ok["firmwareVersion"] = b.description.model.firmwareVersion;
  });
}

// Demotion notices: the routes lose their reservation, their sessions are told.
void demote(ControlContext& c, const json& req, json& ok) {
  const std::string device = stringOf(req, "device", true);
  std::vector<Notice> notices = c.machine.demote(device, optNumber<std::int32_t>(req, "ticket"));
  json sent = json::array();
  for (const Notice& n : notices) {
    NotificationFields f;
    f.cookie = n.cookie;
    f.payload = n.payload;
    send(c, n.port, c.netlink.build(f));
    sent.push_back(n.what);
  }
  ok["notified"] = sent;
}

void routes(ControlContext& c, const json& req, json& ok) {
  const std::string device = stringOf(req, "device", true);
  const bool plugged = c.machine.boards().withBoard(device, [&](BoardState& b) {
    b.routing.bind(b.description.model.topographyName);
    ok.update(b.routing.toJson());
  });
  if (!plugged) throw std::runtime_error("device " + device + " is not plugged");
}

struct Entry {
  control::Id id;
  Handler handler;
};

// In control::Id order (checked below), so a request's handler is found by its index.
constexpr std::array<Entry, control::kRequestCount> kHandlers = {{
    {control::Id::Ping, ping},
    {control::Id::List, list},
    {control::Id::Plug, plug},
    {control::Id::Unplug, unplug},
    {control::Id::DevQoRemove, devQoRemove},
    {control::Id::DevQoCreate, devQoCreate},
    {control::Id::Respond, respond},
    {control::Id::Inject, inject},
    {control::Id::ClearResponses, clearResponses},
    {control::Id::Responses, responses},
    {control::Id::Notify, notify},
    {control::Id::NotifyRaw, notifyRaw},
    {control::Id::Log, log},
    {control::Id::LogClear, logClear},
    {control::Id::Subscriptions, subscriptions},
    {control::Id::Set, set},
    {control::Id::Get, get},
    {control::Id::EnumFault, enumFault},
    {control::Id::Generation, generation},
    {control::Id::ModuleFile, moduleFile},
    {control::Id::RelocationFault, relocationFault},
    {control::Id::FirmwareUpdate, firmwareUpdate},
    {control::Id::FirmwareProgress, firmwareProgress},
    {control::Id::FirmwareFault, firmwareFault},
    {control::Id::FirmwareConfig, firmwareConfig},
    {control::Id::PowerCycle, powerCycle},
    {control::Id::Demote, demote},
    {control::Id::Routes, routes},
}};

constexpr bool inIdOrder() {
  for (std::size_t i = 0; i < kHandlers.size(); ++i)
    if (static_cast<std::size_t>(kHandlers[i].id) != i) return false;
  return true;
}
static_assert(inIdOrder(), "every control request has its handler, in control::Id order");

}  // namespace

json answerRequest(ControlContext& context, const json& req) {
  // The request's name travels as "cmd" (qosim ctl, the client) or "request" (the stand-ins).
  if (!req.contains("cmd") && !req.contains("request"))
    throw RequestError("\"cmd\" is missing (the request's name, also accepted as \"request\")");
  const std::string name =
      req.contains("cmd") ? stringOf(req, "cmd", true) : stringOf(req, "request", true);
  const control::Request* request = control::findRequest(name);
  if (request == nullptr)
    throw RequestError("unknown command \"" + name + "\" (" + control::requestNames() + ")");
  for (const control::Key& key : request->keys)
    if (key.checked) checkKey(req, key);
  json ok{{"ok", true}};
  kHandlers[static_cast<std::size_t>(request->id)].handler(context, req, ok);
  return ok;
}

}  // namespace qosim
