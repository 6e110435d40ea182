// sysapicpp::ItemCache: an expert's items by name, filled lazily from an item factory and kept
// current by queued change notices that refresh() applies in one batch.
//
//  - The first refresh() asks the factory for the names of all items and creates them; notices
//    to remove or invalidate queued before it are discarded (the full list supersedes them).
//  - Later refreshes apply only the queued notices, in this order: removal, then invalidation,
//    then creation. So a name removed and added again in one batch gets a new item, and a newly
//    created item is never invalidated by the batch that created it. A refresh with nothing
//    queued calls neither the factory nor any item.
//  - An item is stored under the name it reports (Item::getName), not the name requested; a
//    created item whose name is already present is dropped and the existing one stays.
//  - Names are ordered byte-wise (bytes as unsigned, then the shorter name first): "KEL10"
//    comes before "KEL2".
//  - Notice kinds: 1 added (create), 2 removed (remove), 3 changed (invalidate); 4 raises
//    UnexpectedException (0x8000FFFF) and queues nothing; any other kind is ignored.
//  - Handles returned by the cache each carry their own reference; an item removed from the
//    cache lives on while a caller still holds a handle to it.
//  - refresh() drops its references to removed items after it has released the map lock (still
//    before it returns): destroying an item can wait for work of its own (a firmware update the
//    platform library is still running), and host calls for other items must not wait for that.
//  - Failures of the factory or an item during refresh() propagate after both locks are
//    released; the notices taken for that batch are lost, the steps already done stay done and
//    the cache counts as populated.
//
// Lock order: map lock -> lists lock. refresh() holds the map lock throughout, also while it
// calls the factory and the items, so the order continues map lock -> factory and item locks;
// factories and items must never take the map lock while holding a lock of their own. Both cache
// locks are recursive: a factory or item called by refresh() may call back into the cache on
// the same thread. Queueing takes only the lists lock, so notices can be queued while a long
// refresh runs; they wait for the next refresh.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qo/dsc/CqoCS.h"
#include "sysapicpp/cache/Item.h"
#include "sysapicpp/cache/ItemCacheInterface.h"
#include "sysapicpp/cache/ItemFactory.h"
#include "sysapicpp/cache/SharedPtrHelper.h"

namespace sysapicpp {

// Byte-wise name order: bytes compared as unsigned over the common length, then shorter first.
struct ItemNameLess {
  bool operator()(const std::string& a, const std::string& b) const noexcept {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    const int c = common != 0 ? std::memcmp(a.data(), b.data(), common) : 0;
    return c != 0 ? c < 0 : a.size() < b.size();
  }
};

class ItemCache final : public ItemCacheInterface {
 public:
  static constexpr char kSourceName[] = "sysapicpp/cache/ItemCache";
  static constexpr int kLineNullFactory = 31;
  static constexpr int kLineItemNotExist = 47;
  static constexpr int kLineRejectedKind = 134;      // notifyItemChange
  static constexpr int kLineRejectedKindList = 152;  // notifyItemsChange

  // `factory` is not owned and must outlive the cache; null raises InvalidArgException.
  explicit ItemCache(ItemFactory* factory);
  ~ItemCache();
  ItemCache(const ItemCache&) = delete;
  ItemCache& operator=(const ItemCache&) = delete;

  // Applies the queued notices (see above).
  void refresh() override;
  // Appends every name in map order.
  void getItemNames(std::vector<std::string>& names) override;
  bool isEmpty() override;
  // A new handle to the item of that name; none: ItemNotExistException (0x80040375).
  SharedPtrHelper<Item> getItem(const std::string& name) override;
  bool hasItem(const std::string& name) override;
  // A new handle to every item, in map order.
  std::vector<SharedPtrHelper<Item>> getAllItems() override;

  void addItemsToCreate(const std::vector<std::string>& names) override;
  void addItemToCreate(const std::string& name) override;
  void addItemsToInvalidate(const std::vector<std::string>& names) override;
  void addItemToInvalidate(const std::string& name) override;
  void addItemsToRemove(const std::vector<std::string>& names) override;
  void addItemToRemove(const std::string& name) override;

  // Routes by kind: 1 create, 2 remove, 3 invalidate, 4 UnexpectedException, others ignored.
  void notifyItemChange(std::int32_t kind, const std::string& name) override;
  void notifyItemsChange(std::int32_t kind, const std::vector<std::string>& names) override;

  // True once refresh() has been entered (even if it failed).
  bool isPopulated();

 private:
  static void append(std::vector<std::string>& list, const std::vector<std::string>& names);

  ItemFactory* factory_;  // not owned
  CqoCS mapLock_;
  std::map<std::string, SharedPtrHelper<Item>, ItemNameLess> items_;
  CqoCS listsLock_;
  bool populated_ = false;
  std::vector<std::string> toCreate_;
  std::vector<std::string> toInvalidate_;
  std::vector<std::string> toRemove_;
};

}  // namespace sysapicpp
