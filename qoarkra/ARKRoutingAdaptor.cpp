#include "qoarkra/ARKRoutingAdaptor.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "qoapal/json/tJsonReader.h"
#include "qoapal/json/tJsonWriter.h"
#include "qoapal/trace/qosdbg.h"

namespace qoark {
namespace {

namespace json = apal::json;
using apal::tStatus;
using nQOVORLIXATOMICSAE_23_3::kComponentName;
using nQOVORLIXATOMICSAE_23_3::tRouteConflict;
using nQOVORLIXATOMICSAE_23_3::tRouteResult;
using nQOVORLIXATOMICSAE_23_3::tRouteSeed;
using qoerr::throwIfFailed;

constexpr char kTraceSourceName[] = "qoarkra/ARKRoutingAdaptor";
constexpr char kAllocatorSource[] = "qohtl/err/Allocator";

constexpr unsigned kLineStringAttribute = 450;
constexpr unsigned kLineBoolAttribute = 464;
constexpr unsigned kLineU32Attribute = 478;
constexpr unsigned kLineResetMode = 499;
constexpr unsigned kLineResetPastEnd = 503;
constexpr unsigned kLineCalculateResetMode = 560;
constexpr unsigned kLineCalculateResetPastEnd = 566;
constexpr unsigned kLineDevicePath = 230;
constexpr unsigned kLineNullArgument = 232;
constexpr unsigned kLineAllocator = 58;
constexpr unsigned kLineResultCount = 610;
constexpr unsigned kLineConflictCount = 640;
constexpr unsigned kLinePathCount = 670;
constexpr unsigned kLineTooManyDestinations = 600;

std::atomic<std::uint32_t> gPathCapacity{kInitialPathCapacity};

[[noreturn]] void throwError(std::int32_t code, const char* file, unsigned line,
                             const char* errorConstant) {
  throw qoerr::Exception::withError(code, {file, line, kComponentName, errorConstant});
}

[[noreturn]] void throwMalformedAnswer(unsigned line) {
  throwError(kMalformedDriverAnswer, kAdaptorSource, line, "qoapalerr_malformedDriverAnswer");
}

void check(const char* position) {
  if (position == nullptr) throw std::bad_alloc();
}

// Attribute tables: name -> field of the terminal entry.
struct tStringAttribute {
  const char* name;
  const char* tTerminalInfo::*field;
};
constexpr tStringAttribute kStringAttributes[] = {
    {"name", &tTerminalInfo::name},
    {"visibility", &tTerminalInfo::visibility},
    {"busType", &tTerminalInfo::busType},
    {"busName", &tTerminalInfo::busName},
    {"canonicalName", &tTerminalInfo::canonicalName},
};
struct tBoolAttribute {
  const char* name;
  std::uint8_t tTerminalInfo::*field;
};
constexpr tBoolAttribute kBoolAttributes[] = {
    {"isExternal", &tTerminalInfo::isExternal},
    {"isOwned", &tTerminalInfo::isOwned},
    {"isAlias", &tTerminalInfo::isAlias},
    {"isMaskedOut", &tTerminalInfo::isMaskedOut},
};
struct tU32Attribute {
  const char* name;
  std::uint32_t tTerminalInfo::*field;
};
constexpr tU32Attribute kU32Attributes[] = {
    {"busLine", &tTerminalInfo::busLine},
    {"id", &tTerminalInfo::id},
};

template <class Row, std::size_t N>
const Row* findAttribute(const Row (&table)[N], const char* name) noexcept {
  if (name == nullptr) return nullptr;
  for (const Row& row : table) {
    if (std::strcmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

void badSelector(JsonStatus* status, unsigned line) {
  if (status != nullptr) {
    status->setError(kBadSelector, {kAdaptorSource, line, kComponentName, "qopalerr_badSelector"});
  }
}

// "default" -> 0, "floating" -> 1, anything else -> -1.
int resetMode(const char* mode) noexcept {
  if (mode == nullptr) return -1;
  if (std::strcmp(mode, "default") == 0) return 0;
  if (std::strcmp(mode, "floating") == 0) return 1;
  return -1;
}

// A string member of the status JSON, decoded; empty when absent or not a string.
std::string statusMember(const json::tJsonReader& reader, const char* object, const char* name) {
  const char* value = reader.findMember(object, name);
  if (value == nullptr) return {};
  std::size_t length = 0;
  const char* raw = reader.getString(value, nullptr, &length);
  if (raw == nullptr) return {};
  std::string decoded(length + 1, '\0');
  std::size_t decodedLength = 0;
  if (!json::tJsonReader::decodeString(raw, length, decoded.data(), decoded.size(),
                                       &decodedLength)) {
    return {};
  }
  decoded.resize(::strnlen(decoded.c_str(), decodedLength));
  return decoded;
}

// The caller's status as a full platform status: code, and the origin its JSON names.
tStatus platformStatusOf(const JsonStatus& status) {
  tStatus platform;
  if (status.code == 0) return platform;
  std::string component;
  std::string file;
  std::uint64_t line = 0;
  if (status.json != nullptr && status.capacity > 0) {
    const json::tJsonReader reader = json::tJsonReader::bounded(status.json, status.capacity);
    json::tJsonToken token;
    const char* object = reader.peekValue(reader.begin(), token);
    if (object != nullptr && token.type == json::kTypeObject) {
      component = statusMember(reader, object, "component");
      file = statusMember(reader, object, "file");
      if (const char* value = reader.findMember(object, "line")) {
        line = reader.getUnsigned(value, 0);
      }
    }
  }
  if (component.size() > tStatus::kComponentSize - 1) component.resize(tStatus::kComponentSize - 1);
  constexpr std::size_t kFileChars = tStatus::kFileSize - 1;
  if (file.size() > kFileChars) {
    std::size_t cut = file.size() - kFileChars;
    while (cut < file.size() && file[cut] == '\\') ++cut;
    file.erase(0, cut);
  }
  platform.setCode(status.code, component.c_str(), file.c_str(), line);
  return platform;
}

// Appends one object per route result to the JSON list `list`: its ticket, the destination's
// name (empty for an id the topography does not know), cost, starting seed and constraints.
void addRouteResults(json::tJsonGrowableBuffer& list, const std::vector<tRouteResult>& results,
                     const tTerminalIndex& index) {
  const json::tJsonWriterContext* c = list.context();
  char* p = list.insertionPoint();
  check(p);
  for (const tRouteResult& r : results) {
    const tTerminalInfo* destination = index.findById(r.destinationTerminalId);
    p = json::beginObject(c, p, nullptr);
    check(p);
    p = json::addUnsigned(c, p, "ticket", static_cast<std::uint32_t>(r.ticket));
    check(p);
    p = json::addString(c, p, "destination", destination != nullptr ? destination->name : "");
    check(p);
    p = json::addUnsigned(c, p, "cost", static_cast<std::uint32_t>(r.cost));
    check(p);
    p = json::addUnsigned(c, p, "indexOfStartingSeed", static_cast<std::uint32_t>(r.seedIndex));
    check(p);
    p = json::beginObject(c, p, "constraints");
    check(p);
    if (r.inversionNeeded != 0) {
      p = json::addBool(c, p, "inversionNeeded", true);
      check(p);
    }
    p = json::endValue(json::endValue(p));  // out of "constraints", then out of the result
    check(p);
  }
}

}  // namespace

// ---- Terminal iterator ---------------------------------------------------------------------

const tTerminalInfo* ARKTerminalIterator::current() const noexcept {
  const tTopographyInfo& topography = session_->topography();
  if (topography.terminals == nullptr || index_ >= topography.terminalCount) return nullptr;
  return &topography.terminals[index_];
}

bool ARKTerminalIterator::isEnd() { return index_ >= session_->topography().terminalCount; }

const char* ARKTerminalIterator::getStringAttribute(const char* name, JsonStatus* status) {
  const tStringAttribute* row = findAttribute(kStringAttributes, name);
  const tTerminalInfo* terminal = current();
  if (row == nullptr || terminal == nullptr) {
    badSelector(status, kLineStringAttribute);
    return nullptr;
  }
  return terminal->*(row->field);
}

bool ARKTerminalIterator::getBoolAttribute(const char* name, JsonStatus* status) {
  const tBoolAttribute* row = findAttribute(kBoolAttributes, name);
  const tTerminalInfo* terminal = current();
  if (row == nullptr || terminal == nullptr) {
    badSelector(status, kLineBoolAttribute);
    return false;
  }
  return terminal->*(row->field) != 0;
}

std::uint32_t ARKTerminalIterator::getU32Attribute(const char* name, JsonStatus* status) {
  const tU32Attribute* row = findAttribute(kU32Attributes, name);
  const tTerminalInfo* terminal = current();
  if (row == nullptr || terminal == nullptr) {
    badSelector(status, kLineU32Attribute);
    return 0;
  }
  return terminal->*(row->field);
}

void ARKTerminalIterator::resetTerminal(const char* mode, JsonStatus* status) {
  const int floating = resetMode(mode);
  if (floating < 0) {
    badSelector(status, kLineResetMode);
    return;
  }
  const tTerminalInfo* terminal = current();
  if (terminal == nullptr) {
    badSelector(status, kLineResetPastEnd);
    return;
  }
  tStatus platform = status != nullptr ? platformStatusOf(*status) : tStatus();
  session_->driver().resetTerminal(terminal->id, static_cast<std::uint32_t>(floating), platform);
  if (platform.code != 0 && status != nullptr) status->fromPlatformStatus(platform);
}

// ---- Session -------------------------------------------------------------------------------

ARKRoutingAdaptorSession::ARKRoutingAdaptorSession(const char* devicePath,
                                                   qoroco::tAllocateFunction allocate,
                                                   qoroco::tDemotionFunction demotionFunction,
                                                   void* demotionContext)
    : allocate_(allocate), driver_(&proxy_), demotion_(demotionFunction, demotionContext) {
  if (allocate == nullptr || devicePath == nullptr) {
    throwError(qoroco::kInvalidParameter, kAdaptorSource, kLineNullArgument,
               "qoapalerr_invalidParameter");
  }
  apal::tThreadedIONotificationReader::reapRetired();
  tStatus status;
  // The notification thread first: it only reads what is fixed already.
  reader_ =
      std::make_unique<apal::tThreadedIONotificationReader>(0, &onNotification, this, &status);
  throwIfFailed(status);
  reader_->startThread(kNotificationThreadName, 0, &status);
  throwIfFailed(status);

  const std::size_t n = ::strnlen(devicePath, kMaxDevicePath + 1);
  constexpr std::size_t kMaxSize = kMaxDevicePath;
  if (!QO_ASSERT(n <= kMaxSize)) {
    throwError(qoroco::kInvalidParameter, kAdaptorSource, kLineDevicePath,
               "qoapalerr_invalidParameter");
  }
  std::memcpy(devicePath_, devicePath, n);
  devicePath_[n] = '\0';

  proxy_.open(devicePath_, &status);
  throwIfFailed(status);

  char name[nQOVORLIXATOMICSAE_23_3::kTopographyNameSize] = {};
  proxy_.getTopographyName(name, sizeof name, status);
  throwIfFailed(status);
  name[sizeof name - 1] = '\0';  // a name the driver did not terminate is cut
  topography_ = &findTopography(name);

  demotion_.registerNotification(*reader_, proxy_, apal::driver::kDemotionNotificationKind,
                                 &status);
  throwIfFailed(status);
}

ARKRoutingAdaptorSession::ARKRoutingAdaptorSession(iInterfaceProxy_routing& driver,
                                                   const tTopographyInfo& topography,
                                                   qoroco::tAllocateFunction allocate)
    : allocate_(allocate),
      ownTopography_(std::make_unique<tRegisteredTopography>(topography)),
      topography_(ownTopography_.get()),
      driver_(&driver),
      demotion_(nullptr, nullptr) {
  if (allocate == nullptr) {
    throwError(qoroco::kInvalidParameter, kAdaptorSource, kLineNullArgument,
               "qoapalerr_invalidParameter");
  }
}

ARKRoutingAdaptorSession::~ARKRoutingAdaptorSession() {
  demotion_.unregisterNotification();
  proxy_.close();
  if (reader_ && reader_->onOwnThread()) {
    // Destroyed from the host's demotion function, on the notification thread: the reader
    // cannot join its own thread, and its loop still runs once the handler returns. It ends
    // its loop and is joined and freed later (see tThreadedIONotificationReader::retire).
    apal::tThreadedIONotificationReader::retire(std::move(reader_));
  } else if (reader_) {
    reader_->stopThread();
    reader_->closeDescriptors();
  }
  // Readers retired earlier whose threads have ended are joined here.
  apal::tThreadedIONotificationReader::reapRetired();
}

void ARKRoutingAdaptorSession::onNotification(void* context, int kind, std::uint64_t cookie,
                                              const std::uint8_t* /*payload*/,
                                              std::uint32_t /*payloadSize*/,
                                              const tStatus& status) {
  auto* self = static_cast<ARKRoutingAdaptorSession*>(context);
  if (self == nullptr || status.isFatal() || kind != apal::tIONotificationReader::kKindData) {
    return;
  }
  // Only messages of this session's subscription; the cookie is compared, never dereferenced.
  if (!self->demotion_.isCookieOf(cookie)) return;
  const auto function = self->demotion_.function();
  if (function == nullptr) return;
  qoerr::tOwnedJsonStatus hostStatus;
  function(self->demotion_.context(), qoroco::kDemotionReason, &hostStatus.get());
}

std::uint32_t ARKRoutingAdaptorSession::pathCapacity() noexcept {
  return gPathCapacity.load(std::memory_order_relaxed);
}

std::uint32_t ARKRoutingAdaptorSession::resolveTerminalName(std::string_view rawName) const {
  const std::uint64_t index = terminalIndex().findByName(rawName);
  return index == tTerminalIndex::kNone ? 0 : topography().terminals[index].id;
}

void ARKRoutingAdaptorSession::writeResult(char** out, const char* text, std::size_t length,
                                           std::size_t size) const {
  if (out == nullptr) {
    throwError(qoroco::kInvalidParameter, kAdaptorSource, kLineNullArgument,
               "qoapalerr_invalidParameter");
  }
  void* memory = allocate_(*out, size);
  if (memory == nullptr) {
    throwError(-52000, kAllocatorSource, kLineAllocator, "qoapalerr_memoryFull");
  }
  *out = static_cast<char*>(memory);
  std::memcpy(*out, text, length);
  std::memset(*out + length, 0, size - length);
}

void ARKRoutingAdaptorSession::writeEmptyList(char** out) const { writeResult(out, "[]", 2, 3); }

void ARKRoutingAdaptorSession::getHandledConstraints(char** out) {
  json::tJsonGrowableBuffer list("[]");
  char* p = list.insertionPoint();
  check(p);
  for (const qoroco::tHandledConstraint* row = qoroco::kHandledConstraints; row->name != nullptr;
       ++row) {
    p = json::addString(list.context(), p, nullptr, row->name);
    check(p);
  }
  writeResult(out, list.text(), std::strlen(list.text()), list.size());
}

std::uint32_t ARKRoutingAdaptorSession::calculateRoute(const char* seedsJson,
                                                       const char* destinationsJson,
                                                       const char* modifiersJson, char** out) {
  const std::vector<tRouteSeed> seeds = qoroco::parseSeeds(*this, seedsJson);
  const std::vector<std::uint32_t> destinations =
      qoroco::parseDestinations(*this, destinationsJson);
  const qoroco::tModifiers modifiers = qoroco::parseModifiers(modifiersJson);
  if (seeds.empty() || destinations.empty() || modifiers.unhandledRequired) {
    writeEmptyList(out);
    return 0;
  }
  if (destinations.size() > 0x7FFFFFFFu || seeds.size() > 0xFFFFFFFFu) {
    throwError(qoroco::kInvalidParameter, kAdaptorSource, kLineTooManyDestinations,
               "qoapalerr_invalidParameter");
  }
  const auto capacity = static_cast<std::uint32_t>(2 * destinations.size());
  std::vector<tRouteResult> results(capacity);
  tStatus status;
  std::uint32_t count = 0;
  const std::uint32_t value =
      driver_->calculateRoute(sessionId(), seeds.data(), static_cast<std::uint32_t>(seeds.size()),
                              destinations.data(), static_cast<std::uint32_t>(destinations.size()),
                              modifiers.flags, results.data(), capacity, &count, status);
  if (status.isFatal()) {
    writeEmptyList(out);
    throwIfFailed(status);
  }
  if (count > capacity) {
    writeEmptyList(out);
    throwMalformedAnswer(kLineResultCount);
  }
  results.resize(count);

  json::tJsonGrowableBuffer list("[]");
  addRouteResults(list, results, terminalIndex());
  writeResult(out, list.text(), std::strlen(list.text()), list.size());
  return value;
}

void ARKRoutingAdaptorSession::reserveRoute(std::uint32_t ticket, char** conflictsOut) {
  std::vector<tRouteConflict> conflicts(kConflictCapacity);
  tStatus status;
  std::uint32_t count = 0;
  driver_->reserveRoute(ticket, conflicts.data(), kConflictCapacity, &count, status);
  if (!status.isFatal()) return;
  // A host that passes no conflictsOut wants no list, but still the driver's code.
  if (status.code == kReservationConflict && conflictsOut != nullptr) {
    if (count > kConflictCapacity) throwMalformedAnswer(kLineConflictCount);
    conflicts.resize(count);
    json::tJsonGrowableBuffer list("[]");
    const json::tJsonWriterContext* c = list.context();
    char* p = list.insertionPoint();
    check(p);
    for (const tRouteConflict& conflict : conflicts) {
      p = json::beginObject(c, p, nullptr);
      check(p);
      p = json::addU64(c, p, "sessionId", conflict.sessionId);
      check(p);
      p = json::addUnsigned(c, p, "ticket", static_cast<std::uint32_t>(conflict.ticket));
      check(p);
      p = json::endValue(p);
      check(p);
    }
    writeResult(conflictsOut, list.text(), std::strlen(list.text()), list.size());
  }
  throwIfFailed(status);
}

void ARKRoutingAdaptorSession::programRoute(std::uint32_t ticket) {
  tStatus status;
  driver_->programRoute(ticket, status);
  throwIfFailed(status);
}

void ARKRoutingAdaptorSession::unprogramRoute(std::uint32_t ticket) {
  tStatus status;
  driver_->unprogramRoute(ticket, status);
  throwIfFailed(status);
}

void ARKRoutingAdaptorSession::unreserveRoute(std::uint32_t ticket) {
  tStatus status;
  driver_->unreserveRoute(ticket, status);
  throwIfFailed(status);
}

void ARKRoutingAdaptorSession::destroyRoute(std::uint32_t ticket) {
  tStatus status;
  driver_->destroyRoute(ticket, status);
  throwIfFailed(status);
}

void ARKRoutingAdaptorSession::getRouteTerminalPath(std::uint32_t ticket, char** out) {
  std::uint32_t capacity = pathCapacity();
  std::vector<std::uint32_t> ids(capacity);
  tStatus status;
  std::uint32_t count = 0;
  driver_->getRouteTerminalPath(ticket, ids.data(), capacity, &count, status);
  if (status.code == apal::driver::kRouteBufferTooSmall) {
    if (count > kMaxPathIds) throwMalformedAnswer(kLinePathCount);
    capacity = count;
    std::uint32_t shared = gPathCapacity.load(std::memory_order_relaxed);
    while (capacity > shared &&
           !gPathCapacity.compare_exchange_weak(shared, capacity, std::memory_order_relaxed)) {
    }
    ids.assign(capacity, 0);
    status = tStatus();
    count = 0;
    driver_->getRouteTerminalPath(ticket, ids.data(), capacity, &count, status);
  }
  throwIfFailed(status);
  if (count > capacity) throwMalformedAnswer(kLinePathCount);
  ids.resize(count);

  const tTerminalIndex& index = terminalIndex();
  json::tJsonGrowableBuffer list("[]");
  char* p = list.insertionPoint();
  check(p);
  for (const std::uint32_t id : ids) {
    const tTerminalInfo* terminal = index.findById(id);
    p = json::addString(list.context(), p, nullptr, terminal != nullptr ? terminal->name : "");
    check(p);
  }
  writeResult(out, list.text(), std::strlen(list.text()), list.size());
}

qoroco::TerminalIteratorInterface* ARKRoutingAdaptorSession::getAllTerminals() {
  return new ARKTerminalIterator(*this);
}

std::uint32_t ARKRoutingAdaptorSession::calculateResetTerminal(
    qoroco::TerminalIteratorInterface* iterator, const char* mode) {
  const int floating = resetMode(mode);
  if (floating < 0) {
    throwError(kBadSelector, kAdaptorSource, kLineCalculateResetMode, "qopalerr_badSelector");
  }
  if (iterator == nullptr) {
    throwError(qoroco::kInvalidParameter, kAdaptorSource, kLineNullArgument,
               "qoapalerr_invalidParameter");
  }
  const tTerminalInfo* terminal = static_cast<ARKTerminalIterator*>(iterator)->current();
  if (terminal == nullptr) {
    throwError(kBadSelector, kAdaptorSource, kLineCalculateResetPastEnd, "qopalerr_badSelector");
  }
  tStatus status;
  const std::uint32_t value = driver_->calculateResetTerminal(
      sessionId(), terminal->id, static_cast<std::uint32_t>(floating), status);
  throwIfFailed(status);
  return value;
}

}  // namespace qoark
