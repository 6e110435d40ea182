#include "qosysq/stdpath/stdpath.h"

#include <cstring>

#include "qo/err/Exception.h"
#include "qoapal/component.h"
#include "qoapal/qodynlib/qodynlib.h"

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

namespace stdpath {

const tDefaultDirectory kDefaultDirectories[kDirectoryCount] = {
    {"prefixdir", "/usr"},
    {"execprefixdir", "/usr"},
    {"bindir", "/usr/bin"},
    {"sbindir", "/usr/sbin"},
    {"libdir", "/usr/lib"},
    {"lib32dir", "/usr/lib"},
    {"lib64dir", "/usr/lib64"},
    {"nativelibdir", "/usr/lib64"},
    {"multiarchlibdir", "/usr/lib/x86_64-linux-gnu"},
    {"libexecdir", "/usr/libexec"},
    {"sharedstatedir", "/var/lib"},
    {"datarootdir", "/usr/share"},
    {"datadir", "/usr/share"},
    {"sysconfdir", "/etc"},
    {"localstatedir", "/var"},
    {"runstatedir", "/var/run"},
    {"includedir", "/usr/include"},
    {"docdir", "/usr/share/doc"},
    {"initddir", "/etc/init.d"},
};

namespace detail {

namespace {

void copyPath(char (&field)[kRelocationBufferSize + 1], const char* text, std::size_t length) {
  if (length > kRelocationBufferSize) length = kRelocationBufferSize;
  std::memcpy(field, text, length);
  field[length] = '\0';
}

}  // namespace

void tDirectoryTable::build(const char* library) noexcept {
  for (std::size_t i = 0; i < kDirectoryCount; ++i) {
    entries_[i].name = kDefaultDirectories[i].name;
    copyPath(entries_[i].path, kDefaultDirectories[i].path,
             std::strlen(kDefaultDirectories[i].path));
  }

  // The relocation library is optional: its failures stay in a private status.
  tOwnedJsonStatus privateStatus;
  void* handle = qodynlib::load(library, &privateStatus.get());
  void* symbol = qodynlib::getSymbol(handle, kRelocationSymbol, &privateStatus.get());
  if (privateStatus->code >= 0 && symbol != nullptr) {
    const auto relocate = reinterpret_cast<tGetRelocatedDir>(symbol);
    for (std::size_t i = 0; i < kDirectoryCount; ++i) {
      // Exactly the size handed over: an answer filling it without a NUL is still read
      // within bounds. An empty path relocates nothing: taken as it stands, it would move the
      // directory to the root of whatever path is built on it.
      char buffer[kRelocationBufferSize];
      std::memset(buffer, 0, sizeof buffer);
      if (relocate(entries_[i].name, buffer, kRelocationBufferSize) > 0 && buffer[0] != '\0')
        copyPath(entries_[i].path, buffer, ::strnlen(buffer, kRelocationBufferSize));
    }
  }
  qodynlib::unload(handle);
}

const char* tDirectoryTable::find(const char* name) const noexcept {
  if (name == nullptr) return nullptr;
  for (const tEntry& entry : entries_) {
    if (entry.name != nullptr && std::strcmp(entry.name, name) == 0) return entry.path;
  }
  return nullptr;
}

const char* tStandardDirectories::get(const char* name, JsonStatus* status) noexcept {
  if (status == nullptr || status->code < 0) return nullptr;
  std::call_once(once_, [this] {
    table_.build(library_);
    builds_.fetch_add(1);
  });

  const JsonStatus& construction = table_.constructionStatus();
  if (status->setCode(construction.code) && construction.json != nullptr)
    status->setText(construction.json);
  if (status->code < 0) return nullptr;

  if (name == nullptr) {
    status->setError(
        nQOAPALS100::tStatus::kInvalidParameter,
        {kSourceName, kLineNullName, kComponentName, "nQOAPALS100::tStatus::kInvalidParameter"});
    return nullptr;
  }
  const char* path = table_.find(name);
  if (path == nullptr) {
    if (status->setError(
            nQOAPALS100::tStatus::kOsFault,
            {kSourceName, kLineUnknownName, kComponentName, "nQOAPALS100::tStatus::kOsFault"}))
      status->addString("directory", name);
  }
  return path;
}

tStandardDirectories& processDirectories() noexcept {
  static tStandardDirectories directories(kRelocationLibrary);
  return directories;
}

}  // namespace detail
}  // namespace stdpath

const char* getStandardDirectory(const char* name, JsonStatus* status) noexcept {
  return stdpath::detail::processDirectories().get(name, status);
}

std::string getDataRootDirectory() {
  tOwnedJsonStatus status;
  const char* path = getStandardDirectory("datarootdir", &status.get());
  if (status->code < 0 || path == nullptr) {
    if (status->code >= 0) status->setCode(nQOAPALS100::tStatus::kOsFault);
    throw qoerr::Exception(std::move(status));
  }
  return path;
}

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
