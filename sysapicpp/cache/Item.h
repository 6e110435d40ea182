// sysapicpp::Item: one item (board) of an expert, as the item cache stores it and the expert
// operations call it. Items are shared through SharedPtrHelper<Item> handles; an item lives as
// long as any handle (the cache's, a caller's, a queued task's) refers to it.
//
// Slot order matters: the destructor pair, then the operations in the order declared here.
// The cache itself calls only invalidate() and getName(). Items are called from host threads,
// task-queue workers and the presence notifier at once, so every operation must be thread-safe.
// An item must not take the item cache's map lock (call getItem, refresh, ...) while holding a
// lock of its own: the cache calls items with its map lock held.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sysapicpp/interfaces/HostForward.h"

namespace sysapicpp {

class PropertyBagHandle;
class BinaryImageHandle;

class Item {
 public:
  virtual ~Item() = default;

  // 2: the tag's value must be read from the hardware explicitly; 1: it is kept current anyway.
  virtual int getTagUpdateKind(std::uint32_t tag) = 0;
  // Marks the item's properties stale.
  virtual void invalidate() = 0;
  virtual void prepareProperties() = 0;
  // Re-reads the listed properties; true when every one was read and stored.
  virtual bool refreshProperties(const std::vector<std::uint32_t>& tags) = 0;
  // A copy of the item's property bag, carrying one reference for the caller.
  virtual ImxSysPropertyBag* getPropertyBag() = 0;
  // The item's name, the key under which the cache stores it.
  virtual std::string getName() = 0;
  virtual void setOption(std::uint32_t value) = 0;
  virtual void commitProperties(const std::string& text, std::int32_t value,
                                std::string& resultText) = 0;
  virtual void extendedOperation1(PropertyBagHandle& bag, std::set<std::uint32_t>& tags,
                                  std::string& errorText) = 0;
  virtual void extendedOperation2(PropertyBagHandle& bag, std::int32_t& result,
                                  std::string& text) = 0;
  virtual void diagnosticOperation1(std::int32_t value) = 0;
  virtual void runDiagnostic(std::int32_t mode, std::string& resultText) = 0;
  virtual void diagnosticOperation3(std::string& text) = 0;
  virtual std::string beginFirmwareUpdate() = 0;
  virtual void updateFirmware(const std::string& confirmingName, bool flag, const std::string& text,
                              BinaryImageHandle& image) = 0;
  virtual void firmwareOperation3(const std::string& text1, bool flag,
                                  const std::string& text2) = 0;
  virtual void firmwareOperation4(const std::string& text) = 0;
  virtual void getFirmwareUpdateStatus(std::int32_t& state, std::int32_t& percent,
                                       std::string& text) = 0;
  virtual bool itemQuery1() = 0;
  virtual int itemQuery2() = 0;
  virtual int itemQuery3() = 0;

 protected:
  Item() = default;
  Item(const Item&) = default;
  Item& operator=(const Item&) = default;
};

}  // namespace sysapicpp
