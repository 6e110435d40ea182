#include "sysapicpp/cache/ItemCacheExpert.h"

#include "qoapal/component.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/tasks/Task.h"

namespace sysapicpp {

void AsyncAttributeUpdater::operator()() {
  (void)item->refreshProperties(tags);
  handler->notify(kItemsChanged, item->getName());
}

namespace ItemCacheExpert {

SharedPtrHelper<Item> refreshedItem(const CacheContext& context, const std::string& name) {
  context.cache->refresh();
  return context.cache->getItem(name);
}

ImxSysPropertyBag* getPropertyBagWithRefresh(const CacheContext& context, const std::string& name,
                                             const std::vector<std::uint32_t>& tags,
                                             bool allowAsynchronous) {
  const SharedPtrHelper<Item> item = refreshedItem(context, name);
  item->invalidate();
  item->prepareProperties();
  std::vector<std::uint32_t> onRequest;
  for (const std::uint32_t tag : tags)
    if (item->getTagUpdateKind(tag) == kTagUpdateOnRequest) onRequest.push_back(tag);
  if (!onRequest.empty()) {
    if (allowAsynchronous) {
      context.taskQueue->enqueue(FunctorTask<AsyncAttributeUpdater>(
          AsyncAttributeUpdater{context.asyncHandler, item, tags}));
      throw RefreshPendingException(tRaiseContext{kItemCacheExpertSource,
                                                  kItemCacheExpertRefreshPendingLine,
                                                  ::nQOVORLIXATOMICSAE_23_3::kComponentName});
    }
    if (item->refreshProperties(onRequest))
      context.asyncHandler->notify(kItemsChanged, item->getName());
  }
  return item->getPropertyBag();
}

}  // namespace ItemCacheExpert

}  // namespace sysapicpp
