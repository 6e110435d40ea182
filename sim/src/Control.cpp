#include "Control.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "QosimClient.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qostandin/qoPlatformStandinContract.h"

namespace qosim {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxRequestLine = 16u << 20;

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

struct RequestError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Accepts a JSON number or a text in decimal or 0x-hex.
template <class T>
std::optional<T> optNumber(const json& req, const char* key) {
  auto it = req.find(key);
  if (it == req.end() || it->is_null()) return std::nullopt;
  long long v = 0;
  unsigned long long u = 0;
  bool negative = false;
  if (it->is_number_unsigned()) {
    u = it->get<unsigned long long>();
  } else if (it->is_number_integer()) {
    v = it->get<long long>();
    negative = v < 0;
    u = static_cast<unsigned long long>(v);
  } else if (it->is_string()) {
    const std::string s = it->get<std::string>();
    errno = 0;
    char* end = nullptr;
    if (!s.empty() && s[0] == '-') {
      v = std::strtoll(s.c_str(), &end, 0);
      negative = true;
      u = static_cast<unsigned long long>(v);
    } else {
      u = std::strtoull(s.c_str(), &end, 0);
    }
    if (s.empty() || *end != '\0' || errno == ERANGE)
      throw RequestError(std::string("\"") + key + "\" is not a number: " + s);
  } else {
    throw RequestError(std::string("\"") + key + "\" must be a number");
  }
  if constexpr (std::is_signed_v<T>) {
    long long sv = negative ? v : static_cast<long long>(u);
    if ((!negative && u > static_cast<unsigned long long>(std::numeric_limits<T>::max())) ||
        sv < static_cast<long long>(std::numeric_limits<T>::min()))
      throw RequestError(std::string("\"") + key + "\" is out of range");
    return static_cast<T>(sv);
  } else {
    // Negative values of unsigned fields are taken as their two's complement (e.g. -1).
    if (negative) {
      if (v < -static_cast<long long>(std::numeric_limits<T>::max() / 2) - 1)
        throw RequestError(std::string("\"") + key + "\" is out of range");
      return static_cast<T>(v);
    }
    if (u > std::numeric_limits<T>::max()) throw RequestError(std::string("\"") + key + "\" is out of range");
    return static_cast<T>(u);
  }
}

std::string stringOf(const json& req, const char* key, bool required) {
  auto it = req.find(key);
  if (it == req.end() || it->is_null()) {
    if (required) throw RequestError(std::string("\"") + key + "\" is missing");
    return {};
  }
  if (!it->is_string()) throw RequestError(std::string("\"") + key + "\" must be a string");
  return it->get<std::string>();
}

std::optional<Bytes> bytesOf(const json& req, const char* key) {
  std::string s = stringOf(req, key, false);
  if (!req.contains(key)) return std::nullopt;
  auto b = fromHex(s);
  if (!b) throw RequestError(std::string("\"") + key + "\" is not a hex string");
  return b;
}

}  // namespace

ControlServer::ControlServer(Machine& machine, NetlinkSender& netlink)
    : machine_(machine), netlink_(netlink) {}

ControlServer::~ControlServer() {
  stop();
  if (listenFd_ >= 0) ::close(listenFd_);
}

bool ControlServer::listen(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    error = "control socket path too long";
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 64) != 0) {
    error = "control socket " + path + ": " + std::strerror(errno);
    return false;
  }
  if (::pipe2(wake_, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void ControlServer::start() {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "qosim-ctl");
    run();
  });
}

void ControlServer::stop() {
  if (thread_.joinable()) {
    char q = 'q';
    while (::write(wake_[1], &q, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void ControlServer::run() {
  std::map<int, std::string> clients;  // fd -> bytes received after the last full line
  for (;;) {
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (const auto& [fd, buf] : clients) fds.push_back({fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      int c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) clients[c];
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const int fd = fds[i].fd;
      char buf[65536];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        ::close(fd);
        clients.erase(fd);
        continue;
      }
      std::string& pending = clients[fd];
      pending.append(buf, static_cast<std::size_t>(n));
      bool drop = false;
      for (std::size_t nl; !drop && (nl = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        json answer;
        json req = json::parse(line, nullptr, false);
        if (req.is_discarded() || !req.is_object())
          answer = {{"ok", false}, {"error", "request is not a JSON object"}};
        else
          answer = handle(req);
        std::string out = answer.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        for (std::size_t done = 0; done < out.size();) {
          ssize_t w = ::send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) {
            drop = true;
            break;
          }
          done += static_cast<std::size_t>(w);
        }
      }
      if (!drop && pending.size() > kMaxRequestLine) drop = true;
      if (drop) {
        ::close(fd);
        clients.erase(fd);
      }
    }
  }
  for (const auto& [fd, buf] : clients) ::close(fd);
}

json ControlServer::handle(const json& request) {
  try {
    // Boards are named as the hosts name them too (KEL1 or qovorlix1); a node target is left as is.
    json req = request;
    for (const char* key : {"device", "target"})
      if (auto it = req.find(key); it != req.end() && it->is_string() &&
                                   it->get<std::string>().find('\\') == std::string::npos)
        *it = machine_.resolveDeviceName(it->get<std::string>());
    // The request's name travels as "cmd" (qosim ctl, the client) or "request" (the stand-ins).
    if (!req.contains("cmd") && !req.contains("request"))
      throw RequestError("\"cmd\" is missing (the request's name, also accepted as \"request\")");
    const std::string cmd = req.contains("cmd") ? stringOf(req, "cmd", true) : stringOf(req, "request", true);
    json ok{{"ok", true}};
    if (cmd == "ping") {
      ok["pong"] = true;
      ok["pid"] = ::getpid();
      if (!info_.is_null()) ok.update(info_);
      return ok;
    }
    if (cmd == "list") {
      ok["boards"] = machine_.list();
      ok["devQo"] = machine_.devQoPresent();
      return ok;
    }
    if (cmd == "plug") {
      std::vector<BoardSpec> boards;
      if (req.contains("board")) boards.push_back(parseBoard(req.at("board"), "board"));
      else if (req.contains("boards")) boards = parseBoards(json{{"boards", req.at("boards")}});
      else throw RequestError("plug needs \"board\" or \"boards\"");
      json nodes = json::array();
      for (const auto& b : boards) {
        machine_.plug(b);
        for (const auto& i : b.interfaces) nodes.push_back(b.nodeName(i));
      }
      ok["nodes"] = nodes;
      return ok;
    }
    if (cmd == "unplug") {
      machine_.unplug(stringOf(req, "device", true));
      return ok;
    }
    if (cmd == "devqo-remove") {
      machine_.removeDevQo();
      return ok;
    }
    if (cmd == "devqo-create") {
      machine_.createDevQo();
      return ok;
    }
    if (cmd == "respond" || cmd == "inject") {
      Rule r;
      r.target = stringOf(req, "target", false);
      r.command = optNumber<std::uint32_t>(req, "command");
      r.output = bytesOf(req, "output");
      r.result = optNumber<std::uint32_t>(req, "result");
      r.status = optNumber<std::int32_t>(req, "status");
      r.err = optNumber<std::int32_t>(req, "errno").value_or(0);
      r.remaining = optNumber<long>(req, "count").value_or(cmd == "inject" ? 1 : -1);
      r.after.then = thenValue(stringOf(req, "then", false), "\"then\"");
      r.after.restartMs = optNumber<std::uint32_t>(req, "restartMs").value_or(r.after.restartMs);
      if (r.after.restartMs > kMaxRestartMs) throw RequestError("\"restartMs\" must be at most 60000");
      if (cmd == "inject" && r.err == 0 && r.after.then == Aftermath::Then::Crash) r.err = ENOTCONN;  // never answered anyway
      if (r.err < 0 || r.err >= 512) throw RequestError("\"errno\" must be between 1 and 511");
      if (cmd == "inject" && r.err == 0) throw RequestError("inject needs \"errno\"");
      if (r.remaining == 0 || r.remaining < -1) throw RequestError("\"count\" must be positive or -1");
      if (r.output && r.output->size() > (16u << 20)) throw RequestError("\"output\" is too large");
      const bool aftermathOnly = r.after.then != Aftermath::Then::None && !r.status && !r.output;
      if (r.command && r.err == 0 && !ownedByAnInterface(*r.command) &&
          !(aftermathOnly && isSubscriptionCommand(*r.command)))
        throw RequestError("command " + hexWord(*r.command) +
                           " is no method of a driver interface: it fails with ENOTTY, only \"errno\" applies");
      ok["id"] = machine_.addRule(std::move(r));
      return ok;
    }
    if (cmd == "clear-responses") {
      machine_.clearRules();
      return ok;
    }
    if (cmd == "responses") {
      ok["rules"] = machine_.rules();
      return ok;
    }
    if (cmd == "notify") {
      NotificationFields f;
      const std::string node = stringOf(req, "node", false);
      auto port = optNumber<std::uint32_t>(req, "port");
      auto cookie = optNumber<std::uint64_t>(req, "cookie");
      if (!node.empty() && (!port || !cookie)) {
        std::string error;
        auto sub = machine_.subscriptionOf(node, optNumber<std::uint32_t>(req, "subscriptionKind"), error);
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
      Bytes bytes = netlink_.build(f);
      std::string error;
      if (!netlink_.send(*port, bytes, error)) throw RequestError(error);
      ok["port"] = *port;
      ok["bytes"] = toHex(bytes);
      return ok;
    }
    if (cmd == "notify-raw") {
      auto port = optNumber<std::uint32_t>(req, "port");
      auto bytes = bytesOf(req, "bytes");
      if (!port || !bytes) throw RequestError("notify-raw needs \"port\" and \"bytes\"");
      if (bytes->empty() || bytes->size() > 4096) throw RequestError("\"bytes\" must hold 1 to 4096 bytes");
      std::string error;
      if (!netlink_.send(*port, *bytes, error)) throw RequestError(error);
      return ok;
    }
    if (cmd == "log") {
      json l = machine_.logJson(req.value("clear", false));
      ok["entries"] = std::move(l["entries"]);
      ok["dropped"] = l["dropped"];
      return ok;
    }
    if (cmd == "log-clear") {
      machine_.clearLog();
      return ok;
    }
    if (cmd == "subscriptions") {
      ok["subscriptions"] = machine_.subscriptions();
      return ok;
    }
    if (cmd == "set") {
      json fields = json::object();
      for (auto it = req.begin(); it != req.end(); ++it)
        if (it.key() != "cmd" && it.key() != "request" && it.key() != "device") fields[it.key()] = it.value();
      ok["board"] = machine_.setFields(stringOf(req, "device", true), fields);
      return ok;
    }
    if (cmd == "get") {
      ok["board"] = machine_.getBoard(stringOf(req, "device", true));
      return ok;
    }
    if (cmd == "enum-fault") {
      const std::string op = stringOf(req, "operation", true);
      machine_.setEnumFault(stringOf(req, "device", false), op, optNumber<std::int32_t>(req, "status"));
      ok["generation"] = machine_.generation();
      return ok;
    }
    if (cmd == "generation") {
      ok["generation"] = machine_.generation();
      return ok;
    }
    if (cmd == "module-file") {
      const std::string name = stringOf(req, "name", true);
      std::optional<std::string> text;
      if (req.contains("text") && !req.at("text").is_null()) text = stringOf(req, "text", true);
      machine_.setModuleFile(name, text);
      return ok;
    }
    if (cmd == "relocation-fault") {
      std::optional<std::string> answer;
      if (req.contains("answer") && !req.at("answer").is_null()) answer = stringOf(req, "answer", true);
      machine_.setRelocationFault(answer);
      return ok;
    }
    if (cmd == "firmware-update") {
      const std::string device = stringOf(req, "device", true);
      std::string hash = stringOf(req, "hash", false);
      if (!hash.empty() && (hash.size() != 16 || !fromHex(hash)))
        throw RequestError("\"hash\" must be 16 hex digits");
      auto size = optNumber<std::uint64_t>(req, "size").value_or(0);
      auto flag = optNumber<std::uint32_t>(req, "flag").value_or(0);
      auto version = optNumber<std::uint32_t>(req, "version");
      ok["durationMs"] = machine_.firmwareUpdate(device, stringOf(req, "target", false), size, flag, hash, version);
      return ok;
    }
    if (cmd == "firmware-progress") {
      FirmwareProgress p = machine_.firmwareProgress(stringOf(req, "device", true));
      ok["status"] = p.known ? p.pollStatus : qoplatform_standin::kNoFirmwareProgress;
      ok["percent"] = p.percent;
      ok["busy"] = p.busy;
      ok["second"] = p.second;
      ok["finished"] = p.finished;
      ok["result"] = p.result;
      return ok;
    }
    if (cmd == "firmware-fault") {
      const std::string device = stringOf(req, "device", true);
      auto status = optNumber<std::int32_t>(req, "status");
      std::optional<FirmwareFault> fault;
      if (status) {
        FirmwareFault f;
        f.status = *status;
        f.atPercent = optNumber<std::uint32_t>(req, "atPercent").value_or(50);
        f.remaining = optNumber<long>(req, "count").value_or(1);
        const std::string operation = req.contains("operation") ? stringOf(req, "operation", true) : "update";
        if (operation != "update" && operation != "progress")
          throw RequestError("\"operation\" of a firmware fault must be \"update\" or \"progress\"");
        f.progressOnly = operation == "progress";
        if (f.status == 0) throw RequestError("\"status\" of a firmware fault must not be 0");
        if (f.atPercent > 100) throw RequestError("\"atPercent\" must be between 0 and 100");
        if (f.remaining == 0 || f.remaining < -1) throw RequestError("\"count\" must be positive or -1");
        fault = f;
      }
      machine_.firmwareFault(device, fault);
      return ok;
    }
    if (cmd == "firmware-config") {
      const std::string device = stringOf(req, "device", true);
      auto duration = optNumber<std::uint32_t>(req, "durationMs");
      if (duration && *duration > 600000) throw RequestError("\"durationMs\" must be at most 600000");
      std::optional<std::optional<std::uint32_t>> version;
      if (req.contains("versionAfterUpdate")) version = optNumber<std::uint32_t>(req, "versionAfterUpdate");
      machine_.firmwareConfig(device, duration, version);
      return ok;
    }
    if (cmd == "demote") {
      // Demotion notices: the routes lose their reservation, their sessions are told.
      const std::string device = stringOf(req, "device", true);
      std::vector<Notice> notices = machine_.demote(device, optNumber<std::int32_t>(req, "ticket"));
      json sent = json::array();
      for (const Notice& n : notices) {
        NotificationFields f;
        f.cookie = n.cookie;
        f.payload = n.payload;
        std::string error;
        if (!netlink_.send(n.port, netlink_.build(f), error)) throw RequestError(error);
        sent.push_back(n.what);
      }
      ok["notified"] = sent;
      return ok;
    }
    if (cmd == "routes") {
      ok.update(machine_.routes(stringOf(req, "device", true)));
      return ok;
    }
    if (cmd == "power-cycle") {
      ok.update(machine_.powerCycle(stringOf(req, "device", true)));
      return ok;
    }
    throw RequestError("unknown command \"" + cmd +
                       "\" (ping, list, plug, unplug, devqo-remove, devqo-create, respond, inject, "
                       "clear-responses, responses, notify, notify-raw, log, log-clear, subscriptions, "
                       "set, get, enum-fault, generation, module-file, relocation-fault, firmware-update, "
                       "firmware-progress, firmware-fault, firmware-config, power-cycle, demote, routes)");
  } catch (const StatusError& e) {
    return json{{"ok", false}, {"status", e.status}, {"error", e.what()}};
  } catch (const std::exception& e) {
    return json{{"ok", false}, {"error", e.what()}};
  }
}

}  // namespace qosim
