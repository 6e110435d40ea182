// The library's own binary image (ImxSysBinaryImage, ImxSysBinaryImage2): a file mapped read-only
// into memory, with a name.
//
//   GetSize(size)  the file's length in bytes
//   GetData(data)  the mapped bytes (an empty file gives a valid pointer to no bytes)
//   GetName(name)  a new host string holding the name (null when the image has no name)
// A null out-pointer gives E_POINTER; a name that cannot be copied gives E_OUTOFMEMORY.
//
// At destruction the memory is unmapped and the file closed (once: on Linux the descriptor is
// released even when close reports an interruption, so it is never closed a second time); a file
// the image was told to own is deleted.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "sysapicpp/com/CQOComObject.h"
#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/interfaces/ImxSysBinaryImage.h"

class CmxSysBinaryImage : public CQOComObjectRootEx<CQOComMultiThreadModelNoCS>,
                          public ImxSysBinaryImage2 {
 public:
  enum class tFileDisposition { kKeep, kDeleteAtEnd };

  static std::array<CQOInterfaceEntry, 3> qoBuildInterfaceTable(CmxSysBinaryImage* self) noexcept;

  // Maps the regular file at `path` and names the image `name` (may be null). With kDeleteAtEnd
  // the image owns the file and deletes it when destroyed (a failed creation leaves the file
  // alone). One reference for the caller.
  // Results: `out` null: E_POINTER; `path` null or empty, not a regular file, or longer than
  // 0xFFFFFFFF bytes: E_INVALIDARG; memory exhausted: E_OUTOFMEMORY; the file cannot be opened
  // or mapped: E_FAIL.
  static HRESULT create(const char* path, const wchar_t* name, tFileDisposition disposition,
                        ImxSysBinaryImage2** out) noexcept;

  HRESULT GetSize(unsigned* size) override;
  HRESULT GetData(void** data) override;
  HRESULT GetName(wchar_t** name) override;

 protected:
  CmxSysBinaryImage() noexcept = default;
  ~CmxSysBinaryImage();

 private:
  HRESULT open(const char* path, const wchar_t* name) noexcept;

  int fd_ = -1;
  void* mapping_ = nullptr;
  std::size_t size_ = 0;
  CqoBStr name_;
  std::string ownedPath_;  // deleted at destruction when non-empty
};
