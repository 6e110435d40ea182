// Property-tag enumerator (ImxSysEnumPropertyTag) over a set of 32-bit tags, ascending. The set is
// kept as a sorted vector of distinct tags (one block instead of one node per tag; paging and Skip
// are then direct).
#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "sysapicpp/com/guids.h"
#include "sysapicpp/enum/IQOEnumOnSTLImpl.h"
#include "sysapicpp/interfaces/ImxSysEnumPropertyTag.h"

static_assert(sizeof(std::uint32_t) == sizeof(unsigned));

class CmxSysEnumPropertyTagsSTL
    : public sysapicpp::IQOEnumOnSTLImpl<
          CmxSysEnumPropertyTagsSTL, ImxSysEnumPropertyTag, IID_ImxSysEnumPropertyTag, unsigned,
          sysapicpp::QOEnumCopyValue<unsigned>, std::vector<std::uint32_t>> {
 public:
  // An enumerator over `tags` (moved in; sorted and made distinct here if they are not already),
  // one reference for the caller.
  static HRESULT create(std::vector<std::uint32_t>&& tags, ImxSysEnumPropertyTag** out) noexcept {
    if (!std::is_sorted(tags.begin(), tags.end()) ||
        std::adjacent_find(tags.begin(), tags.end()) != tags.end()) {
      std::sort(tags.begin(), tags.end());
      tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    }
    return IQOEnumOnSTLImpl::create(std::move(tags), out);
  }
  // An enumerator over the tags of `tags` (copied), one reference for the caller.
  static HRESULT create(const std::set<std::uint32_t>& tags, ImxSysEnumPropertyTag** out) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    std::vector<std::uint32_t> sorted;
    try {
      sorted.assign(tags.begin(), tags.end());
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return create(std::move(sorted), out);
  }

 protected:
  CmxSysEnumPropertyTagsSTL() noexcept = default;
  ~CmxSysEnumPropertyTagsSTL() = default;
};
