// Topography records: the routing resources of one kind of board, above all its terminal table.
//
// The records are read-only once registered and live for the whole process. The board family's
// records are generated at build time from the descriptions in codegen/topographies/ (the same
// descriptions generate the simulated driver's routing graph) and registered when the library
// is loaded. The terminal iterator reads attributes straight from these entries, so the layout is
// fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qoark {

struct tTerminalInfo {
  const char* name;           // "name"
  std::uint32_t id;           // "id": what the driver uses in every request; never 0
  std::uint8_t isExternal;    // "isExternal"
  std::uint8_t isOwned;       // "isOwned"
  const char* visibility;     // "visibility"
  const char* busType;        // "busType"
  std::uint32_t busLine;      // "busLine"
  const char* busName;        // "busName"
  std::uint8_t isAlias;       // "isAlias"
  const char* canonicalName;  // "canonicalName"
  std::uint8_t isMaskedOut;   // "isMaskedOut"
};
static_assert(sizeof(tTerminalInfo) == 72);
static_assert(offsetof(tTerminalInfo, name) == 0);
static_assert(offsetof(tTerminalInfo, id) == 8);
static_assert(offsetof(tTerminalInfo, isExternal) == 12);
static_assert(offsetof(tTerminalInfo, isOwned) == 13);
static_assert(offsetof(tTerminalInfo, visibility) == 16);
static_assert(offsetof(tTerminalInfo, busType) == 24);
static_assert(offsetof(tTerminalInfo, busLine) == 32);
static_assert(offsetof(tTerminalInfo, busName) == 40);
static_assert(offsetof(tTerminalInfo, isAlias) == 48);
static_assert(offsetof(tTerminalInfo, canonicalName) == 56);
static_assert(offsetof(tTerminalInfo, isMaskedOut) == 64);

struct tTopographyInfo {
  const char* name;                // the name the driver reports; compared exactly
  std::uint64_t terminalCount;     // entries in terminals
  const tTerminalInfo* terminals;  // the terminal table
};
static_assert(sizeof(tTopographyInfo) == 24);
static_assert(offsetof(tTopographyInfo, terminalCount) == 8);
static_assert(offsetof(tTopographyInfo, terminals) == 16);

// The board family's topographies, in the order they are described (generated from
// codegen/topographies/; defined in the build tree).
std::span<const tTopographyInfo* const> builtinTopographies() noexcept;

}  // namespace qoark
