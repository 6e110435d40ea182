// qosdbg: the platform layer's debug print facility. Diagnostic lines (chiefly assertion
// reports) go to standard error. A line made by printLine starts with a fixed prefix
//   "[" component "|" file "|" line "] "
// whose fields have fixed widths: a shorter value is right-aligned behind fill characters, a
// longer one keeps its last `width` characters (a long path shows its tail). Every line is
// formatted into its own 512-byte stack buffer, always NUL-terminated, and written with one call
// of the output function; printing takes no lock.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "qoapal/component.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

inline constexpr std::size_t kTraceBufferSize = 512;

using tTraceFormatFunction = int (*)(char* buffer, std::size_t size, const char* format,
                                     std::va_list args);
using tTraceOutputFunction = void (*)(const char* text);
using tAssertionHandler = void (*)(const char* component, const char* file, int line,
                                   const char* text);

// Process-wide print configuration; constant.
struct tPrintConfiguration {
  std::size_t componentWidth;
  char componentFill;
  std::size_t fileWidth;
  char fileFill;
  std::size_t lineWidth;
  char lineFill;
  tTraceFormatFunction format;
};
const tPrintConfiguration& printConfiguration() noexcept;

// Where a line comes from and what follows its message (for example "\n").
struct tLineContext {
  const char* file;
  int line;
  const char* suffix;
};

// The output function: writes one finished line. The default writes to standard error with
// fputs. Tests install their own to capture lines; null restores the default. Returns the
// function that was installed before.
tTraceOutputFunction setTraceOutput(tTraceOutputFunction output) noexcept;

// The assertion handler, called after an assertion report. The default returns to the caller,
// so a failed assertion never ends the host process: the code that asserted takes its orderly
// error path (QO_ASSERT evaluates to the tested condition). Null restores the default. Returns
// the handler that was installed before.
tAssertionHandler setAssertionHandler(tAssertionHandler handler) noexcept;

// Formats `format` and writes it with no prefix.
void qosdbg_printf(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// Writes a prefixed line naming the library's component.
void printLine(const tLineContext& context, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
// The same, naming `component`.
void printComponentLine(const char* component, const tLineContext& context, const char* format,
                        ...) noexcept __attribute__((format(printf, 3, 4)));

// Builds a prefixed line into `buffer` and returns its length (at most kTraceBufferSize - 1;
// buffer[length] is the NUL). Each prefix piece is limited by the room left; the message is cut
// so that the suffix still fits whenever the suffix itself fits, so a cut line still ends with
// its newline. Null texts count as empty; a null format gives an empty message.
std::size_t formatLine(char (&buffer)[kTraceBufferSize], const char* component,
                       const tLineContext& context, const char* format, std::va_list args) noexcept;

// Reports a failed assertion: "[component|file|line] !!ASSERT!!", then a prefixed line with
// `text`, then calls the assertion handler. Returns false, the value of the failed condition.
bool reportAssertionFailure(const char* component, const char* file, int line,
                            const char* text) noexcept;

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000

// QO_ASSERT(condition) evaluates to the condition; when it is false the failure is reported
// first. The source name reported is `kTraceSourceName`, a constant the calling file defines
// (for example `constexpr char kTraceSourceName[] = "qoarkra/ARKRoutingAdaptor";`).
// QO_ASSERT_IN names the source explicitly.
#define QO_ASSERT_IN(sourceName, condition)                                                      \
  (static_cast<bool>(condition) ? true                                                           \
                                : ::nQOVORLIXATOMICSAE_23_3::nQOAPAL000::reportAssertionFailure( \
                                      ::nQOVORLIXATOMICSAE_23_3::kComponentName, (sourceName),   \
                                      __LINE__, "ASSERT(" #condition ")"))
#define QO_ASSERT(condition) QO_ASSERT_IN(kTraceSourceName, condition)
