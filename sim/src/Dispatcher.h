// Answers of the simulated driver from the typed board model. A request is decoded by the
// generated driver-interface tables (qodrvdesc/qoDriverInterfaceTables.h: the driver interface of
// the node and the command give the method and its block layouts), so every method of both
// interfaces is answered: the methods the library calls from the board model, the register file
// (op0100..op0103), the routing methods with plausible defaults, and every other method with
// zero outputs and status 0. sim/README.md lists what each method answers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Machine.h"

namespace qodrvdesc {
struct Method;
}

namespace qosim {

struct ModelAnswer {
  int err = 0;       // errno for the ioctl (EINVAL: no room to report a short request)
  Bytes response;    // the method's response block (placed at the start of the output block)
  // Caller buffers the driver writes (address, bytes), e.g. the topography name.
  std::vector<std::pair<std::uint64_t, Bytes>> callerWrites;
  std::string note;  // for the log: why the call failed or which board fault answered
};

// The method a command on a node of `interface` decodes to; nullptr when not in the tables.
const qodrvdesc::Method* methodOf(const std::string& interface, std::uint32_t command);

// Writes `status` into the method's own status word of `output`; false when the method has none
// (op830B) or the block does not hold it.
bool placeStatus(const qodrvdesc::Method& method, Bytes& output, std::int32_t status);

// The answer of the board behind `node` to `method` with the given request bytes: the board
// file's driver faults of the method first, then the model.
ModelAnswer answerFromModel(Machine& machine, const Node& node, const qodrvdesc::Method& method,
                            const Bytes& input, std::uint32_t outputSize);

// {"request": [{name, role, offset, size, value}...], "response": [...]}: the fields present in
// the given bytes (numbers as numbers, records and unused bytes as hex).
nlohmann::json decodeBlocks(const qodrvdesc::Method& method, const Bytes& input, const Bytes& output);

}  // namespace qosim
