// The expert interface shared by the delayed expert and the device expert. The adapter turns every
// host operation into one call of these; all strings are UTF-8. Failures are exceptions, turned
// into HRESULTs by the adapter.
//
// Slot order matters (other code relies on it): ExpertInfo's four identity operations, then
// Expert's destructor pair, then the operations in the order declared below.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sysapicpp/com/types.h"
#include "sysapicpp/interfaces/HostForward.h"

namespace sysapicpp {

class PropertyBagHandle;
class BinaryImageHandle;

class ExpertInfo {
 public:
  virtual GUID getExpertGuid() = 0;
  virtual std::string getExpertName() = 0;
  virtual std::string getExpertVersion() = 0;
  virtual std::string getExpertIdentifier() = 0;

 protected:
  // Not virtual: the destructor pair of the hierarchy belongs to Expert, after these four slots.
  ~ExpertInfo() = default;
};

class Expert : public ExpertInfo {
 public:
  virtual ~Expert() = default;

  // Appends the names of all items.
  virtual void getItemNames(std::vector<std::string>& names) = 0;
  // Appends one property bag per item, each carrying one reference for the caller.
  virtual void getAllPropertyBags(std::vector<ImxSysPropertyBag*>& bags) = 0;
  // The item's property bag, carrying one reference for the caller.
  virtual ImxSysPropertyBag* getPropertyBag(const std::string& itemName) = 0;
  // As getPropertyBag, refreshing the listed tags first; the tag list may be changed.
  // `allowAsynchronous` lets the expert refresh in the background and answer "pending" meanwhile.
  virtual ImxSysPropertyBag* getPropertyBagWithRefresh(const std::string& itemName,
                                                       std::vector<std::uint32_t>& tags,
                                                       bool allowAsynchronous) = 0;
  virtual void setOption(std::uint32_t value) = 0;
  virtual void commitPropertyBag(const std::string& itemName, const std::string& text,
                                 std::int32_t value, std::string& resultText) = 0;
  virtual void extendedOperation1(const std::string& itemName, PropertyBagHandle& bag,
                                  std::set<std::uint32_t>& tags, std::string& errorText) = 0;
  virtual void extendedOperation2(const std::string& itemName, PropertyBagHandle& bag,
                                  std::int32_t& result, std::string& text) = 0;
  virtual void diagnosticOperation1(const std::string& itemName, std::int32_t value) = 0;
  virtual void runDiagnostic(const std::string& itemName, std::int32_t mode,
                             std::string& resultText) = 0;
  virtual void diagnosticOperation3(const std::string& itemName, std::string& text) = 0;
  virtual std::string beginFirmwareUpdate(const std::string& itemName, bool flag,
                                          std::int32_t value) = 0;
  virtual void updateFirmware(const std::string& itemName, const std::string& text1, bool flag,
                              const std::string& text2, BinaryImageHandle& image) = 0;
  virtual void firmwareOperation3(const std::string& itemName, const std::string& text1, bool flag,
                                  const std::string& text2) = 0;
  virtual void firmwareOperation4(const std::string& itemName, const std::string& text) = 0;
  virtual void getFirmwareUpdateStatus(const std::string& itemName, std::int32_t& state,
                                       std::int32_t& value, std::string& text) = 0;
  // Called inside a catch handler: maps the exception in flight to an HRESULT, optionally filling
  // an error text; exceptions it does not know pass through.
  virtual HRESULT translateException(std::string& errorText) = 0;
};

}  // namespace sysapicpp
