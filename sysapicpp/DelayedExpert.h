// The expert the adapter talks to: it answers the four identity questions from a static
// description and creates the device expert only when the first real operation arrives.
//
//   DelayedExpert<E, I>
//     E  the device expert: a sysapicpp::Expert constructible from (SyncNotificationHandler*).
//     I  the identity description, a class with four static members
//          static GUID guid();
//          static std::string name();
//          static std::string version();
//          static std::string identifier();
//
// Forwarding (every operation except the identity four and setOption):
//   take the lock; when there is no device expert yet, createExpert(context) makes one, which is
//   stored and given the current option through its setOption; release the lock; run the
//   operation on the device expert outside the lock. A failing creation stores nothing and its
//   exception propagates (after the lock is released), so the next operation tries again.
//   Concurrent first calls therefore create exactly one device expert, and operations then run
//   concurrently on it (the device expert does its own locking).
// setOption: under the lock, passed to an existing device expert, then stored; a device expert
//   created later receives the stored value.
// Destruction deletes the device expert if one was created.
//
// Lock order: the lock is a leaf except for the device expert's construction and its setOption,
// which run under it; no other lock of this library is held while taking it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "qo/dsc/CqoCS.h"
#include "sysapicpp/Expert.h"
#include "sysapicpp/SyncNotificationHandler.h"

namespace sysapicpp {

template <class E, class I>
class DelayedExpert : public Expert {
 public:
  explicit DelayedExpert(SyncNotificationHandler* context) noexcept : context_(context) {}
  ~DelayedExpert() override { delete deviceExpert_; }

  DelayedExpert(const DelayedExpert&) = delete;
  DelayedExpert& operator=(const DelayedExpert&) = delete;

  // --- Identity: answered from I, never creating the device expert -------------------------------
  GUID getExpertGuid() override { return I::guid(); }
  std::string getExpertName() override { return I::name(); }
  std::string getExpertVersion() override { return I::version(); }
  std::string getExpertIdentifier() override { return I::identifier(); }

  // --- Forwarded operations --------------------------------------------------------------------
  void getItemNames(std::vector<std::string>& names) override { expert().getItemNames(names); }
  void getAllPropertyBags(std::vector<ImxSysPropertyBag*>& bags) override {
    expert().getAllPropertyBags(bags);
  }
  ImxSysPropertyBag* getPropertyBag(const std::string& itemName) override {
    return expert().getPropertyBag(itemName);
  }
  ImxSysPropertyBag* getPropertyBagWithRefresh(const std::string& itemName,
                                               std::vector<std::uint32_t>& tags,
                                               bool allowAsynchronous) override {
    return expert().getPropertyBagWithRefresh(itemName, tags, allowAsynchronous);
  }
  void setOption(std::uint32_t value) override {
    CqoCSLock guard(lock_);
    if (deviceExpert_ != nullptr) deviceExpert_->setOption(value);
    option_ = value;
  }
  void commitPropertyBag(const std::string& itemName, const std::string& text, std::int32_t value,
                         std::string& resultText) override {
    expert().commitPropertyBag(itemName, text, value, resultText);
  }
  void extendedOperation1(const std::string& itemName, PropertyBagHandle& bag,
                          std::set<std::uint32_t>& tags, std::string& errorText) override {
    expert().extendedOperation1(itemName, bag, tags, errorText);
  }
  void extendedOperation2(const std::string& itemName, PropertyBagHandle& bag, std::int32_t& result,
                          std::string& text) override {
    expert().extendedOperation2(itemName, bag, result, text);
  }
  void diagnosticOperation1(const std::string& itemName, std::int32_t value) override {
    expert().diagnosticOperation1(itemName, value);
  }
  void runDiagnostic(const std::string& itemName, std::int32_t mode,
                     std::string& resultText) override {
    expert().runDiagnostic(itemName, mode, resultText);
  }
  void diagnosticOperation3(const std::string& itemName, std::string& text) override {
    expert().diagnosticOperation3(itemName, text);
  }
  std::string beginFirmwareUpdate(const std::string& itemName, bool flag,
                                  std::int32_t value) override {
    return expert().beginFirmwareUpdate(itemName, flag, value);
  }
  void updateFirmware(const std::string& itemName, const std::string& text1, bool flag,
                      const std::string& text2, BinaryImageHandle& image) override {
    expert().updateFirmware(itemName, text1, flag, text2, image);
  }
  void firmwareOperation3(const std::string& itemName, const std::string& text1, bool flag,
                          const std::string& text2) override {
    expert().firmwareOperation3(itemName, text1, flag, text2);
  }
  void firmwareOperation4(const std::string& itemName, const std::string& text) override {
    expert().firmwareOperation4(itemName, text);
  }
  void getFirmwareUpdateStatus(const std::string& itemName, std::int32_t& state,
                               std::int32_t& value, std::string& text) override {
    expert().getFirmwareUpdateStatus(itemName, state, value, text);
  }
  // Must be called inside a catch handler (the device expert rethrows the exception in flight).
  HRESULT translateException(std::string& errorText) override {
    return expert().translateException(errorText);
  }

  // Makes the device expert. Overridable so that a subclass can make a different one.
  virtual Expert* createExpert(SyncNotificationHandler* context) { return new E(context); }

  // --- Inspection ------------------------------------------------------------------------------
  bool hasDeviceExpert() const {
    CqoCSLock guard(lock_);
    return deviceExpert_ != nullptr;
  }
  std::uint32_t option() const {
    CqoCSLock guard(lock_);
    return option_;
  }
  SyncNotificationHandler* context() const noexcept { return context_; }

 private:
  // The device expert, created on first use.
  Expert& expert() {
    CqoCSLock guard(lock_);
    if (deviceExpert_ == nullptr) {
      Expert* created = createExpert(context_);
      try {
        created->setOption(option_);
      } catch (...) {
        delete created;
        throw;
      }
      deviceExpert_ = created;
    }
    return *deviceExpert_;
  }

  SyncNotificationHandler* context_;  // the adapter's handler; not owned
  std::uint32_t option_ = 0;
  mutable CqoCS lock_;
  Expert* deviceExpert_ = nullptr;  // owned
};

}  // namespace sysapicpp
