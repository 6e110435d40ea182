// Library-side holder of a host binary image (the firmware image given to UpdateFirmware). It
// adds one reference to the image and releases it when destroyed.
//
// size() calls the image's GetSize, data() its GetData; a failing result raises HResultException
// with that code (context "sysapicpp/BinaryImageHandle", line 79 for the size, line 91 for the
// data). An empty handle fails the same way with E_POINTER.
#pragma once

#include <cstdint>
#include <span>

#include "sysapicpp/com/CQOComPtr.h"
#include "sysapicpp/interfaces/ImxSysBinaryImage.h"

namespace sysapicpp {

inline constexpr char kBinaryImageHandleSource[] = "sysapicpp/BinaryImageHandle";
inline constexpr int kBinaryImageSizeLine = 79;
inline constexpr int kBinaryImageDataLine = 91;

class BinaryImageHandle {
 public:
  BinaryImageHandle() noexcept = default;
  // Adds a reference to `image` (null gives an empty handle).
  explicit BinaryImageHandle(ImxSysBinaryImage* image) noexcept
      : image_(CQOComPtr<ImxSysBinaryImage>::share(image)) {}

  ImxSysBinaryImage* get() const noexcept { return image_.get(); }
  explicit operator bool() const noexcept { return static_cast<bool>(image_); }

  // Byte length of the image.
  std::uint32_t size() const;
  // Pointer to the bytes, valid while the image lives.
  const void* data() const;
  // Both: the image's bytes. An image of non-zero size that answers a null data pointer raises
  // HResultException E_POINTER (line 91).
  std::span<const std::uint8_t> bytes() const;

 private:
  CQOComPtr<ImxSysBinaryImage> image_;
};

}  // namespace sysapicpp
