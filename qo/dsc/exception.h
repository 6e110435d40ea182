// Failures of the text and number utilities. Every exception carries the line and the fixed
// source name of the place that raised it, reports a fixed text through what() and a fixed
// 32-bit code through code(). At the host boundary they all become a general failure; the code
// is for diagnostics and tests.
#pragma once

#include <cstdint>
#include <exception>

namespace qo::dsc::exception {

// Fixed source names of the raise sites.
inline constexpr char kUtf8ToWideSource[] = "qo/dsc/Utf8ToWide";
inline constexpr char kWideToUtf8Source[] = "qo/dsc/WideToUtf8";
inline constexpr char kNumericCastSource[] = "qo/dsc/NumericCast";
inline constexpr char kSafeIntegerSource[] = "qo/dsc/SafeInteger";
inline constexpr char kAbsTimeToStringSource[] = "qo/dsc/osdep/AbsTimeToString";

class Exception : public std::exception {
 public:
  // `file` must point to a string that outlives the exception (the constants above); null is
  // reported as an empty name.
  Exception(std::uint32_t line, const char* file) noexcept
      : line_(line), file_(file != nullptr ? file : "") {}
  ~Exception() override;

  const char* what() const noexcept override;
  virtual std::uint32_t code() const noexcept;

  std::uint32_t line() const noexcept { return line_; }
  const char* file() const noexcept { return file_; }

 private:
  std::uint32_t line_;
  const char* file_;
};

class OutOfRange : public Exception {
 public:
  using Exception::Exception;
  ~OutOfRange() override;
  const char* what() const noexcept override;
  std::uint32_t code() const noexcept override;
};

class InvalidArgument : public Exception {
 public:
  using Exception::Exception;
  ~InvalidArgument() override;
  const char* what() const noexcept override;
  std::uint32_t code() const noexcept override;
};

class BufferOverflow : public Exception {
 public:
  using Exception::Exception;
  ~BufferOverflow() override;
  const char* what() const noexcept override;
  std::uint32_t code() const noexcept override;
};

class InvalidLocale : public Exception {
 public:
  using Exception::Exception;
  ~InvalidLocale() override;
  const char* what() const noexcept override;
  std::uint32_t code() const noexcept override;
};

class InvalidSequence : public Exception {
 public:
  using Exception::Exception;
  ~InvalidSequence() override;
  const char* what() const noexcept override;
  std::uint32_t code() const noexcept override;
};

}  // namespace qo::dsc::exception
