// What a configuration host shows a person: the readable names of the property tags the Vorlix
// expert publishes, and the meaning of the result codes its operations return. Host-side
// knowledge only (no library header); a tag or code missing here is shown in hex as unknown.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace hostabi {

// The readable name of a property tag; empty when the tag is not known. Indexed tags (a base
// plus an element index below 0x1000: temperature sensors, fans) are named with their index.
inline std::string tagName(std::uint32_t tag) {
  struct Named {
    std::uint32_t tag;
    const char* name;
  };
  static constexpr Named kSingle[] = {
      {0x101D000, "item name"},
      {0x101F000, "display name"},
      {0x101E000, "expert identifier"},
      {0x1003000, "vendor identifier"},
      {0x1004000, "manufacturer"},
      {0x1006000, "model"},
      {0x1007000, "serial number"},
      {0x1008000, "made by the board maker"},
      {0x1005000, "product identifier"},
      {0x103E000, "product identifier (bus)"},
      {0x19014000, "product name"},
      {0x100A000, "description"},
      {0x100B000, "chassis slot"},
      {0x103F000, "bus type"},
      {0x1018000, "PCI bus number"},
      {0x1019000, "PCI device number"},
      {0x101A000, "PCI function number"},
      {0x1030000, "PCIe link width"},
      {0x1031000, "PCIe maximum link width"},
      {0x1079000, "PCIe transfer rate"},
      {0x1078000, "PCIe maximum transfer rate"},
      {0x102F000, "firmware version"},
      {0x1075000, "hardware revision"},
      {0x19012000, "I/O module identifier"},
      {0x19013000, "I/O module revision"},
      {0x1900E000, "I/O module of another vendor"},
      {0x19000000, "FPGA known to the catalog"},
      {0x19001000, "FPGA part class"},
      {0x1600A000, "routing: driver device name"},
      {0x16002000, "routing: FPGA support library"},
      {0x16003000, "routing: routing node"},
      {0x104B000, "firmware image pattern"},
      {0x1015000, "dated reading 1: time"},
      {0x1016000, "dated reading 1: value"},
      {0x1900F000, "dated reading 2: time"},
      {0x19010000, "dated reading 2: value"},
      {0x1064000, "temperature sensors"},
      {0x1061000, "fans"},
  };
  struct Indexed {
    std::uint32_t base;
    const char* what;
  };
  static constexpr Indexed kIndexed[] = {
      {0x1065000, "name"},
      {0x102E000, "reading (C)"},
      {0x1066000, "lower limit (C)"},
      {0x1067000, "upper limit (C)"},
      {0x1089000, "state"},
  };
  static constexpr Indexed kFans[] = {
      {0x1062000, "name"}, {0x1063000, "speed (rpm)"}, {0x1088000, "state"}};
  for (const Named& n : kSingle)
    if (n.tag == tag) return n.name;
  const std::uint32_t base = tag & ~0xFFFu;
  const std::uint32_t index = tag & 0xFFFu;
  for (const Indexed& i : kIndexed)
    if (i.base == base) return "temperature sensor " + std::to_string(index) + ": " + i.what;
  for (const Indexed& i : kFans)
    if (i.base == base) return "fan " + std::to_string(index) + ": " + i.what;
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
