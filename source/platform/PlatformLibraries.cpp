#include "source/platform/PlatformLibraries.h"

#include <cstring>
#include <new>

#include "qoapal/component.h"
#include "qoapal/json/tJsonReader.h"
#include "qoapal/qodynlib/qodynlib.h"

namespace VorlixSysapiExpert {

namespace apal = nQOVORLIXATOMICSAE_23_3::nQOAPAL000;

namespace {

sysapicpp::tRaiseContext raiseContext(int line) {
  return {kPlatformLibrariesSource, line, nQOVORLIXATOMICSAE_23_3::kComponentName};
}

// The system's error text qodynlib recorded ("internal_error": {"string": ...}), "" when none.
std::string systemErrorText(const apal::JsonStatus& status) {
  const char* text = status.text();
  if (text == nullptr) return {};
  const apal::json::tJsonReader reader(text);
  const char* internal = reader.findMember(reader.begin(), "internal_error");
  const char* value = internal != nullptr ? reader.findMember(internal, "string") : nullptr;
  if (value == nullptr) return {};
  std::size_t length = 0;
  const char* raw = reader.getString(value, "", &length);
  std::string decoded(length + 1, '\0');
  std::size_t decodedLength = 0;
  if (!apal::json::tJsonReader::decodeString(raw, length, decoded.data(), decoded.size(),
                                             &decodedLength))
    return std::string(raw, length);
  decoded.resize(decodedLength);
  return decoded;
}

}  // namespace

PlatformLibraryMissingException::PlatformLibraryMissingException(
    const sysapicpp::tRaiseContext& context, const char* library, const char* symbol,
    const char* systemText) noexcept
    : HResultException(kCode, context) {
  // The base built {"file", "line", "component"}; what is missing follows. The record is this
  // object's own (being constructed), so writing to it through status() is sound.
  auto& details = const_cast<apal::JsonStatus&>(status());
  const char* text = systemText != nullptr ? systemText : "";
  if (details.text() != nullptr && details.addString("library", library) &&
      (symbol == nullptr || details.addString("symbol", symbol)))
    details.addString("dlerror", text);
  try {
    std::string message = symbol == nullptr
                              ? std::string("platform library ") + library + " cannot be loaded"
                              : std::string("platform library ") + library + " lacks " + symbol;
    if (*text != '\0') message += std::string(": ") + text;
    setMessage(std::move(message));
  } catch (const std::bad_alloc&) {
    // The message is optional; the code and the details still travel.
  }
}

tLazyPlatformLibrary::tLazyPlatformLibrary(std::string name,
                                           std::initializer_list<const char*> symbols)
    : name_(std::move(name)), symbolNames_(symbols) {}

void* tLazyPlatformLibrary::entryPoint(std::size_t index) {
  if (!loaded_.load(std::memory_order_acquire)) load();
  return entryPoints_.at(index);
}

void* tLazyPlatformLibrary::loadedEntryPoint(std::size_t index) const noexcept {
  if (!loaded_.load(std::memory_order_acquire) || index >= entryPoints_.size()) return nullptr;
  return entryPoints_[index];
}

void tLazyPlatformLibrary::load() {
  std::lock_guard lock(loadMutex_);
  if (loaded_.load(std::memory_order_relaxed)) return;  // another thread was first
  attempts_.fetch_add(1);

  apal::tOwnedJsonStatus status;
  void* handle = apal::qodynlib::load(name_.c_str(), &status.get());
  if (handle == nullptr) {
    throw PlatformLibraryMissingException(raiseContext(__LINE__), name_.c_str(), nullptr,
                                          systemErrorText(status.get()).c_str());
  }
  std::vector<void*> addresses;
  addresses.reserve(symbolNames_.size());
  for (const char* symbol : symbolNames_) {
    void* address = apal::qodynlib::getSymbol(handle, symbol, &status.get());
    if (address == nullptr) {
      const std::string systemText = systemErrorText(status.get());
      apal::qodynlib::unload(handle);
      throw PlatformLibraryMissingException(raiseContext(__LINE__), name_.c_str(), symbol,
                                            systemText.c_str());
    }
    addresses.push_back(address);
  }
  // The handle is kept for the rest of the process: the library is never unloaded.
  entryPoints_ = std::move(addresses);
  loaded_.store(true, std::memory_order_release);
}

// ---- enumeration ------------------------------------------------------------------------------

namespace {
enum EnumerationEntry : std::size_t { kInitialize, kGetAllKelDevices, kFinalize };
enum FirmwareEntry : std::size_t { kUpdateFirmware, kGetFirmwareUpdateProgress };
}  // namespace

tEnumerationLibrary::tEnumerationLibrary(std::string name)
    : library_(std::move(name), {"qokeldevenum_initialize", "qokeldevenum_getAllKelDevices",
                                 "qokeldevenum_finalize"}) {}

std::int32_t tEnumerationLibrary::initialize() {
  const auto call = reinterpret_cast<qokeldevenum::tInitialize>(library_.entryPoint(kInitialize));
  return call();
}

std::int32_t tEnumerationLibrary::getAllKelDevices(qokeldevenum::iKelDeviceList*& list) {
  const auto call =
      reinterpret_cast<qokeldevenum::tGetAllKelDevices>(library_.entryPoint(kGetAllKelDevices));
  list = nullptr;
  return call(0, &list);
}

std::int32_t tEnumerationLibrary::finalize() noexcept {
  // Must not throw (it runs at shutdown): the non-loading lookup, never entryPoint().
  void* address = library_.loadedEntryPoint(kFinalize);
  if (address == nullptr) return 0;  // never loaded: nothing was initialised
  return reinterpret_cast<qokeldevenum::tFinalize>(address)();
}

// ---- firmware ---------------------------------------------------------------------------------

tFirmwareLibrary::tFirmwareLibrary(std::string name)
    : library_(std::move(name), {"qoVorlix_UpdateFirmware", "qoVorlix_GetFirmwareUpdateProgress"}) {
}

std::int32_t tFirmwareLibrary::updateFirmware(const char* device, const char* target,
                                              std::uint64_t size, const void* data, int flag) {
  const auto call =
      reinterpret_cast<qovorlixapi::tUpdateFirmware>(library_.entryPoint(kUpdateFirmware));
  return call(device, target, size, data, flag);
}

std::int32_t tFirmwareLibrary::getFirmwareUpdateProgress(const char* device, std::int32_t* percent,
                                                         std::uint8_t* first,
                                                         std::uint8_t* second) {
  const auto call = reinterpret_cast<qovorlixapi::tGetFirmwareUpdateProgress>(
      library_.entryPoint(kGetFirmwareUpdateProgress));
  return call(device, percent, first, second);
}

// ---- the process-wide libraries ---------------------------------------------------------------

tEnumerationLibrary& enumerationLibrary() {
  static tEnumerationLibrary library;
  return library;
}

tFirmwareLibrary& firmwareLibrary() {
  static tFirmwareLibrary library;
  return library;
}

}  // namespace VorlixSysapiExpert
