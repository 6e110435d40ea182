// The expert object's class: it implements the six host interfaces of the expert (primary chain
// ImxSysExpertInfo / ImxSysExpert / ImxSysExpert2, then ImxSysExpertPlugPlay,
// ImxSysExpertDiagnostic and ImxSysExpertFirmware, each its own sub-object) and owns the
// notification handler and the delayed expert D.
//
// D is the delayed expert type: a sysapicpp::Expert constructible from (SyncNotificationHandler*)
// (production: DelayedExpert<SystemAPIExpert, SystemAPIExpertInfo>; tests put a test expert
// behind DelayedExpert).
//
// Layout (x86-64): the four interface sub-objects at offsets 0, 8, 16 and 24, then the
// notification handler, then the delayed expert, then the shared reference count (the virtual
// root). The host sees only the four interface sub-objects.
//
// Every host operation goes through hostCall, which makes steps 1 and 4; the operation's own body
// makes 2 and 3:
//  1. checks its pointer arguments (E_POINTER), converting string arguments to UTF-8 before
//     out-pointers are checked. A host string holding a value that is not a Unicode scalar
//     value (above 0x10FFFF, or a surrogate 0xD800..0xDFFF) is refused with E_INVALIDARG before
//     any expert work;
//  2. calls the delayed expert;
//  3. converts results back (texts are cut to at most 0xFFFFFFFF bytes at a character boundary,
//     widened and returned as new host strings; a failed allocation gives E_OUTOFMEMORY);
//  4. turns every exception into a result with handleException (below).
// No exception leaves a host operation.
//
// Expert lifetime: Initialize makes a fresh delayed expert (replacing a previous one), Shutdown
// drops the host's notification sink, then the delayed expert. Operations that need the delayed
// expert and find none (before the first Initialize, after Shutdown) answer E_UNEXPECTED
// (0x8000FFFF); that includes the four identity operations. SetNotificationSink does not need
// it. An operation holds a lease on the delayed expert while it runs, so a Shutdown or
// Initialize on another thread never deletes an expert under a running operation. A Shutdown,
// Initialize or final Release on a host thread waits for the old expert's running operations
// (for instance a host sink calling back into the object from a notice on a worker thread) and
// destroys it (with its device expert and every thread that owns) on that host thread; the
// expert is never destroyed on one of the library's own threads (see DelayedExpertSlot).
//
// handleException(errorText):
//  - with a delayed expert: its translateException (which creates the device expert if needed)
//    answers; an exception it lets through, or one raised while translating, is classified by
//    classifyCurrentException. When errorText is not null the translator's text (possibly empty,
//    but always an allocated host string) is stored in *errorText.
//  - without one: classifyCurrentException only; *errorText is not touched.
//
// Lock order: the adapter's expert-pointer lock is a leaf, held only to read or replace the
// pointer (never across a call into an expert or the host); the delayed expert's lock and the
// notification handler's lock are taken without it.
//
// Destruction (entered from the final Release with the count parked at 1): FinalRelease drops the
// delayed expert first, then has the notification handler drop the host's sink; both happen
// while the object is still complete, so code that calls back into the object (AddRef/Release
// pairs of the expert, a host sink releasing its own references) reaches working operations.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "qo/dsc/HostText.h"
#include "qoapal/protons/thread/tThreadController.h"
#include "sysapicpp/DeferredDestruction.h"
#include "qo/dsc/Utf8.h"
#include "sysapicpp/ExceptionTranslation.h"
#include "sysapicpp/Expert.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/SyncNotificationHandler.h"
#include "sysapicpp/com/CQOComObject.h"
#include "sysapicpp/com/CQOComPtr.h"
#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/enum/CmxSysEnumItemNamesSTL.h"
#include "sysapicpp/enum/CmxSysEnumPropertyTagsSTL.h"
#include "sysapicpp/interfaces/ImxSysBinaryImage.h"
#include "sysapicpp/interfaces/ImxSysExpert.h"
#include "sysapicpp/interfaces/ImxSysExpertDiagnostic.h"
#include "sysapicpp/interfaces/ImxSysExpertFirmware.h"
#include "sysapicpp/interfaces/ImxSysExpertPlugPlay.h"
#include "sysapicpp/interfaces/ImxSysPropertyBag.h"
#include "sysapicpp/propbag/BinaryImageHandle.h"
#include "sysapicpp/propbag/PropertyBagHandle.h"

namespace sysapicpp {

inline constexpr char kExpertAdapterSource[] = "sysapicpp/ExpertAdapter";
// Line reported when an operation needs the delayed expert and there is none.
inline constexpr int kExpertAdapterNoExpertLine = 1;
// Line reported when a promised property bag is null.
inline constexpr int kExpertAdapterNullBagLine = 2;
// Line reported by Initialize for a delayed expert type it cannot make.
inline constexpr int kExpertAdapterNoInitializeLine = 3;

// The host's item collector (EnumerateItems) is known only by one operation: its sixth table
// entry (the third after IUnknown's three), taking one property-bag pointer.
inline constexpr std::size_t kItemCollectorCollectSlot = 5;

namespace adapter_detail {

// True when every character of the NUL-terminated host string is a Unicode scalar value.
inline bool isWellFormedHostString(const wchar_t* text) noexcept {
  for (; *text != L'\0'; ++text) {
    const auto c = static_cast<std::uint32_t>(*text);
    if (c > 0x10FFFFu || (c >= 0xD800u && c <= 0xDFFFu)) return false;
  }
  return true;
}

// A host string argument as UTF-8: S_OK, E_INVALIDARG (not Unicode text) or E_OUTOFMEMORY.
inline HRESULT hostTextIn(const wchar_t* text, std::string& out) noexcept {
  if (!isWellFormedHostString(text)) return E_INVALIDARG;
  try {
    out = qo::dsc::wideToUtf8(text);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_INVALIDARG;
  }
}

// A UTF-8 text as a new host string in *out: cut to at most 0xFFFFFFFF bytes at a character
// boundary, widened, copied into a host block. E_OUTOFMEMORY (and *out untouched) when the block
// cannot be allocated. Malformed UTF-8 raises qo::dsc::exception::InvalidSequence.
inline HRESULT hostTextOut(std::string_view utf8, wchar_t** out) {
  const std::wstring wide = qo::dsc::toHostWide(utf8);
  wchar_t* copy = CqoBStr::alloc(wide.data(), wide.size());
  if (copy == nullptr) return E_OUTOFMEMORY;
  *out = copy;
  return S_OK;
}

// Text out into an optional out-pointer: nothing to store without one.
inline HRESULT optionalTextOut(std::string_view utf8, wchar_t** out) {
  return out == nullptr ? S_OK : hostTextOut(utf8, out);
}

// A host string argument and where its UTF-8 form goes.
struct tHostText {
  const wchar_t* text;
  std::string* utf8;
};

// The argument checks of a host operation, in this order: `pointers` and the host strings of
// `texts` not null (E_POINTER); the host strings converted (hostTextIn); `outPointers` not null
// (E_POINTER). S_OK or the first failure.
inline HRESULT checkArguments(std::initializer_list<const void*> pointers,
                              std::initializer_list<tHostText> texts,
                              std::initializer_list<const void*> outPointers) noexcept {
  for (const void* pointer : pointers)
    if (pointer == nullptr) return E_POINTER;
  for (const tHostText& text : texts)
    if (text.text == nullptr) return E_POINTER;
  for (const tHostText& text : texts)
    if (const HRESULT hr = hostTextIn(text.text, *text.utf8); hr < 0) return hr;
  for (const void* pointer : outPointers)
    if (pointer == nullptr) return E_POINTER;
  return S_OK;
}

// Property bags collected from the expert, each holding its reference until the vector goes
// (released in order, first to last).
using tHeldBags = std::vector<CQOComPtr<ImxSysPropertyBag>>;

// Drops the reference of each bag of `raw`, in order: each is adopted by a holder that goes at
// once. Null entries hold none.
inline void dropBags(const std::vector<ImxSysPropertyBag*>& raw) noexcept {
  for (ImxSysPropertyBag* bag : raw) CQOComPtr<ImxSysPropertyBag> dropped(bag);
}

// The expert's property bags, their references adopted once its call has returned. The expert
// fills a plain vector (its interface); the bags appended before an exception, its own or memory
// running out for the holders, are released before the exception leaves.
inline tHeldBags allPropertyBags(Expert& expert) {
  std::vector<ImxSysPropertyBag*> raw;
  tHeldBags held;
  try {
    expert.getAllPropertyBags(raw);
    held.reserve(raw.size());
  } catch (...) {
    dropBags(raw);
    throw;
  }
  for (ImxSysPropertyBag* bag : raw) held.emplace_back(bag);
  return held;
}

// The adapter's delayed expert, behind a small lock that guards the pointer and the count of its
// running operations (leases). Each operation takes a lease (load), so replacing or dropping the
// expert never deletes it under a running operation. Assigning a raw pointer adopts it.
//
// Where an expert is destroyed: never on one of the library's own threads (task workers,
// presence threads), whose owner it is. An expert dropped (store) on a host thread is destroyed
// right there once its running operations have ended: store waits for them. When the dropping
// thread is a library thread (a host sink calling Shutdown inside a notice), or holds a lease
// on that expert itself, the expert is left to its last lease; the last lease destroys it when
// it ends on a host thread and hands it to the destruction thread (DeferredDestruction.h) when it
// ends on a library thread.
//
// Lock order: the slot lock is a leaf; no expert or host code runs under it.
template <class D>
class DelayedExpertSlot {
  struct Entry {
    std::unique_ptr<D> expert;
    unsigned users = 0;    // leases not yet ended
    bool retired = false;  // no longer installed
    bool awaited = false;  // a store is waiting to destroy it
  };

  // Leases held by this thread (entries), so a thread never waits for itself.
  static std::vector<const void*>& heldByThisThread() {
    thread_local std::vector<const void*> held;
    return held;
  }

 public:
  // One running operation's hold on the expert. Behaves as a pointer to it.
  class Lease {
   public:
    Lease() noexcept = default;
    Lease(Lease&& other) noexcept
        : slot_(std::exchange(other.slot_, nullptr)), entry_(std::move(other.entry_)) {}
    Lease& operator=(Lease&&) = delete;
    Lease(const Lease&) = delete;
    ~Lease() {
      if (slot_ != nullptr && entry_) slot_->end(entry_);
    }
    D* get() const noexcept { return entry_ ? entry_->expert.get() : nullptr; }
    D* operator->() const noexcept { return get(); }
    D& operator*() const noexcept { return *get(); }
    explicit operator bool() const noexcept { return get() != nullptr; }
    friend bool operator==(const Lease& lease, std::nullptr_t) noexcept { return !lease; }

   private:
    friend class DelayedExpertSlot;
    Lease(DelayedExpertSlot* slot, std::shared_ptr<Entry> entry) noexcept
        : slot_(slot), entry_(std::move(entry)) {}
    DelayedExpertSlot* slot_ = nullptr;
    std::shared_ptr<Entry> entry_;
  };

  DelayedExpertSlot() noexcept = default;
  DelayedExpertSlot(const DelayedExpertSlot&) = delete;
  DelayedExpertSlot& operator=(const DelayedExpertSlot&) = delete;
  ~DelayedExpertSlot() { store(nullptr); }

  Lease load() noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    if (!entry_) return Lease();
    try {
      heldByThisThread().push_back(entry_.get());
    } catch (...) {
      return Lease();  // cannot even record a lease: behave as without an expert
    }
    ++entry_->users;
    return Lease(this, entry_);
  }

  // Installs `next` (null: none); the previous expert is destroyed as described above.
  void store(std::unique_ptr<D> next) noexcept {
    std::shared_ptr<Entry> fresh;
    if (next) {
      try {
        fresh = std::make_shared<Entry>();
      } catch (...) {
        next.reset();  // cannot hold it: dropped (destroyed on this thread, it never ran)
      }
      if (fresh) fresh->expert = std::move(next);
    }
    std::shared_ptr<Entry> old;
    {
      std::lock_guard<std::mutex> guard(lock_);
      old = std::exchange(entry_, std::move(fresh));
    }
    retire(std::move(old));
  }
  DelayedExpertSlot& operator=(D* owned) {
    store(std::unique_ptr<D>(owned));
    return *this;
  }

 private:
  static bool heldHere(const Entry* entry) {
    for (const void* held : heldByThisThread())
      if (held == entry) return true;
    return false;
  }

  static void destroyHere(const std::shared_ptr<Entry>& entry) noexcept { entry->expert.reset(); }
  static void destroyOffLibraryThread(std::shared_ptr<Entry> entry) noexcept {
    if (!::nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tThreadController::onControlledThread()) {
      destroyHere(entry);
      return;
    }
    deferDestruction([entry = std::move(entry)] { destroyHere(entry); });
  }

  void retire(std::shared_ptr<Entry> old) noexcept {
    if (!old) return;
    std::unique_lock<std::mutex> guard(lock_);
    old->retired = true;
    if (old->users == 0) {
      guard.unlock();
      destroyOffLibraryThread(std::move(old));
      return;
    }
    if (::nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tThreadController::onControlledThread() ||
        heldHere(old.get()))
      return;  // the last lease destroys it
    old->awaited = true;
    ended_.wait(guard, [&] { return old->users == 0; });
    guard.unlock();
    destroyHere(old);
  }

  void end(const std::shared_ptr<Entry>& entry) noexcept {
    auto& held = heldByThisThread();
    for (auto it = held.end(); it != held.begin();) {
      --it;
      if (*it == entry.get()) {
        held.erase(it);
        break;
      }
    }
    std::unique_lock<std::mutex> guard(lock_);
    if (--entry->users != 0) return;
    if (entry->awaited) {
      guard.unlock();
      ended_.notify_all();
      return;
    }
    if (!entry->retired) return;
    guard.unlock();
    destroyOffLibraryThread(entry);
  }

  std::mutex lock_;
  std::condition_variable ended_;
  std::shared_ptr<Entry> entry_;
};

}  // namespace adapter_detail

template <class D>
class ExpertAdapter : public virtual CQOComObjectRootEx<CQOComMultiThreadModelNoCS>,
                      public ImxSysExpert2,
                      public ImxSysExpertPlugPlay,
                      public ImxSysExpertDiagnostic,
                      public ImxSysExpertFirmware {
 public:
  using tDelayedExpert = D;

  ExpertAdapter() noexcept : notificationHandler_(static_cast<ImxSysExpert2*>(this)) {}
  ~ExpertAdapter() = default;

  // The final Release made on one of the library's own threads (a host sink letting go of its
  // last reference inside a notice) must not destroy the object there: its clean-up joins that
  // very thread. The destruction thread does it instead, once the notice has returned.
  static bool deferFinalDestruction(std::function<void()> destroy) noexcept {
    if (!::nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tThreadController::onControlledThread())
      return false;
    deferDestruction(std::move(destroy));
    return true;
  }

  // Clean-up of the final Release (see above).
  void FinalRelease() noexcept {
    delayedExpert_.store(nullptr);
    notificationHandler_.clearSink();
  }

  static std::array<CQOInterfaceEntry, 7> qoBuildInterfaceTable(ExpertAdapter* self) noexcept {
    return {{qoInterfaceEntry<ImxSysExpert2>(IID_ImxSysExpertInfo, self),
             qoInterfaceEntry<ImxSysExpert2>(IID_ImxSysExpert, self),
             qoInterfaceEntry<ImxSysExpert2>(IID_ImxSysExpert2, self),
             qoInterfaceEntry<ImxSysExpertPlugPlay>(IID_ImxSysExpertPlugPlay, self),
             qoInterfaceEntry<ImxSysExpertDiagnostic>(IID_ImxSysExpertDiagnostic, self),
             qoInterfaceEntry<ImxSysExpertFirmware>(IID_ImxSysExpertFirmware, self),
             kQoInterfaceTableEnd}};
  }

  SyncNotificationHandler& notificationHandler() noexcept { return notificationHandler_; }
  // The current delayed expert (null before Initialize and after Shutdown), leased for as long
  // as the result lives.
  typename adapter_detail::DelayedExpertSlot<D>::Lease delayedExpert() const noexcept {
    return delayedExpert_.load();
  }

  // The boundary translator; call only inside a catch handler (see above).
  HRESULT handleException(wchar_t** errorText) noexcept {
    const auto expert = delayedExpert();
    if (!expert) return classifyCurrentException();
    HRESULT result;
    std::string text;
    try {
      result = expert->translateException(text);
    } catch (...) {
      result = classifyCurrentException();
    }
    if (errorText != nullptr) {
      try {
        const HRESULT stored = adapter_detail::hostTextOut(text, errorText);
        if (stored < 0) result = stored;
      } catch (...) {
        // The translator's text is not UTF-8: the host still gets an (empty) string.
        wchar_t* empty = CqoBStr::alloc(L"");
        if (empty == nullptr) return E_OUTOFMEMORY;
        *errorText = empty;
      }
    }
    return result;
  }

  // --- ImxSysExpertInfo ------------------------------------------------------------------------
  HRESULT GetExpertGuid(GUID* guid) override {
    return hostCall({guid}, {}, {}, nullptr, [&]() -> HRESULT {
      *guid = requireExpert()->getExpertGuid();
      return S_OK;
    });
  }
  HRESULT GetExpertName(wchar_t** name) override {
    return identityText(name, [](D& e) { return e.getExpertName(); });
  }
  HRESULT GetExpertVersion(wchar_t** version) override {
    return identityText(version, [](D& e) { return e.getExpertVersion(); });
  }
  HRESULT GetExpertIdentifier(wchar_t** identifier) override {
    return identityText(identifier, [](D& e) { return e.getExpertIdentifier(); });
  }

  // --- ImxSysExpert / ImxSysExpert2 ------------------------------------------------------------
  HRESULT Initialize() override {
    return hostCall(nullptr, [&]() -> HRESULT {
      if constexpr (std::is_constructible_v<D, SyncNotificationHandler*>) {
        delayedExpert_.store(std::make_unique<D>(&notificationHandler_));
        return S_OK;
      } else {
        // A delayed expert type that cannot be made from the handler is installed by its owner.
        throw NotImplException(tRaiseContext{kExpertAdapterSource, kExpertAdapterNoInitializeLine,
                                             ::nQOVORLIXATOMICSAE_23_3::kComponentName});
      }
    });
  }

  HRESULT Shutdown() override {
    return hostCall(nullptr, [&]() -> HRESULT {
      notificationHandler_.clearSink();
      delayedExpert_.store(nullptr);
      return S_OK;
    });
  }

  HRESULT EnumerateItems(IUnknown* collector) override {
    return hostCall({collector}, {}, {}, nullptr, [&]() -> HRESULT {
      const auto expert = requireExpert();
      const adapter_detail::tHeldBags collected = adapter_detail::allPropertyBags(*expert);
      if (collected.empty()) return S_FALSE;
      // The collector's operation, reached through its table as the host declares it.
      using tCollect = HRESULT (*)(IUnknown*, ImxSysPropertyBag*);
      auto* const* table = *reinterpret_cast<void* const* const*>(collector);
      const auto collect = reinterpret_cast<tCollect>(table[kItemCollectorCollectSlot]);
      for (const auto& bag : collected) (void)collect(collector, bag.get());
      return S_OK;
    });
  }

  HRESULT GetItemNames(ImxSysEnumStringList** names) override {
    return hostCall({names}, {}, {}, nullptr, [&]() -> HRESULT {
      const auto expert = requireExpert();
      std::vector<std::string> utf8;
      expert->getItemNames(utf8);
      if (utf8.empty()) return S_FALSE;
      std::vector<std::wstring> wide = qo::dsc::toHostWideList(utf8);
      ImxSysEnumStringList* enumerator = nullptr;
      const HRESULT hr = CmxSysEnumItemNamesSTL::create(std::move(wide), &enumerator);
      if (hr < 0) return hr;
      *names = enumerator;
      return S_OK;
    });
  }

  HRESULT GetPropertyBag(const wchar_t* itemName, ImxSysPropertyBag** bag) override {
    std::string name;
    return hostCall({}, {{itemName, &name}}, {bag}, nullptr, [&]() -> HRESULT {
      *bag = nullptr;
      ImxSysPropertyBag* result = requireExpert()->getPropertyBag(name);
      if (result == nullptr) throwNullBag();  // a bag was promised: broken invariant
      *bag = result;
      return S_OK;
    });
  }

  HRESULT GetPropertyBagWithRefresh(const wchar_t* itemName, unsigned count, const unsigned* tags,
                                    int flag, ImxSysPropertyBag** bag) override {
    std::string name;
    return hostCall({tags}, {{itemName, &name}}, {bag}, nullptr, [&]() -> HRESULT {
      *bag = nullptr;
      const auto expert = requireExpert();
      std::vector<std::uint32_t> list(tags, tags + count);
      // Held here until the subset answer is known, so a failure hands out nothing.
      CQOComPtr<ImxSysPropertyBag> held(expert->getPropertyBagWithRefresh(name, list, flag != 0));
      if (!held) throwNullBag();
      const HRESULT answer = subsetAnswer(*held.get(), list);
      *bag = held.detach();
      return answer;
    });
  }

  HRESULT SetOption(unsigned value) override {
    return hostCall(nullptr, [&]() -> HRESULT {
      requireExpert()->setOption(value);
      return S_OK;
    });
  }

  HRESULT CommitPropertyBag(const wchar_t* itemName, const wchar_t* text, int value, int* changed,
                            wchar_t** resultText) override {
    std::string name, input;
    return hostCall({}, {{itemName, &name}, {text, &input}}, {changed, resultText}, nullptr,
                    [&]() -> HRESULT {
                      *changed = 0;
                      std::string out;
                      requireExpert()->commitPropertyBag(name, input, value, out);
                      // Written before the text is allocated: the change happened even if the
                      // text is lost.
                      *changed = out.empty() ? 0 : 1;
                      return adapter_detail::hostTextOut(out, resultText);
                    });
  }

  HRESULT ExtendedOperation1(const wchar_t* itemName, IUnknown* bag, ImxSysEnumPropertyTag** tags,
                             wchar_t** errorText) override {
    std::string name;
    return hostCall({bag}, {{itemName, &name}}, {tags}, errorText, [&]() -> HRESULT {
      const auto expert = requireExpert();
      PropertyBagHandle handle(bag);
      *tags = nullptr;
      std::set<std::uint32_t> found;
      std::string error;
      expert->extendedOperation1(name, handle, found, error);
      CQOComPtr<ImxSysEnumPropertyTag> enumerator;
      if (!found.empty()) {
        const HRESULT hr = CmxSysEnumPropertyTagsSTL::create(std::move(found), enumerator.out());
        if (hr < 0) return hr;
      }
      if (const HRESULT hr = adapter_detail::optionalTextOut(error, errorText); hr < 0) return hr;
      *tags = enumerator.detach();
      return *tags != nullptr ? S_OK : S_FALSE;
    });
  }

  // The last parameter belongs to the host's declaration; this expert does not use it.
  HRESULT ExtendedOperation2(const wchar_t* itemName, IUnknown* bag, int* result,
                             wchar_t** /*text*/) override {
    std::string name;
    return hostCall({bag}, {{itemName, &name}}, {result}, nullptr, [&]() -> HRESULT {
      const auto expert = requireExpert();
      PropertyBagHandle handle(bag);
      std::int32_t value = 0;
      std::string unused;
      expert->extendedOperation2(name, handle, value, unused);
      *result = value;
      return S_OK;
    });
  }

  // --- ImxSysExpertPlugPlay --------------------------------------------------------------------
  HRESULT SetNotificationSink(IUnknown* sink) override {
    return hostCall(nullptr, [&]() -> HRESULT {
      if (sink != nullptr)
        notificationHandler_.setSink(sink);
      else
        notificationHandler_.clearSink();
      return S_OK;
    });
  }

  // --- ImxSysExpertDiagnostic ------------------------------------------------------------------
  HRESULT DiagnosticOperation1(const wchar_t* itemName, int value) override {
    std::string name;
    return hostCall({}, {{itemName, &name}}, {}, nullptr, [&]() -> HRESULT {
      requireExpert()->diagnosticOperation1(name, value);
      return S_OK;
    });
  }

  // A non-zero mode rejected with 0x80040376 (an exception the boundary classifies as that code:
  // an InvalidModeException, or the code thrown as an integer) is run once more in mode 0; the
  // result is then 0x00040370 with the text of the mode-0 run.
  HRESULT RunDiagnostic(const wchar_t* itemName, int mode, wchar_t** resultText) override {
    std::string name;
    return hostCall({}, {{itemName, &name}}, {}, resultText, [&]() -> HRESULT {
      const auto expert = requireExpert();
      std::string text;
      HRESULT answer = S_OK;
      try {
        expert->runDiagnostic(name, mode, text);
      } catch (...) {
        if (mode == 0 || classifyCurrentException() != InvalidModeException::kCode) throw;
        answer = kDiagnosticRepeatedInMode0;
      }
      if (answer == kDiagnosticRepeatedInMode0) {
        text.clear();
        expert->runDiagnostic(name, 0, text);
      }
      if (const HRESULT hr = adapter_detail::optionalTextOut(text, resultText); hr < 0) return hr;
      return answer;
    });
  }

  HRESULT DiagnosticOperation3(const wchar_t* itemName, wchar_t** text) override {
    std::string name;
    return hostCall({}, {{itemName, &name}}, {}, text, [&]() -> HRESULT {
      std::string out;
      requireExpert()->diagnosticOperation3(name, out);
      return adapter_detail::optionalTextOut(out, text);
    });
  }

  // --- ImxSysExpertFirmware --------------------------------------------------------------------
  HRESULT BeginFirmwareUpdate(const wchar_t* itemName, int flag, int value,
                              wchar_t** text) override {
    std::string name;
    return hostCall({}, {{itemName, &name}}, {text}, nullptr, [&]() -> HRESULT {
      const std::string out = requireExpert()->beginFirmwareUpdate(name, flag != 0, value);
      return adapter_detail::hostTextOut(out, text);
    });
  }

  HRESULT UpdateFirmware(const wchar_t* itemName, const wchar_t* text1, int flag,
                         const wchar_t* text2, ImxSysBinaryImage* image) override {
    std::string name, first, second;
    return hostCall({image}, {{itemName, &name}, {text1, &first}, {text2, &second}}, {}, nullptr,
                    [&]() -> HRESULT {
                      const auto expert = requireExpert();
                      BinaryImageHandle handle(image);  // one reference for the update call
                      expert->updateFirmware(name, first, flag != 0, second, handle);
                      return S_OK;
                    });
  }

  HRESULT FirmwareOperation3(const wchar_t* itemName, const wchar_t* text1, int flag,
                             const wchar_t* text2) override {
    std::string name, first, second;
    return hostCall({}, {{itemName, &name}, {text1, &first}, {text2, &second}}, {}, nullptr,
                    [&]() -> HRESULT {
                      requireExpert()->firmwareOperation3(name, first, flag != 0, second);
                      return S_OK;
                    });
  }

  HRESULT FirmwareOperation4(const wchar_t* itemName, const wchar_t* text) override {
    std::string name, input;
    return hostCall({}, {{itemName, &name}, {text, &input}}, {}, nullptr, [&]() -> HRESULT {
      requireExpert()->firmwareOperation4(name, input);
      return S_OK;
    });
  }

  HRESULT GetFirmwareUpdateStatus(const wchar_t* itemName, int* state, int* value,
                                  wchar_t** text) override {
    std::string name;
    return hostCall({}, {{itemName, &name}}, {state}, text, [&]() -> HRESULT {
      *state = 0;  // written on every path, failures included
      std::int32_t outState = 0, outValue = 0;
      std::string out;
      requireExpert()->getFirmwareUpdateStatus(name, outState, outValue, out);
      *state = outState;
      if (value != nullptr) *value = outValue;
      return adapter_detail::optionalTextOut(out, text);
    });
  }

 protected:
  // One host operation: its argument checks, then `body`, every exception of which becomes the
  // result through handleException(errorText). The checks, in the order every operation makes
  // them: `pointers` and the host strings of `texts` not null (E_POINTER); the host strings
  // converted to UTF-8 (E_INVALIDARG, E_OUTOFMEMORY); `outPointers` not null (E_POINTER).
  template <class Body>
  HRESULT hostCall(std::initializer_list<const void*> pointers,
                   std::initializer_list<adapter_detail::tHostText> texts,
                   std::initializer_list<const void*> outPointers, wchar_t** errorText,
                   Body&& body) noexcept {
    const HRESULT checked = adapter_detail::checkArguments(pointers, texts, outPointers);
    if (checked < 0) return checked;
    try {
      return body();
    } catch (...) {
      return handleException(errorText);
    }
  }
  template <class Body>
  HRESULT hostCall(wchar_t** errorText, Body&& body) noexcept {
    return hostCall({}, {}, {}, errorText, std::forward<Body>(body));
  }

  // The answer of a refresh that asked for `tags`: S_OK when the bag holds every one (or none was
  // asked for), S_FALSE when it holds some, 0x80040371 when it holds none.
  static HRESULT subsetAnswer(ImxSysPropertyBag& bag, const std::vector<std::uint32_t>& tags) {
    if (tags.empty()) return S_OK;
    std::size_t present = 0;
    for (std::uint32_t tag : tags)
      if (bag.HasTag(tag) == S_OK) ++present;
    return present == tags.size() ? S_OK : present == 0 ? kPropertyNotPresent : S_FALSE;
  }

  [[noreturn]] static void throwNoExpert() {
    throw UnexpectedException(tRaiseContext{kExpertAdapterSource, kExpertAdapterNoExpertLine,
                                            ::nQOVORLIXATOMICSAE_23_3::kComponentName});
  }

  [[noreturn]] static void throwNullBag() {
    throw UnexpectedException(tRaiseContext{kExpertAdapterSource, kExpertAdapterNullBagLine,
                                            ::nQOVORLIXATOMICSAE_23_3::kComponentName});
  }

  // The delayed expert for one operation; UnexpectedException when there is none.
  typename adapter_detail::DelayedExpertSlot<D>::Lease requireExpert() const {
    auto expert = delayedExpert();
    if (!expert) throwNoExpert();
    return expert;
  }

  // Identity text: the value is computed first, then the out-pointer is checked.
  template <class Get>
  HRESULT identityText(wchar_t** out, Get get) {
    return hostCall(nullptr, [&]() -> HRESULT {
      const std::string value = get(*requireExpert());
      if (out == nullptr) return E_POINTER;
      return adapter_detail::hostTextOut(value, out);
    });
  }

  SyncNotificationHandler notificationHandler_;
  mutable adapter_detail::DelayedExpertSlot<D> delayedExpert_;
};

}  // namespace sysapicpp
