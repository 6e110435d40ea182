// Trace destinations and the base object of trace users. The library has one destination,
// tConsoleTraceDestination, which writes through the qosdbg output function (standard error).
#pragma once

#include <cstddef>
#include <memory>

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

// Virtual operations in slot order: destructor (complete and deleting), writeText, writeBytes,
// flush, describe, isEnabled, reset, name.
class iTraceDestination {
 public:
  virtual ~iTraceDestination();
  virtual void writeText(const char* text) noexcept = 0;
  virtual void writeBytes(const void* data, std::size_t count) noexcept = 0;
  virtual void flush() noexcept = 0;
  // Copies the description into `buffer` (cut and NUL-terminated when `size` is too small) and
  // stores its full length in `*length`. Null `buffer` / `length` are skipped.
  virtual void describe(char* buffer, std::size_t size, std::size_t* length) const noexcept = 0;
  virtual bool isEnabled() const noexcept = 0;
  virtual void reset() noexcept = 0;
  virtual const char* name() const noexcept = 0;
};

class tConsoleTraceDestination final : public iTraceDestination {
 public:
  static constexpr char kDescription[] = " --destination apal";
  static constexpr std::size_t kDescriptionLength = sizeof kDescription - 1;  // 19
  static constexpr char kName[] = "qosdbg_printf";

  ~tConsoleTraceDestination() override;
  // Writes the text (null: nothing).
  void writeText(const char* text) noexcept override;
  // Writes `count` bytes of `data` as text, like "%.<count>s": the output ends at the first NUL
  // byte. Any count is written in full, in pieces that fit the print buffer.
  void writeBytes(const void* data, std::size_t count) noexcept override;
  void flush() noexcept override;
  void describe(char* buffer, std::size_t size, std::size_t* length) const noexcept override;
  bool isEnabled() const noexcept override;
  void reset() noexcept override;
  const char* name() const noexcept override;
};

// Base object of trace users: owns a destination (the console one unless another is given) and
// releases it when destroyed.
class tTrace {
 public:
  tTrace();
  explicit tTrace(std::unique_ptr<iTraceDestination> destination);
  virtual ~tTrace();
  tTrace(const tTrace&) = delete;
  tTrace& operator=(const tTrace&) = delete;

  iTraceDestination& destination() noexcept { return *destination_; }

 private:
  std::unique_ptr<iTraceDestination> destination_;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
