// Hostile routing-driver answers through the generated routing proxy: a session over the board
// family's largest topography runs up to eight route operations chosen by the input, and every
// request the proxy sends is answered from the input (a transport failure, or caller buffers
// and a response block of input bytes: counts beyond the capacity the request gave, topography
// names without NUL, any status word). The driver writes only inside the capacities it was
// given, as the kernel driver does.
//
// Checks: a result text is one complete JSON value with no more entries than the capacity the
// request offered; a count beyond the capacity with a status that is not an error is refused
// as a malformed answer (-52024); every failure is a negative code with complete JSON details.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "fuzz/FuzzBytes.h"
#include "qo/err/Exception.h"
#include "qoapal/driver/qoDriverContract.h"
#include "qoarkra/ARKRoutingAdaptor.h"
#include "qoroco/RoCoUtils.h"
#include "tests/common/FakeRoutingDriver.h"

namespace {

namespace ns = nQOVORLIXATOMICSAE_23_3;
namespace rq = ns::nInterfaceProxy_routing;
using ns::nQOAPAL000::tStatus;
using qofuzz::check;
using Codes = ns::nQOAPALS100::tStatus;

// Bits of the byte that opens every answer.
constexpr std::uint8_t kTransportFailure = 0x07;  // all three low bits: the ioctl fails
constexpr std::uint8_t kStatusOk = 0x08;          // status word 0
constexpr std::uint8_t kStatusSpecial = 0x10;     // the word the session treats specially
constexpr std::uint8_t kCountFits = 0x20;         // the count says what was written

// Route paths longer than this are answered "too small" only with counts cut to it, so the
// process-wide path capacity (it only grows) stays small and runs stay reproducible; counts
// beyond the library's own limit stay as they are.
constexpr std::uint32_t kLargestRetriedPath = 2048;

// What the last answer of a counted method said.
struct tCountedAnswer {
  bool decoded = false;  // answered with a word under which the session reads the entries
  std::uint32_t capacity = 0;
  std::uint32_t count = 0;
};

class tAnsweringProxy final : public ns::tInterfaceProxy_routing {
 public:
  qofuzz::tBytes* input = nullptr;
  tCountedAnswer counted;

  std::uint32_t call(unsigned long command, const void* request, std::uint32_t requestSize,
                     void* response, std::uint32_t responseSize,
                     tStatus* status) noexcept override {
    const std::uint8_t mode = input->u8();
    if ((mode & kTransportFailure) == kTransportFailure) {
      status->setCode(Codes::kIoError, ns::kComponentName, "fuzz/transport", 1);
      return 0;
    }
    input->fill(response, responseSize);
    if (responseSize >= 4 && (mode & kStatusOk) != 0) {
      std::memset(static_cast<char*>(response) + responseSize - 4, 0, 4);  // the status word
    }
    answerBuffers(command, request, requestSize, response, mode);
    return input->u32();
  }

 private:
  template <typename Record>
  std::uint32_t writeRecords(std::uint64_t address, std::uint32_t capacity) {
    const std::uint32_t wanted = input->u8();
    const std::uint32_t n = wanted < capacity ? wanted : capacity;
    auto* out = reinterpret_cast<Record*>(static_cast<std::uintptr_t>(address));
    for (std::uint32_t i = 0; i < n; ++i) input->fill(&out[i], sizeof(Record));
    return n;
  }

  // `listed`: the word under which the session reads the entries (null: any word but an error).
  void answerCounted(std::uint32_t capacity, std::uint32_t written, std::uint32_t& count,
                     std::int32_t& word, std::uint8_t mode, std::int32_t special,
                     const std::int32_t* listed) {
    if ((mode & kCountFits) != 0) count = written;
    if ((mode & kStatusSpecial) != 0) word = special;
    counted = {listed != nullptr ? word == *listed : word >= 0, capacity, count};
  }

  void answerBuffers(unsigned long command, const void* request, std::uint32_t requestSize,
                     void* response, std::uint8_t mode) {
    switch (command) {
      case rq::kCommand_calculateRoute: {
        check(requestSize == sizeof(rq::tRequest_calculateRoute));
        const auto& in = *static_cast<const rq::tRequest_calculateRoute*>(request);
        auto& out = *static_cast<rq::tResponse_calculateRoute*>(response);
        const std::uint32_t n = writeRecords<ns::tRouteResult>(in.results, in.resultCapacity);
        answerCounted(in.resultCapacity, n, out.resultCount, out.status, mode, 0, nullptr);
        break;
      }
      case rq::kCommand_reserveRoute: {
        const auto& in = *static_cast<const rq::tRequest_reserveRoute*>(request);
        auto& out = *static_cast<rq::tResponse_reserveRoute*>(response);
        const std::uint32_t n = writeRecords<ns::tRouteConflict>(in.conflicts, in.conflictCapacity);
        answerCounted(in.conflictCapacity, n, out.conflictCount, out.status, mode,
                      qoark::kReservationConflict, &qoark::kReservationConflict);
        break;
      }
      case rq::kCommand_getRouteTerminalPath: {
        const auto& in = *static_cast<const rq::tRequest_getRouteTerminalPath*>(request);
        auto& out = *static_cast<rq::tResponse_getRouteTerminalPath*>(response);
        const std::uint32_t n = writeRecords<std::uint32_t>(in.terminalIds, in.capacity);
        answerCounted(in.capacity, n, out.idCount, out.status, mode,
                      ns::nQOAPAL000::driver::kRouteBufferTooSmall, nullptr);
        if (out.status == ns::nQOAPAL000::driver::kRouteBufferTooSmall &&
            out.idCount <= qoark::kMaxPathIds) {
          out.idCount %= kLargestRetriedPath + 1;
          counted.count = out.idCount;
        }
        break;
      }
      case rq::kCommand_getTopographyName: {
        const auto& in = *static_cast<const rq::tRequest_getTopographyName*>(request);
        // Any bytes, a NUL only where the input puts one.
        input->fill(reinterpret_cast<char*>(static_cast<std::uintptr_t>(in.buffer)), in.bufferSize);
        break;
      }
      default:
        break;
    }
  }
};

// A failure reaches the host as a negative code with complete JSON details.
void checkFailure(const qoerr::Exception& e) {
  check(e.code() < 0);
  const char* details = e.details();
  check(details != nullptr && qoroco::isCompleteJsonValue(details, std::strlen(details)));
}

// A result text: complete JSON with at most `capacity` entries (each entry carries `key`).
void checkResult(const char* out, const char* key, std::uint32_t capacity) {
  check(out != nullptr && qoroco::isCompleteJsonValue(out, std::strlen(out)));
  std::uint32_t entries = 0;
  if (key == nullptr) {
    for (const char* p = out; *p != '\0'; ++p) entries += *p == '"' && (p == out || p[-1] != '\\');
    entries /= 2;
  } else {
    for (const char* p = std::strstr(out, key); p != nullptr; p = std::strstr(p + 1, key)) {
      ++entries;
    }
  }
  check(entries <= capacity);
}

// An answer whose count exceeds the buffer and whose word is no error must have been refused.
void checkRefusal(const tCountedAnswer& answer, bool threw, std::int32_t code) {
  if (!answer.decoded || answer.count <= answer.capacity) return;
  check(threw && code == qoark::kMalformedDriverAnswer);
}

std::string terminalName(const qoark::tTopographyInfo& topography, std::uint16_t pick) {
  return topography.terminals[pick % topography.terminalCount].name;
}

// calculateRoute over one seed and 1..8 destinations taken from the topography's own table.
void calculate(qoark::ARKRoutingAdaptorSession& session, qofuzz::tBytes& input, char** out) {
  const qoark::tTopographyInfo& topography = session.topography();
  const std::string seeds = "[{\"terminal\":\"" + terminalName(topography, input.u16()) +
                            "\",\"cost\":" + std::to_string(input.u8()) + ",\"constraints\":{}}]";
  std::string destinations = "[";
  const unsigned count = 1 + input.u8() % 8;
  for (unsigned i = 0; i < count; ++i) {
    destinations += (i != 0 ? ",\"" : "\"") + terminalName(topography, input.u16()) + "\"";
  }
  destinations += "]";
  session.calculateRoute(seeds.c_str(), destinations.c_str(), "{}", out);
  checkResult(*out, "\"ticket\"", 2 * count);
}

void iterate(qoark::ARKRoutingAdaptorSession& session, qofuzz::tBytes& input) {
  qoroco::TerminalIteratorInterface* iterator = session.getAllTerminals();
  for (unsigned skip = input.u16() % (session.topography().terminalCount + 2); skip > 0; --skip)
    iterator->next();
  const char* mode = (input.u8() & 1) != 0 ? "floating" : "default";
  try {
    if ((input.u8() & 1) != 0) {
      (void)session.calculateResetTerminal(iterator, mode);
    } else {
      ns::nQOAPAL000::tOwnedJsonStatus status;
      iterator->resetTerminal(mode, &status.get());
      const char* text = status->text();
      check(text == nullptr || qoroco::isCompleteJsonValue(text, std::strlen(text)));
    }
  } catch (...) {
    delete iterator;
    throw;
  }
  delete iterator;
}

// The topography name as the node session reads it: cut to the buffer, then looked up.
void topographyName(tAnsweringProxy& proxy) {
  char name[ns::kTopographyNameSize] = {};
  tStatus status;
  proxy.getTopographyName(name, sizeof name, status);
  if (status.isFatal()) return;
  name[sizeof name - 1] = '\0';
  (void)qoark::findTopography(name);
}

void operate(qoark::ARKRoutingAdaptorSession& session, tAnsweringProxy& proxy,
             qofuzz::tBytes& input, std::uint8_t op) {
  char* out = nullptr;
  bool threw = false;
  std::int32_t code = 0;
  proxy.counted = {};
  const std::uint32_t ticket = input.u32();
  try {
    switch (op % 8) {
      case 0:
        calculate(session, input, &out);
        break;
      case 1:
        session.reserveRoute(ticket, &out);
        break;
      case 2:
        session.getRouteTerminalPath(ticket, &out);
        checkResult(out, nullptr, proxy.counted.capacity);
        break;
      case 3:
        session.programRoute(ticket);
        break;
      case 4:
        session.unprogramRoute(ticket);
        break;
      case 5:
        if ((ticket & 1) != 0) {
          session.unreserveRoute(ticket);
        } else {
          session.destroyRoute(ticket);
        }
        break;
      case 6:
        iterate(session, input);
        break;
      default:
        topographyName(proxy);
        break;
    }
    if (op % 8 == 1 && out != nullptr) checkResult(out, "\"ticket\"", qoark::kConflictCapacity);
  } catch (const qoerr::Exception& e) {
    checkFailure(e);
    threw = true;
    code = e.code();
  }
  if (op % 8 <= 2) checkRefusal(proxy.counted, threw, code);
  std::free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One session for every input: its terminal index is built once, as in a real process.
  static tAnsweringProxy proxy;
  static qoark::ARKRoutingAdaptorSession session(proxy, qotest::largestTopography(),
                                                 &qotest::hostAllocate);
  qofuzz::tBytes input(data, size);
  proxy.input = &input;
  for (int step = 0; step < 8 && !input.empty(); ++step) operate(session, proxy, input, input.u8());
  return 0;
}
