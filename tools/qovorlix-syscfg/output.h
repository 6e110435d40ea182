// How qovorlix-syscfg talks to a person or a script: every line of stdout through hostcli's
// checked writes, messages on stderr, and failures as one JSON document under --json.
#pragma once

#include <fmt/format.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "qovorlixatomicsae/sysapi_host.h"

namespace syscfg {

inline constexpr char kProgram[] = "qovorlix-syscfg";

// Exit codes (also in --help).
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;   // library, expert or board failure; output could not be written
inline constexpr int kUsage = 2;    // bad command line, unusable image file
inline constexpr int kUnknown = 3;  // no such item
inline constexpr int kBusy = 4;     // a firmware update already runs on the board

struct Settings {
  bool json = false;
  bool verbose = false;
  bool colour = false;       // stdout
  bool errorColour = false;  // stderr
};
extern Settings gSettings;
// Serialises output of the main thread with output written from the library's notice thread.
extern std::recursive_mutex gOutput;

// Checked writes to stdout (throw hostcli::WriteFailure).
void out(std::string_view text);
template <typename... Args>
void outf(fmt::format_string<Args...> format, Args&&... args) {
  out(fmt::format(format, std::forward<Args>(args)...));
}
void outJson(const nlohmann::json& doc, int indent = -1);
void flushOut();

// A message on stderr, "qovorlix-syscfg: " first; bytes that are not UTF-8 are escaped.
void note(const std::string& text);

// The failure's message on stderr and, with --json, its one document on stdout
// {"error", "exitCode"} (plus "hresult"/"meaning" when a result code is given, and the members
// of `extra`); returns `rc`.
int fail(int rc, const std::string& message, std::optional<hostabi::HRESULT> code = std::nullopt,
         const nlohmann::json& extra = nullptr);

// A result text of the expert may end with the JSON context of where a failure was raised
// ({"file": ..., "line": ...}): people see it only with --verbose.
std::string withoutContext(const std::string& text);

}  // namespace syscfg
