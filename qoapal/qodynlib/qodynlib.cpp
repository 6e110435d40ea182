#include "qoapal/qodynlib/qodynlib.h"

#include <dlfcn.h>

#include "qoapal/component.h"
#include "qoapal/json/tJsonWriter.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::qodynlib {

namespace {

constexpr std::int32_t kInvalidParameter = -52005;

// Appends {"<k1>": v1, "<k2>": v2} as member `name`. A member that cannot be built for lack of
// memory is left out; the code is already set.
void addObject(JsonStatus& status, const char* name, const char* k1, const char* v1, const char* k2,
               const char* v2) {
  json::tJsonGrowableBuffer object("{}", 128);
  char* p = object.insertionPoint();
  if (p != nullptr) p = json::addString(object.context(), p, k1, v1);
  if (p != nullptr) p = json::addString(object.context(), p, k2, v2);
  if (p != nullptr) status.addRaw(name, object.text());
}

void report(JsonStatus& status, unsigned line, const char* debug, const char* key,
            const char* value, const char* systemText) {
  const tJsonStatusOrigin origin{kSourceName, line, kComponentName, kErrorConstant};
  if (!status.setError(kInvalidParameter, origin)) return;
  addObject(status, "qodynlib_debug", "debug", debug, key, value != nullptr ? value : "");
  addObject(status, "internal_error", "api", "dlerror", "string",
            systemText != nullptr ? systemText : "");
}

}  // namespace

void* load(const char* path, JsonStatus* status) noexcept {
  if (status == nullptr || status->code < 0) return nullptr;
  if (path == nullptr || path[0] == '\0') {
    report(*status, kLineLoad, "failed to qodynlib_load library", "path", path, nullptr);
    return nullptr;
  }
  ::dlerror();  // forget an earlier failure of this thread
  void* library = ::dlopen(path, RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr)
    report(*status, kLineLoad, "failed to qodynlib_load library", "path", path, ::dlerror());
  return library;
}

void* getSymbol(void* library, const char* symbol, JsonStatus* status) noexcept {
  if (status == nullptr || status->code < 0) return nullptr;
  if (library == nullptr || symbol == nullptr) {
    report(*status, kLineSymbol, "failed to get symbol", "qodynlib_symbol", symbol, nullptr);
    return nullptr;
  }
  ::dlerror();
  void* address = ::dlsym(library, symbol);
  if (address == nullptr)
    report(*status, kLineSymbol, "failed to get symbol", "qodynlib_symbol", symbol, ::dlerror());
  return address;
}

void unload(void* library) noexcept {
  if (library != nullptr) ::dlclose(library);
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000::qodynlib
