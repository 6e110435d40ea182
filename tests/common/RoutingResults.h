// What a routing test host does with the library's result texts: take one (the host frees it,
// it came from the host's allocation function, here malloc) and read the first ticket of a
// route list.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace testsupport {

// The text, "<null>" when none was handed out; frees it and clears the pointer.
inline std::string take(char*& text) {
  std::string s = text != nullptr ? text : "<null>";
  std::free(text);
  text = nullptr;
  return s;
}

// The first "ticket" of a calculateRoute result, 0 when there is none.
inline std::uint32_t ticketOf(const std::string& routes) {
  const auto at = routes.find("\"ticket\":");
  return at == std::string::npos ? 0
                                 : static_cast<std::uint32_t>(std::stoul(routes.substr(at + 9)));
}

}  // namespace testsupport
