#include "QosimClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qosim {

using nlohmann::json;

std::string toHex(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0xF]);
  }
  return out;
}

std::optional<Bytes> fromHex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c == ' ' || c == ':' || c == '\n' || c == '\t') continue;
    else return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

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
                                          std::uint64_t afterCalls, long count, std::uint32_t restartMs) {
  fields["driverFaults"].push_back({{"method", method}, {"then", then}, {"afterCalls", afterCalls},
                                    {"count", count}, {"restartMs", restartMs}});
  return *this;
}

json ResponseRule::toJson() const {
  json j{{"cmd", "respond"}, {"target", target}, {"count", count}};
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
  json j{{"cmd", "notify"}, {"wireKind", wireKind}, {"payload", toHex(payload)}};
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
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (p.size() >= sizeof(addr.sun_path)) {
    r.error = "control socket path too long: " + p;
    return r;
  }
  std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    r.error = std::string("socket: ") + std::strerror(errno);
    return r;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    r.error = "cannot connect to the simulator's control socket " + p + ": " + std::strerror(errno);
    ::close(fd);
    return r;
  }
  r.value.fd_ = fd;
  return r;
}

Client::Client(Client&& other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_)) {
  other.fd_ = -1;
}

Client& Client::operator=(Client&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    pending_ = std::move(other.pending_);
    other.fd_ = -1;
  }
  return *this;
}

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

Result<json> Client::request(const json& req) {
  Result<json> r;
  if (fd_ < 0) {
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
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      r.error = std::string("sending to the simulator failed: ") + std::strerror(errno);
      return r;
    }
    done += static_cast<std::size_t>(n);
  }
  for (;;) {
    auto nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string answer = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
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
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      r.error = n == 0 ? std::string("the simulator closed the control connection")
                       : std::string("receiving from the simulator failed: ") + std::strerror(errno);
      return r;
    }
    pending_.append(buf, static_cast<std::size_t>(n));
  }
}

namespace {
Status statusOf(const Result<json>& r) { return Status{r.error}; }
}  // namespace

Status Client::ping() { return statusOf(request({{"cmd", "ping"}})); }

Result<json> Client::list() { return request({{"cmd", "list"}}); }

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

Status Client::plugJson(const json& board) {
  return statusOf(request({{"cmd", "plug"}, {"board", board}}));
}

Status Client::unplug(const std::string& device) {
  return statusOf(request({{"cmd", "unplug"}, {"device", device}}));
}

Status Client::removeDevQo() { return statusOf(request({{"cmd", "devqo-remove"}})); }
Status Client::createDevQo() { return statusOf(request({{"cmd", "devqo-create"}})); }

Status Client::setResponse(const ResponseRule& rule) { return statusOf(request(rule.toJson())); }

Status Client::injectError(int errnoValue, long count, std::optional<std::uint32_t> command,
                           const std::string& target) {
  ResponseRule rule;
  rule.errnoValue = errnoValue;
  rule.count = count;
  rule.command = command;
  rule.target = target;
  return setResponse(rule);
}

Status Client::clearResponses() { return statusOf(request({{"cmd", "clear-responses"}})); }

Result<SentNotification> Client::notify(const NotifySpec& notice) {
  Result<SentNotification> out;
  auto r = request(notice.toJson());
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
  return statusOf(request({{"cmd", "notify-raw"}, {"port", port}, {"bytes", toHex(bytes)}}));
}

Result<std::vector<LogEntry>> Client::readLog(bool clear) {
  Result<std::vector<LogEntry>> out;
  auto r = request({{"cmd", "log"}, {"clear", clear}});
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

Status Client::clearLog() { return statusOf(request({{"cmd", "log-clear"}})); }

Result<std::vector<Subscription>> Client::subscriptions() {
  Result<std::vector<Subscription>> out;
  auto r = request({{"cmd", "subscriptions"}});
  if (!r) {
    out.error = r.error;
    return out;
  }
  for (const auto& s : r.value.at("subscriptions"))
    out.value.push_back(Subscription{s.at("node").get<std::string>(),
                                     s.at("cookie").get<std::uint64_t>(),
                                     s.at("port").get<std::uint32_t>(),
                                     s.at("kind").get<std::uint32_t>()});
  return out;
}

Result<json> Client::setBoardField(const std::string& device, const std::string& field, json value) {
  return setBoardFields(device, json{{field, std::move(value)}});
}

Result<json> Client::setBoardFields(const std::string& device, const json& fields) {
  json req = fields;
  req["cmd"] = "set";
  req["device"] = device;
  Result<json> out;
  auto r = request(req);
  if (!r) out.error = r.error;
  else out.value = r.value.at("board");
  return out;
}

Result<json> Client::getBoard(const std::string& device) {
  Result<json> out;
  auto r = request({{"cmd", "get"}, {"device", device}});
  if (!r) out.error = r.error;
  else out.value = r.value.at("board");
  return out;
}

Status Client::enumFault(const std::string& device, const std::string& operation,
                         std::optional<std::int32_t> status) {
  json req{{"cmd", "enum-fault"}, {"device", device}, {"operation", operation}};
  req["status"] = status ? json(*status) : json(nullptr);
  return statusOf(request(req));
}

Result<std::uint64_t> Client::generation() {
  Result<std::uint64_t> out;
  auto r = request({{"cmd", "generation"}});
  if (!r) out.error = r.error;
  else out.value = r.value.at("generation").get<std::uint64_t>();
  return out;
}

Status Client::setModuleFile(const std::string& name, std::optional<std::string> text) {
  json req{{"cmd", "module-file"}, {"name", name}};
  req["text"] = text ? json(*text) : json(nullptr);
  return statusOf(request(req));
}

Status Client::relocationFault(std::optional<std::string> answer) {
  json req{{"cmd", "relocation-fault"}};
  req["answer"] = answer ? json(*answer) : json(nullptr);
  return statusOf(request(req));
}

Result<std::uint32_t> Client::firmwareUpdate(const std::string& device, const std::string& target,
                                             std::uint64_t size, std::uint32_t flag, const std::string& hash) {
  json req{{"cmd", "firmware-update"}, {"device", device}, {"target", target}, {"size", size}, {"flag", flag}};
  if (!hash.empty()) req["hash"] = hash;
  Result<std::uint32_t> out;
  auto r = request(req);
  if (!r) out.error = r.error;
  else out.value = r.value.at("durationMs").get<std::uint32_t>();
  return out;
}

Result<FirmwareProgressInfo> Client::firmwareProgress(const std::string& device) {
  Result<FirmwareProgressInfo> out;
  auto r = request({{"cmd", "firmware-progress"}, {"device", device}});
  if (!r) {
    out.error = r.error;
    return out;
  }
  const json& j = r.value;
  out.value = FirmwareProgressInfo{j.at("status").get<std::int32_t>(), j.at("percent").get<std::uint32_t>(),
                                   j.at("busy").get<bool>(),           j.at("second").get<bool>(),
                                   j.at("finished").get<bool>(),       j.at("result").get<std::int32_t>()};
  return out;
}

Status Client::firmwareFault(const std::string& device, std::optional<FirmwareFaultSpec> fault) {
  json req{{"cmd", "firmware-fault"}, {"device", device}};
  if (fault) {
    req["status"] = fault->status;
    req["atPercent"] = fault->atPercent;
    req["count"] = fault->count;
    req["operation"] = fault->operation;
  }
  return statusOf(request(req));
}

Status Client::firmwareConfig(const std::string& device, std::optional<std::uint32_t> durationMs,
                              std::optional<std::uint32_t> versionAfterUpdate) {
  json req{{"cmd", "firmware-config"}, {"device", device}};
  if (durationMs) req["durationMs"] = *durationMs;
  if (versionAfterUpdate) req["versionAfterUpdate"] = *versionAfterUpdate;
  return statusOf(request(req));
}

Status Client::powerCycle(const std::string& device) {
  return statusOf(request({{"cmd", "power-cycle"}, {"device", device}}));
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
