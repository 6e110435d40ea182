// Exceptions of the expert framework: each carries an HRESULT in a JSON status record whose
// details text names the raise site ({"file":...,"line":...,"component":...}, in that order).
// They are translated to the host's result code at the exported boundary.
#pragma once

#include <exception>
#include <string>

#include "qoapal/status/JsonStatus.h"
#include "sysapicpp/com/types.h"

namespace sysapicpp {

// Where an exception was raised. `file` is a fixed source name such as
// "sysapicpp/cache/ItemCache"; a null component leaves the "component" member out.
struct tRaiseContext {
  const char* file;
  int line;
  const char* component;
};

class HResultException : public virtual std::exception {
 public:
  // A failure raised by the library: the details text records the context.
  HResultException(HRESULT code, const tRaiseContext& context) noexcept;
  // A failing result returned by a host or bag call, passed on unchanged, without details.
  explicit HResultException(HRESULT code) noexcept;

  HRESULT code() const noexcept { return status_->code; }
  const nQOVORLIXATOMICSAE_23_3::nQOAPAL000::JsonStatus& status() const noexcept {
    return status_.get();
  }

  // The message text (empty unless set).
  const char* what() const noexcept override { return message_.c_str(); }
  // The JSON details text, or null when none was written.
  virtual const char* details() const noexcept { return status_->text(); }

  void setMessage(std::string message) { message_ = std::move(message); }

 private:
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tOwnedJsonStatus status_;
  std::string message_;
};

// Subclasses fix the code only.
#define SYSAPICPP_HRESULT_EXCEPTION(Name, Code)                                                \
  class Name : public HResultException {                                                       \
   public:                                                                                     \
    static constexpr HRESULT kCode = static_cast<HRESULT>(Code);                               \
    explicit Name(const tRaiseContext& context) noexcept : HResultException(kCode, context) {} \
  }

SYSAPICPP_HRESULT_EXCEPTION(NotImplException, 0x80004001u);             // not supported
SYSAPICPP_HRESULT_EXCEPTION(FailException, 0x80004005u);                // general failure
SYSAPICPP_HRESULT_EXCEPTION(UnexpectedException, 0x8000FFFFu);          // broken invariant
SYSAPICPP_HRESULT_EXCEPTION(InvalidArgException, 0x80070057u);          // bad argument
SYSAPICPP_HRESULT_EXCEPTION(ItemNotExistException, 0x80040375u);        // no such item
SYSAPICPP_HRESULT_EXCEPTION(InvalidModeException, 0x80040376u);         // mode not valid
SYSAPICPP_HRESULT_EXCEPTION(RefreshPendingException, 0x80040377u);      // refresh running
SYSAPICPP_HRESULT_EXCEPTION(FirmwareWrongStateException, 0x80040385u);  // firmware state
SYSAPICPP_HRESULT_EXCEPTION(FirmwareBadImageException, 0x80040387u);    // image rejected

#undef SYSAPICPP_HRESULT_EXCEPTION

// Result codes returned directly, without an exception.
constexpr HRESULT kPropertyTypeMismatch = static_cast<HRESULT>(0x80040370u);
constexpr HRESULT kPropertyNotPresent = static_cast<HRESULT>(0x80040371u);
constexpr HRESULT kDiagnosticRepeatedInMode0 = static_cast<HRESULT>(0x00040370u);
constexpr HRESULT kDeviceFailureA = static_cast<HRESULT>(0x80040382u);
constexpr HRESULT kDeviceFailureB = static_cast<HRESULT>(0x80040383u);

}  // namespace sysapicpp

// Raises `ExceptionClass` with this translation unit's fixed source name (a `kSourceName`
// constant in scope), the current line and the library's component name.
#define SYSAPICPP_RAISE(ExceptionClass)                                  \
  throw ExceptionClass(::sysapicpp::tRaiseContext{kSourceName, __LINE__, \
                                                  ::nQOVORLIXATOMICSAE_23_3::kComponentName})
