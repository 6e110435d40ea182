// Item-name enumerator (ImxSysEnumStringList) over a vector of wide strings. Next hands out each
// name as a new host string (CqoBStr) that the caller frees.
#pragma once

#include <string>
#include <vector>

#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/enum/IQOEnumOnSTLImpl.h"
#include "sysapicpp/interfaces/ImxSysEnumStringList.h"

namespace sysapicpp {

// Copy policy: a wide string becomes a fresh host string; failure (memory, or a name too long for
// a host string) is reported and the partial result freed by the enumerator.
struct QOEnumCopyHostString {
  static bool copy(wchar_t*& destination, const std::wstring& source) noexcept {
    destination = CqoBStr::alloc(source.data(), source.size());
    return destination != nullptr;
  }
  static void destroy(wchar_t*& item) noexcept {
    CqoBStr::free(item);
    item = nullptr;
  }
};

}  // namespace sysapicpp

class CmxSysEnumItemNamesSTL
    : public sysapicpp::IQOEnumOnSTLImpl<
          CmxSysEnumItemNamesSTL, ImxSysEnumStringList, IID_ImxSysEnumStringList, wchar_t*,
          sysapicpp::QOEnumCopyHostString, std::vector<std::wstring>> {
 protected:
  CmxSysEnumItemNamesSTL() noexcept = default;
  ~CmxSysEnumItemNamesSTL() = default;
};
