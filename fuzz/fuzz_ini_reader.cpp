// The module description reader on arbitrary bytes, through both entry points: parse() of the
// text in memory and load() of the same bytes as a file. Never crashes; both agree; what it
// accepts holds no NUL, is UTF-8 and keeps at most kMaxEntries entries, and can be asked about.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz/FuzzBytes.h"
#include "qo/dsc/Utf8.h"
#include "qo/dsc/exception.h"
#include "source/tIniReader.h"

namespace {

using qofuzz::check;
using VorlixSysapiExpert::tIniReader;

// The file load() reads: one per process, under $TMPDIR, removed at exit.
const char* filePath() {
  static char path[4096];
  static const bool made = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::snprintf(path, sizeof path, "%s/qo-fuzz-ini-XXXXXX", tmp != nullptr ? tmp : "/tmp");
    const int fd = ::mkstemp(path);
    check(fd >= 0);
    ::close(fd);
    std::atexit([] { std::remove(path); });
    return true;
  }();
  check(made);
  return path;
}

bool isUtf8(std::string_view text) {
  try {
    (void)qo::dsc::utf8ToWide(text);
    return true;
  } catch (const qo::dsc::exception::InvalidSequence&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tIniReader ini;
  const bool accepted = ini.parse(text);
  if (accepted) {
    check(text.find('\0') == std::string_view::npos && isUtf8(text));
    check(ini.size() <= tIniReader::kMaxEntries);
    (void)ini.get("common", "IOModuleID");
    (void)ini.get("GENERAL", "model");
  } else {
    check(ini.size() == 0);  // a refused text holds nothing
  }

  {
    std::ofstream file(filePath(), std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    check(file.good());
  }
  tIniReader loaded;
  check(loaded.load(filePath()) == accepted && loaded.size() == ini.size());
  for (const char* section : {"common", "general"}) {
    for (const char* key : {"IOModuleID", "Manufacturer", "Model"}) {
      check(loaded.get(section, key) == ini.get(section, key));
    }
  }
  return 0;
}
