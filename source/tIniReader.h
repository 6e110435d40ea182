// A small reader for the INI-form I/O module description files: sections "[name]", entries
// "key=value", comment lines starting with ';'. Section and key names compare without regard to
// ASCII case (the only mode the library uses); names and values are trimmed of blanks.
//
// Bounds and refusals (a refused file is reported by load() returning false and holds nothing):
//  - at most kMaxFileSize bytes are read; a larger file is refused rather than cut, so a value is
//    never silently truncated;
//  - a file holding a NUL byte or text that is not UTF-8 (a binary file) is refused;
//  - at most kMaxEntries entries are kept.
// A repeated section continues the first one; a repeated key keeps its first value.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace VorlixSysapiExpert {

class tIniReader {
 public:
  static constexpr std::size_t kMaxFileSize = 256 * 1024;
  static constexpr std::size_t kMaxEntries = 4096;

  // Reads and parses the file; false when it cannot be opened, read or parsed.
  bool load(const std::string& path);
  // Parses text held in memory (the same rules).
  bool parse(std::string_view text);

  // The entry's value, or nothing.
  std::optional<std::string> get(std::string_view section, std::string_view key) const;
  std::size_t size() const { return entries_.size(); }

 private:
  std::map<std::string, std::string> entries_;  // "section\nkey" (folded) -> value
};

}  // namespace VorlixSysapiExpert
