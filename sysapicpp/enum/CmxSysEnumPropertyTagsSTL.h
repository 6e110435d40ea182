// Property-tag enumerator (ImxSysEnumPropertyTag) over an ordered set of 32-bit tags (ascending).
#pragma once

#include <cstdint>
#include <set>

#include "sysapicpp/com/guids.h"
#include "sysapicpp/enum/IQOEnumOnSTLImpl.h"
#include "sysapicpp/interfaces/ImxSysEnumPropertyTag.h"

static_assert(sizeof(std::uint32_t) == sizeof(unsigned));

class CmxSysEnumPropertyTagsSTL
    : public sysapicpp::IQOEnumOnSTLImpl<CmxSysEnumPropertyTagsSTL, ImxSysEnumPropertyTag,
                                         IID_ImxSysEnumPropertyTag, unsigned,
                                         sysapicpp::QOEnumCopyValue<unsigned>,
                                         std::set<std::uint32_t>> {
 protected:
  CmxSysEnumPropertyTagsSTL() noexcept = default;
  ~CmxSysEnumPropertyTagsSTL() = default;
};
