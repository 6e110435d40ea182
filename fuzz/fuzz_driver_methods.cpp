// Every driver method the library can call, through the generated method layer over an
// in-process transport that answers from the input: the first two input bytes pick the method
// (of the generated tables) and how the call goes (caller status success, warning or error;
// transport failure or not); the rest gives the inputs and the response block, status word
// included. Outputs live in heap blocks of exactly their size, so a write past one is caught.
//
// Checks the method rules: a caller status in error sends nothing and touches nothing; otherwise
// exactly one request with the method's command and block sizes, its status word the caller's
// code and its inputs at their offsets; a transport failure leaves outputs alone and reports the
// transport's code; else outputs and result carry the response's bytes at their offsets and an
// error word becomes the caller's code with the method's source line. The decoders the device
// item applies to a version word and a revision number are run on the answers as well.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h"
#include "fuzz/FuzzBytes.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qodrvdesc/qoGeneratedProxyInvokers.h"
#include "source/tNextVorlixItem.h"

namespace {

namespace ns = nQOVORLIXATOMICSAE_23_3;
namespace invoke = qodrvdesc::invoke;
using ns::nQOAPAL000::tStatus;
using qodrvdesc::Role;
using qofuzz::check;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kTransportCode = -52008;
constexpr std::int64_t kCallerWarning = 17;
constexpr std::uint8_t kUntouched = 0xEE;

// One request as the transport saw it, answered with the response bytes it was given.
struct tExchange {
  int calls = 0;
  unsigned long command = 0;
  Bytes request;
  const void* output = nullptr;
  std::uint32_t outputSize = 0;
};

template <typename Proxy>
class tAnswering final : public Proxy {
 public:
  tExchange* exchange = nullptr;
  const Bytes* response = nullptr;
  bool failTransport = false;

  std::uint32_t call(unsigned long command, const void* input, std::uint32_t inputSize,
                     void* output, std::uint32_t outputSize, tStatus* status) noexcept override {
    ++exchange->calls;
    exchange->command = command;
    const auto* in = static_cast<const std::uint8_t*>(input);
    exchange->request.assign(in, in + inputSize);
    exchange->output = output;
    exchange->outputSize = outputSize;
    if (failTransport) {
      status->setCode(kTransportCode, "qovorlixatomicsae", "fuzz/transport", 9);
      return 0;
    }
    if (output != nullptr) std::memcpy(output, response->data(), outputSize);
    return outputSize;
  }
};

bool isMain(const qodrvdesc::Method& m) {
  return std::strcmp(m.driverInterface, VorlixSysapiExpert::kMainInterfaceName) == 0;
}

// The caller's buffers and outputs of one call, filled from the input.
struct tCall {
  invoke::Arguments args;
  std::vector<Bytes> records = std::vector<Bytes>(invoke::kMaxParameters + 1);
  std::vector<Bytes> buffers = std::vector<Bytes>(invoke::kMaxParameters + 1);
  std::vector<std::unique_ptr<std::uint8_t[]>> outputs;
  std::vector<const qodrvdesc::Field*> outputFields;

  tCall(const qodrvdesc::Method& m, qofuzz::tBytes& input) {
    for (std::uint8_t i = 0; i < m.requestCount; ++i) {
      const qodrvdesc::Field& f = m.request[i];
      if (f.role == Role::Input) {
        input.fill(&args.value[f.parameter], f.size);
      } else if (f.role == Role::InputRecord) {
        records[f.parameter].resize(f.size);
        input.fill(records[f.parameter].data(), f.size);
        args.record[f.parameter] = records[f.parameter].data();
      } else if (f.role == Role::Address) {
        buffers[f.parameter].assign(f.elementSize * 4u, 0x5C);
        args.buffer[f.parameter] = buffers[f.parameter].data();
      }
    }
    for (std::uint8_t i = 0; i < m.responseCount; ++i) {
      const qodrvdesc::Field& f = m.response[i];
      if (f.role != Role::Output) continue;
      outputs.emplace_back(new std::uint8_t[f.size]);
      std::memset(outputs.back().get(), kUntouched, f.size);
      args.output[f.parameter] = outputs.back().get();
      outputFields.push_back(&f);
    }
  }

  bool outputsUntouched() const {
    for (std::size_t i = 0; i < outputs.size(); ++i)
      for (std::uint16_t k = 0; k < outputFields[i]->size; ++k)
        if (outputs[i][k] != kUntouched) return false;
    return true;
  }
};

// The request block carries the caller's code and every input at its offset.
void checkRequest(const qodrvdesc::Method& m, const tCall& call, const Bytes& request,
                  std::int64_t callerCode) {
  check(request.size() == m.requestSize);
  for (std::uint8_t i = 0; i < m.requestCount; ++i) {
    const qodrvdesc::Field& f = m.request[i];
    const std::uint8_t* at = request.data() + f.offset;
    if (f.role == Role::Status) {
      const auto word = static_cast<std::int32_t>(callerCode);
      check(std::memcmp(at, &word, 4) == 0);
    } else if (f.role == Role::Input) {
      check(std::memcmp(at, &call.args.value[f.parameter], f.size) == 0);
    } else if (f.role == Role::InputRecord) {
      check(std::memcmp(at, call.records[f.parameter].data(), f.size) == 0);
    } else if (f.role == Role::Address) {
      const auto address = reinterpret_cast<std::uintptr_t>(call.buffers[f.parameter].data());
      check(std::memcmp(at, &address, 8) == 0);
    }
  }
}

// What the device item makes of a version word and a revision number.
void checkItemDecoders(const qodrvdesc::Method& m, const invoke::Outcome& outcome) {
  if (!isMain(m) || outcome.resultSize != 4) return;
  std::uint32_t word;
  std::memcpy(&word, outcome.result, 4);
  if (std::strcmp(m.name, "op0701") == 0) {
    const std::string text = VorlixSysapiExpert::versionTextOf(word);
    unsigned major = 0, minor = 0, fix = 0, build = 0;
    char phase = 0;
    check(std::sscanf(text.c_str(), "%u.%u.%u%c%u", &major, &minor, &fix, &phase, &build) == 5);
    check(major == word >> 24 && minor == ((word >> 20) & 0xFu) && fix == ((word >> 16) & 0xFu));
    check(build == (word & 0x3FFFu) && std::strchr("dabf", phase) != nullptr);
  } else if (std::strcmp(m.name, "op0700") == 0) {
    const std::string text = VorlixSysapiExpert::revisionLetterOf(word);
    check(word == 0 ? text == "Unknown" : text.size() == 1);
  }
}

// Outputs, result and status after an answered call.
void checkAnswer(const qodrvdesc::Method& m, const tCall& call, const Bytes& response,
                 const invoke::Outcome& outcome, const tStatus& status, std::int64_t callerCode) {
  std::size_t output = 0;
  bool hasResult = false;
  for (std::uint8_t i = 0; i < m.responseCount; ++i) {
    const qodrvdesc::Field& f = m.response[i];
    const std::uint8_t* at = response.data() + f.offset;
    if (f.role == Role::Output) {
      check(std::memcmp(call.outputs[output++].get(), at, f.size) == 0);
    } else if (f.role == Role::Result) {
      hasResult = true;
      check(outcome.resultSize == f.size && std::memcmp(outcome.result, at, f.size) == 0);
    } else if (f.role == Role::Status && m.hasStatus) {
      std::int32_t word;
      std::memcpy(&word, at, 4);
      if (word < 0) check(status.code == word && status.line == m.sourceLine);
      if (word == 0) check(status.code == callerCode);
      if (word > 0 && callerCode == 0) check(status.code == word);
    }
  }
  if (!hasResult) check(outcome.resultSize == 0);
  checkItemDecoders(m, outcome);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tAnswering<ns::tInterfaceProxy_vorlixtarrow> main;
  static tAnswering<ns::tInterfaceProxy_routing> routing;
  if (size < 2) return 0;
  qofuzz::tBytes input(data, size);
  const std::size_t index = input.u8() % qodrvdesc::kMethodCount;
  const std::uint8_t how = input.u8();
  const qodrvdesc::Method& m = qodrvdesc::kMethods[index];
  const invoke::Invoker& invoker = invoke::kInvokers[index];
  check(std::strcmp(invoker.name, m.name) == 0);

  tCall call(m, input);
  Bytes response(m.responseSize);
  input.fill(response.data(), response.size());
  tExchange exchange;
  ns::nQOAPAL000::tDeviceInterfaceProxy* proxy = &main;
  main.exchange = routing.exchange = &exchange;
  main.response = routing.response = &response;
  main.failTransport = routing.failTransport = (how & 4) != 0;
  if (std::strcmp(m.driverInterface, VorlixSysapiExpert::kRoutingInterfaceName) == 0) {
    proxy = &routing;
  } else {
    check(isMain(m));
  }

  tStatus status;
  const std::int64_t callerCode = (how & 3) == 1 ? kCallerWarning : (how & 3) == 2 ? -52005 : 0;
  if (callerCode != 0) status.setCode(callerCode, "caller", "fuzz/caller", 3);
  invoke::Outcome outcome;
  invoker.function(*proxy, call.args, outcome, status);

  if (callerCode < 0 && m.hasStatus) {  // nothing sent, nothing touched
    check(exchange.calls == 0 && status.code == callerCode && call.outputsUntouched());
    return 0;
  }
  check(exchange.calls == 1 && exchange.command == m.command);
  check(exchange.outputSize == m.responseSize);
  check((m.responseSize == 0) == (exchange.output == nullptr));
  checkRequest(m, call, exchange.request, callerCode);
  if (!m.hasStatus) {  // fire and forget: whatever the transport says is dropped
    check(status.code == callerCode);
    return 0;
  }
  if (main.failTransport) {
    check(call.outputsUntouched());
    check(status.code == kTransportCode && std::strcmp(status.file, "fuzz/transport") == 0);
    return 0;
  }
  checkAnswer(m, call, response, outcome, status, callerCode);
  return 0;
}
