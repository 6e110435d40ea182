// Board descriptions of the simulated machine: the JSON board files under sim/boards/ and the
// boards plugged at run time through the control socket use the same validating loader.
//
//   {"boards": [ {"device": "qovorlix0", "productId": "0x7B10",
//                 "interfaces": [{"name": "qovorlixtarrowk_vorlixtarrow"}],
//                 "busProperties": {"pciBusNumber": 4, "odd": {"hex": "0102"}},
//                 "temperature": 45, "fans": [2400], "module": {"id": "0x5C710101"}} ],
//    "moduleFiles": [{"name": "x.fam", "text": "..."}],
//    "enumeration": {"faults": {"refresh": -52006}}}
//
// Every field of the typed board model (BoardModel) has a default, so the smallest board is a
// device name and one interface. sim/README.md lists the fields and their defaults.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "qodrv/qoDriverConstants.h"

namespace qosim {

struct BoardError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct InterfaceSpec {
  std::string name;
  std::string a = "0";
  std::string b = "0";
  std::string node = "0";
  // <interface>\<a>\<b>: the entry under deviceInterfaces/
  std::string entryName() const { return name + "\\" + a + "\\" + b; }
};

// A file of the I/O module database (placed in the machine's data directory).
struct ModuleFile {
  std::string name;
  std::string text;
};

// The driver contract's values the model uses (codegen/descriptions): the maker's vendor id,
// a dated value never set, the status words the model answers.
using qodrv::kStatusBadArgument;     // index out of range, short request
using qodrv::kStatusBufferTooSmall;  // caller's buffer too small
using qodrv::vorlixtarrow::kMakerVendorId;
using qodrv::vorlixtarrow::kNeverSet;
inline constexpr std::int32_t kStatusModuleUnreadable = qodrv::kStatusIoError;

// Dated values travel unchanged to the host, which reads the seconds as its own timestamps:
// seconds since 1904-01-01 00:00 UTC.
inline constexpr std::uint64_t kDefaultDated0 = 3851055000ull;  // 2026-01-12 09:30:00 UTC
inline constexpr std::uint64_t kDefaultDated1 = 3855304800ull;  // 2026-03-02 14:00:00 UTC

struct DatedValue {
  std::uint64_t seconds = kNeverSet;  // op0300 / op0304
  std::uint32_t value = 0;            // op0301 / op0305
};

// The board's I/O module as the op0600/op0601/op0602 calls report it.
struct ModuleSpec {
  enum class State { Absent, Present, Unreadable };
  State state = State::Absent;
  std::uint32_t id = 0;
  std::uint8_t revision = 0;
  std::uint32_t serial = 0;
  std::int32_t errorStatus = kStatusModuleUnreadable;  // Unreadable: the status of the three calls
  // Present: a field whose read fails answers this status instead (0: readable), so a module can
  // have a readable id and an unreadable serial or revision.
  std::int32_t idStatus = 0;        // op0600
  std::int32_t serialStatus = 0;    // op0601
  std::int32_t revisionStatus = 0;  // op0602
};

// A fault of one driver method of the board: from call `afterCalls` + 1 of that method (counted
// per board, calls answered by the model only) for `count` calls (-1: every later call), the
// method answers `status` in its own status word, or the ioctl fails with `err`.
// What the simulated driver does besides answering a call a fault or rule matches: nothing,
// unplug that call's board once it has answered (the next call of the same host operation finds
// the board gone), or crash: the call is never answered, the driver's connection is dropped as
// its process dying would (every pending and later call on an open descriptor fails with
// ENOTCONN) and the driver is restarted after restartMs with the nodes of every plugged board.
struct Aftermath {
  enum class Then { None, Unplug, Crash };
  Then then = Then::None;
  std::uint32_t restartMs = 200;
};
inline constexpr std::uint32_t kMaxRestartMs = 60000;
// "unplug" / "crash" / "" (none); throws BoardError naming `where` for another text.
Aftermath::Then thenValue(const std::string& text, const std::string& where);
const char* thenName(Aftermath::Then then);

struct DriverFault {
  Aftermath after;          // `then`, `restartMs`
  std::string interface;    // the driver interface that owns the method
  std::string method;       // e.g. "op0405", "getTopographyName"
  std::int32_t status = 0;  // non-zero: the status word (negative error, positive warning)
  int err = 0;              // non-zero: the errno of the ioctl (1..511)
  std::uint64_t afterCalls = 0;
  std::int64_t count = -1;

  // Whether the fault answers call number `call` (1-based) of its method.
  bool covers(std::uint64_t call) const {
    return call > afterCalls &&
           (count < 0 || call - afterCalls <= static_cast<std::uint64_t>(count));
  }
};

// Hostile answers of the routing interface (the library must survive them): counts beyond what
// was written into the caller's array, a topography name without its NUL.
struct RoutingFaults {
  std::uint32_t extraResults = 0;    // calculateRoute reports this many results more than it wrote
  std::uint32_t extraConflicts = 0;  // reserveRoute: conflicts reported beyond those it found
  std::uint32_t extraPathIds = 0;    // getRouteTerminalPath: ids reported beyond those written
  bool unterminatedName = false;     // getTopographyName fills the whole buffer, no NUL
};

// Everything the simulated driver and the enumeration publications report about one board.
struct BoardModel {
  // Identity (enumeration attributes).
  std::uint32_t deviceNumber = 0;    // attribute 1; default: trailing digits of the device name
  std::uint32_t productId = 0x7B10;  // attribute 2
  std::uint32_t vendorId = kMakerVendorId;  // attribute 3
  std::uint32_t serial = 0;                 // attribute 4; default 0x51000000 + device number
  std::string description;                  // string attribute 5; default "Vorlix board <device>"
  std::uint32_t chassisSlot = 0;            // attribute 0x1C
  std::uint32_t busType = 1;                // attribute 0x1E
  std::uint32_t supported = 1;              // attribute 0x4A
  std::string primaryName;                  // default empty
  std::string secondaryName;                // default: the device name
  std::map<std::uint32_t, std::uint32_t> extraAttributes;  // further numeric attributes
  std::map<std::uint32_t, std::string> extraStrings;       // further string attributes
  std::map<std::string, std::int32_t> enumFaults;          // operation -> status

  // Driver answers.
  std::uint32_t firmwareVersion = 0x01214005;    // op0701: 1.2.1a5
  std::uint32_t hardwareRevision = 1;            // op0700: revision A
  std::vector<std::uint32_t> temperatures{45};   // op0405 per sensor index
  std::uint32_t temperatureLimit = 85;           // op0402 first output
  std::uint32_t temperatureLimit2 = 95;          // op0402 second output
  std::vector<std::uint32_t> fans{2400};         // op0407 count, op0408 per index
  DatedValue dated0{kDefaultDated0, 0};          // op0300 + op0301
  DatedValue dated1{kDefaultDated1, 0};          // op0304 + op0305
  std::uint8_t diagnostic = 1;                   // op0400 (non-zero: passed)
  std::uint32_t op0406 = 0;                      // op0406
  ModuleSpec module;                             // op0600/op0601/op0602
  std::array<std::uint8_t, 16> moduleRecord{};   // op0604 (op0603 replaces it)
  std::string topographyName = "vorlix-matrix";  // routing getTopographyName
  RoutingFaults routingFaults;                   // hostile routing answers (off by default)
  std::vector<DriverFault> driverFaults;         // answered before the model, first match wins

  // Firmware engine.
  std::uint32_t firmwareDurationMs = 300;
  std::optional<std::uint32_t>
      versionAfterUpdate;  // op0701 after a successful update + power cycle
};

struct BoardSpec {
  std::string device;
  std::vector<InterfaceSpec> interfaces;
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> busProperties;
  BoardModel model;
  std::vector<ModuleFile> moduleFiles;
  nlohmann::json source;  // the description as given (reported by `list`)

  // <device>\<interface>\<node>: the node name in /dev/qo
  std::string nodeName(const InterfaceSpec& i) const {
    return device + "\\" + i.name + "\\" + i.node;
  }
  // PCI address as the bus properties give it (0 when absent): attributes 10, 11, 12.
  std::uint32_t busPropertyU32(const std::string& name) const;
};

// A whole board file.
struct MachineSpec {
  std::vector<BoardSpec> boards;
  std::vector<ModuleFile> moduleFiles;
  std::map<std::string, std::int32_t> enumFaults;  // machine-wide enumeration faults
};

// The bus properties of a board whose description gives none ("busProperties" left out): the
// seven the library reads, PCI bus = the device number, device and function 0, a x4 link of a x8
// slot at rate code 2 of 3. A description that gives "busProperties" gets exactly those.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> defaultBusProperties(
    std::uint32_t deviceNumber);

// One board object; `where` prefixes error messages ("board 2", "plug").
BoardSpec parseBoard(const nlohmann::json& j, const std::string& where);
// {"boards": [...], "moduleFiles": [...], "enumeration": {...}}: every board valid, device
// names, device numbers and PCI addresses distinct.
MachineSpec parseMachine(const nlohmann::json& j);
std::vector<BoardSpec> parseBoards(const nlohmann::json& j);
// Reads and parses a file; every failure is a BoardError naming the file.
MachineSpec loadMachineFile(const std::string& path);
std::vector<BoardSpec> loadBoardFile(const std::string& path);

// Shared by the loader and the run-time `set` request (throw BoardError naming `where`).
std::uint64_t parseUnsigned(const nlohmann::json& v, const std::string& where, std::uint64_t max);
std::int64_t parseSigned(const nlohmann::json& v, const std::string& where, std::int64_t min,
                         std::int64_t max);
// Applies one model field ("temperature", "fans", "module", ...) to `m`; false when `key` is not
// a model field. `device` supplies name-derived defaults.
bool applyModelField(BoardModel& m, const std::string& key, const nlohmann::json& value,
                     const std::string& where);
// Driver faults that name a method of none of the board's interfaces are refused.
void checkDriverFaults(const BoardModel& m, const std::vector<InterfaceSpec>& interfaces,
                       const std::string& where);
// Operation names that enumeration faults may name.
bool isBoardEnumOperation(const std::string& op);
bool isMachineEnumOperation(const std::string& op);
// A module file name: no '/', no "..", no control characters, 1..255 bytes.
void checkModuleFileName(const std::string& name, const std::string& where);
// The model as JSON (the `get` request).
nlohmann::json modelJson(const BoardSpec& board);

}  // namespace qosim
