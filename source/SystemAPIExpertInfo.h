// The expert's identity as the configuration host sees it: class identity, name, version and
// identifier. Answered without creating the device expert.
#pragma once

#include <string>
#include <string_view>

#include "sysapicpp/com/guids.h"
#include "sysapicpp/com/types.h"

#ifndef QO_BUILD_VERSION_TEXT
#error "QO_BUILD_VERSION_TEXT (the build version text, e.g. \"23.3.0f211\") must be defined"
#endif

namespace VorlixSysapiExpert {

struct SystemAPIExpertInfo {
  static constexpr std::string_view kName = "qovorlix2";
  static constexpr std::string_view kIdentifier = "qovorlix2";
  // major.minor.update: the build version text cut before its first 'f' ("23.3.0f211" gives
  // "23.3.0"); a text without 'f' is used whole.
  static constexpr std::string_view kVersion =
      std::string_view(QO_BUILD_VERSION_TEXT)
          .substr(0, std::string_view(QO_BUILD_VERSION_TEXT).find('f'));

  static GUID guid() noexcept { return CLSID_VorlixSysApiExpert; }
  static std::string name() { return std::string(kName); }
  static std::string version() { return std::string(kVersion); }
  static std::string identifier() { return std::string(kIdentifier); }
};

}  // namespace VorlixSysapiExpert
