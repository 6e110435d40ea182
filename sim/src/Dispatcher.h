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
  int err = 0;     // errno for the ioctl (EINVAL: no room to report a short request)
  Bytes response;  // the method's response block (placed at the start of the output block)
  // Caller buffers the driver writes (address, bytes), e.g. the topography name.
  std::vector<std::pair<std::uint64_t, Bytes>> callerWrites;
  // The caller arrays read and written, decoded for the log ({"seeds": [...], "results": [...]}).
  nlohmann::json arrays = nlohmann::json::object();
  // Routes of other sessions that lost their reservation to this request (demotion notices).
  std::vector<Demotion> demoted;
  std::string note;  // for the log: why the call failed or which board fault answered
  Aftermath after;   // of the board fault that answered
};

// A caller array the driver reads before it answers (routing: seeds, destination ids).
struct CallerArray {
  std::string name;  // the request's address field
  std::uint64_t address = 0;
  std::size_t size = 0;  // bytes
};

// What the request came with besides its blocks.
struct CallContext {
  std::uint64_t file = 0;     // the open file (FUSE file handle) that carried it
  std::vector<Bytes> arrays;  // the contents of callerReads(), in its order (empty: not read)
};

// The method a command on a node of `interface` decodes to; nullptr when not in the tables.
const qodrvdesc::Method* methodOf(const std::string& interface, std::uint32_t command);

// The caller arrays `method` reads for this request (none when a count is 0 or over the
// driver's limit, or an address is 0: the model then answers -52005).
std::vector<CallerArray> callerReads(const qodrvdesc::Method& method, const Bytes& input);
// The arrays read, decoded for the log (seed records, destination ids).
nlohmann::json decodeCallerArrays(const std::vector<CallerArray>& reads,
                                  const std::vector<Bytes>& arrays);

// Writes `status` into the method's own status word of `output`; false when the method has none
// (op830B) or the block does not hold it.
bool placeStatus(const qodrvdesc::Method& method, Bytes& output, std::int32_t status);

// The answer of the board behind `node` to `method` with the given request bytes: the board
// file's driver faults of the method first, then the model.
ModelAnswer answerFromModel(Machine& machine, const Node& node, const qodrvdesc::Method& method,
                            const Bytes& input, std::uint32_t outputSize,
                            const CallContext& context = {});

// {"request": [{name, role, offset, size, value}...], "response": [...]}: the fields present in
// the given bytes (numbers as numbers, records and unused bytes as hex).
nlohmann::json decodeBlocks(const qodrvdesc::Method& method, const Bytes& input,
                            const Bytes& output);

}  // namespace qosim
