#include "source/tIniReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "qo/dsc/Utf8.h"

namespace VorlixSysapiExpert {

namespace {

std::string fold(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view trim(std::string_view text) {
  const char* blanks = " \t\r\v\f";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// Well-formed UTF-8 of Unicode scalar values only (what the host's wide strings can carry).
bool isUnicodeText(std::string_view text) {
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  while (size > 0) {
    char32_t cp = 0;
    std::size_t n = qo::dsc::utf8DecodeOne(data, size, cp);
    if (n == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    data += n;
    size -= n;
  }
  return true;
}

std::string makeKey(std::string_view section, std::string_view key) {
  return fold(section) + '\n' + fold(key);
}

}  // namespace

bool tIniReader::load(const std::string& path) {
  entries_.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > kMaxFileSize) {
    ::close(fd);
    return false;
  }
  // Read up to one byte past the bound: a file that grew since fstat is refused too.
  std::vector<char> buffer(kMaxFileSize + 1);
  std::size_t used = 0;
  while (used < buffer.size()) {
    ssize_t n = ::read(fd, buffer.data() + used, buffer.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (used > kMaxFileSize) return false;
  return parse(std::string_view(buffer.data(), used));
}

bool tIniReader::parse(std::string_view text) {
  entries_.clear();
  if (text.size() > kMaxFileSize) return false;
  if (text.find('\0') != std::string_view::npos) return false;
  if (!isUnicodeText(text)) return false;
  // A byte-order mark at the start is not part of the first line.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  std::string section;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      std::size_t close = line.find(']');
      if (close == std::string_view::npos) {
        entries_.clear();
        return false;  // a broken section header: the file is not what we expect
      }
      section = std::string(trim(line.substr(1, close - 1)));
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;  // not an entry
    std::string_view key = trim(line.substr(0, eq));
    if (key.empty()) continue;
    if (entries_.size() >= kMaxEntries) break;
    entries_.emplace(makeKey(section, key), std::string(trim(line.substr(eq + 1))));
  }
  return true;
}

std::optional<std::string> tIniReader::get(std::string_view section, std::string_view key) const {
  auto it = entries_.find(makeKey(section, key));
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

}  // namespace VorlixSysapiExpert
