// The expert adapter as a host drives it: a scripted device expert behind the
// DelayedExpert seam, host strings made the way a host makes them, and host objects (sink,
// collector, binary image, an object that is not a bag) implemented in the test.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>
#include <chrono>
#include <thread>

#include "qo/dsc/exception.h"
#include "qo/err/Exception.h"

#include "qovorlixatomicsae/sysapi_host.h"
#include "source/SystemAPIExpertInfo.h"
#include "sysapicpp/DelayedExpert.h"
#include "sysapicpp/ExceptionTranslation.h"
#include "sysapicpp/ExpertAdapter.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "tests/common/HostStrings.h"
#include "tools/common/host_client.h"

namespace {

// What the scripted expert does; reset by every test.
struct Script {
  std::atomic<int> created{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> calls{0};  // forwarded operations reaching the device expert
  std::atomic<std::uint32_t> optionAtCreation{0xFFFFFFFFu};
  std::atomic<std::uint32_t> lastOption{0xFFFFFFFFu};
  std::atomic<int> creationDelayMs{0};
  std::atomic<bool> failCreation{false};
  std::mutex lock;
  std::vector<int> diagnosticModes;
  // Raised (when set) by every forwarded operation before it does its work.
  std::function<void()> fail;
  std::vector<std::string> itemNames;
  std::function<void(std::vector<ImxSysPropertyBag*>&)> allBags;
  std::function<ImxSysPropertyBag*(const std::string&, std::vector<std::uint32_t>&, bool)> bag;
  std::function<void(const std::string&, int, std::string&)> diagnostic;
  std::function<void(sysapicpp::PropertyBagHandle&, std::set<std::uint32_t>&, std::string&)>
      extended1;
  std::function<void(sysapicpp::BinaryImageHandle&)> firmware;
  std::string text;  // text answered by text-returning operations
  std::string lastName, lastText1, lastText2;
  bool lastFlag = false;
  std::int32_t lastValue = 0;
  std::function<HRESULT(std::string&)> translate;  // default: the device-layer mapping
};

Script* gScript = nullptr;
Script& script() { return *gScript; }

class ScriptedExpert : public sysapicpp::Expert {
 public:
  explicit ScriptedExpert(sysapicpp::SyncNotificationHandler* context);
  ~ScriptedExpert() override { ++script().destroyed; }

  GUID getExpertGuid() override {
    ADD_FAILURE() << "identity reached the device expert";
    return {};
  }
  std::string getExpertName() override {
    ADD_FAILURE() << "identity reached the device expert";
    return {};
  }
  std::string getExpertVersion() override {
    ADD_FAILURE() << "identity reached the device expert";
    return {};
  }
  std::string getExpertIdentifier() override {
    ADD_FAILURE() << "identity reached the device expert";
    return {};
  }

  void getItemNames(std::vector<std::string>& names) override;
  void getAllPropertyBags(std::vector<ImxSysPropertyBag*>& bags) override;
  ImxSysPropertyBag* getPropertyBag(const std::string& itemName) override;
  ImxSysPropertyBag* getPropertyBagWithRefresh(const std::string& itemName,
                                               std::vector<std::uint32_t>& tags,
                                               bool allowAsynchronous) override;
  void setOption(std::uint32_t value) override { script().lastOption = value; }
  void commitPropertyBag(const std::string& itemName, const std::string& text, std::int32_t value,
                         std::string& resultText) override;
  void extendedOperation1(const std::string& itemName, sysapicpp::PropertyBagHandle& bag,
                          std::set<std::uint32_t>& tags, std::string& errorText) override;
  void extendedOperation2(const std::string& itemName, sysapicpp::PropertyBagHandle& bag,
                          std::int32_t& result, std::string& text) override;
  void diagnosticOperation1(const std::string& itemName, std::int32_t value) override;
  void runDiagnostic(const std::string& itemName, std::int32_t mode,
                     std::string& resultText) override;
  void diagnosticOperation3(const std::string& itemName, std::string& text) override;
  std::string beginFirmwareUpdate(const std::string& itemName, bool flag,
                                  std::int32_t value) override;
  void updateFirmware(const std::string& itemName, const std::string& text1, bool flag,
                      const std::string& text2, sysapicpp::BinaryImageHandle& image) override;
  void firmwareOperation3(const std::string& itemName, const std::string& text1, bool flag,
                          const std::string& text2) override;
  void firmwareOperation4(const std::string& itemName, const std::string& text) override;
  void getFirmwareUpdateStatus(const std::string& itemName, std::int32_t& state,
                               std::int32_t& value, std::string& text) override;
  HRESULT translateException(std::string& errorText) override;

 private:
  void enter(const std::string& itemName);
};

using TestDelayed =
    sysapicpp::DelayedExpert<ScriptedExpert, VorlixSysapiExpert::SystemAPIExpertInfo>;
using TestObject = CQOComObject<sysapicpp::ExpertAdapter<TestDelayed>>;

// --- Host strings (a host's own allocator: length prefix, characters, zero) -------------------
using hostabi::HostText;
using testsupport::takeWide;

// --- Host objects -------------------------------------------------------------------------------
// A host object of interface I that answers no other interface and counts its references in
// `refs` (starting with the test's own); it lives on the test's stack.
template <class I>
class CountedObject : public I {
 public:
  HRESULT QueryInterface(const GUID*, void** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG Release() override { return static_cast<ULONG>(--refs); }
  std::atomic<int> refs{1};
};

using CountedHostObject = CountedObject<IUnknown>;

// The item collector: two operations the library never calls, then the collecting one.
class Collector : public CountedHostObject {
 public:
  virtual HRESULT First() {
    ++wrongCalls;
    return E_FAIL;
  }
  virtual HRESULT Second() {
    ++wrongCalls;
    return E_FAIL;
  }
  virtual HRESULT Collect(ImxSysPropertyBag* bag) {
    collected.push_back(bag);
    refsSeen.push_back(bag->AddRef() - 1);
    bag->Release();
    return E_FAIL;  // ignored by the library
  }
  std::vector<ImxSysPropertyBag*> collected;
  std::vector<ULONG> refsSeen;
  int wrongCalls = 0;
};

class TestImage : public CountedObject<ImxSysBinaryImage> {
 public:
  HRESULT GetSize(unsigned* size) override {
    *size = 4;
    return S_OK;
  }
  HRESULT GetData(void** data) override {
    *data = bytes;
    return S_OK;
  }
  unsigned char bytes[4] = {1, 2, 3, 4};
};

// A new dynamic bag holding `tags` (unsigned values), with one reference for the caller.
ImxSysPropertyBag* makeBag(std::initializer_list<unsigned> tags);
ULONG refCountOf(IUnknown* object);

// The fixture: a fresh expert object (one reference) reached through the host's tables.
class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  hostabi::ImxSysExpert2* host() const { return host_; }
  hostabi::ImxSysExpertDiagnostic* diagnostic() const { return diagnostic_; }
  hostabi::ImxSysExpertFirmware* firmware() const { return firmware_; }
  hostabi::ImxSysExpertPlugPlay* plugPlay() const { return plugPlay_; }
  HRESULT initialize() { return host_->vtbl->Initialize(host_); }
  HRESULT shutdown() { return host_->vtbl->Shutdown(host_); }
  bool hasDeviceExpert() const {
    auto d = object_->delayedExpert();
    return d && d->hasDeviceExpert();
  }

  TestObject* object_ = nullptr;
  hostabi::ImxSysExpert2* host_ = nullptr;
  hostabi::ImxSysExpertDiagnostic* diagnostic_ = nullptr;
  hostabi::ImxSysExpertFirmware* firmware_ = nullptr;
  hostabi::ImxSysExpertPlugPlay* plugPlay_ = nullptr;
};

inline constexpr HRESULT kInvalidMode = static_cast<HRESULT>(0x80040376u);
inline constexpr HRESULT kRepeatedInMode0 = static_cast<HRESULT>(0x00040370u);
inline constexpr HRESULT kNotPresent = static_cast<HRESULT>(0x80040371u);
inline constexpr HRESULT kItemNotExist = static_cast<HRESULT>(0x80040375u);

// --- Scripted expert ---------------------------------------------------------------------------
ScriptedExpert::ScriptedExpert(sysapicpp::SyncNotificationHandler*) {
  if (const int ms = script().creationDelayMs.load(); ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  if (script().failCreation) throw std::bad_alloc();
  ++script().created;
}

void ScriptedExpert::enter(const std::string& itemName) {
  ++script().calls;
  {
    std::lock_guard<std::mutex> g(script().lock);
    script().lastName = itemName;
  }
  if (script().fail) script().fail();
}

void ScriptedExpert::getItemNames(std::vector<std::string>& names) {
  enter("");
  std::lock_guard<std::mutex> g(script().lock);
  names = script().itemNames;
}
void ScriptedExpert::getAllPropertyBags(std::vector<ImxSysPropertyBag*>& bags) {
  enter("");
  if (script().allBags) script().allBags(bags);
}
ImxSysPropertyBag* ScriptedExpert::getPropertyBag(const std::string& itemName) {
  enter(itemName);
  std::vector<std::uint32_t> none;
  return script().bag ? script().bag(itemName, none, false) : nullptr;
}
ImxSysPropertyBag* ScriptedExpert::getPropertyBagWithRefresh(const std::string& itemName,
                                                             std::vector<std::uint32_t>& tags,
                                                             bool allowAsynchronous) {
  enter(itemName);
  return script().bag ? script().bag(itemName, tags, allowAsynchronous) : nullptr;
}
void ScriptedExpert::commitPropertyBag(const std::string& itemName, const std::string& text,
                                       std::int32_t value, std::string& resultText) {
  enter(itemName);
  script().lastText1 = text;
  script().lastValue = value;
  resultText = script().text;
}
void ScriptedExpert::extendedOperation1(const std::string& itemName,
                                        sysapicpp::PropertyBagHandle& bag,
                                        std::set<std::uint32_t>& tags, std::string& errorText) {
  enter(itemName);
  if (script().extended1) script().extended1(bag, tags, errorText);
}
void ScriptedExpert::extendedOperation2(const std::string& itemName,
                                        sysapicpp::PropertyBagHandle& bag, std::int32_t& result,
                                        std::string&) {
  enter(itemName);
  result = bag.hasTag(7) ? 77 : -1;
}
void ScriptedExpert::diagnosticOperation1(const std::string& itemName, std::int32_t value) {
  enter(itemName);
  script().lastValue = value;
}
void ScriptedExpert::runDiagnostic(const std::string& itemName, std::int32_t mode,
                                   std::string& resultText) {
  enter(itemName);
  {
    std::lock_guard<std::mutex> g(script().lock);
    script().diagnosticModes.push_back(mode);
  }
  if (script().diagnostic) script().diagnostic(itemName, mode, resultText);
}
void ScriptedExpert::diagnosticOperation3(const std::string& itemName, std::string& text) {
  enter(itemName);
  text = script().text;
}
std::string ScriptedExpert::beginFirmwareUpdate(const std::string& itemName, bool flag,
                                                std::int32_t value) {
  enter(itemName);
  script().lastFlag = flag;
  script().lastValue = value;
  return script().text;
}
void ScriptedExpert::updateFirmware(const std::string& itemName, const std::string& text1,
                                    bool flag, const std::string& text2,
                                    sysapicpp::BinaryImageHandle& image) {
  enter(itemName);
  script().lastText1 = text1;
  script().lastText2 = text2;
  script().lastFlag = flag;
  if (script().firmware) script().firmware(image);
}
void ScriptedExpert::firmwareOperation3(const std::string& itemName, const std::string& text1,
                                        bool flag, const std::string& text2) {
  enter(itemName);
  script().lastText1 = text1;
  script().lastText2 = text2;
  script().lastFlag = flag;
}
void ScriptedExpert::firmwareOperation4(const std::string& itemName, const std::string& text) {
  enter(itemName);
  script().lastText1 = text;
}
void ScriptedExpert::getFirmwareUpdateStatus(const std::string& itemName, std::int32_t& state,
                                             std::int32_t& value, std::string& text) {
  enter(itemName);
  state = 3;
  value = 42;
  text = script().text;
}
HRESULT ScriptedExpert::translateException(std::string& errorText) {
  if (script().translate) return script().translate(errorText);
  return sysapicpp::translateDeviceException();
}

ImxSysPropertyBag* makeBag(std::initializer_list<unsigned> tags) {
  ImxSysPropertyBag4* bag = nullptr;
  EXPECT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK);
  for (unsigned tag : tags) EXPECT_EQ(bag->SetUInt32(tag, tag), S_OK);
  return bag;
}
ULONG refCountOf(IUnknown* object) {
  const ULONG raised = object->AddRef();
  object->Release();
  return raised - 1;
}

void AdapterTest::SetUp() {
  gScript = new Script();
  ASSERT_EQ(TestObject::CreateInstance(&object_), S_OK);
  object_->AddRef();
  host_ = reinterpret_cast<hostabi::ImxSysExpert2*>(static_cast<ImxSysExpert2*>(object_));
  void* p = nullptr;
  ASSERT_EQ(hostabi::queryInterface(host_, hostabi::kIID_ImxSysExpertDiagnostic, &p), 0);
  diagnostic_ = static_cast<hostabi::ImxSysExpertDiagnostic*>(p);
  ASSERT_EQ(hostabi::queryInterface(host_, hostabi::kIID_ImxSysExpertFirmware, &p), 0);
  firmware_ = static_cast<hostabi::ImxSysExpertFirmware*>(p);
  ASSERT_EQ(hostabi::queryInterface(host_, hostabi::kIID_ImxSysExpertPlugPlay, &p), 0);
  plugPlay_ = static_cast<hostabi::ImxSysExpertPlugPlay*>(p);
  hostabi::release(diagnostic_);
  hostabi::release(firmware_);
  hostabi::release(plugPlay_);
}

void AdapterTest::TearDown() {
  if (object_ != nullptr) {
    EXPECT_EQ(hostabi::release(host_), 0u);
  }
  EXPECT_EQ(script().created.load(), script().destroyed.load()) << "device expert leaked";
  delete gScript;
  gScript = nullptr;
}

// ==== Argument checks ==========================================================================

class ExpertAdapterArguments : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    ASSERT_EQ(initialize(), S_OK);
  }
  void expectUntouched() {
    EXPECT_EQ(script().calls.load(), 0);
    EXPECT_FALSE(hasDeviceExpert());
  }
};

TEST_F(ExpertAdapterArguments, IdentityAndItemOperations) {
  auto* t = host()->vtbl;
  HostText name(L"KEL0"), text(L"t");
  EXPECT_EQ(t->GetExpertGuid(host(), nullptr), E_POINTER);
  EXPECT_EQ(t->GetExpertName(host(), nullptr), E_POINTER);
  EXPECT_EQ(t->GetExpertVersion(host(), nullptr), E_POINTER);
  EXPECT_EQ(t->GetExpertIdentifier(host(), nullptr), E_POINTER);
  EXPECT_EQ(t->EnumerateItems(host(), nullptr), E_POINTER);
  EXPECT_EQ(t->GetItemNames(host(), nullptr), E_POINTER);
  void* out = nullptr;
  EXPECT_EQ(t->GetPropertyBag(host(), nullptr, &out), E_POINTER);
  EXPECT_EQ(t->GetPropertyBag(host(), name, nullptr), E_POINTER);
  const unsigned tags[1] = {1};
  EXPECT_EQ(t->GetPropertyBagWithRefresh(host(), nullptr, 1, tags, 0, &out), E_POINTER);
  EXPECT_EQ(t->GetPropertyBagWithRefresh(host(), name, 1, nullptr, 0, &out), E_POINTER);
  EXPECT_EQ(t->GetPropertyBagWithRefresh(host(), name, 1, tags, 0, nullptr), E_POINTER);
  int changed = 0;
  wchar_t* result = nullptr;
  EXPECT_EQ(t->CommitPropertyBag(host(), nullptr, text, 0, &changed, &result), E_POINTER);
  EXPECT_EQ(t->CommitPropertyBag(host(), name, nullptr, 0, &changed, &result), E_POINTER);
  EXPECT_EQ(t->CommitPropertyBag(host(), name, text, 0, nullptr, &result), E_POINTER);
  EXPECT_EQ(t->CommitPropertyBag(host(), name, text, 0, &changed, nullptr), E_POINTER);
  CountedHostObject bag;
  EXPECT_EQ(t->ExtendedOperation1(host(), nullptr, &bag, &out, &result), E_POINTER);
  EXPECT_EQ(t->ExtendedOperation1(host(), name, nullptr, &out, &result), E_POINTER);
  EXPECT_EQ(t->ExtendedOperation1(host(), name, &bag, nullptr, &result), E_POINTER);
  int value = 0;
  EXPECT_EQ(t->ExtendedOperation2(host(), nullptr, &bag, &value, nullptr), E_POINTER);
  EXPECT_EQ(t->ExtendedOperation2(host(), name, nullptr, &value, nullptr), E_POINTER);
  EXPECT_EQ(t->ExtendedOperation2(host(), name, &bag, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(bag.refs.load(), 1);
  EXPECT_EQ(result, nullptr);
  expectUntouched();
}

TEST_F(ExpertAdapterArguments, DiagnosticAndFirmwareOperations) {
  HostText name(L"KEL0"), a(L"a"), b(L"b");
  wchar_t* text = nullptr;
  auto* d = diagnostic()->vtbl;
  EXPECT_EQ(d->DiagnosticOperation1(diagnostic(), nullptr, 1), E_POINTER);
  EXPECT_EQ(d->RunDiagnostic(diagnostic(), nullptr, 1, &text), E_POINTER);
  EXPECT_EQ(d->DiagnosticOperation3(diagnostic(), nullptr, &text), E_POINTER);
  auto* f = firmware()->vtbl;
  TestImage image;
  EXPECT_EQ(f->BeginFirmwareUpdate(firmware(), nullptr, 0, 0, &text), E_POINTER);
  EXPECT_EQ(f->BeginFirmwareUpdate(firmware(), name, 0, 0, nullptr), E_POINTER);
  EXPECT_EQ(f->UpdateFirmware(firmware(), nullptr, a, 0, b, &image), E_POINTER);
  EXPECT_EQ(f->UpdateFirmware(firmware(), name, a, 0, b, nullptr), E_POINTER);
  EXPECT_EQ(f->UpdateFirmware(firmware(), name, nullptr, 0, b, &image), E_POINTER);
  EXPECT_EQ(f->UpdateFirmware(firmware(), name, a, 0, nullptr, &image), E_POINTER);
  EXPECT_EQ(f->FirmwareOperation3(firmware(), nullptr, a, 0, b), E_POINTER);
  EXPECT_EQ(f->FirmwareOperation3(firmware(), name, nullptr, 0, b), E_POINTER);
  EXPECT_EQ(f->FirmwareOperation3(firmware(), name, a, 0, nullptr), E_POINTER);
  EXPECT_EQ(f->FirmwareOperation4(firmware(), nullptr, a), E_POINTER);
  EXPECT_EQ(f->FirmwareOperation4(firmware(), name, nullptr), E_POINTER);
  int state = 0;
  EXPECT_EQ(f->GetFirmwareUpdateStatus(firmware(), nullptr, &state, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(f->GetFirmwareUpdateStatus(firmware(), name, nullptr, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(image.refs.load(), 1);
  EXPECT_EQ(text, nullptr);
  expectUntouched();
}

TEST_F(ExpertAdapterArguments, NullChecksComeInParameterOrder) {
  // Two null arguments: the earlier one is the one reported, before anything else is looked at.
  HostText bad(std::wstring(1, static_cast<wchar_t>(0xD800)));
  void* out = nullptr;
  EXPECT_EQ(host()->vtbl->GetPropertyBagWithRefresh(host(), bad, 0, nullptr, 0, &out), E_POINTER);
  EXPECT_EQ(firmware()->vtbl->UpdateFirmware(firmware(), bad, bad, 0, bad, nullptr), E_POINTER);
  expectUntouched();
}

TEST_F(ExpertAdapterArguments, StringsAreConvertedBeforeOutPointersAreChecked) {
  HostText bad(std::wstring(1, static_cast<wchar_t>(0x110000)));
  EXPECT_EQ(host()->vtbl->GetPropertyBag(host(), bad, nullptr), E_INVALIDARG);
  EXPECT_EQ(firmware()->vtbl->BeginFirmwareUpdate(firmware(), bad, 0, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(firmware()->vtbl->GetFirmwareUpdateStatus(firmware(), bad, nullptr, nullptr, nullptr),
            E_INVALIDARG);
  expectUntouched();
}

// ==== Malformed host strings ===================================================================

class ExpertAdapterHostStrings : public ExpertAdapterArguments {};

TEST_F(ExpertAdapterHostStrings, NonScalarValuesAreRefusedBeforeAnyExpertWork) {
  // clang-format off
  const std::vector<std::wstring> malformed = {
      std::wstring(L"KEL") + static_cast<wchar_t>(0x110000),
      std::wstring(L"KEL") + static_cast<wchar_t>(0xD800),
      std::wstring(1, static_cast<wchar_t>(0xDFFF)) + L"x",
      std::wstring(1, static_cast<wchar_t>(0x7FFFFFFF)),
      std::wstring(1, static_cast<wchar_t>(-1)),
  };
  // clang-format on
  for (const std::wstring& m : malformed) {
    HostText s(m);
    HostText ok(L"ok");
    void* out = nullptr;
    wchar_t* text = nullptr;
    int changed = 7;
    EXPECT_EQ(host()->vtbl->GetPropertyBag(host(), s, &out), E_INVALIDARG);
    EXPECT_EQ(host()->vtbl->CommitPropertyBag(host(), ok, s, 0, &changed, &text), E_INVALIDARG);
    EXPECT_EQ(diagnostic()->vtbl->RunDiagnostic(diagnostic(), s, 1, &text), E_INVALIDARG);
    EXPECT_EQ(firmware()->vtbl->FirmwareOperation4(firmware(), ok, s), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(changed, 7);
  }
  expectUntouched();
}

TEST_F(ExpertAdapterHostStrings, ScalarValuesAtTheEdgesArePassedAsUtf8) {
  HostText name(std::wstring(L"K") + static_cast<wchar_t>(0xD7FF) + static_cast<wchar_t>(0xE000) +
                static_cast<wchar_t>(0x10FFFF));
  EXPECT_EQ(diagnostic()->vtbl->DiagnosticOperation1(diagnostic(), name, 5), S_OK);
  EXPECT_EQ(script().lastName, "K\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(script().lastValue, 5);
}

// ==== Identity =================================================================================

class ExpertAdapterIdentity : public AdapterTest {};

TEST_F(ExpertAdapterIdentity, AnsweredWithoutCreatingTheDeviceExpert) {
  ASSERT_EQ(initialize(), S_OK);
  auto* t = host()->vtbl;
  hostabi::Guid guid{};
  ASSERT_EQ(t->GetExpertGuid(host(), &guid), S_OK);
  const hostabi::Guid expected = {
      0x22297693, 0x3822, 0x462B, {0xA1, 0xAD, 0x40, 0xAD, 0x0B, 0xCB, 0xC3, 0x31}};
  EXPECT_EQ(std::memcmp(&guid, &expected, sizeof guid), 0);
  wchar_t* s = nullptr;
  ASSERT_EQ(t->GetExpertName(host(), &s), S_OK);
  EXPECT_EQ(takeWide(s), L"qovorlix2");
  ASSERT_EQ(t->GetExpertVersion(host(), &s), S_OK);
  EXPECT_EQ(takeWide(s), L"23.3.0");
  ASSERT_EQ(t->GetExpertIdentifier(host(), &s), S_OK);
  EXPECT_EQ(takeWide(s), L"qovorlix2");
  EXPECT_FALSE(hasDeviceExpert());
  EXPECT_EQ(script().created.load(), 0);
}

TEST(SystemAPIExpertInfoVersion, IsTheBuildVersionCutBeforeItsFirstF) {
  const std::string build = QO_BUILD_VERSION_TEXT;
  EXPECT_EQ(VorlixSysapiExpert::SystemAPIExpertInfo::version(), build.substr(0, build.find('f')));
  EXPECT_EQ(VorlixSysapiExpert::SystemAPIExpertInfo::version().find('f'), std::string::npos);
}

// ==== Lifecycle ================================================================================

class ExpertAdapterLifecycle : public AdapterTest {
 protected:
  // Every operation that needs the delayed expert, with valid arguments.
  std::vector<HRESULT> everyExpertOperation() {
    std::vector<HRESULT> r;
    HostText n(L"KEL0"), a(L"a");
    hostabi::Guid g{};
    wchar_t* s = nullptr;
    void* out = nullptr;
    const unsigned tags[1] = {1};
    int i = 0;
    Collector collector;
    CountedHostObject bag;
    TestImage image;
    auto* t = host()->vtbl;
    r.push_back(t->GetExpertGuid(host(), &g));
    r.push_back(t->GetExpertName(host(), &s));
    r.push_back(t->GetExpertVersion(host(), &s));
    r.push_back(t->GetExpertIdentifier(host(), &s));
    r.push_back(t->EnumerateItems(host(), &collector));
    r.push_back(t->GetItemNames(host(), &out));
    r.push_back(t->GetPropertyBag(host(), n, &out));
    r.push_back(t->GetPropertyBagWithRefresh(host(), n, 1, tags, 0, &out));
    r.push_back(t->SetOption(host(), 3));
    r.push_back(t->CommitPropertyBag(host(), n, a, 0, &i, &s));
    r.push_back(t->ExtendedOperation1(host(), n, &bag, &out, &s));
    r.push_back(t->ExtendedOperation2(host(), n, &bag, &i, nullptr));
    r.push_back(diagnostic()->vtbl->DiagnosticOperation1(diagnostic(), n, 0));
    r.push_back(diagnostic()->vtbl->RunDiagnostic(diagnostic(), n, 1, &s));
    r.push_back(diagnostic()->vtbl->DiagnosticOperation3(diagnostic(), n, &s));
    r.push_back(firmware()->vtbl->BeginFirmwareUpdate(firmware(), n, 0, 0, &s));
    r.push_back(firmware()->vtbl->UpdateFirmware(firmware(), n, a, 0, a, &image));
    r.push_back(firmware()->vtbl->FirmwareOperation3(firmware(), n, a, 0, a));
    r.push_back(firmware()->vtbl->FirmwareOperation4(firmware(), n, a));
    r.push_back(firmware()->vtbl->GetFirmwareUpdateStatus(firmware(), n, &i, nullptr, &s));
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(image.refs.load(), 1);
    EXPECT_EQ(bag.refs.load(), 1);
    return r;
  }
};

TEST_F(ExpertAdapterLifecycle, OperationsBeforeInitializeAnswerUnexpected) {
  for (HRESULT hr : everyExpertOperation()) EXPECT_EQ(hr, E_UNEXPECTED);
  EXPECT_EQ(script().created.load(), 0);
}

TEST_F(ExpertAdapterLifecycle, OperationsAfterShutdownAnswerUnexpected) {
  ASSERT_EQ(initialize(), S_OK);
  HostText n(L"KEL0");
  EXPECT_EQ(diagnostic()->vtbl->DiagnosticOperation1(diagnostic(), n, 0), S_OK);
  ASSERT_EQ(shutdown(), S_OK);
  EXPECT_EQ(script().destroyed.load(), 1);
  for (HRESULT hr : everyExpertOperation()) EXPECT_EQ(hr, E_UNEXPECTED);
  EXPECT_EQ(script().created.load(), 1);
}

TEST_F(ExpertAdapterLifecycle, InitializeAndShutdownInAnyOrderAndRepeated) {
  HostText n(L"KEL0");
  EXPECT_EQ(shutdown(), S_OK);
  EXPECT_EQ(shutdown(), S_OK);
  EXPECT_EQ(initialize(), S_OK);
  EXPECT_EQ(diagnostic()->vtbl->DiagnosticOperation1(diagnostic(), n, 0), S_OK);
  EXPECT_EQ(initialize(), S_OK);  // the previous delayed expert goes, with its device expert
  EXPECT_EQ(script().destroyed.load(), 1);
  EXPECT_FALSE(hasDeviceExpert());
  EXPECT_EQ(diagnostic()->vtbl->DiagnosticOperation1(diagnostic(), n, 0), S_OK);
  EXPECT_EQ(script().created.load(), 2);
  EXPECT_EQ(shutdown(), S_OK);
  EXPECT_EQ(shutdown(), S_OK);
  EXPECT_EQ(script().destroyed.load(), 2);
  EXPECT_EQ(initialize(), S_OK);
  EXPECT_EQ(diagnostic()->vtbl->DiagnosticOperation1(diagnostic(), n, 0), S_OK);
  // The final Release (TearDown) deletes the third device expert.
}

TEST_F(ExpertAdapterLifecycle, ShutdownDropsTheSinkAndNullSinkUnregisters) {
  CountedHostObject sink;
  ASSERT_EQ(plugPlay()->vtbl->SetNotificationSink(plugPlay(), &sink), S_OK);
  EXPECT_EQ(sink.refs.load(), 2);
  EXPECT_EQ(plugPlay()->vtbl->SetNotificationSink(plugPlay(), nullptr), S_OK);
  EXPECT_EQ(sink.refs.load(), 1);
  ASSERT_EQ(initialize(), S_OK);
  ASSERT_EQ(plugPlay()->vtbl->SetNotificationSink(plugPlay(), &sink), S_OK);
  EXPECT_TRUE(object_->notificationHandler().hasSink());
  ASSERT_EQ(shutdown(), S_OK);
  EXPECT_EQ(sink.refs.load(), 1);
  EXPECT_FALSE(object_->notificationHandler().hasSink());
}

TEST_F(ExpertAdapterLifecycle, DeviceExpertReceivesTheContextAndTheStoredOption) {
  ASSERT_EQ(initialize(), S_OK);
  EXPECT_EQ(object_->delayedExpert()->context(), &object_->notificationHandler());
  ASSERT_EQ(host()->vtbl->SetOption(host(), 9), S_OK);
  EXPECT_FALSE(hasDeviceExpert());
  HostText n(L"KEL0");
  ASSERT_EQ(diagnostic()->vtbl->DiagnosticOperation1(diagnostic(), n, 0), S_OK);
  EXPECT_EQ(script().lastOption.load(), 9u);
  ASSERT_EQ(host()->vtbl->SetOption(host(), 11), S_OK);
  EXPECT_EQ(script().lastOption.load(), 11u);
}

// ==== Concurrency ==============================================================================

class ExpertAdapterConcurrency : public AdapterTest {};

TEST_F(ExpertAdapterConcurrency, TwoFirstCallsCreateOneDeviceExpert) {
  script().itemNames = {"KEL0"};
  script().creationDelayMs = 20;  // both threads arrive while the first creation runs
  ASSERT_EQ(initialize(), S_OK);
  std::atomic<int> ready{0};
  HRESULT results[2] = {E_FAIL, E_FAIL};
  auto body = [&](int i) {
    ++ready;
    while (ready.load() < 2) std::this_thread::yield();
    void* names = nullptr;
    results[i] = host()->vtbl->GetItemNames(host(), &names);
    if (names != nullptr) hostabi::release(names);
  };
  std::thread a(body, 0), b(body, 1);
  a.join();
  b.join();
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], S_OK);
  EXPECT_EQ(script().created.load(), 1);
  EXPECT_EQ(script().calls.load(), 2);
}

TEST_F(ExpertAdapterConcurrency, ShutdownAndInitializeDuringOperationsNeverCrash) {
  script().itemNames = {"KEL0", "KEL1"};
  ASSERT_EQ(initialize(), S_OK);
  std::atomic<bool> stop{false};
  std::atomic<int> done{0};
  auto worker = [&] {
    HostText n(L"KEL0");
    while (!stop) {
      void* names = nullptr;
      const HRESULT hr = host()->vtbl->GetItemNames(host(), &names);
      EXPECT_TRUE(hr == S_OK || hr == E_UNEXPECTED) << std::hex << hr;
      if (names != nullptr) hostabi::release(names);
      wchar_t* s = nullptr;
      const HRESULT v = host()->vtbl->GetExpertVersion(host(), &s);
      EXPECT_TRUE(v == S_OK || v == E_UNEXPECTED);
      if (s != nullptr) {
        EXPECT_EQ(takeWide(s), L"23.3.0");
      }
      ++done;
    }
  };
  std::thread a(worker), b(worker);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(i % 2 ? initialize() : shutdown(), S_OK);
  }
  while (done.load() < 50) std::this_thread::yield();
  stop = true;
  a.join();
  b.join();
}

// ==== Items and property bags ==================================================================

class ExpertAdapterItems : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    ASSERT_EQ(initialize(), S_OK);
  }
};

TEST_F(ExpertAdapterItems, ItemNamesAsAnEnumerator) {
  script().itemNames = {"KEL0", "KEL1", "K\xC3\xA9"};
  void* p = nullptr;
  ASSERT_EQ(host()->vtbl->GetItemNames(host(), &p), S_OK);
  auto* e = static_cast<hostabi::ImxSysEnumStringList*>(p);
  wchar_t* items[4] = {};
  unsigned fetched = 0;
  EXPECT_EQ(e->vtbl->Next(e, 4, items, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 3u);
  EXPECT_EQ(takeWide(items[0]), L"KEL0");
  EXPECT_EQ(takeWide(items[1]), L"KEL1");
  EXPECT_EQ(takeWide(items[2]), L"K\u00E9");
  EXPECT_EQ(hostabi::release(e), 0u);
}

TEST_F(ExpertAdapterItems, NoItemsGiveSFalseAndLeaveTheOutPointer) {
  void* sentinel = reinterpret_cast<void*>(0x1234);
  void* p = sentinel;
  EXPECT_EQ(host()->vtbl->GetItemNames(host(), &p), S_FALSE);
  EXPECT_EQ(p, sentinel);
}

TEST_F(ExpertAdapterItems, EnumerateItemsHandsEveryBagToTheCollectorThenReleasesThem) {
  ImxSysPropertyBag* a = makeBag({1});
  ImxSysPropertyBag* b = makeBag({2});
  a->AddRef();
  b->AddRef();  // the test keeps its own references
  script().allBags = [&](std::vector<ImxSysPropertyBag*>& bags) { bags = {a, b}; };
  Collector collector;
  EXPECT_EQ(host()->vtbl->EnumerateItems(host(), &collector), S_OK);
  EXPECT_EQ(collector.collected, (std::vector<ImxSysPropertyBag*>{a, b}));
  EXPECT_EQ(collector.refsSeen, (std::vector<ULONG>{2, 2}));
  EXPECT_EQ(collector.wrongCalls, 0);
  EXPECT_EQ(refCountOf(a), 1u);
  EXPECT_EQ(refCountOf(b), 1u);
  a->Release();
  b->Release();
}

TEST_F(ExpertAdapterItems, EnumerateItemsWithoutItemsGivesSFalse) {
  Collector collector;
  EXPECT_EQ(host()->vtbl->EnumerateItems(host(), &collector), S_FALSE);
  EXPECT_TRUE(collector.collected.empty());
}

TEST_F(ExpertAdapterItems, EnumerateItemsReleasesCollectedBagsWhenTheExpertFailsHalfway) {
  ImxSysPropertyBag* a = makeBag({1});
  a->AddRef();
  script().allBags = [&](std::vector<ImxSysPropertyBag*>& bags) {
    bags.push_back(a);
    throw sysapicpp::FailException({"test", 1, nullptr});
  };
  Collector collector;
  EXPECT_EQ(host()->vtbl->EnumerateItems(host(), &collector), E_FAIL);
  EXPECT_TRUE(collector.collected.empty());
  EXPECT_EQ(refCountOf(a), 1u);
  a->Release();
}

TEST_F(ExpertAdapterItems, GetPropertyBagHandsTheReferenceToTheHost) {
  ImxSysPropertyBag* bag = makeBag({5});
  script().bag = [&](const std::string&, std::vector<std::uint32_t>&, bool) { return bag; };
  HostText n(L"KEL3");
  void* out = nullptr;
  ASSERT_EQ(host()->vtbl->GetPropertyBag(host(), n, &out), S_OK);
  EXPECT_EQ(out, bag);
  EXPECT_EQ(script().lastName, "KEL3");
  EXPECT_EQ(hostabi::release(out), 0u);
}

TEST_F(ExpertAdapterItems, GetPropertyBagFailureLeavesNull) {
  script().fail = [] { throw sysapicpp::ItemNotExistException({"test", 1, nullptr}); };
  HostText n(L"KEL9");
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(host()->vtbl->GetPropertyBag(host(), n, &out), kItemNotExist);
  EXPECT_EQ(out, nullptr);
}

class ExpertAdapterRefreshSubset : public ExpertAdapterItems {
 protected:
  HRESULT ask(std::vector<unsigned> tags, void** out, int flag = 0) {
    HostText n(L"KEL0");
    return host()->vtbl->GetPropertyBagWithRefresh(host(), n, static_cast<unsigned>(tags.size()),
                                                   tags.data(), flag, out);
  }
  std::vector<std::uint32_t> seen;
  bool seenFlag = false;
  void SetUp() override {
    ExpertAdapterItems::SetUp();
    script().bag = [this](const std::string&, std::vector<std::uint32_t>& tags, bool flag) {
      seen = tags;
      seenFlag = flag;
      return makeBag({1, 2, 3});
    };
  }
};

TEST_F(ExpertAdapterRefreshSubset, CountZeroWithTagsBehavesAsPlainGet) {
  const unsigned tags[1] = {99};
  HostText n(L"KEL0");
  void* out = nullptr;
  ASSERT_EQ(host()->vtbl->GetPropertyBagWithRefresh(host(), n, 0, tags, 0, &out), S_OK);
  EXPECT_TRUE(seen.empty());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(hostabi::release(out), 0u);
}

TEST_F(ExpertAdapterRefreshSubset, AllSomeAndNoneOfTheTags) {
  void* out = nullptr;
  EXPECT_EQ(ask({1, 3}, &out, 5), S_OK);
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 3}));
  EXPECT_TRUE(seenFlag);
  hostabi::release(out);
  EXPECT_EQ(ask({1, 9}, &out), S_FALSE);
  EXPECT_FALSE(seenFlag);
  hostabi::release(out);
  EXPECT_EQ(ask({8, 9}, &out), kNotPresent);
  ASSERT_NE(out, nullptr);  // the bag is handed out with the subset answer
  EXPECT_EQ(hostabi::release(out), 0u);
}

TEST_F(ExpertAdapterRefreshSubset, TagsRemovedByTheExpertAreNotLookedUp) {
  script().bag = [](const std::string&, std::vector<std::uint32_t>& tags, bool) {
    tags.clear();
    return makeBag({});
  };
  void* out = nullptr;
  EXPECT_EQ(ask({8, 9}, &out), S_OK);
  EXPECT_EQ(hostabi::release(out), 0u);
}

TEST_F(ExpertAdapterItems, CommitPropertyBagReportsChangeByText) {
  HostText n(L"KEL0"), t(L"in");
  int changed = -1;
  wchar_t* text = nullptr;
  script().text = "changed tags";
  ASSERT_EQ(host()->vtbl->CommitPropertyBag(host(), n, t, 6, &changed, &text), S_OK);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(takeWide(text), L"changed tags");
  EXPECT_EQ(script().lastText1, "in");
  EXPECT_EQ(script().lastValue, 6);
  script().text.clear();
  ASSERT_EQ(host()->vtbl->CommitPropertyBag(host(), n, t, 6, &changed, &text), S_OK);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(takeWide(text), L"");
}

// ==== Extended operations ======================================================================

TEST_F(ExpertAdapterItems, ExtendedOperation1RefusesAnObjectThatIsNoBag) {
  CountedHostObject notABag;
  HostText n(L"KEL0");
  void* tags = reinterpret_cast<void*>(0x1);
  wchar_t* error = nullptr;
  EXPECT_EQ(host()->vtbl->ExtendedOperation1(host(), n, &notABag, &tags, &error), E_UNEXPECTED);
  EXPECT_EQ(takeWide(error), L"");  // translated through the expert: an empty, allocated text
  EXPECT_EQ(notABag.refs.load(), 1);
  EXPECT_EQ(script().calls.load(), 0);
}

TEST_F(ExpertAdapterItems, ExtendedOperation1ReturnsTagsAndErrorText) {
  ImxSysPropertyBag* bag = makeBag({4});
  script().extended1 = [&](sysapicpp::PropertyBagHandle& h, std::set<std::uint32_t>& tags,
                           std::string& error) {
    EXPECT_EQ(static_cast<void*>(h.get()), static_cast<void*>(bag));
    tags = {7, 3};
    error = "note";
  };
  HostText n(L"KEL0");
  void* p = nullptr;
  wchar_t* error = nullptr;
  ASSERT_EQ(host()->vtbl->ExtendedOperation1(host(), n, bag, &p, &error), S_OK);
  EXPECT_EQ(takeWide(error), L"note");
  auto* e = static_cast<hostabi::ImxSysEnumPropertyTag*>(p);
  unsigned items[3] = {};
  unsigned fetched = 0;
  EXPECT_EQ(e->vtbl->Next(e, 3, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(items[0], 3u);
  EXPECT_EQ(items[1], 7u);
  hostabi::release(e);
  script().extended1 = nullptr;
  ASSERT_EQ(host()->vtbl->ExtendedOperation1(host(), n, bag, &p, nullptr), S_FALSE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(refCountOf(bag), 1u);
  bag->Release();
}

TEST_F(ExpertAdapterItems, ExtendedOperation2StoresTheResult) {
  ImxSysPropertyBag* bag = makeBag({7});
  HostText n(L"KEL0");
  int result = 0;
  ASSERT_EQ(host()->vtbl->ExtendedOperation2(host(), n, bag, &result, nullptr), S_OK);
  EXPECT_EQ(result, 77);
  EXPECT_EQ(refCountOf(bag), 1u);
  bag->Release();
}

// ==== Diagnostics ==============================================================================

class ExpertAdapterRunDiagnostic : public ExpertAdapterItems {
 protected:
  HRESULT run(int mode, std::wstring* text) {
    HostText n(L"KEL0");
    wchar_t* out = nullptr;
    const HRESULT hr =
        diagnostic()->vtbl->RunDiagnostic(diagnostic(), n, mode, text ? &out : nullptr);
    if (text) *text = out ? takeWide(out) : L"<null>";
    return hr;
  }
};

TEST_F(ExpertAdapterRunDiagnostic, RejectedModeIsRepeatedInModeZero) {
  script().diagnostic = [](const std::string&, int mode, std::string& text) {
    if (mode != 0) throw sysapicpp::InvalidModeException({"test", 1, nullptr});
    text = "mode 0 ran";
  };
  std::wstring text;
  EXPECT_EQ(run(2, &text), kRepeatedInMode0);
  EXPECT_EQ(text, L"mode 0 ran");
  EXPECT_EQ(script().diagnosticModes, (std::vector<int>{2, 0}));
}

TEST_F(ExpertAdapterRunDiagnostic, RejectionAsThrownIntegerIsRepeatedToo) {
  script().diagnostic = [](const std::string&, int mode, std::string& text) {
    if (mode != 0) throw static_cast<int>(0x80040376u);
    text = "zero";
  };
  std::wstring text;
  EXPECT_EQ(run(-1, &text), kRepeatedInMode0);
  EXPECT_EQ(text, L"zero");
  EXPECT_EQ(run(3, nullptr), kRepeatedInMode0);
}

TEST_F(ExpertAdapterRunDiagnostic, RejectionInModeZeroIsTheResult) {
  script().diagnostic = [](const std::string&, int, std::string&) {
    throw sysapicpp::InvalidModeException({"test", 1, nullptr});
  };
  std::wstring text;
  EXPECT_EQ(run(0, &text), kInvalidMode);
  EXPECT_EQ(text, L"");  // failed through the expert's translation: empty, allocated
  EXPECT_EQ(script().diagnosticModes, (std::vector<int>{0}));
  // The repeat fails the same way: its failure is the result.
  EXPECT_EQ(run(4, &text), kInvalidMode);
  EXPECT_EQ(script().diagnosticModes, (std::vector<int>{0, 4, 0}));
}

TEST_F(ExpertAdapterRunDiagnostic, OtherFailuresAreNotRepeated) {
  script().diagnostic = [](const std::string&, int, std::string&) {
    throw sysapicpp::FailException({"test", 1, nullptr});
  };
  EXPECT_EQ(run(2, nullptr), E_FAIL);
  EXPECT_EQ(script().diagnosticModes, (std::vector<int>{2}));
}

TEST_F(ExpertAdapterRunDiagnostic, SuccessReturnsTheText) {
  script().diagnostic = [](const std::string&, int, std::string& t) { t = "fine \xE2\x9C\x93"; };
  std::wstring text;
  EXPECT_EQ(run(1, &text), S_OK);
  EXPECT_EQ(text, L"fine \u2713");
}

TEST_F(ExpertAdapterItems, DiagnosticOperation3TextIsOptional) {
  script().text = "three";
  HostText n(L"KEL0");
  wchar_t* t = nullptr;
  EXPECT_EQ(diagnostic()->vtbl->DiagnosticOperation3(diagnostic(), n, &t), S_OK);
  EXPECT_EQ(takeWide(t), L"three");
  EXPECT_EQ(diagnostic()->vtbl->DiagnosticOperation3(diagnostic(), n, nullptr), S_OK);
}

// ==== Firmware =================================================================================

TEST_F(ExpertAdapterItems, FirmwareOperationsPassTheirArguments) {
  HostText n(L"KEL1"), a(L"alpha"), b(L"beta");
  wchar_t* t = nullptr;
  script().text = "started";
  ASSERT_EQ(firmware()->vtbl->BeginFirmwareUpdate(firmware(), n, 2, 17, &t), S_OK);
  EXPECT_EQ(takeWide(t), L"started");
  EXPECT_TRUE(script().lastFlag);
  EXPECT_EQ(script().lastValue, 17);
  ASSERT_EQ(firmware()->vtbl->FirmwareOperation3(firmware(), n, a, 0, b), S_OK);
  EXPECT_FALSE(script().lastFlag);
  EXPECT_EQ(script().lastText1, "alpha");
  EXPECT_EQ(script().lastText2, "beta");
  ASSERT_EQ(firmware()->vtbl->FirmwareOperation4(firmware(), n, b), S_OK);
  EXPECT_EQ(script().lastText1, "beta");
  int state = 0, value = 0;
  ASSERT_EQ(firmware()->vtbl->GetFirmwareUpdateStatus(firmware(), n, &state, &value, &t), S_OK);
  EXPECT_EQ(state, 3);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(takeWide(t), L"started");
  state = 0;
  ASSERT_EQ(firmware()->vtbl->GetFirmwareUpdateStatus(firmware(), n, &state, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(state, 3);
}

TEST_F(ExpertAdapterItems, UpdateFirmwareHoldsTheImageOnlyDuringTheCall) {
  TestImage image;
  int refsDuring = 0;
  std::uint32_t size = 0;
  script().firmware = [&](sysapicpp::BinaryImageHandle& h) {
    refsDuring = image.refs.load();
    size = h.size();
  };
  HostText n(L"KEL0"), a(L"a"), b(L"b");
  ASSERT_EQ(firmware()->vtbl->UpdateFirmware(firmware(), n, a, 1, b, &image), S_OK);
  EXPECT_EQ(refsDuring, 2);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(image.refs.load(), 1);
  script().fail = [] { throw sysapicpp::FirmwareBadImageException({"test", 1, nullptr}); };
  EXPECT_EQ(firmware()->vtbl->UpdateFirmware(firmware(), n, a, 1, b, &image),
            static_cast<HRESULT>(0x80040387u));
  EXPECT_EQ(image.refs.load(), 1);
}

// ==== Exception translation ====================================================================

class ExpertAdapterErrors : public AdapterTest {
 protected:
  HRESULT failingOperation() {
    HostText n(L"KEL0");
    return diagnostic()->vtbl->DiagnosticOperation1(diagnostic(), n, 0);
  }
  // handleException called directly with `throwIt` in flight.
  template <class Throw>
  HRESULT translate(Throw throwIt, wchar_t** text = nullptr) {
    try {
      throwIt();
    } catch (...) {
      return object_->handleException(text);
    }
    return S_OK;
  }
};

qoerr::Exception deviceFailure(std::int32_t code) {
  return qoerr::Exception::withError(code, {"source/test", 1, "qovorlixatomicsae", "kTest"});
}

TEST_F(ExpertAdapterErrors, DeviceStatusIsMappedByTheDeviceExpert) {
  ASSERT_EQ(initialize(), S_OK);
  script().fail = [] { throw deviceFailure(-52002); };
  EXPECT_EQ(failingOperation(), E_NOTIMPL);
  script().fail = [] { throw deviceFailure(-52027); };
  EXPECT_EQ(failingOperation(), static_cast<HRESULT>(0x80040382u));
  script().fail = [] { throw deviceFailure(-52000); };
  EXPECT_EQ(failingOperation(), E_OUTOFMEMORY);
}

TEST_F(ExpertAdapterErrors, ItemNotExistWithAndWithoutTheDeviceExpert) {
  const auto raise = [] { throw sysapicpp::ItemNotExistException({"test", 1, nullptr}); };
  EXPECT_EQ(translate(raise), kItemNotExist);  // no delayed expert
  ASSERT_EQ(initialize(), S_OK);
  EXPECT_EQ(translate(raise), kItemNotExist);  // creates the device expert to translate
  EXPECT_TRUE(hasDeviceExpert());
  EXPECT_EQ(translate(raise), kItemNotExist);  // with the device expert
}

TEST_F(ExpertAdapterErrors, WithoutDelayedExpertOnlyTheBoundaryClassifies) {
  EXPECT_EQ(translate([] { throw deviceFailure(-52002); }), E_FAIL);
  EXPECT_EQ(translate([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  // A thrown failure code is the result; a thrown code that does not say failure must not pass
  // for success.
  EXPECT_EQ(translate([] { throw static_cast<int>(0x80040383u); }),
            static_cast<HRESULT>(0x80040383u));
  EXPECT_EQ(translate([] { throw 0x12345; }), E_FAIL);
  EXPECT_EQ(translate([] { throw 0; }), E_FAIL);
  EXPECT_EQ(translate([] { throw 1.5; }), E_FAIL);
  wchar_t* text = reinterpret_cast<wchar_t*>(0x1);
  EXPECT_EQ(translate(
                [] {
                  throw sysapicpp::InvalidArgException({"t", 1, nullptr});
                },
                &text),
            E_INVALIDARG);
  EXPECT_EQ(text, reinterpret_cast<wchar_t*>(0x1));  // not touched without the translator
  EXPECT_EQ(script().created.load(), 0);
}

TEST_F(ExpertAdapterErrors, UtilityErrorsBecomeGeneralFailure) {
  ASSERT_EQ(initialize(), S_OK);
  EXPECT_EQ(translate([] { throw qo::dsc::exception::InvalidSequence(1, "x"); }), E_FAIL);
}

TEST_F(ExpertAdapterErrors, TranslatorTextIsReturnedAndEmptyTextIsAllocated) {
  ASSERT_EQ(initialize(), S_OK);
  wchar_t* text = nullptr;
  EXPECT_EQ(translate([] { throw deviceFailure(-52006); }, &text), kItemNotExist);
  EXPECT_EQ(takeWide(text), L"");
  script().translate = [](std::string& t) {
    t = "board KEL0 is busy";
    return static_cast<HRESULT>(0x80040383u);
  };
  EXPECT_EQ(translate([] { throw 1; }, &text), static_cast<HRESULT>(0x80040383u));
  EXPECT_EQ(takeWide(text), L"board KEL0 is busy");
}

TEST_F(ExpertAdapterErrors, FailedDeviceExpertCreationIsClassifiedAndRetried) {
  ASSERT_EQ(initialize(), S_OK);
  script().failCreation = true;
  EXPECT_EQ(failingOperation(), E_OUTOFMEMORY);
  EXPECT_FALSE(hasDeviceExpert());
  script().failCreation = false;
  EXPECT_EQ(failingOperation(), S_OK);
  EXPECT_EQ(script().created.load(), 1);
}

TEST_F(ExpertAdapterErrors, NullBagFromTheExpertIsABrokenInvariant) {
  ASSERT_EQ(initialize(), S_OK);
  HostText n(L"KEL0");
  void* out = nullptr;
  EXPECT_EQ(host()->vtbl->GetPropertyBag(host(), n, &out), E_UNEXPECTED);
  EXPECT_EQ(out, nullptr);
}

TEST_F(ExpertAdapterErrors, MalformedUtf8FromTheExpertFailsTheOperation) {
  ASSERT_EQ(initialize(), S_OK);
  script().text = "bad \xC0\x80";
  HostText n(L"KEL0");
  wchar_t* t = nullptr;
  EXPECT_EQ(diagnostic()->vtbl->DiagnosticOperation3(diagnostic(), n, &t), E_FAIL);
  EXPECT_EQ(takeWide(t), L"");  // the error text of the translation
}

}  // namespace
