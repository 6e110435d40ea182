#include "qoapal/trace/qosdbg.h"

#include <atomic>
#include <cstring>

#include "qoapal/component.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {
namespace {

void writeToStandardError(const char* text) { std::fputs(text, stderr); }

void returnToCaller(const char*, const char*, int, const char*) {}

int formatWithVsnprintf(char* buffer, std::size_t size, const char* format, std::va_list args) {
  return std::vsnprintf(buffer, size, format, args);
}

constexpr tPrintConfiguration kPrintConfiguration = {
    10, ' ', 32, ' ', 4, '0', formatWithVsnprintf,
};

std::atomic<tTraceOutputFunction> gOutput{writeToStandardError};
std::atomic<tAssertionHandler> gAssertionHandler{returnToCaller};

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

// Cuts `count` to the room left before the final NUL, ends the text after that many bytes and
// returns where they go.
char* claim(char (&buffer)[kTraceBufferSize], std::size_t& pos, std::size_t& count) {
  const std::size_t room = kTraceBufferSize - 1 - pos;
  if (count > room) count = room;
  char* at = buffer + pos;
  pos += count;
  buffer[pos] = '\0';
  return at;
}

// Appends up to `length` bytes of `text`, limited by the room left before the final NUL.
void append(char (&buffer)[kTraceBufferSize], std::size_t& pos, const char* text,
            std::size_t length) {
  char* at = claim(buffer, pos, length);
  std::memcpy(at, text, length);
}

void appendFill(char (&buffer)[kTraceBufferSize], std::size_t& pos, char fill, std::size_t count) {
  char* at = claim(buffer, pos, count);
  std::memset(at, fill, count);
}

// A value right-aligned in `width` characters, or its last `width` characters.
void appendField(char (&buffer)[kTraceBufferSize], std::size_t& pos, const char* value,
                 std::size_t width, char fill) {
  const std::size_t length = std::strlen(value);
  if (length < width) {
    appendFill(buffer, pos, fill, width - length);
    append(buffer, pos, value, length);
  } else {
    append(buffer, pos, value + (length - width), width);
  }
}

void output(const char* text) { gOutput.load(std::memory_order_acquire)(text); }

void vprintComponentLine(const char* component, const tLineContext& context, const char* format,
                         std::va_list args) {
  char buffer[kTraceBufferSize];
  formatLine(buffer, component, context, format, args);
  output(buffer);
}

}  // namespace

const tPrintConfiguration& printConfiguration() noexcept { return kPrintConfiguration; }

tTraceOutputFunction setTraceOutput(tTraceOutputFunction function) noexcept {
  return gOutput.exchange(function != nullptr ? function : writeToStandardError,
                          std::memory_order_acq_rel);
}

tAssertionHandler setAssertionHandler(tAssertionHandler handler) noexcept {
  return gAssertionHandler.exchange(handler != nullptr ? handler : returnToCaller,
                                    std::memory_order_acq_rel);
}

void qosdbg_printf(const char* format, ...) noexcept {
  char buffer[kTraceBufferSize];
  buffer[0] = '\0';
  if (format != nullptr) {
    std::va_list args;
    va_start(args, format);
    const int n = kPrintConfiguration.format(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) buffer[0] = '\0';  // encoding error: the contents are unspecified
  }
  buffer[kTraceBufferSize - 1] = '\0';
  output(buffer);
}

std::size_t formatLine(char (&buffer)[kTraceBufferSize], const char* component,
                       const tLineContext& context, const char* format,
                       std::va_list args) noexcept {
  const tPrintConfiguration& config = kPrintConfiguration;
  std::size_t pos = 0;
  buffer[0] = '\0';
  char lineText[24];
  std::snprintf(lineText, sizeof lineText, "%d", context.line);

  append(buffer, pos, "[", 1);
  appendField(buffer, pos, orEmpty(component), config.componentWidth, config.componentFill);
  append(buffer, pos, "|", 1);
  appendField(buffer, pos, orEmpty(context.file), config.fileWidth, config.fileFill);
  append(buffer, pos, "|", 1);
  appendField(buffer, pos, lineText, config.lineWidth, config.lineFill);
  append(buffer, pos, "] ", 2);

  const char* suffix = orEmpty(context.suffix);
  const std::size_t suffixLength = std::strlen(suffix);
  const std::size_t room = kTraceBufferSize - 1 - pos;
  const std::size_t messageRoom = suffixLength <= room ? room - suffixLength : room;
  if (format != nullptr) {
    const int n = config.format(buffer + pos, messageRoom + 1, format, args);
    if (n < 0) {
      buffer[pos] = '\0';
    } else {
      pos += static_cast<std::size_t>(n) < messageRoom ? static_cast<std::size_t>(n) : messageRoom;
    }
  }
  append(buffer, pos, suffix, suffixLength);
  buffer[pos] = '\0';
  return pos;
}

void printLine(const tLineContext& context, const char* format, ...) noexcept {
  std::va_list args;
  va_start(args, format);
  vprintComponentLine(kComponentName, context, format, args);
  va_end(args);
}

void printComponentLine(const char* component, const tLineContext& context, const char* format,
                        ...) noexcept {
  std::va_list args;
  va_start(args, format);
  vprintComponentLine(component, context, format, args);
  va_end(args);
}

bool reportAssertionFailure(const char* component, const char* file, int line,
                            const char* text) noexcept {
  component = orEmpty(component);
  file = orEmpty(file);
  text = orEmpty(text);
  qosdbg_printf("[%s|%s|%d] !!ASSERT!!\n", component, file, line);
  printComponentLine(component, tLineContext{file, line, "\n"}, "%s ", text);
  gAssertionHandler.load(std::memory_order_acquire)(component, file, line, text);
  return false;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
