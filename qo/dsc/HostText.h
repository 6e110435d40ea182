// Text on its way to the configuration host: every UTF-8 text is cut to at most 0xFFFFFFFF bytes
// at a character boundary (clampUtf8), widened, and its character count checked against the
// 32-bit length of a host string (hostStringLength: OutOfRange, qo/dsc/NumericCast line 67).
// Lists of names grow through checkedPushBack (OutOfRange, qo/dsc/SafeInteger line 125, before
// a list would reach 0xFFFFFFFF entries).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qo/dsc/NumericCast.h"
#include "qo/dsc/SafeInteger.h"
#include "qo/dsc/Utf8.h"

namespace qo::dsc {

// One UTF-8 text as the wide text of a host string. Raises InvalidSequence for malformed UTF-8
// and OutOfRange when the result cannot be a host string.
inline std::wstring toHostWide(std::string_view utf8) {
  std::wstring wide = utf8ToWide(clampUtf8(utf8));
  (void)hostStringLength(wide.size());
  return wide;
}

// Every name of `names`, in order, as host wide texts.
template <class Names>
WideStringVector toHostWideList(const Names& names) {
  WideStringVector wide;
  for (const auto& name : names) checkedPushBack(wide, toHostWide(name));
  return wide;
}

}  // namespace qo::dsc
