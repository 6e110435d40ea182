// What a configuration host shows a person: the readable names of the property tags the Vorlix
// expert publishes, and the meaning of the result codes its operations return. Host-side
// knowledge only (no library header); a tag or code missing here is shown in hex as unknown.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "qohosttags/qoHostPropertyTags.h"

namespace hostabi {

// The readable name of a property tag; empty when the tag is not known. Indexed tags (a base
// plus an element index below 0x1000: temperature sensors, fans) are named with their index.
// The names come from the board item's property description (codegen/descriptions/
// properties.json, generated into qohosttags/qoHostPropertyTags.h: target qo_host_tags).
inline std::string tagName(std::uint32_t tag) {
  for (const hosttags::NamedTag& n : hosttags::kNamedTags)
    if (n.tag == tag) return n.name;
  const std::uint32_t base = tag & ~0xFFFu;
  const std::uint32_t index = tag & 0xFFFu;
  for (const hosttags::ElementTag& e : hosttags::kElementTags)
    if (e.base == base) return std::string(e.element) + " " + std::to_string(index) + ": " + e.what;
  return {};
}

// The meaning of a result code of the expert's operations; empty when the code is not known.
inline const char* hresultMeaning(std::int32_t code) {
  switch (static_cast<std::uint32_t>(code)) {
    case 0x00000000u:
      return "success";
    case 0x00000001u:
      return "partly done";
    case 0x00040370u:
      return "success, the diagnostic was run in mode 0 instead";
    case 0x80004001u:
      return "not implemented";
    case 0x80004002u:
      return "interface not supported";
    case 0x80004003u:
      return "null pointer";
    case 0x80004005u:
      return "unspecified failure";
    case 0x8000FFFFu:
      return "unexpected failure";
    case 0x8007000Eu:
      return "out of memory";
    case 0x80070057u:
      return "invalid argument";
    case 0x80040370u:
      return "property holds a value of another type";
    case 0x80040371u:
      return "property not present";
    case 0x80040375u:
      return "no such item";
    case 0x80040376u:
      return "mode not valid";
    case 0x80040377u:
      return "refresh pending";
    case 0x80040382u:
      return "device failure";
    case 0x80040383u:
      return "device gone or not answering";
    case 0x80040385u:
      return "firmware update in the wrong state";
    case 0x80040387u:
      return "firmware image rejected";
    default:
      return "";
  }
}

// "0x80040375 (no such item)", or the hex alone for an unknown code.
inline std::string hresultWithMeaning(std::int32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  const std::string meaning = hresultMeaning(code);
  return meaning.empty() ? std::string(hex) : std::string(hex) + " (" + meaning + ")";
}

}  // namespace hostabi
