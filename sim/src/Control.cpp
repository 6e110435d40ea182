#include "Control.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "ControlHandlers.h"

namespace qosim {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxRequestLine = 16u << 20;

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
        *it = machine_.boards().resolveDeviceName(it->get<std::string>());
    ControlContext context{machine_, netlink_, info_};
    return answerRequest(context, req);
  } catch (const StatusError& e) {
    return json{{"ok", false}, {"status", e.status}, {"error", e.what()}};
  } catch (const std::exception& e) {
    return json{{"ok", false}, {"error", e.what()}};
  }
}

}  // namespace qosim
