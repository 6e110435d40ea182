// The object template (identity table, QueryInterface, reference counts, destruction) and the
// expert object built on it.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "source/ExpertObject.h"
#include "sysapicpp/com/CQOComObject.h"
#include "sysapicpp/com/guids.h"

extern "C" HRESULT createVorlixAtomicSysApiExpert(void** expert);

namespace {

// ---- Test interfaces and classes ------------------------------------------------------------
const GUID IID_ITestA = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
const GUID IID_ITestB = {
    0xA1A2A3A4, 0xB1B2, 0xC1C2, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8}};

class ITestA : public IUnknown {
 public:
  virtual int whoA() = 0;

 protected:
  ~ITestA() = default;
};
class ITestB : public IUnknown {
 public:
  virtual int whoB() = 0;

 protected:
  ~ITestB() = default;
};

struct Flags {
  int destroyed = 0;
  int finalReleases = 0;
  ULONG addRefInCleanup = 0;
  ULONG releaseInCleanup = 0;
};

// One interface, non-virtual root.
class CSingle : public CQOComObjectRootEx<CQOComMultiThreadModelNoCS>, public ITestA {
 public:
  explicit CSingle(Flags* f) : flags_(f) {}
  ~CSingle() { ++flags_->destroyed; }
  int whoA() override { return 1; }
  void forceCount(std::int32_t c) { m_dwRef = c; }
  static std::array<CQOInterfaceEntry, 2> qoBuildInterfaceTable(CSingle* self) noexcept {
    return {{qoInterfaceEntry<ITestA>(IID_ITestA, self), kQoInterfaceTableEnd}};
  }

 private:
  Flags* flags_;
};
using tSingle = CQOComObject<CSingle>;

// Two interfaces on separate sub-objects sharing a virtual root.
class CPair : public virtual CQOComObjectRootEx<CQOComMultiThreadModelNoCS>,
              public ITestA,
              public ITestB {
 public:
  explicit CPair(Flags* f) : flags_(f) {}
  ~CPair() { ++flags_->destroyed; }
  int whoA() override { return 10; }
  int whoB() override { return 20; }
  static std::array<CQOInterfaceEntry, 3> qoBuildInterfaceTable(CPair* self) noexcept {
    return {{qoInterfaceEntry<ITestA>(IID_ITestA, self), qoInterfaceEntry<ITestB>(IID_ITestB, self),
             kQoInterfaceTableEnd}};
  }

 private:
  Flags* flags_;
};
using tPair = CQOComObject<CPair>;

// Clean-up code that calls back into the object.
template <bool Balanced>
class CCallsBack : public CQOComObjectRootEx<CQOComMultiThreadModelNoCS>, public ITestA {
 public:
  explicit CCallsBack(Flags* f) : flags_(f) {}
  ~CCallsBack() { ++flags_->destroyed; }
  int whoA() override { return 2; }
  void FinalRelease() {
    ++flags_->finalReleases;
    if (Balanced) flags_->addRefInCleanup = AddRef();
    flags_->releaseInCleanup = Release();
  }
  static std::array<CQOInterfaceEntry, 2> qoBuildInterfaceTable(CCallsBack* self) noexcept {
    return {{qoInterfaceEntry<ITestA>(IID_ITestA, self), kQoInterfaceTableEnd}};
  }

 private:
  Flags* flags_;
};

// A table without rows.
class CNoRows : public CQOComObjectRootEx<CQOComMultiThreadModelNoCS>, public ITestA {
 public:
  int whoA() override { return 3; }
  static std::array<CQOInterfaceEntry, 1> qoBuildInterfaceTable(CNoRows*) noexcept {
    return {{kQoInterfaceTableEnd}};
  }
};

// Creation that reports a failure code.
class CFailsConstruct : public CQOComObjectRootEx<CQOComMultiThreadModelNoCS>, public ITestA {
 public:
  CFailsConstruct(Flags* f, HRESULT hr) : flags_(f), hr_(hr) {}
  ~CFailsConstruct() { ++flags_->destroyed; }
  HRESULT FinalConstruct() {
    if (hr_ == 12345) throw std::runtime_error("construction failed");
    return hr_;
  }
  int whoA() override { return 4; }
  static std::array<CQOInterfaceEntry, 2> qoBuildInterfaceTable(CFailsConstruct* self) noexcept {
    return {{qoInterfaceEntry<ITestA>(IID_ITestA, self), kQoInterfaceTableEnd}};
  }

 private:
  Flags* flags_;
  HRESULT hr_;
};

template <class Obj, class... Args>
Obj* make(Args&&... args) {
  Obj* o = nullptr;
  EXPECT_EQ(Obj::CreateInstance(&o, std::forward<Args>(args)...), S_OK);
  return o;
}

GUID flipped(const GUID& g, int bytePos) {
  GUID r = g;
  reinterpret_cast<std::uint8_t*>(&r)[bytePos] ^= 0x01;
  return r;
}

// ---- Creation -------------------------------------------------------------------------------
TEST(ComObjectCreation, StartsAtZeroAndFirstAddRefGivesOne) {
  Flags f;
  tSingle* o = make<tSingle>(&f);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->refCount(), 0);
  EXPECT_EQ(o->AddRef(), 1u);
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.destroyed, 1);
}

TEST(ComObjectCreation, NullOutIsRefused) {
  EXPECT_EQ(tSingle::CreateInstance(nullptr, nullptr), E_POINTER);
}

TEST(ComObjectCreation, FailingFinalConstructReturnsItsCodeAndFreesTheObject) {
  Flags f;
  CQOComObject<CFailsConstruct>* o = reinterpret_cast<CQOComObject<CFailsConstruct>*>(0x1);
  EXPECT_EQ(CQOComObject<CFailsConstruct>::CreateInstance(&o, &f, E_INVALIDARG), E_INVALIDARG);
  EXPECT_EQ(o, nullptr);
  EXPECT_EQ(f.destroyed, 1);
}

TEST(ComObjectCreation, ThrowingFinalConstructFreesTheObjectAndPropagates) {
  Flags f;
  CQOComObject<CFailsConstruct>* o = nullptr;
  EXPECT_THROW(CQOComObject<CFailsConstruct>::CreateInstance(&o, &f, 12345), std::runtime_error);
  EXPECT_EQ(o, nullptr);
  EXPECT_EQ(f.destroyed, 1);
}

// ---- Reference counts -----------------------------------------------------------------------
TEST(ComObjectRefCount, AddRefAndReleaseCountAndLastReleaseDestroysOnce) {
  Flags f;
  tSingle* o = make<tSingle>(&f);
  EXPECT_EQ(o->AddRef(), 1u);
  EXPECT_EQ(o->AddRef(), 2u);
  EXPECT_EQ(o->Release(), 1u);
  EXPECT_EQ(f.destroyed, 0);
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.destroyed, 1);
}

TEST(ComObjectRefCount, ReleaseBelowOneChangesNothing) {
  Flags f;
  tSingle* o = make<tSingle>(&f);  // count 0
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.destroyed, 0);
  EXPECT_EQ(o->refCount(), 0);
  EXPECT_EQ(o->AddRef(), 1u);  // still a working object
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.destroyed, 1);
}

TEST(ComObjectRefCount, AddRefAtMinusOneNeitherWrapsNorResurrects) {
  Flags f;
  tSingle* o = make<tSingle>(&f);
  o->forceCount(-1);
  EXPECT_EQ(o->AddRef(), 0xFFFFFFFFu);
  EXPECT_EQ(o->refCount(), -1);
  EXPECT_EQ(o->Release(), 0xFFFFFFFFu);
  EXPECT_EQ(o->refCount(), -1);
  EXPECT_EQ(f.destroyed, 0);
  o->forceCount(1);
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.destroyed, 1);
}

TEST(ComObjectRefCount, AddRefAtMaximumDoesNotWrap) {
  Flags f;
  tSingle* o = make<tSingle>(&f);
  o->forceCount(0x7FFFFFFF);
  EXPECT_EQ(o->AddRef(), 0x7FFFFFFFu);
  EXPECT_EQ(o->refCount(), 0x7FFFFFFF);
  o->forceCount(1);
  o->Release();
  EXPECT_EQ(f.destroyed, 1);
}

TEST(ComObjectRefCount, ReleaseAfterDestructionStartedIsNotASecondDestruction) {
  // Balanced AddRef/Release in clean-up moves the count 1 -> 2 -> 1 and does not re-enter.
  Flags f;
  auto* o = make<CQOComObject<CCallsBack<true>>>(&f);
  o->AddRef();
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.finalReleases, 1);
  EXPECT_EQ(f.destroyed, 1);
  EXPECT_EQ(f.addRefInCleanup, 2u);
  EXPECT_EQ(f.releaseInCleanup, 1u);
}

TEST(ComObjectRefCount, UnbalancedReleaseInCleanupIsRefused) {
  Flags f;
  auto* o = make<CQOComObject<CCallsBack<false>>>(&f);
  o->AddRef();
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.finalReleases, 1);
  EXPECT_EQ(f.destroyed, 1);
  EXPECT_EQ(f.releaseInCleanup, 1u);
}

TEST(ComObjectRefCount, ConcurrentPairsEndAtTheStartingCount) {
  Flags f;
  tPair* o = make<tPair>(&f);
  o->AddRef();
  ITestB* b = nullptr;
  ASSERT_EQ(o->QueryInterface(&IID_ITestB, reinterpret_cast<void**>(&b)), S_OK);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        IUnknown* via = (t % 2 == 0) ? static_cast<IUnknown*>(static_cast<ITestA*>(o))
                                     : static_cast<IUnknown*>(b);
        via->AddRef();
        via->Release();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(o->refCount(), 2);
  EXPECT_EQ(b->Release(), 1u);
  EXPECT_EQ(f.destroyed, 0);
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.destroyed, 1);
}

// ---- QueryInterface on test classes ---------------------------------------------------------
TEST(ComObjectQueryInterface, OffsetRowsReachTheirSubObjectsAndShareTheCount) {
  Flags f;
  tPair* o = make<tPair>(&f);
  o->AddRef();
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(o->QueryInterface(&IID_ITestA, &a), S_OK);
  ASSERT_EQ(o->QueryInterface(&IID_ITestB, &b), S_OK);
  EXPECT_EQ(a, static_cast<void*>(static_cast<ITestA*>(o)));
  EXPECT_EQ(b, static_cast<void*>(static_cast<ITestB*>(o)));
  EXPECT_NE(a, b);
  EXPECT_EQ(static_cast<ITestA*>(a)->whoA(), 10);
  EXPECT_EQ(static_cast<ITestB*>(b)->whoB(), 20);
  EXPECT_EQ(o->refCount(), 3);
  // Asking from the second sub-object answers the same table.
  void* a2 = nullptr;
  ASSERT_EQ(static_cast<ITestB*>(b)->QueryInterface(&IID_ITestA, &a2), S_OK);
  EXPECT_EQ(a2, a);
  EXPECT_EQ(static_cast<ITestB*>(b)->Release(), 3u);
  EXPECT_EQ(static_cast<ITestA*>(a)->Release(), 2u);
  EXPECT_EQ(static_cast<ITestA*>(a2)->Release(), 1u);
  EXPECT_EQ(o->Release(), 0u);
  EXPECT_EQ(f.destroyed, 1);
}

TEST(ComObjectQueryInterface, IUnknownInBothByteOrdersAnswersTheFirstRow) {
  Flags f;
  tPair* o = make<tPair>(&f);
  o->AddRef();
  GUID swapped = IID_IUnknown;
  swapped.Data4[0] = 0x00;
  swapped.Data4[1] = 0xC0;
  for (const GUID* id : {&IID_IUnknown, static_cast<const GUID*>(&swapped)}) {
    void* p = nullptr;
    ASSERT_EQ(static_cast<ITestB*>(o)->QueryInterface(id, &p), S_OK);
    EXPECT_EQ(p, static_cast<void*>(static_cast<ITestA*>(o)));
    static_cast<IUnknown*>(p)->Release();
  }
  EXPECT_EQ(o->refCount(), 1);
  o->Release();
}

TEST(ComObjectQueryInterface, NearMissesOfIUnknownAreRefused) {
  Flags f;
  tSingle* o = make<tSingle>(&f);
  o->AddRef();
  GUID bothC0 = IID_IUnknown;
  bothC0.Data4[1] = 0xC0;
  GUID neither = IID_IUnknown;
  neither.Data4[0] = 0x00;
  for (const GUID& id : {bothC0, neither}) {
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(o->QueryInterface(&id, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
  for (int pos = 0; pos < 16; ++pos) {
    const GUID id = flipped(IID_IUnknown, pos);
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(o->QueryInterface(&id, &p), E_NOINTERFACE) << "byte " << pos;
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(o->refCount(), 1);
  o->Release();
}

TEST(ComObjectQueryInterface, NullArgumentsAreRefusedWithoutCrashing) {
  Flags f;
  tSingle* o = make<tSingle>(&f);
  o->AddRef();
  EXPECT_EQ(o->QueryInterface(&IID_ITestA, nullptr), E_POINTER);
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(o->QueryInterface(nullptr, &p), E_POINTER);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(o->refCount(), 1);
  o->Release();
}

TEST(ComObjectQueryInterface, ClassWithoutRowsAnswersNothing) {
  CQOComObject<CNoRows>* o = make<CQOComObject<CNoRows>>();
  o->AddRef();
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(o->QueryInterface(&IID_IUnknown, &p), E_UNEXPECTED);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(o->refCount(), 1);
  o->Release();
}

// ---- The expert object ----------------------------------------------------------------------
struct ExpertRef {
  ImxSysExpert2* primary = nullptr;
  ExpertRef() {
    void* p = nullptr;
    EXPECT_EQ(createVorlixAtomicSysApiExpert(&p), S_OK);
    primary = static_cast<ImxSysExpert2*>(p);
  }
  std::int32_t count() const { return static_cast<tVorlixExpertObject*>(primary)->refCount(); }
};

TEST(ExpertObjectIdentities, EveryIdentityAnswersItsSubObjectOnOneCount) {
  ExpertRef e;
  ASSERT_NE(e.primary, nullptr);
  auto* base = reinterpret_cast<char*>(e.primary);
  const struct {
    const GUID* iid;
    std::ptrdiff_t offset;
  } expected[] = {{&IID_IUnknown, 0},
                  {&IID_ImxSysExpertInfo, 0},
                  {&IID_ImxSysExpert, 0},
                  {&IID_ImxSysExpert2, 0},
                  {&IID_ImxSysExpertPlugPlay, 8},
                  {&IID_ImxSysExpertDiagnostic, 16},
                  {&IID_ImxSysExpertFirmware, 24}};
  std::int32_t count = 1;
  std::vector<IUnknown*> got;
  for (const auto& row : expected) {
    void* p = nullptr;
    ASSERT_EQ(e.primary->QueryInterface(row.iid, &p), S_OK);
    EXPECT_EQ(reinterpret_cast<char*>(p) - base, row.offset);
    EXPECT_EQ(e.count(), ++count);
    got.push_back(static_cast<IUnknown*>(p));
  }
  // Each sub-object answers every identity too, and releases lower the one count.
  for (IUnknown* sub : got) {
    void* p = nullptr;
    ASSERT_EQ(sub->QueryInterface(&IID_ImxSysExpertFirmware, &p), S_OK);
    EXPECT_EQ(reinterpret_cast<char*>(p) - base, 24);
    static_cast<IUnknown*>(p)->Release();
  }
  for (IUnknown* sub : got) EXPECT_EQ(sub->Release(), static_cast<ULONG>(--count));
  EXPECT_EQ(e.primary->Release(), 0u);
}

TEST(ExpertObjectIdentities, EverySingleByteDifferenceIsRefused) {
  ExpertRef e;
  for (const GUID* id :
       {&IID_ImxSysExpertInfo, &IID_ImxSysExpert, &IID_ImxSysExpert2, &IID_ImxSysExpertPlugPlay,
        &IID_ImxSysExpertDiagnostic, &IID_ImxSysExpertFirmware}) {
    for (int pos = 0; pos < 16; ++pos) {
      const GUID near = flipped(*id, pos);
      void* p = reinterpret_cast<void*>(0x1);
      EXPECT_EQ(e.primary->QueryInterface(&near, &p), E_NOINTERFACE) << "byte " << pos;
      EXPECT_EQ(p, nullptr);
    }
  }
  // Identities of other objects are not the expert's.
  void* p = nullptr;
  EXPECT_EQ(e.primary->QueryInterface(&IID_ImxSysPropertyBag4, &p), E_NOINTERFACE);
  EXPECT_EQ(e.count(), 1);
  e.primary->Release();
}

TEST(ExpertObjectLayout, HandlerFollowsTheInterfacesAndPointsBack) {
  ExpertRef e;
  auto* obj = static_cast<tVorlixExpertObject*>(e.primary);
  EXPECT_EQ(
      reinterpret_cast<char*>(&obj->notificationHandler()) - reinterpret_cast<char*>(e.primary),
      32);
  EXPECT_EQ(obj->notificationHandler().expert(), static_cast<ImxSysExpert*>(e.primary));
  EXPECT_FALSE(obj->notificationHandler().hasSink());
  EXPECT_EQ(obj->delayedExpert(), nullptr);
  e.primary->Release();
}

TEST(ExpertEntry, NullArgumentIsRefused) {
  EXPECT_EQ(createVorlixAtomicSysApiExpert(nullptr), E_POINTER);
}

// ---- Clean-up order of the expert object ----------------------------------------------------
std::vector<std::string> gCleanupLog;

class RecordingExpert : public sysapicpp::Expert {
 public:
  explicit RecordingExpert(IUnknown* owner) : owner_(owner) {}
  ~RecordingExpert() override {
    // A device expert may hold and drop references to the object that owns it.
    owner_->AddRef();
    owner_->Release();
    gCleanupLog.push_back("expert deleted");
  }
  GUID getExpertGuid() override { return GUID{}; }
  std::string getExpertName() override { return {}; }
  std::string getExpertVersion() override { return {}; }
  std::string getExpertIdentifier() override { return {}; }
  void getItemNames(std::vector<std::string>&) override {}
  void getAllPropertyBags(std::vector<ImxSysPropertyBag*>&) override {}
  ImxSysPropertyBag* getPropertyBag(const std::string&) override { return nullptr; }
  ImxSysPropertyBag* getPropertyBagWithRefresh(const std::string&, std::vector<std::uint32_t>&,
                                               bool) override {
    return nullptr;
  }
  void setOption(std::uint32_t) override {}
  void commitPropertyBag(const std::string&, const std::string&, std::int32_t,
                         std::string&) override {}
  void extendedOperation1(const std::string&, sysapicpp::PropertyBagHandle&,
                          std::set<std::uint32_t>&, std::string&) override {}
  void extendedOperation2(const std::string&, sysapicpp::PropertyBagHandle&, std::int32_t&,
                          std::string&) override {}
  void diagnosticOperation1(const std::string&, std::int32_t) override {}
  void runDiagnostic(const std::string&, std::int32_t, std::string&) override {}
  void diagnosticOperation3(const std::string&, std::string&) override {}
  std::string beginFirmwareUpdate(const std::string&, bool, std::int32_t) override { return {}; }
  void updateFirmware(const std::string&, const std::string&, bool, const std::string&,
                      sysapicpp::BinaryImageHandle&) override {}
  void firmwareOperation3(const std::string&, const std::string&, bool,
                          const std::string&) override {}
  void firmwareOperation4(const std::string&, const std::string&) override {}
  void getFirmwareUpdateStatus(const std::string&, std::int32_t&, std::int32_t&,
                               std::string&) override {}
  HRESULT translateException(std::string&) override { return E_FAIL; }

 private:
  IUnknown* owner_;
};

class TestAdapter : public sysapicpp::ExpertAdapter<RecordingExpert> {
 public:
  void adopt(RecordingExpert* e) { delayedExpert_ = e; }
};

class RecordingSink final : public IUnknown {
 public:
  HRESULT QueryInterface(const GUID*, void** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG Release() override {
    gCleanupLog.push_back("sink released");
    return static_cast<ULONG>(--refs);
  }
  int refs = 1;
};

TEST(ExpertObjectCleanup, DelayedExpertGoesFirstThenTheSink) {
  gCleanupLog.clear();
  RecordingSink sink;
  auto* obj = make<CQOComObject<TestAdapter>>();
  obj->AddRef();
  obj->notificationHandler().setSink(&sink);
  EXPECT_EQ(sink.refs, 2);
  obj->adopt(new RecordingExpert(static_cast<ImxSysExpert2*>(obj)));
  EXPECT_EQ(static_cast<ImxSysExpertFirmware*>(obj)->Release(), 0u);
  EXPECT_EQ(gCleanupLog, (std::vector<std::string>{"expert deleted", "sink released"}));
  EXPECT_EQ(sink.refs, 1);
}

TEST(NotificationHandlerSink, ReplacingAndClearingReleaseTheHeldReference) {
  RecordingSink a;
  RecordingSink b;
  {
    sysapicpp::SyncNotificationHandler h(nullptr);
    h.setSink(&a);
    EXPECT_EQ(a.refs, 2);
    h.setSink(&a);  // the same sink again keeps exactly one reference
    EXPECT_EQ(a.refs, 2);
    h.setSink(&b);
    EXPECT_EQ(a.refs, 1);
    EXPECT_EQ(b.refs, 2);
    h.clearSink();
    EXPECT_EQ(b.refs, 1);
    EXPECT_FALSE(h.hasSink());
    h.clearSink();  // nothing registered: nothing released
    EXPECT_EQ(b.refs, 1);
    h.setSink(&a);
  }
  EXPECT_EQ(a.refs, 1);  // the destructor released it
}

}  // namespace
