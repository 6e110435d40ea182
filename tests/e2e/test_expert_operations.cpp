// The expert's operations as a host reaches them in the built library: identity after Initialize,
// Initialize and Shutdown in any order, operations before Initialize and after Shutdown, bad
// arguments, and board operations without the board family's platform libraries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qovorlixatomicsae/sysapi_host.h"
#include "tests/common/HostStrings.h"
#include "tests/common/LibraryUnderTest.h"
#include "tools/common/host_client.h"

namespace {

using namespace hostabi;
using testsupport::takeWide;

class ExpertOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.load()) << lib_.error();
    auto create = lib_.expertFactory();
    ASSERT_NE(create, nullptr);
    void* p = nullptr;
    ASSERT_EQ(create(&p), kS_OK);
    e_ = static_cast<ImxSysExpert2*>(p);
    ASSERT_EQ(queryInterface(e_, kIID_ImxSysExpertDiagnostic, &p), kS_OK);
    diag_ = static_cast<ImxSysExpertDiagnostic*>(p);
    release(diag_);  // the expert's own reference keeps it
  }
  void TearDown() override {
    if (e_ != nullptr) {
      EXPECT_EQ(release(e_), 0u);
    }
  }
  std::wstring version() {
    wchar_t* v = nullptr;
    const HRESULT hr = e_->vtbl->GetExpertVersion(e_, &v);
    return hr == kS_OK ? takeWide(v) : L"error";
  }

  testsupport::LibraryUnderTest lib_;
  ImxSysExpert2* e_ = nullptr;
  ImxSysExpertDiagnostic* diag_ = nullptr;
};

TEST_F(ExpertOperations, IdentityAfterInitialize) {
  ASSERT_EQ(e_->vtbl->Initialize(e_), kS_OK);
  Guid g{};
  ASSERT_EQ(e_->vtbl->GetExpertGuid(e_, &g), kS_OK);
  EXPECT_EQ(std::memcmp(&g, &kCLSID_VorlixSysApiExpert, sizeof g), 0);
  wchar_t* s = nullptr;
  ASSERT_EQ(e_->vtbl->GetExpertName(e_, &s), kS_OK);
  EXPECT_EQ(takeWide(s), L"qovorlix2");
  EXPECT_EQ(version(), L"23.3.0");
  ASSERT_EQ(e_->vtbl->GetExpertIdentifier(e_, &s), kS_OK);
  EXPECT_EQ(takeWide(s), L"qovorlix2");
  EXPECT_EQ(e_->vtbl->Shutdown(e_), kS_OK);
}

TEST_F(ExpertOperations, BeforeInitializeAndAfterShutdownAnswerUnexpected) {
  HostText n(L"KEL0");
  EXPECT_EQ(version(), L"error");
  Guid g{};
  EXPECT_EQ(e_->vtbl->GetExpertGuid(e_, &g), kE_UNEXPECTED);
  EXPECT_EQ(diag_->vtbl->DiagnosticOperation1(diag_, n, 0), kE_UNEXPECTED);
  EXPECT_EQ(e_->vtbl->SetOption(e_, 1), kE_UNEXPECTED);
  ASSERT_EQ(e_->vtbl->Initialize(e_), kS_OK);
  ASSERT_EQ(e_->vtbl->Shutdown(e_), kS_OK);
  EXPECT_EQ(diag_->vtbl->DiagnosticOperation1(diag_, n, 0), kE_UNEXPECTED);
  EXPECT_EQ(e_->vtbl->GetExpertGuid(e_, &g), kE_UNEXPECTED);
}

TEST_F(ExpertOperations, InitializeAndShutdownInAnyOrder) {
  EXPECT_EQ(e_->vtbl->Shutdown(e_), kS_OK);
  EXPECT_EQ(e_->vtbl->Initialize(e_), kS_OK);
  EXPECT_EQ(e_->vtbl->Initialize(e_), kS_OK);
  EXPECT_EQ(version(), L"23.3.0");
  EXPECT_EQ(e_->vtbl->Shutdown(e_), kS_OK);
  EXPECT_EQ(e_->vtbl->Shutdown(e_), kS_OK);
  EXPECT_EQ(e_->vtbl->Initialize(e_), kS_OK);
  EXPECT_EQ(version(), L"23.3.0");
  // Released while initialized: the final Release cleans up.
}

TEST_F(ExpertOperations, BadArguments) {
  ASSERT_EQ(e_->vtbl->Initialize(e_), kS_OK);
  HostText bad(std::wstring(1, static_cast<wchar_t>(0xDC00)));
  HostText n(L"KEL0");
  void* out = nullptr;
  EXPECT_EQ(e_->vtbl->GetExpertName(e_, nullptr), kE_POINTER);
  EXPECT_EQ(e_->vtbl->GetItemNames(e_, nullptr), kE_POINTER);
  EXPECT_EQ(e_->vtbl->GetPropertyBag(e_, nullptr, &out), kE_POINTER);
  EXPECT_EQ(e_->vtbl->GetPropertyBag(e_, n, nullptr), kE_POINTER);
  EXPECT_EQ(e_->vtbl->GetPropertyBag(e_, bad, &out), kE_INVALIDARG);
  EXPECT_EQ(diag_->vtbl->RunDiagnostic(diag_, bad, 0, nullptr), kE_INVALIDARG);
  EXPECT_EQ(out, nullptr);
}

// Outside a machine with the board family's platform libraries (these tests give the library no
// path to the stand-ins), the device expert cannot start: every board operation answers that the
// enumeration library is missing, leaves its out-values alone and tries again next time; the
// expert object stays usable.
TEST_F(ExpertOperations, WithoutThePlatformLibrariesBoardOperationsFailCleanly) {
  constexpr HRESULT kModuleNotFound = static_cast<HRESULT>(0x8007007Eu);
  ASSERT_EQ(e_->vtbl->Initialize(e_), kS_OK);
  for (int attempt = 0; attempt < 2; ++attempt) {
    void* names = nullptr;
    EXPECT_EQ(e_->vtbl->GetItemNames(e_, &names), kModuleNotFound);
    EXPECT_EQ(names, nullptr);
    HostText n(L"KEL0");
    wchar_t* text = nullptr;
    EXPECT_EQ(diag_->vtbl->RunDiagnostic(diag_, n, 0, &text), kModuleNotFound);
    EXPECT_EQ(takeWide(text), L"");  // the error text is allocated and empty
  }
  EXPECT_EQ(e_->vtbl->SetOption(e_, 2), kS_OK);
  EXPECT_EQ(version(), L"23.3.0");
  EXPECT_EQ(e_->vtbl->Shutdown(e_), kS_OK);
}

}  // namespace
