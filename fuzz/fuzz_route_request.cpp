// The three request texts of calculateRoute (seeds, destinations, modifiers; the input split at
// its first two 0xFF bytes) through a session over an in-process driver and the board family's
// largest topography, plus hostile driver answers chosen by the input's first byte (result
// counts beyond the buffer, driver errors, inverted routes). Checks that every outcome is either
// success with a well-formed JSON result or an error whose status text is well-formed JSON, and
// that nothing is read or written out of bounds (the sanitizers).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qo/err/Exception.h"
#include "qoarkra/ARKRoutingAdaptor.h"
#include "qoroco/RoCoUtils.h"
#include "tests/common/FakeRoutingDriver.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

using qotest::hostAllocate;

const qoark::tTopographyInfo& largest() { return qotest::largestTopography(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t knobs = data[0];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string parts[3];
  std::size_t part = 0;
  for (char c : input) {
    if (c == '\xff' && part < 2) {
      ++part;
    } else if (c != '\0') {
      parts[part] += c;
    }
  }
  // One session for every input: its terminal index is built once, as in a real process.
  static qotest::FakeRoutingDriver driver;
  static qoark::ARKRoutingAdaptorSession session(driver, largest(), &hostAllocate);
  driver.resultCountAnswer.reset();
  driver.calculateStatus = 0;
  driver.calculateCalls = 0;
  if (knobs & 1) driver.resultCountAnswer = 0xFFFFFFFFu;
  if (knobs & 2) driver.calculateStatus = -52031;
  if ((knobs & 6) == 4) driver.calculateStatus = 3;  // a warning
  char* out = nullptr;
  try {
    session.calculateRoute(parts[0].c_str(), parts[1].c_str(), parts[2].c_str(), &out);
    check(out != nullptr && qoroco::isCompleteJsonValue(out, std::strlen(out)));
    check((knobs & 3) == 0 || driver.calculateCalls == 0);
  } catch (const qoerr::Exception& e) {
    check(e.code() < 0);
    const char* details = e.details();
    check(details != nullptr && qoroco::isCompleteJsonValue(details, std::strlen(details)));
  }
  std::free(out);
  return 0;
}
