// qodynlib: loading shared libraries at run time. Failures are reported into a JsonStatus,
// because the callers (the standard-directory table, for example) keep JSON status records:
// code -52005 with the members
//   "error_constant": "qoapalerr_invalidParameter", "file": "qodynlib/dynload", "line",
//   "component": "qovorlixatomicsae",
//   "qodynlib_debug": {"debug": "failed to qodynlib_load library", "path": <name>}
//                  or {"debug": "failed to get symbol", "qodynlib_symbol": <name>},
//   "internal_error": {"api": "dlerror", "string": <the system's error text, "" when none>}.
// Like every platform operation, each function does nothing when the status already holds an
// error, and nothing throws. Safe to call from any thread (the system's error text is kept per
// thread).
#pragma once

#include "qoapal/status/JsonStatus.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::qodynlib {

inline constexpr char kSourceName[] = "qodynlib/dynload";
inline constexpr char kErrorConstant[] = "qoapalerr_invalidParameter";
inline constexpr unsigned kLineLoad = 61;
inline constexpr unsigned kLineSymbol = 97;

// Loads the library `path` (a file name searched the system's way, or a path) resolving every
// symbol now and making its symbols global (RTLD_NOW | RTLD_GLOBAL). Null on failure; a null or
// empty path is a failure too (it would name the running program, not a library).
void* load(const char* path, JsonStatus* status) noexcept;
// The address of `symbol` in a library returned by load(); null on failure (also for a null
// library, which would search every loaded object, or a null name).
void* getSymbol(void* library, const char* symbol, JsonStatus* status) noexcept;
// Releases a library returned by load(); null does nothing.
void unload(void* library) noexcept;

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::qodynlib
