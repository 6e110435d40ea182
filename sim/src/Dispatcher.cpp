#include "Dispatcher.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "protocol/Hex.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qotopo/qoTopographyTables.h"

namespace qosim {

using nlohmann::json;
using qodrvdesc::Field;
using qodrvdesc::Method;
using qodrvdesc::Role;
using qodrvdesc::Type;

namespace {

std::uint64_t readField(const Bytes& block, const Field& f) {
  std::uint64_t v = 0;
  const std::size_t n = std::min<std::size_t>(f.size, 8);
  for (std::size_t i = 0; i < n && f.offset + i < block.size(); ++i)
    v |= static_cast<std::uint64_t>(block[f.offset + i]) << (8 * i);
  return v;
}

void writeField(Bytes& block, const Field& f, std::uint64_t v) {
  const std::size_t n = std::min<std::size_t>(f.size, 8);
  for (std::size_t i = 0; i < n && f.offset + i < block.size(); ++i)
    block[f.offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Fields by role and position (the main interface's field names are free).
const Field* nth(const Field* fields, std::uint8_t count, Role role, int index = 0) {
  for (std::uint8_t i = 0; i < count; ++i)
    if (fields[i].role == role && index-- == 0) return &fields[i];
  return nullptr;
}

// The decoded view of one block for the log.
json decodeFields(const Field* fields, std::uint8_t count, const Bytes& block) {
  json out = json::array();
  static const char* const kRoles[] = {"input",  "inputRecord", "address", "unused",
                                       "status", "result",      "output"};
  for (std::uint8_t i = 0; i < count; ++i) {
    const Field& f = fields[i];
    if (f.offset + f.size > block.size()) continue;  // not in the bytes given
    json j{{"name", f.name},
           {"role", kRoles[static_cast<int>(f.role)]},
           {"offset", f.offset},
           {"size", f.size}};
    if (f.type == Type::Record || f.role == Role::Unused) {
      j["value"] = toHex(block.data() + f.offset, f.size);
    } else if (f.type == Type::I32) {
      j["value"] = static_cast<std::int32_t>(static_cast<std::uint32_t>(readField(block, f)));
    } else if (f.role == Role::Address) {
      char text[24];
      std::snprintf(text, sizeof text, "0x%llx",
                    static_cast<unsigned long long>(readField(block, f)));
      j["value"] = text;
    } else {
      j["value"] = readField(block, f);
    }
    out.push_back(std::move(j));
  }
  return out;
}

// The context of one answer: the request, the response being built and the status word.
struct Call {
  const Method& m;
  const Bytes& in;
  Bytes out;
  std::int32_t status = 0;

  // A request field by name (the routing interface's fields are named by the description).
  std::uint64_t field(const char* fieldName) const {
    for (std::uint8_t i = 0; i < m.requestCount; ++i)
      if (std::strcmp(m.request[i].name, fieldName) == 0) return readField(in, m.request[i]);
    return 0;
  }
  void outputNamed(const char* fieldName, std::uint64_t v) {
    for (std::uint8_t i = 0; i < m.responseCount; ++i)
      if (std::strcmp(m.response[i].name, fieldName) == 0) writeField(out, m.response[i], v);
  }
  std::uint64_t input(int index) const {
    const Field* f = nth(m.request, m.requestCount, Role::Input, index);
    return f ? readField(in, *f) : 0;
  }
  std::uint64_t address(int index) const {
    const Field* f = nth(m.request, m.requestCount, Role::Address, index);
    return f ? readField(in, *f) : 0;
  }
  void result(std::uint64_t v) {
    if (const Field* f = nth(m.response, m.responseCount, Role::Result)) writeField(out, *f, v);
  }
  void resultRecord(const std::uint8_t* data, std::size_t size) {
    if (const Field* f = nth(m.response, m.responseCount, Role::Result))
      std::memcpy(out.data() + f->offset, data, std::min<std::size_t>(size, f->size));
  }
  void output(int index, std::uint64_t v) {
    if (const Field* f = nth(m.response, m.responseCount, Role::Output, index))
      writeField(out, *f, v);
  }
};

namespace vx = qodrv::vorlixtarrow;
namespace rt = qodrv::routing;

bool isRouting(const Method& m) {
  return std::string_view(m.driverInterface) == rt::kInterfaceName;
}

void answerIndexed(Call& c, const std::vector<std::uint32_t>& values) {
  const std::uint64_t i = c.input(0);
  if (i >= values.size())
    c.status = kStatusBadArgument;
  else
    c.result(values[i]);
}

void answerModule(Call& c, const ModuleSpec& module, std::uint64_t value,
                  std::int32_t fieldStatus) {
  switch (module.state) {
    case ModuleSpec::State::Absent:
      c.result(0);
      break;
    case ModuleSpec::State::Present:
      if (fieldStatus)
        c.status = fieldStatus;
      else
        c.result(value);
      break;
    case ModuleSpec::State::Unreadable:
      c.status = module.errorStatus;
      break;
  }
}

void readRegister(Call& c, const BoardState& b, int file) {
  const auto& regs = b.registers[file];
  auto it = regs.find(static_cast<std::uint32_t>(c.input(0)));
  c.result(it == regs.end() ? 0 : it->second);
}

void writeRegister(Call& c, BoardState& b, int file) {
  b.registers[file][static_cast<std::uint32_t>(c.input(0))] =
      static_cast<std::uint32_t>(c.input(1));
}

std::uint32_t input32(const Call& c, int index) {
  return static_cast<std::uint32_t>(c.input(index));
}
BoardModel& model(BoardState& b) { return b.description.model; }

// The main interface's methods the model answers; every other one answers zero outputs and
// status 0.
using MainAnswer = void (*)(Call&, BoardState&);
// clang-format off
constexpr std::pair<vx::Method, MainAnswer> kMainAnswers[] = {
    {vx::Method::op0300, [](Call& c, BoardState& b) { c.result(model(b).dated0.seconds); }},
    {vx::Method::op0301, [](Call& c, BoardState& b) { c.result(model(b).dated0.value); }},
    {vx::Method::op0304, [](Call& c, BoardState& b) { c.result(model(b).dated1.seconds); }},
    {vx::Method::op0305, [](Call& c, BoardState& b) { c.result(model(b).dated1.value); }},
    {vx::Method::op0400, [](Call& c, BoardState& b) { c.result(model(b).diagnostic); }},
    {vx::Method::op0401, [](Call& c, BoardState& b) {
       BoardModel& m = model(b);
       m.temperatureLimit = input32(c, 0);
       m.temperatureLimit2 = input32(c, 1);
     }},
    {vx::Method::op0402, [](Call& c, BoardState& b) {
       c.output(0, model(b).temperatureLimit);
       c.output(1, model(b).temperatureLimit2);
     }},
    {vx::Method::op0403, [](Call& c, BoardState& b) { b.op0404 = {input32(c, 0), input32(c, 1)}; }},
    {vx::Method::op0404, [](Call& c, BoardState& b) {
       c.output(0, b.op0404[0]);
       c.output(1, b.op0404[1]);
     }},
    {vx::Method::op0405, [](Call& c, BoardState& b) { answerIndexed(c, model(b).temperatures); }},
    {vx::Method::op0406, [](Call& c, BoardState& b) { c.result(model(b).op0406); }},
    {vx::Method::op0407, [](Call& c, BoardState& b) { c.result(model(b).fans.size()); }},
    {vx::Method::op0408, [](Call& c, BoardState& b) { answerIndexed(c, model(b).fans); }},
    {vx::Method::op0600, [](Call& c, BoardState& b) {
       const ModuleSpec& mod = model(b).module;
       answerModule(c, mod, mod.id, mod.idStatus);
     }},
    {vx::Method::op0601, [](Call& c, BoardState& b) {
       const ModuleSpec& mod = model(b).module;
       answerModule(c, mod, mod.serial, mod.serialStatus);
     }},
    {vx::Method::op0602, [](Call& c, BoardState& b) {
       const ModuleSpec& mod = model(b).module;
       answerModule(c, mod, mod.revision, mod.revisionStatus);
     }},
    {vx::Method::op0603, [](Call& c, BoardState& b) {
       if (const Field* f = nth(c.m.request, c.m.requestCount, Role::InputRecord))
         std::memcpy(model(b).moduleRecord.data(), c.in.data() + f->offset,
                     std::min<std::size_t>(f->size, 16));
     }},
    {vx::Method::op0604, [](Call& c, BoardState& b) {
       const auto& record = model(b).moduleRecord;
       c.resultRecord(record.data(), record.size());
     }},
    {vx::Method::op0700, [](Call& c, BoardState& b) { c.result(model(b).hardwareRevision); }},
    {vx::Method::op0701, [](Call& c, BoardState& b) { c.result(model(b).firmwareVersion); }},
    {vx::Method::op0100, [](Call& c, BoardState& b) { readRegister(c, b, 0); }},
    {vx::Method::op0101, [](Call& c, BoardState& b) { writeRegister(c, b, 0); }},
    {vx::Method::op0102, [](Call& c, BoardState& b) { readRegister(c, b, 1); }},
    {vx::Method::op0103, [](Call& c, BoardState& b) { writeRegister(c, b, 1); }},
};
// clang-format on

// kMainAnswers by method, for one lookup per request.
constexpr auto kMainAnswerOf = [] {
  std::array<MainAnswer, vx::kMethodCount> byMethod{};
  for (const auto& [method, answer] : kMainAnswers)
    byMethod[static_cast<std::size_t>(method)] = answer;
  return byMethod;
}();

void answerMain(Call& c, BoardState& b) {
  const std::optional<vx::Method> method = vx::methodOf(c.m.command);
  if (!method) return;
  if (MainAnswer answer = kMainAnswerOf[static_cast<std::size_t>(*method)]) answer(c, b);
}

void putLe(Bytes& b, std::uint64_t v, int size) {
  for (int i = 0; i < size; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
  return v;
}

// Terminal id for the log, with its name when the topography knows it.
json terminalJson(const RoutingState* r, std::uint32_t id) {
  json j{{"terminalId", id}};
  if (r)
    if (const qotopo::Terminal* t = r->terminal(id)) j["terminal"] = t->name;
  return j;
}

void answerTopographyName(Call& c, const BoardModel& model, ModelAnswer& a) {
  const std::string& text = model.topographyName;
  const std::uint64_t size = c.field("bufferSize");
  if (model.routingFaults.unterminatedName) {
    // Hostile: the whole buffer holds name characters, no NUL anywhere.
    Bytes bytes;
    for (std::uint64_t i = 0; i < size; ++i)
      bytes.push_back(static_cast<std::uint8_t>(text.empty() ? 'x' : text[i % text.size()]));
    if (!bytes.empty()) a.callerWrites.emplace_back(c.field("buffer"), std::move(bytes));
    return;
  }
  if (text.size() + 1 > size) {
    c.status = kStatusBufferTooSmall;
    return;
  }
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  a.callerWrites.emplace_back(c.field("buffer"), std::move(bytes));
}

void answerCalculate(Call& c, RoutingState& r, const RoutingFaults& faults, ModelAnswer& a,
                     const CallContext& ctx) {
  const std::uint64_t seedCount = c.field("seedCount"), destCount = c.field("destinationCount");
  const std::uint64_t capacity = c.field("resultCapacity");
  if (ctx.arrays.size() != 2 || capacity == 0 || c.field("results") == 0) {
    c.status =
        kStatusBadArgument;  // no seeds, no destinations, too many, or nowhere to put results
    return;
  }
  std::vector<RouteSeed> seeds;
  for (std::uint64_t i = 0; i < seedCount; ++i) {
    const Bytes& s = ctx.arrays[0];
    seeds.push_back({le32(s, i * 12), le32(s, i * 12 + 4), s[i * 12 + 8] != 0});
  }
  std::vector<std::uint32_t> destinations;
  for (std::uint64_t i = 0; i < destCount; ++i) destinations.push_back(le32(ctx.arrays[1], i * 4));
  auto calc = r.calculate(c.field("sessionId"), ctx.file, seeds, destinations,
                          static_cast<std::uint32_t>(c.field("flags")),
                          static_cast<std::uint32_t>(capacity));
  c.status = calc.status;
  c.result(calc.unrouted);
  c.outputNamed("resultCount", calc.results.size() + std::uint64_t{faults.extraResults});
  Bytes bytes;
  json logged = json::array();
  for (const RouteResult& res : calc.results) {
    putLe(bytes, static_cast<std::uint32_t>(res.ticket), 4);
    putLe(bytes, res.destination, 4);
    putLe(bytes, static_cast<std::uint32_t>(res.cost), 4);
    putLe(bytes, static_cast<std::uint32_t>(res.seedIndex), 4);
    putLe(bytes, res.inversionNeeded ? 1 : 0, 4);
    json j = terminalJson(&r, res.destination);
    logged.push_back({{"ticket", res.ticket},
                      {"destinationTerminalId", res.destination},
                      {"destination", j.value("terminal", "")},
                      {"cost", res.cost},
                      {"seedIndex", res.seedIndex},
                      {"inversionNeeded", res.inversionNeeded}});
  }
  if (!bytes.empty()) a.callerWrites.emplace_back(c.field("results"), std::move(bytes));
  a.arrays["results"] = logged;
}

void answerReserve(Call& c, RoutingState& r, const RoutingFaults& faults, ModelAnswer& a,
                   std::int32_t ticket) {
  std::vector<RouteConflict> conflicts;
  c.status = r.reserve(ticket, conflicts, a.demoted);
  if (c.status != kStatusReservationConflict) return;
  const std::uint64_t capacity = c.field("conflictCapacity");
  c.outputNamed("conflictCount", conflicts.size() + std::uint64_t{faults.extraConflicts});
  Bytes bytes;
  json logged = json::array();
  for (std::size_t i = 0; i < conflicts.size() && i < capacity; ++i) {
    putLe(bytes, conflicts[i].session, 8);
    putLe(bytes, static_cast<std::uint32_t>(conflicts[i].ticket), 4);
    putLe(bytes, 0, 4);
    logged.push_back({{"sessionId", conflicts[i].session}, {"ticket", conflicts[i].ticket}});
  }
  if (!bytes.empty() && c.field("conflicts") != 0)
    a.callerWrites.emplace_back(c.field("conflicts"), std::move(bytes));
  a.arrays["conflicts"] = logged;
}

void answerPath(Call& c, RoutingState& r, const RoutingFaults& faults, ModelAnswer& a,
                std::int32_t ticket) {
  std::vector<std::uint32_t> ids;
  c.status = r.path(ticket, ids);
  if (c.status != 0) return;
  c.outputNamed("idCount", ids.size());
  if (ids.size() > c.field("capacity")) {
    c.status = kStatusBufferTooSmall;  // the count tells the caller the size it needs
    return;
  }
  if (c.field("terminalIds") == 0) {
    c.status = kStatusBadArgument;
    return;
  }
  c.outputNamed("idCount", ids.size() + std::uint64_t{faults.extraPathIds});
  Bytes bytes;
  json logged = json::array();
  for (std::uint32_t id : ids) {
    putLe(bytes, id, 4);
    logged.push_back(terminalJson(&r, id));
  }
  if (!bytes.empty()) a.callerWrites.emplace_back(c.field("terminalIds"), std::move(bytes));
  a.arrays["terminalIds"] = logged;
}

// A routing request on a board whose topography is bound.
void answerRouted(Call& c, rt::Method method, RoutingState& r, const RoutingFaults& faults,
                  ModelAnswer& a, const CallContext& ctx) {
  const auto ticket = static_cast<std::int32_t>(static_cast<std::uint32_t>(c.field("ticket")));
  const auto terminal = static_cast<std::uint32_t>(c.field("terminalId"));
  const bool floating = c.field("floating") != 0;
  switch (method) {
    case rt::Method::queryU32:
      c.result(r.topography()->terminalCount);
      break;
    case rt::Method::calculateRoute:
      answerCalculate(c, r, faults, a, ctx);
      break;
    case rt::Method::reserveRoute:
      answerReserve(c, r, faults, a, ticket);
      break;
    case rt::Method::programRoute:
      c.status = r.program(ticket);
      break;
    case rt::Method::unprogramRoute:
      c.status = r.unprogram(ticket);
      break;
    case rt::Method::unreserveRoute:
      c.status = r.unreserve(ticket);
      break;
    case rt::Method::destroyRoute:
      c.status = r.destroy(ticket);
      break;
    case rt::Method::getRouteTerminalPath:
      answerPath(c, r, faults, a, ticket);
      break;
    case rt::Method::resetTerminal:
      c.status = r.resetTerminal(terminal, floating);
      break;
    case rt::Method::calculateResetTerminal: {
      std::uint32_t t = 0;
      c.status = r.calculateReset(c.field("sessionId"), ctx.file, terminal, floating, t);
      c.result(t);
      break;
    }
    case rt::Method::getTopographyName:
      break;  // answered before the topography is bound
  }
}

void answerRouting(Call& c, BoardState& b, ModelAnswer& a, const CallContext& ctx) {
  const std::optional<rt::Method> method = rt::methodOf(c.m.command);
  if (!method) return;
  const BoardModel& model = b.description.model;
  if (*method == rt::Method::getTopographyName) return answerTopographyName(c, model, a);
  RoutingState& r = b.routing;
  // A topography that is not generated: the plain defaults (zero outputs, status 0).
  if (!r.bind(model.topographyName)) return;
  if (!ctx.arrays.empty()) a.arrays = decodeCallerArrays(callerReads(c.m, c.in), ctx.arrays);
  for (const char* key : {"seeds", "destinations"})
    if (a.arrays.contains(key))
      for (json& e : a.arrays[key])
        if (const qotopo::Terminal* t = r.terminal(e.at("terminalId").get<std::uint32_t>()))
          e["terminal"] = t->name;
  answerRouted(c, *method, r, model.routingFaults, a, ctx);
}

}  // namespace

const Method* methodOf(const std::string& interface, std::uint32_t command) {
  return qodrvdesc::findMethod(interface, command);
}

std::vector<CallerArray> callerReads(const Method& method, const Bytes& input) {
  if (!isRouting(method) || method.command != rt::kCalculateRouteCommand ||
      input.size() < method.requestSize)
    return {};
  Call c{method, input, {}};
  const std::uint64_t seeds = c.field("seedCount"), destinations = c.field("destinationCount");
  if (seeds == 0 || seeds > kMaxSeeds || destinations == 0 || destinations > kMaxDestinations ||
      c.field("seeds") == 0 || c.field("destinations") == 0)
    return {};
  return {{"seeds", c.field("seeds"), static_cast<std::size_t>(seeds * 12)},
          {"destinations", c.field("destinations"), static_cast<std::size_t>(destinations * 4)}};
}

json decodeCallerArrays(const std::vector<CallerArray>& reads, const std::vector<Bytes>& arrays) {
  json out = json::object();
  for (std::size_t k = 0; k < reads.size() && k < arrays.size(); ++k) {
    const Bytes& a = arrays[k];
    json list = json::array();
    if (reads[k].name == "seeds") {
      for (std::size_t i = 0; i + 12 <= a.size(); i += 12)
        list.push_back({{"terminalId", le32(a, i)},
                        {"cost", le32(a, i + 4)},
                        {"inversionNeeded", a[i + 8] != 0}});
    } else {
      for (std::size_t i = 0; i + 4 <= a.size(); i += 4)
        list.push_back({{"terminalId", le32(a, i)}});
    }
    out[reads[k].name] = list;
  }
  return out;
}

bool placeStatus(const Method& method, Bytes& output, std::int32_t status) {
  const Field* f = nth(method.response, method.responseCount, Role::Status);
  if (!f || f->offset + f->size > output.size()) return false;
  writeField(output, *f, static_cast<std::uint32_t>(status));
  return true;
}

ModelAnswer answerFromModel(Machine& machine, const Node& node, const Method& method,
                            const Bytes& input, std::uint32_t outputSize,
                            const CallContext& context) {
  ModelAnswer a;
  const Field* statusOut = nth(method.response, method.responseCount, Role::Status);
  const bool routing = isRouting(method);
  const bool plugged = machine.boards().withBoard(node.device, [&](BoardState& b) {
    // The board file's faults of this method come first: every call reaching the model counts.
    const std::uint64_t call =
        ++b.methodCalls[std::string(method.driverInterface) + "/" + method.name];
    const DriverFault* fault = nullptr;
    for (const DriverFault& f : b.description.model.driverFaults)
      if (f.method == method.name &&
          (f.interface.empty() || f.interface == method.driverInterface) && f.covers(call)) {
        fault = &f;
        break;
      }
    if (fault) a.after = fault->after;
    if (fault && fault->after.then == Aftermath::Then::Crash) {
      a.note = "board fault, call " + std::to_string(call) + ", crash";
      return;  // never answered
    }
    if (fault && fault->err) {
      a.err = fault->err;
      a.note = "board fault, call " + std::to_string(call);
      return;
    }
    if (outputSize < method.responseSize) {
      a.err = EINVAL;  // no room for the response block
      a.note = "response block larger than the output block";
      return;
    }
    Call c{method, input, Bytes(method.responseSize, 0)};
    if (input.size() < method.requestSize) {
      if (!statusOut) {
        a.err = EINVAL;
        a.note = "request block too short";
        return;
      }
      c.status = kStatusBadArgument;
    } else if (fault && fault->status < 0) {
      c.status = fault->status;  // an error: no outputs, no effect on the board
    } else {
      if (routing)
        answerRouting(c, b, a, context);
      else
        answerMain(c, b);
      if (fault && c.status == 0) c.status = fault->status;  // a warning with the model's outputs
    }
    if (fault) a.note = "board fault, call " + std::to_string(call);
    if (statusOut) writeField(c.out, *statusOut, static_cast<std::uint32_t>(c.status));
    a.response = std::move(c.out);
  });
  if (!plugged) {
    a.err = ENODEV;
    a.note = "node is gone";
  }
  return a;
}

json decodeBlocks(const Method& method, const Bytes& input, const Bytes& output) {
  return json{{"request", decodeFields(method.request, method.requestCount, input)},
              {"response", decodeFields(method.response, method.responseCount, output)}};
}

}  // namespace qosim
