// Control client of the simulated machine (qosim). Tests and `qosim ctl` talk to a running
// simulator through its control socket (path in the environment variable QOSIM_CONTROL) with
// one JSON object per line in each direction.
//
// Every helper returns a Status (or a Result carrying a value) instead of throwing, so a test
// can stop at the first broken step:  ASSERT_TRUE(st.ok()) << st;
//
// BoardSet is the per-test board builder: describe the boards a test needs, plug them into the
// running machine, and they are unplugged again when the BoardSet is destroyed. Device names it
// makes up are unique in this process and never collide with boards already plugged.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ControlRequests.h"
#include "Hex.h"  // toHex, fromHex: byte strings as the protocol writes them
#include "LineClient.h"

namespace qosim {

struct Status {
  std::string error;  // empty when the step succeeded
  bool ok() const { return error.empty(); }
  explicit operator bool() const { return ok(); }
};
std::ostream& operator<<(std::ostream& os, const Status& st);

template <class T>
struct Result {
  T value{};
  std::string error;
  bool ok() const { return error.empty(); }
  explicit operator bool() const { return ok(); }
  Status status() const { return Status{error}; }
};

// One interface of a board: /proc/driver/qo/<device>/deviceInterfaces/<name>\<a>\<b> whose
// interfacePath names /dev/qo/<device>\<name>\<node>.
struct InterfaceDesc {
  std::string name;
  std::string a = "0";
  std::string b = "0";
  std::string node = "0";
};

struct BoardDesc {
  std::string device;
  std::vector<InterfaceDesc> interfaces;
  std::map<std::string, std::uint32_t> busProperties;  // written as 4 bytes little-endian
  std::map<std::string, Bytes> rawBusProperties;       // written as given (odd sizes for tests)
  nlohmann::json fields = nlohmann::json::object();    // typed model fields (sim/README.md)

  BoardDesc& withInterface(std::string name, std::string a = "0", std::string b = "0",
                           std::string node = "0");
  BoardDesc& withBusProperty(std::string name, std::uint32_t value);
  BoardDesc& withRawBusProperty(std::string name, Bytes value);
  // The main interface and the seven bus properties with plausible values (a PCI bus number
  // distinct from the other boards this process described).
  BoardDesc& withDefaults();
  // Typed model fields; every other field keeps the simulator's default.
  BoardDesc& withField(const std::string& name, nlohmann::json value);
  BoardDesc& withDeviceNumber(std::uint32_t n) { return withField("deviceNumber", n); }
  BoardDesc& withProduct(std::uint32_t productId) { return withField("productId", productId); }
  BoardDesc& withSerial(std::uint32_t serial) { return withField("serial", serial); }
  BoardDesc& withModule(std::uint32_t id, std::uint8_t revision = 1, std::uint32_t serial = 0);
  BoardDesc& withoutModule() { return withField("module", nullptr); }
  BoardDesc& withUnreadableModule(std::int32_t status = -52024);
  BoardDesc& withFans(std::vector<std::uint32_t> speeds) { return withField("fans", speeds); }
  BoardDesc& withTemperature(std::uint32_t reading, std::uint32_t limit = 85);
  BoardDesc& withFirmwareVersion(std::uint32_t word) { return withField("firmwareVersion", word); }
  BoardDesc& withTopographyName(std::string name) {
    return withField("topographyName", std::move(name));
  }
  BoardDesc& withRouting() { return withInterface("routing_routing"); }
  BoardDesc& withEnumFault(const std::string& operation, std::int32_t status);
  // Board-file driver faults ("driverFaults"): from call afterCalls + 1 of `method` for `count`
  // calls (-1: every later call) the method answers `status` in its own status word (negative:
  // error, no outputs; positive: warning with the board's outputs) / the ioctl fails with `err`.
  BoardDesc& withDriverFault(const std::string& method, std::int32_t status,
                             std::uint64_t afterCalls = 0, long count = -1);
  BoardDesc& withDriverErrno(const std::string& method, int err, std::uint64_t afterCalls = 0,
                             long count = -1);
  // The method's call N+1 (N+1..N+K) answers normally and then unplugs the board ("unplug"), or
  // is never answered: the driver crashes and comes back after restartMs ("crash").
  BoardDesc& withDriverAftermath(const std::string& method, const std::string& then,
                                 std::uint64_t afterCalls = 0, long count = 1,
                                 std::uint32_t restartMs = 200);
  // A present module whose reads fail per field: field "id", "serial" or "revision" answers
  // `status` (op0600 / op0601 / op0602), the others their values.
  BoardDesc& withModuleFieldFailure(std::uint32_t id, std::uint8_t revision, std::uint32_t serial,
                                    const std::string& failingField, std::int32_t status = -52024);

  // Node name in /dev/qo and full node path of an interface (first one with that name).
  std::string nodeName(const std::string& interfaceName) const;
  std::string nodePath(const std::string& interfaceName) const;
  std::string procDir() const { return "/proc/driver/qo/" + device; }
  nlohmann::json toJson() const;
};

// A programmed response or an injected transport error. Rules are matched by target (a node
// name, a device name, or empty for every node) and command (absent = every command). A rule
// with errnoValue != 0 makes the ioctl fail with that errno; otherwise the output block is the
// given bytes (zero-filled to outputSize), the method's status word is set if given, and
// the call block's result is `result` if given, else outputSize. A command that no method of the
// node's interface owns fails with ENOTTY; only errno rules apply to it. count: number of calls
// the rule applies to, -1 = until cleared.
struct ResponseRule {
  std::string target;
  std::optional<std::uint32_t> command;
  std::optional<Bytes> output;
  std::optional<std::uint32_t> result;
  std::optional<std::int32_t> status;
  int errnoValue = 0;
  long count = -1;
  std::string then;                        // "unplug" (after answering) or "crash" (instead)
  std::optional<std::uint32_t> restartMs;  // crash: the driver is back after this (200 ms)
  nlohmann::json toJson() const;
};

// A notification to send. Port and cookie default to the subscription registered on `node`
// (the one of `subscriptionKind`, or the only one). The override fields produce deliberately
// malformed messages for tests.
struct NotifySpec {
  std::string node;
  std::optional<std::uint32_t> port;
  std::optional<std::uint64_t> cookie;
  std::optional<std::uint32_t> subscriptionKind;
  std::uint16_t wireKind = 1;
  Bytes payload;
  std::optional<std::uint32_t> lengthField;
  std::optional<std::uint16_t> type;
  std::optional<std::uint32_t> payloadSizeField;
  nlohmann::json toJson() const;
};

struct LogEntry {
  std::uint64_t seq = 0;
  std::int64_t timeNs = 0;  // CLOCK_MONOTONIC
  std::string op;           // "ioctl", "subscribe", "unsubscribe", "read", "write"
  std::string node;
  std::uint32_t command = 0;
  std::int32_t tid = 0;
  Bytes block;   // raw 32-byte call block as read from the caller
  Bytes input;   // raw input block (at most the first 4096 bytes)
  Bytes output;  // bytes written to the caller's output block (at most the first 4096)
  std::uint32_t inputSize = 0;
  std::uint32_t outputSize = 0;
  std::uint32_t result = 0;
  int errnoValue = 0;
  std::uint64_t offset = 0;  // read/write
  std::string note;
  std::string method;      // the driver method of the command ("op0405"); empty when unknown
  nlohmann::json decoded;  // {"request": [{name, offset, value}], "response": [...]}
};

// What the firmware engine of a board reports (firmware-progress).
struct FirmwareProgressInfo {
  std::int32_t status = 0;  // 0, or -304425 before the board's first update
  std::uint32_t percent = 0;
  bool busy = false;
  bool second = false;
  bool finished = false;
  std::int32_t result = 0;
};

// An injected firmware failure: the next `count` updates (-1: until cleared) stop at atPercent
// with `status`.
struct FirmwareFaultSpec {
  std::int32_t status = 0;
  std::uint32_t atPercent = 50;
  long count = 1;
  std::string operation = "update";  // or "progress": only the progress polls fail
};

struct Subscription {
  std::string node;
  std::uint64_t cookie = 0;
  std::uint32_t port = 0;
  std::uint32_t kind = 0;
};

struct SentNotification {
  std::uint32_t port = 0;
  Bytes bytes;
};

class Client {
 public:
  // Connects to `path`, or to $QOSIM_CONTROL when path is empty.
  static Result<Client> connect(const std::string& path = "");
  Client() = default;

  bool connected() const { return line_.connected(); }
  // One request, one answer. An answer with "ok": false becomes the error.
  Result<nlohmann::json> request(const nlohmann::json& req);

  Status ping();
  Result<std::vector<std::string>> listDevices();
  Result<nlohmann::json> list();
  Status plug(const BoardDesc& board);
  Status plugJson(const nlohmann::json& board);
  Status unplug(const std::string& device);
  Status removeDevQo();
  Status createDevQo();
  Status setResponse(const ResponseRule& rule);
  Status injectError(int errnoValue, long count = 1, std::optional<std::uint32_t> command = {},
                     const std::string& target = "");
  Status clearResponses();
  Result<SentNotification> notify(const NotifySpec& notice);
  Status notifyRaw(std::uint32_t port, const Bytes& bytes);
  Result<std::vector<LogEntry>> readLog(bool clear = false);
  Status clearLog();
  Result<std::vector<Subscription>> subscriptions();

  // Typed board model: one field ("temperature", "fans", "module", ...) or several at once;
  // the answer is the board's model as JSON.
  Result<nlohmann::json> setBoardField(const std::string& device, const std::string& field,
                                       nlohmann::json value);
  Result<nlohmann::json> setBoardFields(const std::string& device, const nlohmann::json& fields);
  Result<nlohmann::json> getBoard(const std::string& device);
  // Enumeration faults: device empty = machine-wide; status empty clears.
  Status enumFault(const std::string& device, const std::string& operation,
                   std::optional<std::int32_t> status);
  Result<std::uint64_t> generation();
  // Module description files of the data directory; text empty removes the file.
  Status setModuleFile(const std::string& name, std::optional<std::string> text);
  // How the relocation stand-in answers ("none", "failure", "empty", "overlong"); nullopt clears.
  Status relocationFault(std::optional<std::string> answer);
  // Firmware engine. device: "KEL<n>" or the device name.
  Result<std::uint32_t> firmwareUpdate(const std::string& device, const std::string& target,
                                       std::uint64_t size, std::uint32_t flag = 0,
                                       const std::string& hash = "");
  Result<FirmwareProgressInfo> firmwareProgress(const std::string& device);
  Status firmwareFault(const std::string& device, std::optional<FirmwareFaultSpec> fault);
  Status firmwareConfig(const std::string& device, std::optional<std::uint32_t> durationMs,
                        std::optional<std::uint32_t> versionAfterUpdate = std::nullopt);
  Status powerCycle(const std::string& device);

 private:
  // The request `id` with `keys`, checked against the control table before it is sent.
  Result<nlohmann::json> call(control::Id id, nlohmann::json keys = nlohmann::json::object());
  LineClient line_;
};

// Device names unique in this process: "qovorlix<number>", numbers from 100 up.
std::string uniqueDeviceName();

class BoardSet {
 public:
  BoardSet() = default;
  explicit BoardSet(Client client) : client_(std::move(client)) {}
  BoardSet(const BoardSet&) = delete;
  BoardSet& operator=(const BoardSet&) = delete;
  ~BoardSet();

  // Adds a board with a unique device name (or the given one); describe it through the
  // returned reference before plug().
  BoardDesc& add(const std::string& device = "");
  // Plugs every board added and not yet plugged, in order; stops at the first failure. A made-up
  // name that is already taken in the machine is replaced by the next free one.
  Status plug();
  // Unplugs every plugged board (last plugged first); stops at the first failure.
  Status unplug();

  const std::vector<BoardDesc>& boards() const { return boards_; }
  BoardDesc& board(std::size_t i) { return boards_.at(i); }
  Client& client();
  Status connectStatus() const { return Status{connectError_}; }

 private:
  Status ensureClient();
  Client client_;
  std::string connectError_;
  std::vector<BoardDesc> boards_;
  std::vector<bool> generatedName_;
  std::vector<bool> plugged_;
};

}  // namespace qosim
