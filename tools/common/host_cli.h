// What the reference hosts (and qosim) do the same way on the command line:
// - one way out for failures: a message on stderr, or under --json exactly one JSON document
//   {"error": ..., "exitCode": N} on stdout, N being the exit status;
// - output checked as it is written: a full disk or another write error is reported on stderr
//   and ends the program with status 1; a closed pipe (EPIPE) ends it quietly with 141, as a
//   program killed by SIGPIPE would (SIGPIPE itself is ignored so that cleanup still runs);
// - bytes that are not UTF-8 are shown escaped (\xHH), in text and in JSON, never raw;
// - colour by --color=auto|always|never and NO_COLOR; tables sized by their content;
// - the nearest names for a name that was not found.
// Header-only: the hosts link nothing of the library.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hostcli {

inline constexpr int kWriteFailed = 1;
inline constexpr int kBrokenPipe = 141;   // 128 + SIGPIPE
inline constexpr int kInterrupted = 130;  // 128 + SIGINT
inline constexpr int kTerminated = 143;   // 128 + SIGTERM

// The exit status of a program ended by `signal` (SIGINT 130, SIGTERM 143).
inline int exitForSignal(int signal) { return 128 + signal; }

// ---- UTF-8 -------------------------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at text[at], 0 when there is none (overlong forms,
// surrogates and code points above U+10FFFF are not well formed).
inline std::size_t utf8SequenceAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(at);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char b = byte(at + i);
    if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

inline bool isUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = utf8SequenceAt(text, at);
    if (n == 0) return false;
    at += n;
  }
  return true;
}

// `text` with every byte that is not part of a well-formed UTF-8 sequence written as \xHH, and
// control characters other than tab and newline as \xHH too (they would move a terminal's
// cursor). Well-formed text without control characters comes back unchanged.
inline std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = utf8SequenceAt(text, at);
    const auto b = static_cast<unsigned char>(text[at]);
    if (n == 0 || (n == 1 && ((b < 0x20 && b != '\t' && b != '\n') || b == 0x7F))) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      out += escaped;
      ++at;
      continue;
    }
    out.append(text.substr(at, n));
    at += n;
  }
  return out;
}

// Display width of printable text, in terminal columns (one per code point).
inline std::size_t displayWidth(std::string_view text) {
  std::size_t width = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++width;
  return width;
}

// Serialises `value` without ever throwing on a string that is not UTF-8: such bytes are
// escaped as printable() does (the text "\xFF", not a raw byte).
inline std::string dumpJson(const nlohmann::json& value, int indent = -1) {
  try {
    return value.dump(indent);
  } catch (const nlohmann::json::type_error&) {
  }
  // A string somewhere is not UTF-8: rebuild the document with escaped strings.
  struct Fix {
    static nlohmann::json apply(const nlohmann::json& v) {
      if (v.is_string()) return printable(v.get_ref<const std::string&>());
      if (v.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& e : v) out.push_back(apply(e));
        return out;
      }
      if (v.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [k, e] : v.items()) out[printable(k)] = apply(e);
        return out;
      }
      return v;
    }
  };
  return Fix::apply(value).dump(indent);
}

// The time now in ISO-8601 UTC with milliseconds ("2026-12-09T20:35:05.123Z"): the timestamp of
// an event line.
inline std::string isoNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms));
  return text;
}

// ---- output ------------------------------------------------------------------------------------

// Thrown when standard output cannot be written; `error` is the errno.
struct WriteFailure : std::runtime_error {
  explicit WriteFailure(int e) : std::runtime_error(std::strerror(e)), error(e) {}
  int error;
};

// Call once at start: a closed pipe then answers EPIPE instead of killing the program.
inline void ignoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

// Writes `text` to stdout; throws WriteFailure when it (or what was buffered before) cannot be
// written.
inline void write(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
    throw WriteFailure(errno != 0 ? errno : EIO);
}
inline void writeLine(std::string_view text) {
  write(text);
  write("\n");
}
// Flushes stdout; throws WriteFailure on failure (a full disk shows here, at the latest).
inline void flush() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) throw WriteFailure(errno != 0 ? errno : EIO);
}

// The status to end with after a WriteFailure of program `program`: quiet 141 for a closed
// pipe, otherwise a message on stderr and 1.
inline int reportWriteFailure(const char* program, const WriteFailure& failure) {
  if (failure.error == EPIPE) return kBrokenPipe;
  std::fprintf(stderr, "%s: cannot write the output: %s\n", program, failure.what());
  return kWriteFailed;
}

// The way out after output could not be written: reportWriteFailure's status. Stdout is left
// unusable: it is closed so that the C library's exit does not try to flush it again.
inline int abandonOutput(const char* program, const WriteFailure& failure) {
  const int code = reportWriteFailure(program, failure);
  std::clearerr(stdout);
  ::close(STDOUT_FILENO);
  return code;
}

// Ends output (flush) and gives the final status: `status` when everything reached stdout,
// otherwise abandonOutput's.
inline int finish(const char* program, int status) {
  try {
    flush();
    return status;
  } catch (const WriteFailure& failure) {
    return abandonOutput(program, failure);
  }
}

// The one JSON document of a failure under --json: the members of `extra`, then "error" (the
// message, escaped where it is not UTF-8) and "exitCode".
inline nlohmann::json errorDocument(std::string_view message, int exitCode,
                                    nlohmann::json extra = nlohmann::json::object()) {
  extra["error"] = printable(message);
  extra["exitCode"] = exitCode;
  return extra;
}

inline std::string jsonError(std::string_view message, int exitCode) {
  return dumpJson(errorDocument(message, exitCode));
}

// ---- colour ------------------------------------------------------------------------------------

enum class ColorMode { Auto, Always, Never };

// "auto", "always", "never"; false for anything else.
inline bool parseColorMode(std::string_view text, ColorMode& mode) {
  if (text == "auto")
    mode = ColorMode::Auto;
  else if (text == "always")
    mode = ColorMode::Always;
  else if (text == "never")
    mode = ColorMode::Never;
  else
    return false;
  return true;
}

// Whether to colour what goes to `fd`: --color=always/never decide; auto colours a terminal
// unless NO_COLOR is set to a non-empty value.
inline bool useColor(ColorMode mode, int fd) {
  if (mode != ColorMode::Auto) return mode == ColorMode::Always;
  const char* noColor = std::getenv("NO_COLOR");
  if (noColor != nullptr && *noColor != '\0') return false;
  return ::isatty(fd) == 1;
}

// ---- tables ------------------------------------------------------------------------------------

// Rows of cells printed in columns as wide as their widest cell, two spaces apart; the last
// column is not padded.
class Table {
 public:
  void add(std::vector<std::string> cells) {
    for (auto& cell : cells) cell = printable(cell);
    rows_.push_back(std::move(cells));
  }
  bool empty() const { return rows_.empty(); }
  std::string text() const {
    std::vector<std::size_t> widths;
    for (const auto& row : rows_) {
      if (widths.size() < row.size()) widths.resize(row.size(), 0);
      for (std::size_t c = 0; c < row.size(); ++c)
        widths[c] = std::max(widths[c], displayWidth(row[c]));
    }
    std::string out;
    for (const auto& row : rows_) {
      std::string line;
      for (std::size_t c = 0; c < row.size(); ++c) {
        line += row[c];
        if (c + 1 < row.size()) line.append(widths[c] - displayWidth(row[c]) + 2, ' ');
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
    return out;
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

// ---- nearest names -----------------------------------------------------------------------------

// Edit distance, letters compared without case.
inline std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// At most `most` of `candidates` nearest to `name` (closest first, then in their order), only
// those within a third of the name's length (at least 2 edits) or that contain it.
inline std::vector<std::string> nearest(std::string_view name,
                                        const std::vector<std::string>& candidates,
                                        std::size_t most = 3) {
  const std::size_t limit = std::max<std::size_t>(2, name.size() / 3);
  std::vector<std::pair<std::size_t, std::size_t>> scored;  // distance, index
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    std::size_t d = editDistance(name, candidates[i]);
    if (!name.empty() && candidates[i].find(name) != std::string::npos) d = std::min(d, limit);
    if (d <= limit) scored.emplace_back(d, i);
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> out;
  for (const auto& [d, i] : scored) {
    if (out.size() == most) break;
    out.push_back(candidates[i]);
  }
  return out;
}

// " (nearest: a, b)" or "" when nothing is near.
inline std::string nearestHint(std::string_view name, const std::vector<std::string>& candidates) {
  const std::vector<std::string> near = nearest(name, candidates);
  if (near.empty()) return {};
  std::string out = " (nearest: ";
  for (std::size_t i = 0; i < near.size(); ++i) out += (i ? ", " : "") + printable(near[i]);
  return out + ")";
}

// ---- board names -------------------------------------------------------------------------------

// A board is named KEL<n> (its item) or qovorlix<n> (its driver device); both mean device number
// n. The number, or -1 when `name` is neither form.
inline long boardNumber(std::string_view name) {
  std::string_view digits;
  const auto startsWithNoCase = [&](std::string_view prefix) {
    return name.size() > prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), name.begin(), [](char x, char y) {
             return x == std::tolower(static_cast<unsigned char>(y));
           });
  };
  if (startsWithNoCase("kel"))
    digits = name.substr(3);
  else if (startsWithNoCase("qovorlix"))
    digits = name.substr(8);
  else
    return -1;
  if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0')) return -1;
  long n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace hostcli
