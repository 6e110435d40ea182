// The expert factory and object model as a host sees them: the built shared library loaded with
// dlopen, the factory found with dlsym, every call made through the host's function tables.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "qovorlixatomicsae/sysapi_host.h"
#include "tests/common/LibraryUnderTest.h"

namespace {

using namespace hostabi;

class ExpertEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.load()) << lib_.error();
    create_ = lib_.expertFactory();
    ASSERT_NE(create_, nullptr);
  }
  // Creates an expert; the caller owns one reference.
  ImxSysExpert2* create() {
    void* p = nullptr;
    EXPECT_EQ(create_(&p), kS_OK);
    return static_cast<ImxSysExpert2*>(p);
  }
  // Count as seen by an AddRef/Release pair.
  static ULONG countOf(void* itf) {
    const ULONG raised = addRef(itf);
    release(itf);
    return raised - 1;
  }
  testsupport::LibraryUnderTest lib_;
  CreateExpertFn create_ = nullptr;
};

TEST_F(ExpertEntry, NullOutArgumentGivesEPointer) { EXPECT_EQ(create_(nullptr), kE_POINTER); }

TEST_F(ExpertEntry, CreatedExpertHoldsOneReference) {
  ImxSysExpert2* e = create();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->vtbl->AddRef(e), 2u);
  EXPECT_EQ(e->vtbl->Release(e), 1u);
  EXPECT_EQ(e->vtbl->Release(e), 0u);
}

TEST_F(ExpertEntry, TwoExpertsAreTwoObjects) {
  ImxSysExpert2* a = create();
  ImxSysExpert2* b = create();
  EXPECT_NE(a, b);
  EXPECT_EQ(countOf(a), 1u);
  release(a);
  EXPECT_EQ(countOf(b), 1u);
  release(b);
}

TEST_F(ExpertEntry, EveryInterfaceFromEverySubObject) {
  ImxSysExpert2* e = create();
  ASSERT_NE(e, nullptr);
  // First collect one pointer per identity from the primary.
  std::vector<void*> subs;
  for (const NamedIdentity& id : kExpertIdentities) {
    void* p = nullptr;
    ASSERT_EQ(queryInterface(e, *id.iid, &p), kS_OK) << id.name;
    subs.push_back(p);
  }
  // IUnknown, Info, Expert, Expert2 are the primary; the three others are distinct from it and
  // from each other.
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(subs[i], static_cast<void*>(e)) << kExpertIdentities[i].name;
  EXPECT_NE(subs[4], subs[5]);
  EXPECT_NE(subs[5], subs[6]);
  EXPECT_NE(subs[4], subs[6]);
  for (int i = 4; i < 7; ++i) EXPECT_NE(subs[i], static_cast<void*>(e));
  EXPECT_EQ(countOf(e), 8u);
  // From each sub-object, every identity answers the same pointers, on the same count.
  for (void* from : subs) {
    for (std::size_t k = 0; k < std::size(kExpertIdentities); ++k) {
      void* p = nullptr;
      ASSERT_EQ(queryInterface(from, *kExpertIdentities[k].iid, &p), kS_OK);
      EXPECT_EQ(p, subs[k]);
      EXPECT_EQ(countOf(from), 9u);
      release(p);
    }
  }
  // Releasing through any sub-object lowers the one count.
  ULONG expected = 8;
  for (void* s : subs) EXPECT_EQ(release(s), --expected);
  EXPECT_EQ(release(e), 0u);
}

TEST_F(ExpertEntry, IUnknownSwappedGroupAndUnknownIdentities) {
  ImxSysExpert2* e = create();
  Guid swapped = kIID_IUnknown;
  swapped.data4[0] = 0x00;
  swapped.data4[1] = 0xC0;
  void* p = nullptr;
  ASSERT_EQ(queryInterface(e, swapped, &p), kS_OK);
  EXPECT_EQ(p, static_cast<void*>(e));
  release(p);
  Guid near = kIID_ImxSysExpertFirmware;
  near.data4[7] ^= 0x80;
  p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(queryInterface(e, near, &p), kE_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(queryInterface(e, kIID_IUnknown, nullptr), kE_POINTER);
  p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(e->vtbl->QueryInterface(e, nullptr, &p), kE_POINTER);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(countOf(e), 1u);
  release(e);
}

TEST_F(ExpertEntry, ConcurrentAddRefReleaseEndsAtTheRightCountAndDestroysOnce) {
  ImxSysExpert2* e = create();
  std::vector<void*> subs;
  for (const NamedIdentity& id : kExpertIdentities) {
    void* p = nullptr;
    ASSERT_EQ(queryInterface(e, *id.iid, &p), kS_OK);
    subs.push_back(p);
  }
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  std::atomic<int> zeros{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      pthread_setname_np(pthread_self(), "qo-e2e-refs");
      void* via = subs[static_cast<std::size_t>(t) % subs.size()];
      for (int i = 0; i < kRounds; ++i) {
        addRef(via);
        addRef(via);
        if (release(via) == 0) zeros.fetch_add(1);
        if (release(via) == 0) zeros.fetch_add(1);
      }
      // Each thread also drops one of the interface references it was given.
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(zeros.load(), 0);
  EXPECT_EQ(countOf(e), 1u + subs.size());
  // Release all references concurrently; exactly one call reaches zero.
  std::vector<std::thread> releasers;
  for (void* s : subs) {
    releasers.emplace_back([&, s] {
      pthread_setname_np(pthread_self(), "qo-e2e-release");
      if (release(s) == 0) zeros.fetch_add(1);
    });
  }
  for (auto& th : releasers) th.join();
  if (release(e) == 0) zeros.fetch_add(1);
  EXPECT_EQ(zeros.load(), 1);
}

TEST_F(ExpertEntry, OperationsAnswerWithoutCrashing) {
  // Entries at the ends of each table are reachable through the host's tables; null arguments are
  // refused (never dereferenced).
  ImxSysExpert2* e = create();
  void* pp = nullptr;
  void* dg = nullptr;
  void* fw = nullptr;
  ASSERT_EQ(queryInterface(e, kIID_ImxSysExpertPlugPlay, &pp), kS_OK);
  ASSERT_EQ(queryInterface(e, kIID_ImxSysExpertDiagnostic, &dg), kS_OK);
  ASSERT_EQ(queryInterface(e, kIID_ImxSysExpertFirmware, &fw), kS_OK);
  auto* plug = static_cast<ImxSysExpertPlugPlay*>(pp);
  auto* diag = static_cast<ImxSysExpertDiagnostic*>(dg);
  auto* firm = static_cast<ImxSysExpertFirmware*>(fw);
  EXPECT_EQ(plug->vtbl->QueryInterface(plug, &kIID_ImxSysExpertPlugPlay, nullptr), kE_POINTER);
  EXPECT_LT(diag->vtbl->DiagnosticOperation1(diag, nullptr, 0), 0);
  EXPECT_LT(diag->vtbl->RunDiagnostic(diag, nullptr, 0, nullptr), 0);
  EXPECT_LT(firm->vtbl->GetFirmwareUpdateStatus(firm, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_LT(e->vtbl->ExtendedOperation2(e, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(countOf(e), 4u);
  release(pp);
  release(dg);
  release(fw);
  EXPECT_EQ(release(e), 0u);
}

TEST_F(ExpertEntry, InternalNamesAreNotVisible) {
  for (const char* name :
       {"qosdbg_printf", "_ZN7CqoBStr5allocEPKw", "_ZN7CqoBStr4freeEPw", "_ZN5CqoCSC1Ev",
        "IID_ImxSysExpert2", "CLSID_VorlixSysApiExpert", "_Z20qoIsIUnknownIdentityRK5_GUID"}) {
    EXPECT_EQ(lib_.symbol(name), nullptr) << name;
  }
}

}  // namespace
