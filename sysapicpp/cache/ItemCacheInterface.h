// sysapicpp::ItemCacheInterface: the operations of an item cache (behaviour in
// sysapicpp/cache/ItemCache.h). Slot order matters; there is no virtual destructor: the owner
// destroys the concrete cache.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sysapicpp/cache/Item.h"
#include "sysapicpp/cache/SharedPtrHelper.h"

namespace sysapicpp {

// Change kinds of item notices (the host notification kinds use the same numbers).
enum ItemChangeKind : std::int32_t {
  kItemsAdded = 1,    // queued for creation
  kItemsRemoved = 2,  // queued for removal
  kItemsChanged = 3,  // queued for invalidation
  kItemsRejected = 4  // not accepted: raises UnexpectedException
};

class ItemCacheInterface {
 public:
  virtual void refresh() = 0;
  virtual void getItemNames(std::vector<std::string>& names) = 0;
  virtual bool isEmpty() = 0;
  virtual SharedPtrHelper<Item> getItem(const std::string& name) = 0;
  virtual bool hasItem(const std::string& name) = 0;
  virtual std::vector<SharedPtrHelper<Item>> getAllItems() = 0;
  virtual void addItemsToCreate(const std::vector<std::string>& names) = 0;
  virtual void addItemToCreate(const std::string& name) = 0;
  virtual void addItemsToInvalidate(const std::vector<std::string>& names) = 0;
  virtual void addItemToInvalidate(const std::string& name) = 0;
  virtual void addItemsToRemove(const std::vector<std::string>& names) = 0;
  virtual void addItemToRemove(const std::string& name) = 0;
  virtual void notifyItemChange(std::int32_t kind, const std::string& name) = 0;
  virtual void notifyItemsChange(std::int32_t kind, const std::vector<std::string>& names) = 0;

 protected:
  ItemCacheInterface() = default;
  ~ItemCacheInterface() = default;
  ItemCacheInterface(const ItemCacheInterface&) = default;
  ItemCacheInterface& operator=(const ItemCacheInterface&) = default;
};

}  // namespace sysapicpp
