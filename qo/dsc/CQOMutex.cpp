#include "qo/dsc/CQOMutex.h"

namespace {
// Constant initialisation: the lock exists before any constructor of the library runs.
constinit CQOMutex gRefCountLock;
}  // namespace

CQOMutex& qoRefCountLock() noexcept { return gRefCountLock; }
