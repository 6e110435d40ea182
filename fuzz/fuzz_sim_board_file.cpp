// The simulator's board files on arbitrary text: parsed as JSON, then read as a whole machine
// description (the loader's own path: qosim run --boards FILE).
//
// Checks: a description is either accepted or refused with a BoardError (the message qosim
// prints); no other exception escapes. An accepted machine has distinct device names and
// device numbers, every board's model can be reported (the `get` answer), and reading a board's
// own description again gives the same model.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "BoardFile.h"
#include "fuzz/FuzzBytes.h"

namespace {

using nlohmann::json;
using qofuzz::check;

void checkMachine(const qosim::MachineSpec& machine) {
  std::set<std::string> devices;
  std::set<std::uint32_t> numbers;
  for (const qosim::BoardSpec& board : machine.boards) {
    check(devices.insert(board.device).second);
    check(numbers.insert(board.model.deviceNumber).second);
    const json model = qosim::modelJson(board);
    (void)model.dump(-1, ' ', false, json::error_handler_t::replace);
    const qosim::BoardSpec again = qosim::parseBoard(board.source, "again");
    check(again.device == board.device && qosim::modelJson(again) == model);
    check(again.interfaces.size() == board.interfaces.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const json j = json::parse(data, data + size, nullptr, false);
  if (j.is_discarded()) return 0;
  try {
    checkMachine(qosim::parseMachine(j));
  } catch (const qosim::BoardError&) {
    // refused with a message naming the place
  } catch (const std::exception& e) {
    std::fprintf(stderr, "board file refused with %s instead of a BoardError\n", e.what());
    check(false);
  }
  return 0;
}
