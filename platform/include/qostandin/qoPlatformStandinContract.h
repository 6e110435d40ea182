// The private contract between the simulated driver (sim/, qosim) and the stand-ins of the board
// family's closed platform libraries (platform/): the device-enumeration library
// libqokeldevenum.so.1, the firmware library libqovorlixapi.so.1 and the relocation library
// libqorelocations.so.0. The library itself never reads anything described here: it meets the
// stand-ins only through their exported call shapes (platform/include/), exactly as it meets the
// real platform libraries. A real driver and the real libraries share a contract of their own;
// this one exists so that one board description drives the driver's /proc tree, the device nodes
// and what the enumeration and firmware libraries report.
//
// 1. Enumeration publications. With every board's /proc tree the simulator writes, inside the
//    same directory (so hotplug adds and removes both at once; the hidden name keeps them out of
//    the driver's own globs):
//      /proc/driver/qo/<device>/.kel/attributes/<n>   numeric attribute n (decimal file name),
//                                                      4 bytes, little-endian u32
//      /proc/driver/qo/<device>/.kel/strings/<n>      string attribute n, text without NUL
//      /proc/driver/qo/<device>/.kel/primaryName      text (the device's primary name)
//      /proc/driver/qo/<device>/.kel/secondaryName    text
//      /proc/driver/qo/<device>/.kel/faults/<op>      decimal text: the status that operation
//                                                      answers for this board instead of working
//    When a plugged board's publications change, the simulator builds a new .kel beside the old
//    one and exchanges the two in one step (renameat2 RENAME_EXCHANGE): a reader holding the
//    board directory sees either the old or the new set, never a mix; one holding the old .kel
//    directory itself goes stale, so readers go through the board directory.
//    Per-board operations that can fail this way: "deviceAt", "openSession", "getAttributeReader",
//    "readU32.<n>", "readString.<n>" (n decimal).
//    Machine-wide, in /proc/driver/qo/.kel/:
//      generation        decimal text; written (replaced by rename) after every change of the
//                        board set or of a board's publications, so "has the list changed" is
//                        "does the generation differ from the one read at the last refresh"
//                        (machine-wide faults take effect at the next call and leave it alone)
//      faults/<op>       decimal status for "initialize", "getAllKelDevices", "hasChanged",
//                        "refresh"
//    The device list is every /proc/driver/qo/<device> holding a .kel directory, ordered by
//    attribute 1 (device number) ascending, then by device name. A board read while it is being
//    unplugged simply fails its reads (not found).
//
// 2. Firmware updates run in the simulator, driven over its control socket (one JSON object per
//    line each way, the protocol of sim/README.md):
//      {"request": "firmware-update", "device": "KEL<n>", "target": "...", "size": N,
//       "flag": F, "hash": "<FNV-1a 64 of the image, 16 hex digits>"}
//          -> {"ok": true, "durationMs": D} or {"ok": false, "status": S, "error": "..."}
//          The board is the one whose attribute 1 is n. An update already running on it answers
//          status kFirmwareBusy; an unknown device kFirmwareNoDevice.
//      {"request": "firmware-progress", "device": "KEL<n>"}
//          -> {"ok": true, "status": 0 or kNoFirmwareProgress, "percent": P, "busy": B,
//              "second": C, "finished": bool, "result": R}
//          Before the board's first update the status is kNoFirmwareProgress. "busy" is the
//          library's first progress flag; "second" (its second flag) is set after a successful
//          update: the new image is loaded at the board's next power cycle. "result" is the
//          finished update's status (0, or the injected failure). A progress fault (firmware-fault
//          "operation": "progress") makes "status" the injected status while the update runs;
//          the stand-in's progress call then answers it.
//    Failures are injected with the control request "firmware-fault" (see sim/README.md).
//
// 3. Data directory: the simulator creates kDataDirectory inside the simulated machine and places
//    the I/O module description files of the board file under
//    kDataDirectory/qo-vorlix/iomodules/. The relocation stand-in answers kDataDirectory for
//    "datarootdir" and "datadir" when that directory exists, and 0 (no relocation) otherwise.
//    A relocation fault (control request "relocation-fault") is the file
//    kDataDirectory/kRelocationFaultFile holding one word, how every call then answers:
//      "none"      0 for every name (no relocation)
//      "failure"   -1 for every name
//      "empty"     1 with an empty text (a NUL in the first byte)
//      "overlong"  the whole buffer filled, no NUL, the size as result
#pragma once

#include <cstdint>

namespace qoplatform_standin {

inline constexpr char kProcRoot[] = "/proc/driver/qo";
inline constexpr char kKelDirectory[] = ".kel";
inline constexpr char kAttributesDirectory[] = "attributes";
inline constexpr char kStringsDirectory[] = "strings";
inline constexpr char kFaultsDirectory[] = "faults";
inline constexpr char kPrimaryNameFile[] = "primaryName";
inline constexpr char kSecondaryNameFile[] = "secondaryName";
inline constexpr char kGenerationFile[] = "generation";

// Attribute numbers the device expert reads.
inline constexpr std::uint32_t kAttrDeviceNumber = 1;
inline constexpr std::uint32_t kAttrProductId = 2;
inline constexpr std::uint32_t kAttrVendorId = 3;
inline constexpr std::uint32_t kAttrSerialNumber = 4;
inline constexpr std::uint32_t kAttrDescription = 5;  // string attribute
inline constexpr std::uint32_t kAttrPciBus = 10;
inline constexpr std::uint32_t kAttrPciDevice = 11;
inline constexpr std::uint32_t kAttrPciFunction = 12;
inline constexpr std::uint32_t kAttrChassisSlot = 0x1C;
inline constexpr std::uint32_t kAttrBusType = 0x1E;
inline constexpr std::uint32_t kAttrSupported = 0x4A;  // must read 1

inline constexpr char kControlSocket[] = "/dev/.qosim/control";
inline constexpr std::int32_t kNoFirmwareProgress = -304425;
inline constexpr std::int32_t kFirmwareBusy = -52031;        // an update already runs on the board
inline constexpr std::int32_t kFirmwareNoDevice = -52006;    // no board answers the device name
inline constexpr std::int32_t kNoSimulatedMachine = -52023;  // control socket unreachable

inline constexpr char kDataDirectory[] = "/dev/.qosim/data";
inline constexpr char kModuleFilesDirectory[] = "qo-vorlix/iomodules";
inline constexpr char kRelocationFaultFile[] = ".relocation-fault";
inline constexpr const char* kRelocationFaults[] = {"none", "failure", "empty", "overlong"};

}  // namespace qoplatform_standin
