#include "output.h"

#include <unistd.h>

#include <cstdio>

#include "host_cli.h"
#include "host_client.h"
#include "sysapi_names.h"

namespace syscfg {

Settings gSettings;
std::recursive_mutex gOutput;

void out(std::string_view text) {
  std::lock_guard<std::recursive_mutex> lock(gOutput);
  hostcli::write(text);
}

void outJson(const nlohmann::json& doc, int indent) {
  std::lock_guard<std::recursive_mutex> lock(gOutput);
  hostcli::writeLine(hostcli::dumpJson(doc, indent));
}

void flushOut() {
  std::lock_guard<std::recursive_mutex> lock(gOutput);
  hostcli::flush();
}

void note(const std::string& text) {
  const std::string line = hostcli::printable(text);
  if (gSettings.errorColour) {
    std::fprintf(stderr, "\033[31m%s: %s\033[0m\n", kProgram, line.c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
  }
}

int fail(int rc, const std::string& message, std::optional<hostabi::HRESULT> code,
         const nlohmann::json& extra) {
  std::lock_guard<std::recursive_mutex> lock(gOutput);
  note(code.has_value() ? message + ": " + hostabi::hresultWithMeaning(*code) : message);
  if (gSettings.json) {
    nlohmann::json members = extra.is_object() ? extra : nlohmann::json::object();
    if (code.has_value()) {
      members["hresult"] = hostabi::hresultText(*code);
      members["meaning"] = hostabi::hresultMeaning(*code);
    }
    hostcli::writeLine(hostcli::dumpJson(hostcli::errorDocument(message, rc, members)));
  }
  return rc;
}

std::string withoutContext(const std::string& text) {
  if (gSettings.verbose) return text;
  const std::size_t at = text.rfind("{\"file\"");
  if (at == std::string::npos || text.empty() || text.back() != '}') return text;
  std::string kept = text.substr(0, at);
  while (!kept.empty() && (kept.back() == ' ' || kept.back() == '\n' || kept.back() == ':'))
    kept.pop_back();
  return kept;
}

}  // namespace syscfg
