// Binary images: the library's file-backed CmxSysBinaryImage (size, bytes, name, null
// out-pointers, files it owns deleted at the end) and the binary-image handle through which the
// library reads any image (failing results raised at lines 79 and 91).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "sysapicpp/HResultException.h"
#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/propbag/BinaryImageHandle.h"
#include "sysapicpp/propbag/CmxSysBinaryImage.h"

namespace {

using Disposition = CmxSysBinaryImage::tFileDisposition;

// A temporary file with the given contents, removed at the end unless already gone.
class TempFile {
 public:
  explicit TempFile(const std::string& contents) {
    char pattern[] = "/tmp/qo_image_XXXXXX";
    const int fd = mkstemp(pattern);
    EXPECT_GE(fd, 0);
    path_ = pattern;
    if (!contents.empty()) {
      EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    }
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }
  bool exists() const {
    struct stat st {};
    return stat(path_.c_str(), &st) == 0;
  }

 private:
  std::string path_;
};

bool fdIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// The image's bytes through GetSize and GetData when it reports the file's size `fileSize` and a
// valid pointer (an empty image's too); otherwise what went wrong.
std::string contentsOf(ImxSysBinaryImage2* image, unsigned fileSize) {
  unsigned size = fileSize + 1;
  if (image->GetSize(&size) != S_OK) return "<GetSize failed>";
  if (size != fileSize) return "<size " + std::to_string(size) + ">";
  void* data = nullptr;
  if (image->GetData(&data) != S_OK) return "<GetData failed>";
  if (data == nullptr) return "<null data>";
  return std::string(static_cast<const char*>(data), size);
}

TEST(BinaryImageFile, SizeDataAndNameOfAMappedFile) {
  const std::string contents("QOFW\x00\x01\x02\xFF", 8);
  TempFile file(contents);
  ImxSysBinaryImage2* image = nullptr;
  ASSERT_EQ(CmxSysBinaryImage::create(file.path(), L"vorlix-fw.zip", Disposition::kKeep, &image),
            S_OK);
  EXPECT_EQ(contentsOf(image, 8), contents);
  wchar_t* name = nullptr;
  EXPECT_EQ(image->GetName(&name), S_OK);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, L"vorlix-fw.zip");
  CqoBStr::free(name);
  EXPECT_EQ(image->Release(), 0u);
  EXPECT_TRUE(file.exists());  // not owned: kept
}

TEST(BinaryImageFile, BothIdentitiesAnswerTheSameObject) {
  TempFile file("x");
  ImxSysBinaryImage2* image = nullptr;
  ASSERT_EQ(CmxSysBinaryImage::create(file.path(), nullptr, Disposition::kKeep, &image), S_OK);
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(image->QueryInterface(&IID_ImxSysBinaryImage, &a), S_OK);
  ASSERT_EQ(image->QueryInterface(&IID_ImxSysBinaryImage2, &b), S_OK);
  EXPECT_EQ(a, b);
  EXPECT_EQ(image->Release(), 2u);
  EXPECT_EQ(image->Release(), 1u);
  wchar_t* name = reinterpret_cast<wchar_t*>(0x1);
  EXPECT_EQ(image->GetName(&name), S_OK);  // no name
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(image->Release(), 0u);
}

TEST(BinaryImageFile, OwnedFileIsDeletedAndClosedAtTheEnd) {
  TempFile file("payload");
  const int probe = dup(0);  // the next free descriptor number is where the image's file opens
  ASSERT_GE(probe, 0);
  close(probe);
  ImxSysBinaryImage2* image = nullptr;
  ASSERT_EQ(CmxSysBinaryImage::create(file.path(), L"n", Disposition::kDeleteAtEnd, &image), S_OK);
  EXPECT_TRUE(fdIsOpen(probe));
  EXPECT_TRUE(file.exists());
  EXPECT_EQ(image->Release(), 0u);
  EXPECT_FALSE(file.exists());
  EXPECT_FALSE(fdIsOpen(probe));
}

TEST(BinaryImageFile, EmptyFileHasSizeZeroAndAValidPointer) {
  TempFile file("");
  ImxSysBinaryImage2* image = nullptr;
  ASSERT_EQ(CmxSysBinaryImage::create(file.path(), L"", Disposition::kKeep, &image), S_OK);
  EXPECT_EQ(contentsOf(image, 0), "");
  image->Release();
}

TEST(BinaryImageFileBadInput, NullOutPointersAndUnusableFiles) {
  TempFile file("abc");
  ImxSysBinaryImage2* image = nullptr;
  EXPECT_EQ(CmxSysBinaryImage::create(file.path(), nullptr, Disposition::kKeep, nullptr),
            E_POINTER);
  EXPECT_EQ(CmxSysBinaryImage::create(nullptr, nullptr, Disposition::kKeep, &image), E_INVALIDARG);
  EXPECT_EQ(CmxSysBinaryImage::create("", nullptr, Disposition::kKeep, &image), E_INVALIDARG);
  EXPECT_EQ(CmxSysBinaryImage::create("/tmp", nullptr, Disposition::kKeep, &image), E_INVALIDARG);
  EXPECT_EQ(CmxSysBinaryImage::create("/nonexistent/qo/image", nullptr, Disposition::kDeleteAtEnd,
                                      &image),
            E_FAIL);
  EXPECT_EQ(image, nullptr);
  ASSERT_EQ(CmxSysBinaryImage::create(file.path(), L"n", Disposition::kKeep, &image), S_OK);
  EXPECT_EQ(image->GetSize(nullptr), E_POINTER);
  EXPECT_EQ(image->GetData(nullptr), E_POINTER);
  EXPECT_EQ(image->GetName(nullptr), E_POINTER);
  unsigned size = 0;
  EXPECT_EQ(image->GetSize(&size), S_OK);  // still usable
  EXPECT_EQ(size, 3u);
  image->Release();
}

// ---- Handle ----------------------------------------------------------------------------------
// A host image whose operations fail with chosen results.
class HostImage final : public ImxSysBinaryImage {
 public:
  HRESULT sizeResult = S_OK;
  HRESULT dataResult = S_OK;
  void* data = nullptr;
  unsigned size = 0;
  int refs = 1;
  HRESULT QueryInterface(const GUID*, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetSize(unsigned* s) override {
    *s = size;
    return sizeResult;
  }
  HRESULT GetData(void** d) override {
    *d = data;
    return dataResult;
  }
};

std::string imageContext(int line) {
  return "{\"file\":\"sysapicpp/BinaryImageHandle\",\"line\":" + std::to_string(line) +
         ",\"component\":\"qovorlixatomicsae\"}";
}

TEST(BinaryImageHandleReads, ReadsSizeAndBytesAndHoldsAReference) {
  TempFile file("0123456789");
  ImxSysBinaryImage2* image = nullptr;
  ASSERT_EQ(CmxSysBinaryImage::create(file.path(), nullptr, Disposition::kKeep, &image), S_OK);
  {
    sysapicpp::BinaryImageHandle handle(image);
    EXPECT_EQ(image->AddRef(), 3u);  // the creator's, the handle's, this one
    image->Release();
    EXPECT_EQ(handle.size(), 10u);
    const auto bytes = handle.bytes();
    ASSERT_EQ(bytes.size(), 10u);
    EXPECT_EQ(std::memcmp(bytes.data(), "0123456789", 10), 0);
  }
  EXPECT_EQ(image->Release(), 0u);
}

TEST(BinaryImageHandleReads, FailingSizeRaisesAtLine79AndDataAtLine91) {
  HostImage host;
  {
    sysapicpp::BinaryImageHandle handle(&host);
    EXPECT_EQ(host.refs, 2);
    host.sizeResult = static_cast<HRESULT>(0x80070005u);
    try {
      (void)handle.size();
      FAIL() << "no exception";
    } catch (const sysapicpp::HResultException& e) {
      EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80070005u));
      EXPECT_EQ(std::string(e.details()), imageContext(79));
    }
    host.sizeResult = S_OK;
    host.dataResult = E_FAIL;
    try {
      (void)handle.data();
      FAIL() << "no exception";
    } catch (const sysapicpp::HResultException& e) {
      EXPECT_EQ(e.code(), E_FAIL);
      EXPECT_EQ(std::string(e.details()), imageContext(91));
    }
    // A non-empty image without bytes is refused.
    host.dataResult = S_OK;
    host.size = 4;
    EXPECT_THROW((void)handle.bytes(), sysapicpp::HResultException);
    host.size = 0;
    EXPECT_TRUE(handle.bytes().empty());
  }
  EXPECT_EQ(host.refs, 1);
  sysapicpp::BinaryImageHandle empty;
  EXPECT_THROW((void)empty.size(), sysapicpp::HResultException);
}

}  // namespace
