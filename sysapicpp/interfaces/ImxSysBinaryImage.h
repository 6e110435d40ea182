// The host's binary images (firmware images handed to UpdateFirmware): ImxSysBinaryImage :
// IUnknown, ImxSysBinaryImage2 : ImxSysBinaryImage. Operations after IUnknown's three:
//   GetSize(size)  byte length of the image
//   GetData(data)  pointer to the bytes, valid while the image lives
//   GetName(name)  a copy of the image's name as a new host string
// The library itself reads only the first two from images it is given; GetName is declared with
// the second identity so that it is called only on an object that answered for it.
#pragma once

#include "sysapicpp/interfaces/IUnknown.h"

class ImxSysBinaryImage : public IUnknown {
 public:
  virtual HRESULT GetSize(unsigned* size) = 0;
  virtual HRESULT GetData(void** data) = 0;

 protected:
  ~ImxSysBinaryImage() = default;
};

class ImxSysBinaryImage2 : public ImxSysBinaryImage {
 public:
  virtual HRESULT GetName(wchar_t** name) = 0;

 protected:
  ~ImxSysBinaryImage2() = default;
};

static_assert(sizeof(ImxSysBinaryImage2) == sizeof(void*));
