// Host strings as the tests read them back: a string the library returned, as its characters
// (hostabi::takeHostText and takeHostUtf8 in tools/common/host_client.h give text), with the
// block's own checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "qovorlixatomicsae/sysapi_host.h"

namespace testsupport {

// The characters of a returned host string, which is freed; a missing string fails the test and
// reads "<null>", and the zero after the characters is checked.
inline std::wstring takeWide(wchar_t* text) {
  if (text == nullptr) {
    ADD_FAILURE() << "no host string";
    return L"<null>";
  }
  const std::uint32_t length = hostabi::hostStringLength(text);
  EXPECT_EQ(text[length], L'\0');
  std::wstring copy(text, length);
  hostabi::hostStringFree(text);
  return copy;
}

}  // namespace testsupport
