// The closed platform libraries as the library meets them: loaded at first use by name, a
// missing library or entry point reported with HRESULT 0x8007007E naming what is missing, a
// successful load done once however many threads ask. And the stand-ins' behaviour outside a
// simulated machine (this test program runs on the real machine): no boards, no firmware
// progress, no relocation.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "qoapal/status/JsonStatus.h"
#include "qoapal/status/tStatus.h"
#include "qorelocations/qorelocations.h"
#include "qosysq/stdpath/stdpath.h"
#include "source/platform/PlatformLibraries.h"
#include "tests/common/PlatformNames.h"

namespace {

using VorlixSysapiExpert::PlatformLibraryMissingException;
using VorlixSysapiExpert::tEnumerationLibrary;
using VorlixSysapiExpert::tFirmwareLibrary;

constexpr HRESULT kModuleNotFound = static_cast<HRESULT>(0x8007007Eu);
const std::string kStandins = QO_PLATFORM_LIBRARY_DIR;
const std::string kEnumerationPath = kStandins + "/libqokeldevenum.so.1";
const std::string kFirmwarePath = kStandins + "/libqovorlixapi.so.1";
constexpr char kAbsentLibrary[] = "libqo_absent_platform_library.so.1";

// The platform's relocation call has the shape the standard-directory table calls.
static_assert(std::is_same_v<decltype(&get_relocated_dir), apal::stdpath::tGetRelocatedDir>);

std::string details(const sysapicpp::HResultException& e) {
  return e.details() != nullptr ? e.details() : "";
}

// ---- a missing library -------------------------------------------------------------------------

TEST(PlatformLibraryMissing, AnAbsentLibraryThrowsModuleNotFoundNamingItAndTheSystemText) {
  tEnumerationLibrary enumeration(kAbsentLibrary);
  try {
    enumeration.initialize();
    FAIL() << "an absent library must not load";
  } catch (const PlatformLibraryMissingException& e) {
    EXPECT_EQ(e.code(), kModuleNotFound);
    const std::string json = details(e);
    const std::string head = R"({"file":"source/platform/PlatformLibraries","line":)";
    EXPECT_EQ(json.rfind(head, 0), 0u) << json;
    EXPECT_NE(
        json.find(
            R"("component":"qovorlixatomicsae","library":"libqo_absent_platform_library.so.1","dlerror":")"),
        std::string::npos)
        << json;
    EXPECT_NE(json.find("libqo_absent_platform_library.so.1: cannot open shared object file"),
              std::string::npos)
        << json;
    EXPECT_EQ(json.find("\"symbol\""), std::string::npos) << json;
    EXPECT_NE(std::string(e.what()).find("libqo_absent_platform_library.so.1 cannot be loaded"),
              std::string::npos);
  }
  EXPECT_FALSE(enumeration.library().loaded());
}

TEST(PlatformLibraryMissing, EveryEntryPointThrowsTheSameAndEachUseTriesAgain) {
  tEnumerationLibrary enumeration(kAbsentLibrary);
  tFirmwareLibrary firmware(kAbsentLibrary);
  qokeldevenum::iKelDeviceList* list = nullptr;
  std::int32_t percent = 0;
  std::uint8_t first = 0;
  std::uint8_t second = 0;
  const char image[] = "x";
  auto code = [](auto&& call) -> HRESULT {
    try {
      call();
    } catch (const sysapicpp::HResultException& e) {
      return e.code();
    }
    return 0;
  };
  EXPECT_EQ(code([&] { enumeration.initialize(); }), kModuleNotFound);
  EXPECT_EQ(code([&] { enumeration.getAllKelDevices(list); }), kModuleNotFound);
  EXPECT_EQ(code([&] { firmware.updateFirmware("KEL0", "t", 1, image, 0); }), kModuleNotFound);
  EXPECT_EQ(code([&] { firmware.getFirmwareUpdateProgress("KEL0", &percent, &first, &second); }),
            kModuleNotFound);
  EXPECT_EQ(enumeration.library().loadAttempts(), 2u) << "a failed load is not remembered";
  EXPECT_EQ(firmware.library().loadAttempts(), 2u);
  // Nothing loaded, so nothing to finalize: no attempt, no exception.
  EXPECT_EQ(enumeration.finalize(), 0);
  EXPECT_EQ(enumeration.library().loadAttempts(), 2u);
}

TEST(PlatformLibraryMissing, AMissingEntryPointNamesTheSymbol) {
  // The enumeration stand-in loads but is no firmware library.
  tFirmwareLibrary firmware(kEnumerationPath);
  std::int32_t percent = 0;
  std::uint8_t first = 0;
  std::uint8_t second = 0;
  try {
    firmware.getFirmwareUpdateProgress("KEL0", &percent, &first, &second);
    FAIL() << "a library without the entry points must not be used";
  } catch (const PlatformLibraryMissingException& e) {
    EXPECT_EQ(e.code(), kModuleNotFound);
    const std::string json = details(e);
    EXPECT_NE(json.find(R"("library":")" + kEnumerationPath +
                        R"(","symbol":"qoVorlix_UpdateFirmware","dlerror":")"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("undefined symbol: qoVorlix_UpdateFirmware"), std::string::npos) << json;
    EXPECT_NE(std::string(e.what()).find("lacks qoVorlix_UpdateFirmware"), std::string::npos);
  }
  EXPECT_FALSE(firmware.library().loaded());
}

// ---- a present library --------------------------------------------------------------------------

TEST(PlatformLibraryLoading, NothingIsLoadedBeforeTheFirstUse) {
  tEnumerationLibrary enumeration(kEnumerationPath);
  EXPECT_FALSE(enumeration.library().loaded());
  EXPECT_EQ(enumeration.library().loadAttempts(), 0u);
  EXPECT_EQ(enumeration.initialize(), 0);
  EXPECT_TRUE(enumeration.library().loaded());
  EXPECT_EQ(enumeration.finalize(), 0);
}

TEST(PlatformLibraryLoading, ManyThreadsAtTheFirstUseLoadItOnce) {
  tEnumerationLibrary enumeration(kEnumerationPath);
  constexpr int kThreads = 16;
  std::vector<std::int32_t> results(kThreads, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { results[i] = enumeration.initialize(); });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(results[i], 0) << i;
  EXPECT_EQ(enumeration.library().loadAttempts(), 1u);
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(enumeration.finalize(), 0) << i;
}

TEST(PlatformLibraryLoading, TheProcessWideLibrariesAreFoundByTheirNames) {
  // This test program finds the stand-ins by SONAME (its RUNPATH), as a host finds the real ones.
  EXPECT_EQ(VorlixSysapiExpert::enumerationLibrary().library().name(), "libqokeldevenum.so.1");
  EXPECT_EQ(VorlixSysapiExpert::firmwareLibrary().library().name(), "libqovorlixapi.so.1");
  EXPECT_EQ(&VorlixSysapiExpert::enumerationLibrary(), &VorlixSysapiExpert::enumerationLibrary());
  ASSERT_EQ(VorlixSysapiExpert::enumerationLibrary().initialize(), 0);
  qokeldevenum::iKelDeviceList* list = nullptr;
  ASSERT_EQ(VorlixSysapiExpert::enumerationLibrary().getAllKelDevices(list), 0);
  ASSERT_NE(list, nullptr);
  list->release();
  EXPECT_EQ(VorlixSysapiExpert::enumerationLibrary().finalize(), 0);
}

// ---- the enumeration stand-in outside a simulated machine -----------------------------------

class EnumerationOutsideAMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(enumeration_.initialize(), 0);
    ASSERT_EQ(enumeration_.getAllKelDevices(list_), 0);
    ASSERT_NE(list_, nullptr);
  }
  void TearDown() override {
    if (list_ != nullptr) list_->release();
    EXPECT_EQ(enumeration_.finalize(), 0);
  }
  tEnumerationLibrary enumeration_{kEnumerationPath};
  qokeldevenum::iKelDeviceList* list_ = nullptr;
};

TEST_F(EnumerationOutsideAMachine, TheListIsEmptyAndChangesOnlyBeforeTheFirstRefresh) {
  apal::tStatus status;
  auto* s = VorlixSysapiExpert::platformStatus(&status);
  EXPECT_TRUE(list_->hasChanged(s));
  list_->refresh(s);
  EXPECT_FALSE(list_->hasChanged(s));
  EXPECT_EQ(list_->count(), 0u);
  EXPECT_EQ(status.code, 0);
}

TEST_F(EnumerationOutsideAMachine, AnIndexBeyondTheListIsAnInvalidParameterWithItsOrigin) {
  apal::tStatus status;
  list_->refresh(VorlixSysapiExpert::platformStatus(&status));
  EXPECT_EQ(list_->deviceAt(0, 0, VorlixSysapiExpert::platformStatus(&status)), nullptr);
  EXPECT_EQ(status.code, -52005);
  EXPECT_STREQ(status.component, "qokeldeve");
  EXPECT_STREQ(status.file, "qokeldevenum/KelDeviceList");
  EXPECT_GT(status.line, 0u);
}

TEST_F(EnumerationOutsideAMachine, StatusesFollowTheSeverityRule) {
  // A warning is replaced by the error.
  apal::tStatus warned;
  warned.setCode(7, "caller", "caller/file", 3);
  list_->deviceAt(5, 0, VorlixSysapiExpert::platformStatus(&warned));
  EXPECT_EQ(warned.code, -52005);
  EXPECT_STREQ(warned.component, "qokeldeve");
  // An error is kept, and the operation does nothing.
  apal::tStatus failed;
  failed.setCode(-52024, "caller", "caller/file", 3);
  EXPECT_FALSE(list_->hasChanged(VorlixSysapiExpert::platformStatus(&failed)));
  EXPECT_EQ(list_->deviceAt(5, 0, VorlixSysapiExpert::platformStatus(&failed)), nullptr);
  EXPECT_EQ(failed.code, -52024);
  EXPECT_STREQ(failed.component, "caller");
  EXPECT_EQ(failed.line, 3u);
  // A short record gets the code and nothing past it.
  apal::tStatus shortRecord;
  shortRecord.structSize = 16;
  std::memset(shortRecord.component, 'z', sizeof shortRecord.component);
  list_->deviceAt(5, 0, VorlixSysapiExpert::platformStatus(&shortRecord));
  EXPECT_EQ(shortRecord.code, -52005);
  EXPECT_EQ(shortRecord.component[0], 'z');
  EXPECT_EQ(shortRecord.line, 0u);
}

TEST(EnumerationEntryPoints, BadArgumentsAndAMissingInitializationAreRefused) {
  tEnumerationLibrary enumeration(kEnumerationPath);
  // Load the library without initializing it.
  void* handle = dlopen(kEnumerationPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const auto getAll = reinterpret_cast<qokeldevenum::tGetAllKelDevices>(
      dlsym(handle, "qokeldevenum_getAllKelDevices"));
  ASSERT_NE(getAll, nullptr);
  qokeldevenum::iKelDeviceList* list = reinterpret_cast<qokeldevenum::iKelDeviceList*>(1);
  EXPECT_EQ(getAll(0, &list), -52005) << "not initialized";
  EXPECT_EQ(list, nullptr);
  ASSERT_EQ(enumeration.initialize(), 0);
  EXPECT_EQ(getAll(0, nullptr), -52005);
  EXPECT_EQ(getAll(1, &list), -52005);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(enumeration.finalize(), 0);
  EXPECT_EQ(enumeration.finalize(), -52005) << "more finalizations than initializations";
  dlclose(handle);
}

// ---- the firmware stand-in outside a simulated machine --------------------------------------

TEST(FirmwareOutsideAMachine, AnUpdateFindsNoMachineAndProgressHasNothingToReport) {
  tFirmwareLibrary firmware(kFirmwarePath);
  const unsigned char image[] = {1, 2, 3};
  EXPECT_EQ(firmware.updateFirmware("KEL0", "PXIe-VX210_KU035", sizeof image, image, 0), -52023);
  std::int32_t percent = 41;
  std::uint8_t first = 2;
  std::uint8_t second = 3;
  EXPECT_EQ(firmware.getFirmwareUpdateProgress("KEL0", &percent, &first, &second), -304425);
  EXPECT_EQ(percent, 41);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 3);
}

TEST(FirmwareOutsideAMachine, NullArgumentsAndEmptyImagesAreInvalidParameters) {
  tFirmwareLibrary firmware(kFirmwarePath);
  const unsigned char image[] = {1};
  EXPECT_EQ(firmware.updateFirmware(nullptr, "t", 1, image, 0), -52005);
  EXPECT_EQ(firmware.updateFirmware("KEL0", nullptr, 1, image, 0), -52005);
  EXPECT_EQ(firmware.updateFirmware("KEL0", "t", 1, nullptr, 0), -52005);
  EXPECT_EQ(firmware.updateFirmware("KEL0", "t", 0, image, 0), -52005);
  std::int32_t percent = 0;
  std::uint8_t flag = 0;
  EXPECT_EQ(firmware.getFirmwareUpdateProgress(nullptr, &percent, &flag, &flag), -52005);
  EXPECT_EQ(firmware.getFirmwareUpdateProgress("KEL0", nullptr, &flag, &flag), -52005);
  EXPECT_EQ(firmware.getFirmwareUpdateProgress("KEL0", &percent, nullptr, &flag), -52005);
  EXPECT_EQ(firmware.getFirmwareUpdateProgress("KEL0", &percent, &flag, nullptr), -52005);
}

// ---- the relocation stand-in outside a simulated machine ------------------------------------

TEST(RelocationOutsideAMachine, NothingIsRelocatedSoTheDataRootStaysUsrShare) {
  // The stand-in is found by its SONAME here, so the process table really asked it.
  void* handle = dlopen(apal::stdpath::kRelocationLibrary, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const auto relocate =
      reinterpret_cast<apal::stdpath::tGetRelocatedDir>(dlsym(handle, "get_relocated_dir"));
  ASSERT_NE(relocate, nullptr);
  char buffer[255];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(relocate("datarootdir", buffer, sizeof buffer), 0);
  EXPECT_EQ(relocate("datadir", buffer, sizeof buffer), 0);
  EXPECT_EQ(buffer[0], '#') << "nothing written";
  EXPECT_EQ(relocate(nullptr, buffer, sizeof buffer), 0);
  EXPECT_EQ(relocate("datarootdir", nullptr, 255), 0);
  dlclose(handle);
  EXPECT_EQ(apal::getDataRootDirectory(), "/usr/share");
}

}  // namespace
