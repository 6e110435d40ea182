#include "MachineFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qosim::files {

void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

void makeDir(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0) fail("mkdir " + path);
}

void writeFile(const std::string& path, const void* data, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
  if (fd < 0) fail("create " + path);
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      ::close(fd);
      errno = e;
      fail("write " + path);
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

void writeU32(const std::string& path, std::uint32_t v) {
  std::uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  writeFile(path, b, sizeof b);
}

void writeText(const std::string& path, const std::string& text) {
  writeFile(path, text.data(), text.size());
}

void replaceFile(const std::string& dir, const std::string& name, const std::string& text) {
  const std::string tmp = dir + "/.new-" + name;
  ::unlink(tmp.c_str());
  writeText(tmp, text);
  const std::string final = dir + "/" + name;
  if (::rename(tmp.c_str(), final.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    fail("rename " + tmp + " to " + final);
  }
}

void removeIfThere(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("unlink " + path);
}

}  // namespace qosim::files
