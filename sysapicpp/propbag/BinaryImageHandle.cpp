#include "sysapicpp/propbag/BinaryImageHandle.h"

#include "sysapicpp/HResultException.h"

namespace sysapicpp {

namespace {
[[noreturn]] void raise(HRESULT code, int line) {
  throw HResultException(
      code, tRaiseContext{kBinaryImageHandleSource, line, nQOVORLIXATOMICSAE_23_3::kComponentName});
}
}  // namespace

// The image is the host's object, reached through its function table as the host declares it; it
// is no C++ object of this library, so the sanitizer's C++ type check of virtual calls (vptr)
// cannot apply to calls into it.
#define QO_HOST_OBJECT_CALLS __attribute__((no_sanitize("vptr")))

QO_HOST_OBJECT_CALLS std::uint32_t BinaryImageHandle::size() const {
  if (!image_) raise(E_POINTER, kBinaryImageSizeLine);
  unsigned size = 0;
  const HRESULT hr = image_->GetSize(&size);
  if (hr < 0) raise(hr, kBinaryImageSizeLine);
  return size;
}

QO_HOST_OBJECT_CALLS const void* BinaryImageHandle::data() const {
  if (!image_) raise(E_POINTER, kBinaryImageDataLine);
  void* data = nullptr;
  const HRESULT hr = image_->GetData(&data);
  if (hr < 0) raise(hr, kBinaryImageDataLine);
  return data;
}

QO_HOST_OBJECT_CALLS std::span<const std::uint8_t> BinaryImageHandle::bytes() const {
  const std::uint32_t n = size();
  const void* p = data();
  if (p == nullptr) {
    if (n != 0) raise(E_POINTER, kBinaryImageDataLine);
    return {};
  }
  return {static_cast<const std::uint8_t*>(p), n};
}

}  // namespace sysapicpp
