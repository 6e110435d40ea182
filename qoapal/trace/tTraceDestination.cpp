#include "qoapal/trace/tTraceDestination.h"

#include <cstring>
#include <utility>

#include "qoapal/trace/qosdbg.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

iTraceDestination::~iTraceDestination() = default;

tConsoleTraceDestination::~tConsoleTraceDestination() = default;

void tConsoleTraceDestination::writeText(const char* text) noexcept {
  if (text == nullptr) return;
  writeBytes(text, std::strlen(text));
}

void tConsoleTraceDestination::writeBytes(const void* data, std::size_t count) noexcept {
  if (data == nullptr) return;
  const char* p = static_cast<const char*>(data);
  // Text ends at the first NUL, as with a "%.<count>s" format.
  if (const void* nul = std::memchr(p, '\0', count)) {
    count = static_cast<std::size_t>(static_cast<const char*>(nul) - p);
  }
  // Pieces of at most kTraceBufferSize - 1 bytes: the precision always fits an int.
  constexpr std::size_t kPiece = kTraceBufferSize - 1;
  while (count != 0) {
    const std::size_t n = count < kPiece ? count : kPiece;
    qosdbg_printf("%.*s", static_cast<int>(n), p);
    p += n;
    count -= n;
  }
}

void tConsoleTraceDestination::flush() noexcept {}

void tConsoleTraceDestination::describe(char* buffer, std::size_t size,
                                        std::size_t* length) const noexcept {
  if (buffer != nullptr && size != 0) {
    const std::size_t n = kDescriptionLength < size - 1 ? kDescriptionLength : size - 1;
    std::memcpy(buffer, kDescription, n);
    buffer[n] = '\0';
  }
  if (length != nullptr) *length = kDescriptionLength;
}

bool tConsoleTraceDestination::isEnabled() const noexcept { return true; }

void tConsoleTraceDestination::reset() noexcept {}

const char* tConsoleTraceDestination::name() const noexcept { return kName; }

tTrace::tTrace() : tTrace(nullptr) {}

tTrace::tTrace(std::unique_ptr<iTraceDestination> destination)
    : destination_(destination != nullptr ? std::move(destination)
                                          : std::make_unique<tConsoleTraceDestination>()) {}

tTrace::~tTrace() = default;

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
