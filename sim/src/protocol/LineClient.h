// One connection to a simulated machine's control socket: a Unix stream socket carrying one
// request line and one answer line at a time. The control client of the tests and `qosim ctl`
// and the firmware stand-in (a shared library of its own, which takes this header and exports
// nothing of it) talk through it; each words the failures in its own terms.
//
// A connection belongs to one thread at a time; it holds no lock.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace qosim {

class LineClient {
 public:
  enum class Connect { Connected, PathTooLong, SocketFailed, ConnectFailed };
  enum class Exchange { Answered, SendFailed, TimedOut, Closed, ReceiveFailed };

  LineClient() = default;
  LineClient(LineClient&& other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_)) {
    other.fd_ = -1;
  }
  LineClient& operator=(LineClient&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.fd_;
      pending_ = std::move(other.pending_);
      other.fd_ = -1;
    }
    return *this;
  }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;
  ~LineClient() { close(); }

  bool connected() const { return fd_ >= 0; }

  // answerTimeoutSeconds > 0 bounds every wait for an answer (Exchange::TimedOut). The failing
  // call's errno is left in errno.
  Connect connect(const std::string& path, int answerTimeoutSeconds = 0) {
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return Connect::PathTooLong;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Connect::SocketFailed;
    if (answerTimeoutSeconds > 0) {
      const timeval timeout{answerTimeoutSeconds, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return Connect::ConnectFailed;
    }
    fd_ = fd;
    return Connect::Connected;
  }

  // Sends `line` (which ends in a newline) and reads the next answer line, without its newline,
  // into `answer`. On a failure the call's errno is left in errno.
  Exchange exchange(const std::string& line, std::string& answer) {
    for (std::size_t done = 0; done < line.size();) {
      const ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Exchange::SendFailed;
      done += static_cast<std::size_t>(n);
    }
    std::size_t searched = 0;  // an answer of many blocks is scanned for its end only once
    std::size_t newline;
    while ((newline = pending_.find('\n', searched)) == std::string::npos) {
      searched = pending_.size();
      if (buffer_.empty()) buffer_.resize(kReceiveBlock);
      const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Exchange::TimedOut;
      if (n == 0) return Exchange::Closed;
      if (n < 0) return Exchange::ReceiveFailed;
      pending_.append(buffer_.data(), static_cast<std::size_t>(n));
    }
    answer = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    return Exchange::Answered;
  }

 private:
  static constexpr std::size_t kReceiveBlock = 65536;

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
  std::string pending_;       // bytes received after the last answer line
  std::vector<char> buffer_;  // one receive block, on the heap (callers' threads may be small)
};

}  // namespace qosim
