// The module description reader on arbitrary bytes: never crashes, and what it accepts it can
// be asked about.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "source/tIniReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  VorlixSysapiExpert::tIniReader ini;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (ini.parse(text)) {
    (void)ini.get("common", "IOModuleID");
    (void)ini.get("general", "Model");
    if (ini.size() > VorlixSysapiExpert::tIniReader::kMaxEntries) __builtin_trap();
  }
  return 0;
}
