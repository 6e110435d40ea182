#include "qo/err/Exception.h"

namespace qoerr {

Exception Exception::withError(std::int32_t code, const tJsonStatusOrigin& origin) noexcept {
  tOwnedJsonStatus status;
  status->setError(code, origin);
  return Exception(std::move(status));
}

Exception Exception::fromPlatformStatus(const tStatus& platformStatus) noexcept {
  tOwnedJsonStatus status;
  status->fromPlatformStatus(platformStatus);
  return Exception(std::move(status));
}

void throwIfFailed(const tStatus& status) {
  if (status.isFatal()) throw Exception::fromPlatformStatus(status);
}

StatusGuard::~StatusGuard() noexcept(false) {
  if (status_.isFatal() && std::uncaught_exceptions() == exceptionsOnEntry_)
    throw Exception::fromPlatformStatus(status_);
}

}  // namespace qoerr
