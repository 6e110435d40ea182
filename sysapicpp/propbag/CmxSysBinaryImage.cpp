#include "sysapicpp/propbag/CmxSysBinaryImage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "sysapicpp/com/CQOComPtr.h"

namespace {
// Where GetData points for an empty file (nothing may be read through it).
const unsigned char kNoBytes[1] = {0};

HRESULT resultOfErrno(int error) noexcept { return error == ENOMEM ? E_OUTOFMEMORY : E_FAIL; }
}  // namespace

std::array<CQOInterfaceEntry, 3> CmxSysBinaryImage::qoBuildInterfaceTable(
    CmxSysBinaryImage* self) noexcept {
  return {{qoInterfaceEntry<ImxSysBinaryImage2>(IID_ImxSysBinaryImage, self),
           qoInterfaceEntry<ImxSysBinaryImage2>(IID_ImxSysBinaryImage2, self),
           kQoInterfaceTableEnd}};
}

HRESULT CmxSysBinaryImage::create(const char* path, const wchar_t* name,
                                  tFileDisposition disposition, ImxSysBinaryImage2** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (path == nullptr || *path == '\0') return E_INVALIDARG;
  CQOComObject<CmxSysBinaryImage>* image = nullptr;
  HRESULT hr = E_OUTOFMEMORY;
  try {
    hr = CQOComObject<CmxSysBinaryImage>::CreateInstance(&image);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  if (hr < 0) return hr;
  auto held = sysapicpp::CQOComPtr<CQOComObject<CmxSysBinaryImage>>::share(image);
  hr = image->open(path, name);
  if (hr >= 0 && disposition == tFileDisposition::kDeleteAtEnd) {
    try {
      image->ownedPath_ = path;
    } catch (...) {
      hr = E_OUTOFMEMORY;
    }
  }
  if (hr < 0) return hr;  // the image goes with `held`
  *out = held.detach();
  return S_OK;
}

HRESULT CmxSysBinaryImage::open(const char* path, const wchar_t* name) noexcept {
  if (name != nullptr) {
    name_.reset(CqoBStr::alloc(name));
    if (name_.isNull()) return E_OUTOFMEMORY;
  }
  fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return resultOfErrno(errno);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return resultOfErrno(errno);
  if (!S_ISREG(st.st_mode)) return E_INVALIDARG;
  if (st.st_size < 0 ||
      static_cast<std::uint64_t>(st.st_size) > std::numeric_limits<std::uint32_t>::max()) {
    return E_INVALIDARG;
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ == 0) return S_OK;
  void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
  if (p == MAP_FAILED) return resultOfErrno(errno);
  mapping_ = p;
  return S_OK;
}

CmxSysBinaryImage::~CmxSysBinaryImage() {
  if (mapping_ != nullptr) ::munmap(mapping_, size_);
  if (fd_ >= 0) ::close(fd_);
  if (!ownedPath_.empty()) ::unlink(ownedPath_.c_str());
}

HRESULT CmxSysBinaryImage::GetSize(unsigned* size) {
  if (size == nullptr) return E_POINTER;
  *size = static_cast<unsigned>(size_);
  return S_OK;
}

HRESULT CmxSysBinaryImage::GetData(void** data) {
  if (data == nullptr) return E_POINTER;
  *data = mapping_ != nullptr ? mapping_ : const_cast<unsigned char*>(kNoBytes);
  return S_OK;
}

HRESULT CmxSysBinaryImage::GetName(wchar_t** name) {
  if (name == nullptr) return E_POINTER;
  *name = nullptr;
  if (name_.isNull()) return S_OK;
  *name = CqoBStr::alloc(name_.get(), name_.size());
  return *name != nullptr ? S_OK : E_OUTOFMEMORY;
}
