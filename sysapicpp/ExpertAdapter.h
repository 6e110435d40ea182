// The expert object's class: it implements the six host interfaces of the expert (primary chain
// ImxSysExpertInfo / ImxSysExpert / ImxSysExpert2, then ImxSysExpertPlugPlay,
// ImxSysExpertDiagnostic and ImxSysExpertFirmware, each its own sub-object) and owns the
// notification handler and the delayed expert D.
//
// Layout (x86-64): the four interface sub-objects at offsets 0, 8, 16 and 24, then the
// notification handler, then the delayed-expert pointer, then the shared reference count (the
// virtual root).
//
// Destruction (entered from the final Release with the count parked at 1): FinalRelease deletes
// the delayed expert first, then has the notification handler drop the host's sink; both happen
// while the object is still complete, so code that calls back into the object (AddRef/Release
// pairs of the expert, a host sink releasing its own references) reaches working operations.
//
// The host operations convert arguments and call the delayed expert; they are being brought in
// with the expert framework. Until then each of them answers E_NOTIMPL without touching its
// arguments.
#pragma once

#include <array>
#include <utility>

#include "sysapicpp/SyncNotificationHandler.h"
#include "sysapicpp/com/CQOComObject.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/interfaces/ImxSysExpert.h"
#include "sysapicpp/interfaces/ImxSysExpertDiagnostic.h"
#include "sysapicpp/interfaces/ImxSysExpertFirmware.h"
#include "sysapicpp/interfaces/ImxSysExpertPlugPlay.h"

namespace sysapicpp {

template <class D>
class ExpertAdapter : public virtual CQOComObjectRootEx<CQOComMultiThreadModelNoCS>,
                      public ImxSysExpert2,
                      public ImxSysExpertPlugPlay,
                      public ImxSysExpertDiagnostic,
                      public ImxSysExpertFirmware {
 public:
  ExpertAdapter() noexcept : notificationHandler_(static_cast<ImxSysExpert2*>(this)) {}

  ~ExpertAdapter() { delete delayedExpert_; }

  // Clean-up of the final Release (see above).
  void FinalRelease() noexcept {
    delete std::exchange(delayedExpert_, nullptr);
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
  D* delayedExpert() const noexcept { return delayedExpert_; }

  // --- ImxSysExpertInfo (lands with the expert framework) ---
  HRESULT GetExpertGuid(GUID*) override { return E_NOTIMPL; }
  HRESULT GetExpertName(wchar_t**) override { return E_NOTIMPL; }
  HRESULT GetExpertVersion(wchar_t**) override { return E_NOTIMPL; }
  HRESULT GetExpertIdentifier(wchar_t**) override { return E_NOTIMPL; }

  // --- ImxSysExpert / ImxSysExpert2 (lands with the expert framework) ---
  HRESULT Initialize() override { return E_NOTIMPL; }
  HRESULT Shutdown() override { return E_NOTIMPL; }
  HRESULT EnumerateItems(IUnknown*) override { return E_NOTIMPL; }
  HRESULT GetItemNames(ImxSysEnumStringList**) override { return E_NOTIMPL; }
  HRESULT GetPropertyBag(const wchar_t*, ImxSysPropertyBag**) override { return E_NOTIMPL; }
  HRESULT GetPropertyBagWithRefresh(const wchar_t*, unsigned, const unsigned*, int,
                                    ImxSysPropertyBag**) override {
    return E_NOTIMPL;
  }
  HRESULT SetOption(unsigned) override { return E_NOTIMPL; }
  HRESULT CommitPropertyBag(const wchar_t*, const wchar_t*, int, int*, wchar_t**) override {
    return E_NOTIMPL;
  }
  HRESULT ExtendedOperation1(const wchar_t*, IUnknown*, ImxSysEnumPropertyTag**,
                             wchar_t**) override {
    return E_NOTIMPL;
  }
  HRESULT ExtendedOperation2(const wchar_t*, IUnknown*, int*, wchar_t**) override {
    return E_NOTIMPL;
  }

  // --- ImxSysExpertPlugPlay (lands with the expert framework) ---
  HRESULT SetNotificationSink(IUnknown*) override { return E_NOTIMPL; }

  // --- ImxSysExpertDiagnostic (lands with the expert framework) ---
  HRESULT DiagnosticOperation1(const wchar_t*, int) override { return E_NOTIMPL; }
  HRESULT RunDiagnostic(const wchar_t*, int, wchar_t**) override { return E_NOTIMPL; }
  HRESULT DiagnosticOperation3(const wchar_t*, wchar_t**) override { return E_NOTIMPL; }

  // --- ImxSysExpertFirmware (lands with the expert framework) ---
  HRESULT BeginFirmwareUpdate(const wchar_t*, int, int, wchar_t**) override { return E_NOTIMPL; }
  HRESULT UpdateFirmware(const wchar_t*, const wchar_t*, int, const wchar_t*,
                         ImxSysBinaryImage*) override {
    return E_NOTIMPL;
  }
  HRESULT FirmwareOperation3(const wchar_t*, const wchar_t*, int, const wchar_t*) override {
    return E_NOTIMPL;
  }
  HRESULT FirmwareOperation4(const wchar_t*, const wchar_t*) override { return E_NOTIMPL; }
  HRESULT GetFirmwareUpdateStatus(const wchar_t*, int*, int*, wchar_t**) override {
    return E_NOTIMPL;
  }

 protected:
  SyncNotificationHandler notificationHandler_;
  D* delayedExpert_ = nullptr;  // owned
};

}  // namespace sysapicpp
