#include "sysapicpp/cache/ItemCache.h"

#include <utility>

#include "qoapal/component.h"
#include "sysapicpp/HResultException.h"

namespace sysapicpp {

namespace {
tRaiseContext context(int line) {
  return tRaiseContext{ItemCache::kSourceName, line, nQOVORLIXATOMICSAE_23_3::kComponentName};
}
}  // namespace

ItemCache::ItemCache(ItemFactory* factory) : factory_(factory) {
  if (factory_ == nullptr) throw InvalidArgException(context(kLineNullFactory));
}

ItemCache::~ItemCache() = default;

void ItemCache::refresh() {
  // Declared before the map lock: removed items are released after it (also when the factory
  // throws below), so their destruction never holds up the other items' callers.
  std::vector<SharedPtrHelper<Item>> removed;
  CqoCSLock mapLock(mapLock_);
  std::vector<std::string> toCreate;
  std::vector<std::string> toInvalidate;
  std::vector<std::string> toRemove;
  bool wasPopulated;
  {
    CqoCSLock listsLock(listsLock_);
    toCreate.swap(toCreate_);
    toInvalidate.swap(toInvalidate_);
    toRemove.swap(toRemove_);
    wasPopulated = populated_;
    populated_ = true;
  }

  if (!wasPopulated) {
    // The full list supersedes every notice queued so far.
    std::vector<std::string> all;
    factory_->getItemNames(all);
    toCreate = std::move(all);
    toInvalidate.clear();
    toRemove.clear();
  }

  for (const std::string& name : toRemove) {
    auto it = items_.find(name);
    if (it == items_.end()) continue;
    removed.push_back(std::move(it->second));
    items_.erase(it);
  }

  for (const std::string& name : toInvalidate) {
    auto it = items_.find(name);
    if (it != items_.end() && it->second) it->second->invalidate();
  }

  if (!toCreate.empty()) {
    std::vector<SharedPtrHelper<Item>> created = factory_->createItems(toCreate);
    for (SharedPtrHelper<Item>& item : created) {
      if (!item) continue;  // a factory that could not make one item: nothing to store
      std::string name = item->getName();
      // Keeps an existing entry; the new handle is released with `created`.
      items_.try_emplace(std::move(name), item);
    }
  }
}

void ItemCache::getItemNames(std::vector<std::string>& names) {
  CqoCSLock lock(mapLock_);
  for (const auto& entry : items_) names.push_back(entry.first);
}

bool ItemCache::isEmpty() {
  CqoCSLock lock(mapLock_);
  return items_.empty();
}

SharedPtrHelper<Item> ItemCache::getItem(const std::string& name) {
  CqoCSLock lock(mapLock_);
  auto it = items_.find(name);
  if (it == items_.end()) throw ItemNotExistException(context(kLineItemNotExist));
  return it->second;
}

bool ItemCache::hasItem(const std::string& name) {
  CqoCSLock lock(mapLock_);
  return items_.find(name) != items_.end();
}

std::vector<SharedPtrHelper<Item>> ItemCache::getAllItems() {
  CqoCSLock lock(mapLock_);
  std::vector<SharedPtrHelper<Item>> all;
  all.reserve(items_.size());
  for (const auto& entry : items_) all.push_back(entry.second);
  return all;
}

void ItemCache::append(std::vector<std::string>& list, const std::vector<std::string>& names) {
  if (names.empty()) return;
  list.insert(list.end(), names.begin(), names.end());
}

void ItemCache::addItemsToCreate(const std::vector<std::string>& names) {
  CqoCSLock lock(listsLock_);
  append(toCreate_, names);
}

void ItemCache::addItemToCreate(const std::string& name) {
  CqoCSLock lock(listsLock_);
  toCreate_.push_back(name);
}

void ItemCache::addItemsToInvalidate(const std::vector<std::string>& names) {
  CqoCSLock lock(listsLock_);
  append(toInvalidate_, names);
}

void ItemCache::addItemToInvalidate(const std::string& name) {
  CqoCSLock lock(listsLock_);
  toInvalidate_.push_back(name);
}

void ItemCache::addItemsToRemove(const std::vector<std::string>& names) {
  CqoCSLock lock(listsLock_);
  append(toRemove_, names);
}

void ItemCache::addItemToRemove(const std::string& name) {
  CqoCSLock lock(listsLock_);
  toRemove_.push_back(name);
}

void ItemCache::notifyItemChange(std::int32_t kind, const std::string& name) {
  switch (kind) {
    case kItemsAdded:
      addItemToCreate(name);
      break;
    case kItemsRemoved:
      addItemToRemove(name);
      break;
    case kItemsChanged:
      addItemToInvalidate(name);
      break;
    case kItemsRejected:
      throw UnexpectedException(context(kLineRejectedKind));
    default:
      break;  // unknown kinds are ignored
  }
}

void ItemCache::notifyItemsChange(std::int32_t kind, const std::vector<std::string>& names) {
  switch (kind) {
    case kItemsAdded:
      addItemsToCreate(names);
      break;
    case kItemsRemoved:
      addItemsToRemove(names);
      break;
    case kItemsChanged:
      addItemsToInvalidate(names);
      break;
    case kItemsRejected:
      throw UnexpectedException(context(kLineRejectedKindList));
    default:
      break;  // unknown kinds are ignored
  }
}

bool ItemCache::isPopulated() {
  CqoCSLock lock(listsLock_);
  return populated_;
}

}  // namespace sysapicpp
