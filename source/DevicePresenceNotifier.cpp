#include "source/DevicePresenceNotifier.h"

#include <algorithm>
#include <iterator>

#include "sysapicpp/cache/ItemCache.h"

namespace VorlixSysapiExpert::DevicePresenceNotifier {

void difference(std::vector<std::string> oldNames, std::vector<std::string> newNames,
                std::vector<std::string>& removed, std::vector<std::string>& added) {
  const sysapicpp::ItemNameLess less;
  std::sort(oldNames.begin(), oldNames.end(), less);
  std::sort(newNames.begin(), newNames.end(), less);
  // Two boards can report one device number: a name counts once, or it would be "added" at
  // every pass (a multiset difference keeps the second copy).
  oldNames.erase(std::unique(oldNames.begin(), oldNames.end()), oldNames.end());
  newNames.erase(std::unique(newNames.begin(), newNames.end()), newNames.end());
  std::set_difference(oldNames.begin(), oldNames.end(), newNames.begin(), newNames.end(),
                      std::back_inserter(removed), less);
  std::set_difference(newNames.begin(), newNames.end(), oldNames.begin(), oldNames.end(),
                      std::back_inserter(added), less);
}

void Op::operator()() {
  // The cache first applies what earlier passes queued: otherwise a host that only listens
  // (and so never makes the cache refresh) would hear every arrival again at each pass and
  // never hear a board leave that arrived after its last request.
  cache->refresh();
  std::vector<std::string> oldNames;
  for (const auto& item : cache->getAllItems()) oldNames.push_back(item->getName());
  std::vector<std::string> newNames;
  factory->getItemNames(newNames);
  std::vector<std::string> removed, added;
  difference(std::move(oldNames), std::move(newNames), removed, added);
  cache->notifyItemsChange(2, removed);
  sink->notify(2, removed);
  cache->notifyItemsChange(1, added);
  // Only boards the cache could make an item for are announced: a board the library lists but
  // no item can be built for would otherwise be "added" at every pass (and never removed).
  cache->refresh();
  std::vector<std::string> served;
  for (const std::string& name : added)
    if (cache->hasItem(name)) served.push_back(name);
  sink->notify(1, served);
}

}  // namespace VorlixSysapiExpert::DevicePresenceNotifier
