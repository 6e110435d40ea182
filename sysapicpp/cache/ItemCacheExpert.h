// The generic item operations of a cache-backed expert: what an expert does with the item cache,
// the asynchronous notification handler and the task queue it owns (the cache context).
//
// getPropertyBagWithRefresh(context, name, tags, allowAsynchronous):
//  1. refresh the cache, take the item (its handle is held to the end);
//  2. item invalidate(), then prepareProperties();
//  3. keep the requested tags whose update kind is 2 (read from the hardware on request), in
//     request order, duplicates kept;
//  4. none kept: return the item's bag;
//  5. asynchronous allowed: queue an AsyncAttributeUpdater (the handler, the item handle and the
//     whole requested list) and raise RefreshPendingException (0x80040377, line 126). The task
//     calls refreshProperties(whole list), ignores its result, and sends kind 3 (item changed)
//     with the item's name through the asynchronous handler;
//  6. otherwise refreshProperties(kept tags); when it answers true, kind 3 with the item's name
//     goes through the asynchronous handler (the host hears it on a worker thread);
//  7. return the item's bag (one reference for the caller).
// A failing refresh propagates, and nothing is notified then.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sysapicpp/NotificationHandler.h"
#include "sysapicpp/cache/Item.h"
#include "sysapicpp/cache/ItemCacheInterface.h"
#include "sysapicpp/cache/SharedPtrHelper.h"
#include "sysapicpp/interfaces/HostForward.h"
#include "sysapicpp/tasks/TaskQueue.h"

namespace sysapicpp {

inline constexpr char kItemCacheExpertSource[] = "sysapicpp/cache/ItemCacheExpert";
inline constexpr int kItemCacheExpertRefreshPendingLine = 126;
// Update kind of a tag that must be read from the hardware explicitly.
inline constexpr int kTagUpdateOnRequest = 2;

// The three objects every item operation uses, in this order.
struct CacheContext {
  ItemCacheInterface* cache;
  NotificationHandler* asyncHandler;
  TaskQueue* taskQueue;
};

// The background refresh queued by an asynchronous getPropertyBagWithRefresh.
struct AsyncAttributeUpdater {
  NotificationHandler* handler;  // outlives the task queue's workers
  SharedPtrHelper<Item> item;
  std::vector<std::uint32_t> tags;

  void operator()();
};

namespace ItemCacheExpert {

// Refreshes the cache and returns the named item (ItemNotExistException when absent).
SharedPtrHelper<Item> refreshedItem(const CacheContext& context, const std::string& name);

ImxSysPropertyBag* getPropertyBagWithRefresh(const CacheContext& context, const std::string& name,
                                             const std::vector<std::uint32_t>& tags,
                                             bool allowAsynchronous);

}  // namespace ItemCacheExpert

}  // namespace sysapicpp
