#include "QosimClient.h"

#include "ControlRequests.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qosim {

using nlohmann::json;

std::ostream& operator<<(std::ostream& os, const Status& st) {
  return os << (st.ok() ? std::string("ok") : st.error);
}

// --- descriptions ------------------------------------------------------------------------------

BoardDesc& BoardDesc::withInterface(std::string name, std::string a, std::string b,
                                    std::string node) {
  interfaces.push_back(InterfaceDesc{std::move(name), std::move(a), std::move(b), std::move(node)});
  return *this;
}

BoardDesc& BoardDesc::withBusProperty(std::string name, std::uint32_t value) {
  busProperties[std::move(name)] = value;
  return *this;
}

BoardDesc& BoardDesc::withRawBusProperty(std::string name, Bytes value) {
  rawBusProperties[std::move(name)] = std::move(value);
  return *this;
}

namespace {
std::atomic<unsigned> gNextBusNumber{0x40};
}

BoardDesc& BoardDesc::withDefaults() {
  withInterface("qovorlixtarrowk_vorlixtarrow");
  withBusProperty("pciBusNumber", 0x40 + (gNextBusNumber++ - 0x40) % 0xB0);
  withBusProperty("pciDeviceNumber", 0);
  withBusProperty("pciFunctionNumber", 0);
  withBusProperty("pcieLinkWidth", 4);
  withBusProperty("pcieMaxLinkWidth", 8);
  withBusProperty("pcieTransferRate", 2);
  withBusProperty("pcieMaxTransferRate", 3);
  return *this;
}

BoardDesc& BoardDesc::withField(const std::string& name, json value) {
  fields[name] = std::move(value);
  return *this;
}

BoardDesc& BoardDesc::withModule(std::uint32_t id, std::uint8_t revision, std::uint32_t serial) {
  return withField("module", {{"id", id}, {"revision", revision}, {"serial", serial}});
}

BoardDesc& BoardDesc::withUnreadableModule(std::int32_t status) {
  return withField("module", {{"unreadable", true}, {"status", status}});
}

BoardDesc& BoardDesc::withDriverFault(const std::string& method, std::int32_t status,
                                      std::uint64_t afterCalls, long count) {
  fields["driverFaults"].push_back(
      {{"method", method}, {"status", status}, {"afterCalls", afterCalls}, {"count", count}});
  return *this;
}

BoardDesc& BoardDesc::withDriverErrno(const std::string& method, int err, std::uint64_t afterCalls,
                                      long count) {
  fields["driverFaults"].push_back(
      {{"method", method}, {"errno", err}, {"afterCalls", afterCalls}, {"count", count}});
  return *this;
}

BoardDesc& BoardDesc::withModuleFieldFailure(std::uint32_t id, std::uint8_t revision,
                                             std::uint32_t serial, const std::string& failingField,
                                             std::int32_t status) {
  json module{{"id", id}, {"revision", revision}, {"serial", serial}};
  module[failingField] = {{"status", status}};
  return withField("module", module);
}

BoardDesc& BoardDesc::withTemperature(std::uint32_t reading, std::uint32_t limit) {
  withField("temperature", reading);
  return withField("temperatureLimit", limit);
}

BoardDesc& BoardDesc::withEnumFault(const std::string& operation, std::int32_t status) {
  fields["enumeration"]["faults"][operation] = status;
  return *this;
}

std::string BoardDesc::nodeName(const std::string& interfaceName) const {
  for (const auto& i : interfaces)
    if (i.name == interfaceName) return device + "\\" + i.name + "\\" + i.node;
  return {};
}

std::string BoardDesc::nodePath(const std::string& interfaceName) const {
  std::string n = nodeName(interfaceName);
  return n.empty() ? n : "/dev/qo/" + n;
}

json BoardDesc::toJson() const {
  json j;
  j["device"] = device;
  j["interfaces"] = json::array();
  for (const auto& i : interfaces)
    j["interfaces"].push_back({{"name", i.name}, {"a", i.a}, {"b", i.b}, {"node", i.node}});
  j["busProperties"] = json::object();
  for (const auto& [k, v] : busProperties) j["busProperties"][k] = v;
  for (const auto& [k, v] : rawBusProperties) j["busProperties"][k] = {{"hex", toHex(v)}};
  for (auto it = fields.begin(); it != fields.end(); ++it) j[it.key()] = it.value();
  return j;
}

BoardDesc& BoardDesc::withDriverAftermath(const std::string& method, const std::string& then,
                                          std::uint64_t afterCalls, long count,
                                          std::uint32_t restartMs) {
  fields["driverFaults"].push_back({{"method", method},
                                    {"then", then},
                                    {"afterCalls", afterCalls},
                                    {"count", count},
                                    {"restartMs", restartMs}});
  return *this;
}

json ResponseRule::toJson() const {
  json j = control::make(control::Id::Respond);
  j["target"] = target;
  j["count"] = count;
  if (command) j["command"] = *command;
  if (output) j["output"] = toHex(*output);
  if (result) j["result"] = *result;
  if (status) j["status"] = *status;
  if (errnoValue) j["errno"] = errnoValue;
  if (!then.empty()) j["then"] = then;
  if (restartMs) j["restartMs"] = *restartMs;
  return j;
}

json NotifySpec::toJson() const {
  json j = control::make(control::Id::Notify);
  j["wireKind"] = wireKind;
  j["payload"] = toHex(payload);
  if (!node.empty()) j["node"] = node;
  if (port) j["port"] = *port;
  if (cookie) j["cookie"] = *cookie;
  if (subscriptionKind) j["subscriptionKind"] = *subscriptionKind;
  if (lengthField) j["lengthField"] = *lengthField;
  if (type) j["type"] = *type;
  if (payloadSizeField) j["payloadSizeField"] = *payloadSizeField;
  return j;
}

// --- client ------------------------------------------------------------------------------------

Result<Client> Client::connect(const std::string& path) {
  Result<Client> r;
  std::string p = path;
  if (p.empty()) {
    const char* env = std::getenv("QOSIM_CONTROL");
    if (!env || !*env) {
      r.error = "QOSIM_CONTROL is not set: run under `qosim run -- COMMAND`";
      return r;
    }
    p = env;
  }
  switch (r.value.line_.connect(p)) {
    case LineClient::Connect::Connected:
      break;
    case LineClient::Connect::PathTooLong:
      r.error = "control socket path too long: " + p;
      break;
    case LineClient::Connect::SocketFailed:
      r.error = std::string("socket: ") + std::strerror(errno);
      break;
    case LineClient::Connect::ConnectFailed:
      r.error =
          "cannot connect to the simulator's control socket " + p + ": " + std::strerror(errno);
      break;
  }
  return r;
}

namespace {

// Why an exchange brought no answer line, in the words the tests and `qosim ctl` show.
std::string exchangeError(LineClient::Exchange outcome) {
  switch (outcome) {
    case LineClient::Exchange::SendFailed:
      return std::string("sending to the simulator failed: ") + std::strerror(errno);
    case LineClient::Exchange::Closed:
      return "the simulator closed the control connection";
    case LineClient::Exchange::TimedOut:
    case LineClient::Exchange::ReceiveFailed:
    case LineClient::Exchange::Answered:
      break;
  }
  return std::string("receiving from the simulator failed: ") + std::strerror(errno);
}

}  // namespace

Result<json> Client::request(const json& req) {
  Result<json> r;
  if (!line_.connected()) {
    r.error = "not connected to the simulator";
    return r;
  }
  std::string line;
  try {
    line = req.dump() + "\n";
  } catch (const json::type_error&) {
    // The protocol is JSON text: a name or value that is not UTF-8 cannot travel.
    r.error = "the request holds text that is not UTF-8";
    return r;
  }
  std::string answer;
  const auto outcome = line_.exchange(line, answer);
  if (outcome != LineClient::Exchange::Answered) {
    r.error = exchangeError(outcome);
    return r;
  }
  json j = json::parse(answer, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    r.error = "malformed answer from the simulator: " + answer;
    return r;
  }
  if (!j.value("ok", false)) {
    r.error = j.value("error", std::string("request failed without a message"));
    return r;
  }
  r.value = std::move(j);
  return r;
}

Result<json> Client::call(control::Id id, json keys) {
  const control::Request& described = control::request(id);
  for (auto it = keys.begin(); it != keys.end(); ++it)
    if (it.key() != "cmd" && !described.anyField &&
        control::findKey(described, it.key()) == nullptr)
      return Result<json>{
          {}, "the client built a \"" + it.key() + "\" that " + described.name + " does not take"};
  keys["cmd"] = described.name;
  return request(keys);
}

namespace {
using control::Id;
Status statusOf(const Result<json>& r) { return Status{r.error}; }
}  // namespace

Status Client::ping() { return statusOf(call(Id::Ping)); }

Result<json> Client::list() { return call(Id::List); }

Result<std::vector<std::string>> Client::listDevices() {
  Result<std::vector<std::string>> out;
  auto r = list();
  if (!r) {
    out.error = r.error;
    return out;
  }
  for (const auto& b : r.value.at("boards")) out.value.push_back(b.at("device").get<std::string>());
  return out;
}

Status Client::plug(const BoardDesc& board) { return plugJson(board.toJson()); }

Status Client::plugJson(const json& board) { return statusOf(call(Id::Plug, {{"board", board}})); }

Status Client::unplug(const std::string& device) {
  return statusOf(call(Id::Unplug, {{"device", device}}));
}

Status Client::removeDevQo() { return statusOf(call(Id::DevQoRemove)); }
Status Client::createDevQo() { return statusOf(call(Id::DevQoCreate)); }

Status Client::setResponse(const ResponseRule& rule) {
  return statusOf(call(Id::Respond, rule.toJson()));
}

Status Client::injectError(int errnoValue, long count, std::optional<std::uint32_t> command,
                           const std::string& target) {
  ResponseRule rule;
  rule.errnoValue = errnoValue;
  rule.count = count;
  rule.command = command;
  rule.target = target;
  return setResponse(rule);
}

Status Client::clearResponses() { return statusOf(call(Id::ClearResponses)); }

Result<SentNotification> Client::notify(const NotifySpec& notice) {
  Result<SentNotification> out;
  auto r = call(Id::Notify, notice.toJson());
  if (!r) {
    out.error = r.error;
    return out;
  }
  out.value.port = r.value.at("port").get<std::uint32_t>();
  auto bytes = fromHex(r.value.at("bytes").get<std::string>());
  if (bytes) out.value.bytes = *bytes;
  return out;
}

Status Client::notifyRaw(std::uint32_t port, const Bytes& bytes) {
  return statusOf(call(Id::NotifyRaw, {{"port", port}, {"bytes", toHex(bytes)}}));
}

Result<std::vector<LogEntry>> Client::readLog(bool clear) {
  Result<std::vector<LogEntry>> out;
  auto r = call(Id::Log, {{"clear", clear}});
  if (!r) {
    out.error = r.error;
    return out;
  }
  try {
    for (const auto& e : r.value.at("entries")) {
      LogEntry le;
      le.seq = e.at("seq").get<std::uint64_t>();
      le.timeNs = e.at("timeNs").get<std::int64_t>();
      le.op = e.at("op").get<std::string>();
      le.node = e.at("node").get<std::string>();
      le.command = e.at("command").get<std::uint32_t>();
      le.tid = e.at("tid").get<std::int32_t>();
      le.block = fromHex(e.at("block").get<std::string>()).value_or(Bytes{});
      le.input = fromHex(e.at("input").get<std::string>()).value_or(Bytes{});
      le.output = fromHex(e.at("output").get<std::string>()).value_or(Bytes{});
      le.inputSize = e.at("inputSize").get<std::uint32_t>();
      le.outputSize = e.at("outputSize").get<std::uint32_t>();
      le.result = e.at("result").get<std::uint32_t>();
      le.errnoValue = e.at("errno").get<int>();
      le.offset = e.at("offset").get<std::uint64_t>();
      le.note = e.at("note").get<std::string>();
      le.method = e.value("method", std::string());
      if (e.contains("decoded")) le.decoded = e.at("decoded");
      out.value.push_back(std::move(le));
    }
  } catch (const std::exception& ex) {
    out.error = std::string("malformed log from the simulator: ") + ex.what();
  }
  return out;
}

Status Client::clearLog() { return statusOf(call(Id::LogClear)); }

Result<std::vector<Subscription>> Client::subscriptions() {
  Result<std::vector<Subscription>> out;
  auto r = call(Id::Subscriptions);
  if (!r) {
    out.error = r.error;
    return out;
  }
  for (const auto& s : r.value.at("subscriptions"))
    out.value.push_back(
        Subscription{s.at("node").get<std::string>(), s.at("cookie").get<std::uint64_t>(),
                     s.at("port").get<std::uint32_t>(), s.at("kind").get<std::uint32_t>()});
  return out;
}

Result<json> Client::setBoardField(const std::string& device, const std::string& field,
                                   json value) {
  return setBoardFields(device, json{{field, std::move(value)}});
}

Result<json> Client::setBoardFields(const std::string& device, const json& fields) {
  json req = fields;
  req["device"] = device;
  Result<json> out;
  auto r = call(Id::Set, req);
  if (!r)
    out.error = r.error;
  else
    out.value = r.value.at("board");
  return out;
}

Result<json> Client::getBoard(const std::string& device) {
  Result<json> out;
  auto r = call(Id::Get, {{"device", device}});
  if (!r)
    out.error = r.error;
  else
    out.value = r.value.at("board");
  return out;
}

Status Client::enumFault(const std::string& device, const std::string& operation,
                         std::optional<std::int32_t> status) {
  json req{{"device", device}, {"operation", operation}};
  req["status"] = status ? json(*status) : json(nullptr);
  return statusOf(call(Id::EnumFault, req));
}

Result<std::uint64_t> Client::generation() {
  Result<std::uint64_t> out;
  auto r = call(Id::Generation);
  if (!r)
    out.error = r.error;
  else
    out.value = r.value.at("generation").get<std::uint64_t>();
  return out;
}

Status Client::setModuleFile(const std::string& name, std::optional<std::string> text) {
  json req{{"name", name}};
  req["text"] = text ? json(*text) : json(nullptr);
  return statusOf(call(Id::ModuleFile, req));
}

Status Client::relocationFault(std::optional<std::string> answer) {
  json req = json::object();
  req["answer"] = answer ? json(*answer) : json(nullptr);
  return statusOf(call(Id::RelocationFault, req));
}

Result<std::uint32_t> Client::firmwareUpdate(const std::string& device, const std::string& target,
                                             std::uint64_t size, std::uint32_t flag,
                                             const std::string& hash) {
  json req{{"device", device}, {"target", target}, {"size", size}, {"flag", flag}};
  if (!hash.empty()) req["hash"] = hash;
  Result<std::uint32_t> out;
  auto r = call(Id::FirmwareUpdate, req);
  if (!r)
    out.error = r.error;
  else
    out.value = r.value.at("durationMs").get<std::uint32_t>();
  return out;
}

Result<FirmwareProgressInfo> Client::firmwareProgress(const std::string& device) {
  Result<FirmwareProgressInfo> out;
  auto r = call(Id::FirmwareProgress, {{"device", device}});
  if (!r) {
    out.error = r.error;
    return out;
  }
  const json& j = r.value;
  out.value =
      FirmwareProgressInfo{j.at("status").get<std::int32_t>(), j.at("percent").get<std::uint32_t>(),
                           j.at("busy").get<bool>(),           j.at("second").get<bool>(),
                           j.at("finished").get<bool>(),       j.at("result").get<std::int32_t>()};
  return out;
}

Status Client::firmwareFault(const std::string& device, std::optional<FirmwareFaultSpec> fault) {
  json req{{"device", device}};
  if (fault) {
    req["status"] = fault->status;
    req["atPercent"] = fault->atPercent;
    req["count"] = fault->count;
    req["operation"] = fault->operation;
  }
  return statusOf(call(Id::FirmwareFault, req));
}

Status Client::firmwareConfig(const std::string& device, std::optional<std::uint32_t> durationMs,
                              std::optional<std::uint32_t> versionAfterUpdate) {
  json req{{"device", device}};
  if (durationMs) req["durationMs"] = *durationMs;
  if (versionAfterUpdate) req["versionAfterUpdate"] = *versionAfterUpdate;
  return statusOf(call(Id::FirmwareConfig, req));
}

Status Client::powerCycle(const std::string& device) {
  return statusOf(call(Id::PowerCycle, {{"device", device}}));
}

// --- board builder -----------------------------------------------------------------------------

namespace {
std::atomic<unsigned> gNextDeviceNumber{100};
}

std::string uniqueDeviceName() { return "qovorlix" + std::to_string(gNextDeviceNumber++); }

BoardSet::~BoardSet() { (void)unplug(); }

BoardDesc& BoardSet::add(const std::string& device) {
  BoardDesc b;
  b.device = device.empty() ? uniqueDeviceName() : device;
  boards_.push_back(std::move(b));
  generatedName_.push_back(device.empty());
  plugged_.push_back(false);
  return boards_.back();
}

Status BoardSet::ensureClient() {
  if (client_.connected()) return {};
  auto c = Client::connect();
  if (!c) {
    connectError_ = c.error;
    return c.status();
  }
  client_ = std::move(c.value);
  return {};
}

Client& BoardSet::client() {
  (void)ensureClient();
  return client_;
}

Status BoardSet::plug() {
  if (auto st = ensureClient(); !st) return st;
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    if (plugged_[i]) continue;
    for (int attempt = 0;; ++attempt) {
      Status st = client_.plug(boards_[i]);
      if (st) break;
      bool taken = st.error.find("already plugged") != std::string::npos;
      if (!taken || !generatedName_[i] || attempt >= 100)
        return Status{"plugging board " + boards_[i].device + ": " + st.error};
      boards_[i].device = uniqueDeviceName();
    }
    plugged_[i] = true;
  }
  return {};
}

Status BoardSet::unplug() {
  for (std::size_t i = boards_.size(); i-- > 0;) {
    if (!plugged_[i]) continue;
    if (auto st = ensureClient(); !st) return st;
    Status st = client_.unplug(boards_[i].device);
    if (!st) return Status{"unplugging board " + boards_[i].device + ": " + st.error};
    plugged_[i] = false;
  }
  return {};
}

}  // namespace qosim
