// Device-layer exceptions: a JSON status record whose code is a platform status number
// (negative on failure). The platform layer never throws; the status guard below turns a
// failed tStatus into one of these at the end of a scope.
#pragma once

#include <cstdint>
#include <exception>

#include "qoapal/status/JsonStatus.h"
#include "qoapal/status/tStatus.h"

namespace qoerr {

using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::JsonStatus;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tJsonStatusOrigin;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tOwnedJsonStatus;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

class ExceptionBase {
 public:
  explicit ExceptionBase(tOwnedJsonStatus status) noexcept : status_(std::move(status)) {}
  virtual ~ExceptionBase() = default;

  std::int32_t code() const noexcept { return status_->code; }
  const JsonStatus& status() const noexcept { return status_.get(); }
  JsonStatus& status() noexcept { return status_.get(); }
  // The JSON details text, or null when there is none.
  const char* details() const noexcept { return status_->text(); }

 private:
  tOwnedJsonStatus status_;
};

class Exception : public virtual ExceptionBase, public virtual std::exception {
 public:
  explicit Exception(tOwnedJsonStatus status) noexcept : ExceptionBase(std::move(status)) {}

  // The details text, or "" when there is none.
  const char* what() const noexcept override {
    const char* d = details();
    return d ? d : "";
  }

  // A failure with the members of JsonStatus::setError (error constant, file, line, component).
  static Exception withError(std::int32_t code, const tJsonStatusOrigin& origin) noexcept;
  // A failure carrying a platform status: its code and, when named, file, line and component.
  static Exception fromPlatformStatus(const tStatus& status) noexcept;
};

// Checks a platform status when the scope ends: a failed status (negative code) is thrown as a
// qoerr::Exception, unless the scope is being left by another exception already. Place it
// after the status it guards so it is destroyed first.
class StatusGuard {
 public:
  explicit StatusGuard(const tStatus& status) noexcept
      : status_(status), exceptionsOnEntry_(std::uncaught_exceptions()) {}
  ~StatusGuard() noexcept(false);

  StatusGuard(const StatusGuard&) = delete;
  StatusGuard& operator=(const StatusGuard&) = delete;

 private:
  const tStatus& status_;
  int exceptionsOnEntry_;
};

// The same check, done now.
void throwIfFailed(const tStatus& status);

}  // namespace qoerr
