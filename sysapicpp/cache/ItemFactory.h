// sysapicpp::ItemFactory: what an item cache needs to fill itself: the names of all items that
// exist now, and new items for given names. Called by the cache with its map lock held (see
// sysapicpp/cache/ItemCache.h); a factory may call back into the cache on the same thread.
#pragma once

#include <string>
#include <vector>

#include "sysapicpp/cache/Item.h"
#include "sysapicpp/cache/SharedPtrHelper.h"

namespace sysapicpp {

class ItemFactory {
 public:
  virtual ~ItemFactory() = default;

  // Appends the names of all items that exist now.
  virtual void getItemNames(std::vector<std::string>& names) = 0;
  // One new item per name, in order. Throws when an item cannot be made.
  virtual std::vector<SharedPtrHelper<Item>> createItems(const std::vector<std::string>& names) = 0;

 protected:
  ItemFactory() = default;
  ItemFactory(const ItemFactory&) = default;
  ItemFactory& operator=(const ItemFactory&) = default;
};

}  // namespace sysapicpp
