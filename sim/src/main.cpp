// qosim: the simulated machine of the board family.
//
//   qosim run [--boards FILE] -- COMMAND [ARG...]          run COMMAND inside a new simulated machine
//   qosim exec [--machine ID] -- COMMAND [ARG...]          run COMMAND inside one already running
//   qosim ls                                               list the machines running
//   qosim ctl [--socket PATH|--machine ID] REQUEST [KEY=VALUE...]  send one control request
//   qosim check-boards [--strict] FILE                     validate a board description
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoardCheck.h"
#include "BoardFile.h"
#include "Launcher.h"
#include "Machines.h"
#include "QosimClient.h"
#include "host_cli.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"

namespace {

using nlohmann::json;
using hostcli::printable;

// Exit statuses of `qosim ctl`.
constexpr int kCtlRefused = 1;
constexpr int kCtlUsage = 2;
constexpr int kCtlNoConnection = 3;
constexpr int kInternalError = 70;

// A control request as `qosim ctl` offers it: its keys, and what a bare argument stands for.
struct Request {
  const char* name;
  std::vector<const char*> keys;  // "*": any key (checked by the machine)
  const char* positional;         // "device", "file" or nullptr
  const char* summary;
};

const std::vector<Request>& requests() {
  static const std::vector<Request> table = {
      {"ping", {}, nullptr, "is the machine there (its pid, command, board file)"},
      {"list", {}, nullptr, "the plugged boards and their nodes"},
      {"plug", {"board", "boards"}, "file", "plug the boards of a board file: plug FILE | board=@FILE"},
      {"unplug", {"device"}, "device", "unplug a board: unplug DEVICE"},
      {"devqo-remove", {}, nullptr, "remove /dev/qo"},
      {"devqo-create", {}, nullptr, "create /dev/qo again"},
      {"respond", {"target", "command", "method", "interface", "output", "result", "status", "errno", "count",
                   "then", "restartMs"},
       nullptr, "program an answer (method=op0405 or command=0x...)"},
      {"inject", {"target", "command", "method", "interface", "output", "result", "status", "errno", "count", "then",
                  "restartMs"},
       nullptr,
       "make calls fail with an errno"},
      {"clear-responses", {}, nullptr, "forget every programmed answer"},
      {"responses", {}, nullptr, "the programmed answers"},
      {"notify", {"node", "port", "cookie", "subscriptionKind", "wireKind", "payload", "lengthField", "type",
                  "payloadSizeField"},
       nullptr, "send a notification datagram"},
      {"notify-raw", {"port", "bytes"}, nullptr, "send any bytes as a datagram"},
      {"log", {"clear"}, nullptr, "the request log (clear=true empties it)"},
      {"log-clear", {}, nullptr, "empty the request log"},
      {"subscriptions", {}, nullptr, "the notification subscriptions"},
      {"set", {"device", "*"}, "device", "change model fields: set device=D FIELD=VALUE..."},
      {"get", {"device"}, "device", "a board's model, registers and firmware state"},
      {"enum-fault", {"device", "operation", "status"}, nullptr, "make an enumeration operation fail"},
      {"generation", {}, nullptr, "the enumeration generation"},
      {"module-file", {"name", "text"}, nullptr, "write (or, without text, remove) a module file"},
      {"relocation-fault", {"answer"}, nullptr, "make directory relocation answer none/failure/empty/overlong"},
      {"firmware-update", {"device", "target", "size", "flag", "hash", "version"}, nullptr,
       "start a firmware update"},
      {"firmware-progress", {"device"}, "device", "the progress of a firmware update"},
      {"firmware-fault", {"device", "status", "atPercent", "count", "operation"}, nullptr,
       "make a firmware update fail"},
      {"firmware-config", {"device", "durationMs", "versionAfterUpdate"}, nullptr,
       "how long updates last, the version after one"},
      {"power-cycle", {"device"}, "device", "power-cycle a board (a new firmware becomes its version)"},
      {"demote", {"device", "ticket"}, nullptr, "take the reservation of routes, telling their sessions"},
      {"routes", {"device"}, "device", "the routes the sessions made on a board"},
  };
  return table;
}

const char* const kCommands[] = {"run", "exec", "ls", "ctl", "check-boards", "help"};

void usage(std::ostream& out) {
  out << "usage:\n"
         "  qosim run [--boards FILE] [--] COMMAND [ARG...]    run COMMAND in a new simulated machine\n"
         "  qosim exec [--machine ID] [--] COMMAND [ARG...]    run COMMAND in a machine already running\n"
         "  qosim ls                                           list the machines running (root)\n"
         "  qosim ctl [--socket PATH | --machine ID] REQUEST [KEY=VALUE...]\n"
         "                                                     send one control request\n"
         "  qosim check-boards [--strict] FILE                 validate a board file, tell what the\n"
         "                                                     library will leave out\n"
         "  qosim --help | --version\n";
}

void help(std::ostream& out) {
  out << "qosim: a simulated machine serving the Vorlix boards' driver (device nodes, /proc,\n"
         "netlink) to an unmodified library, for tests and demonstrations.\n\n";
  usage(out);
  out << "\nControl requests (qosim ctl REQUEST KEY=VALUE...):\n";
  hostcli::Table table;
  for (const Request& r : requests()) {
    std::string keys;
    for (const char* k : r.keys) keys += (keys.empty() ? "" : " ") + std::string(std::string(k) == "*" ? "FIELD..." : k);
    table.add({"  " + std::string(r.name), r.summary, keys.empty() ? "" : "[" + keys + "]"});
  }
  out << table.text();
  out << "\nVALUE is JSON (numbers, 0x-hex numbers as text), @FILE for a JSON file, else text. A board\n"
         "is named by its device (qovorlix1) or its item name (KEL1). method= names a driver method\n"
         "as board files do (op0405, getTopographyName); interface= narrows it to one interface.\n"
         "Inside a machine ctl uses $QOSIM_CONTROL; outside, --machine ID or the only one running.\n"
         "\nMachines from a second terminal: a machine's ID is the process id of its qosim run\n"
         "(qosim ls). Only root may list, enter or control a machine from outside; qosim exec runs\n"
         "the command in that machine's mount namespace (its /dev/qo, /proc/driver/qo and control\n"
         "socket), nothing else of it.\n"
         "\nExit status: run and exec pass the command's status through; 64 usage, 65 board file,\n"
         "69 no such machine, 77 not root, 78 no mount namespace, 79 no /dev/fuse, 80 FUSE mount\n"
         "failed, 81 other setup step, 126 not executable, 127 not found. ctl: 0 ok, 1 refused,\n"
         "2 usage, 3 no connection. check-boards: 0 valid, 1 warnings with --strict, 65 invalid.\n";
}

int usageError(const std::string& message) {
  std::cerr << "qosim: " << printable(message) << "\n";
  usage(std::cerr);
  return qosim::kExitUsage;
}

bool readJsonFile(const std::string& path, json& out, std::string& error) {
  std::stringstream ss;
  if (path == "-") {
    ss << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = "cannot open " + printable(path);
      return false;
    }
    ss << in.rdbuf();
  }
  out = json::parse(ss.str(), nullptr, false);
  if (out.is_discarded()) {
    error = printable(path) + " is not valid JSON";
    return false;
  }
  return true;
}

// An option with a value, as "--name VALUE" or "--name=VALUE"; advances `i` past it.
bool optionValue(int argc, char** argv, int& i, const char* name, std::string& value, bool& missing) {
  const std::string a = argv[i], n = name;
  if (a == n) {
    if (i + 1 >= argc) {
      missing = true;
      return true;
    }
    value = argv[++i];
    return true;
  }
  if (a.rfind(n + "=", 0) == 0) {
    value = a.substr(n.size() + 1);
    return true;
  }
  return false;
}

int runCommand(int argc, char** argv) {
  qosim::RunOptions opt;
  int i = 2;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    bool missing = false;
    if (a == "--") {
      ++i;
      break;
    }
    if (optionValue(argc, argv, i, "--boards", opt.boardFile, missing)) {
      if (missing) return usageError("qosim run: --boards needs a FILE");
    } else if (!a.empty() && a[0] != '-') {
      break;  // the command starts here ("--" is optional)
    } else {
      return usageError("qosim run: unknown option " + a);
    }
  }
  for (; i < argc; ++i) opt.command.push_back(argv[i]);
  return qosim::runMachine(opt);
}

int execCommand(int argc, char** argv) {
  std::string id;
  int i = 2;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    bool missing = false;
    if (a == "--") {
      ++i;
      break;
    }
    if (optionValue(argc, argv, i, "--machine", id, missing)) {
      if (missing) return usageError("qosim exec: --machine needs an ID (see qosim ls)");
    } else if (!a.empty() && a[0] != '-') {
      break;
    } else {
      return usageError("qosim exec: unknown option " + a);
    }
  }
  std::vector<std::string> command(argv + i, argv + argc);
  if (command.empty()) return usageError("qosim exec: no command given");
  qosim::RunningMachine machine;
  std::string error;
  int code = 0;
  if (!qosim::findMachine(id, machine, error, code)) {
    std::cerr << "qosim exec: " << error << "\n";
    return code;
  }
  return qosim::execInMachine(machine, command);
}

int lsCommand(int argc, char** argv) {
  if (argc > 2) return usageError("qosim ls: unexpected argument " + std::string(argv[2]));
  if (::geteuid() != 0) {
    std::cerr << "qosim ls: only root may see the simulated machines (they live in mount namespaces of root)\n";
    return qosim::kExitNotRoot;
  }
  hostcli::ignoreBrokenPipe();
  try {
    const auto machines = qosim::runningMachines();
    if (machines.empty()) {
      hostcli::writeLine("no simulated machine is running");
      return hostcli::finish("qosim", 0);
    }
    hostcli::Table table;
    table.add({"MACHINE", "BOARDS", "BOARD FILE", "COMMAND"});
    for (const auto& m : machines) {
      std::string command;
      for (const auto& a : m.ping.value("command", json::array()))
        if (a.is_string()) command += (command.empty() ? "" : " ") + a.get<std::string>();
      table.add({std::to_string(m.id), std::to_string(m.boards), m.ping.value("boardFile", ""), command});
    }
    hostcli::write(table.text());
  } catch (const hostcli::WriteFailure& failure) {
    return hostcli::reportWriteFailure("qosim", failure);
  }
  return hostcli::finish("qosim", 0);
}

// method=NAME: the command of the method of that name (narrowed to interface=NAME when given).
bool methodCommand(const std::string& name, const std::string& interface, std::uint32_t& command,
                   std::string& error) {
  std::set<std::uint32_t> commands;
  std::set<std::string> interfaces;
  std::vector<std::string> names;
  for (const qodrvdesc::Method& m : qodrvdesc::kMethods) {
    names.push_back(m.name);
    if (name != m.name || (!interface.empty() && interface != m.driverInterface)) continue;
    commands.insert(m.command);
    interfaces.insert(m.driverInterface);
  }
  if (commands.size() == 1) {
    command = *commands.begin();
    return true;
  }
  if (commands.empty()) {
    error = "no driver method is named \"" + printable(name) + "\"" +
            (interface.empty() ? "" : " in interface \"" + printable(interface) + "\"") +
            hostcli::nearestHint(name, names);
  } else {
    error = "method \"" + name + "\" is in several interfaces (";
    for (const auto& i : interfaces) error += (error.back() == '(' ? "" : ", ") + i;
    error += "): give interface=NAME";
  }
  return false;
}

int ctlCommand(int argc, char** argv) {
  std::string socket, machineId;
  int i = 2;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    bool missing = false;
    if (optionValue(argc, argv, i, "--socket", socket, missing) ||
        optionValue(argc, argv, i, "--machine", machineId, missing)) {
      if (missing) {
        std::cerr << "qosim ctl: " << a << " needs a value\n";
        return kCtlUsage;
      }
      continue;
    }
    break;
  }
  if (i >= argc) {
    std::cerr << "qosim ctl: no request given (qosim --help lists them)\n";
    return kCtlUsage;
  }
  if (!socket.empty() && !machineId.empty()) {
    std::cerr << "qosim ctl: give --socket or --machine, not both\n";
    return kCtlUsage;
  }
  const std::string cmd = argv[i++];
  const Request* request = nullptr;
  std::vector<std::string> names;
  for (const Request& r : requests()) {
    names.push_back(r.name);
    if (cmd == r.name) request = &r;
  }
  if (request == nullptr) {
    std::cerr << "qosim ctl: unknown request '" << printable(cmd) << "'" << hostcli::nearestHint(cmd, names)
              << " (qosim --help lists them)\n";
    return kCtlUsage;
  }
  json req{{"cmd", cmd}};
  std::string method, interface;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (!hostcli::isUtf8(a)) {
      std::cerr << "qosim ctl: argument \"" << printable(a)
                << "\" is not UTF-8 (requests are JSON text)\n";
      return kCtlUsage;
    }
    auto eq = a.find('=');
    std::string error;
    if (eq == std::string::npos) {
      const std::string positional = request->positional ? request->positional : "";
      if (positional == "file") {
        json board;
        if (!readJsonFile(a, board, error)) {
          std::cerr << "qosim ctl: " << error << "\n";
          return kCtlUsage;
        }
        const bool many = board.is_object() && board.contains("boards");
        req[many ? "boards" : "board"] = many ? board["boards"] : board;
      } else if (positional == "device") {
        req["device"] = a;
      } else {
        std::cerr << "qosim ctl: " << cmd << ": expected KEY=VALUE, got \"" << printable(a) << "\"\n";
        return kCtlUsage;
      }
      continue;
    }
    const std::string key = a.substr(0, eq), value = a.substr(eq + 1);
    bool known = false, any = false;
    std::vector<std::string> keys;
    for (const char* k : request->keys) {
      any = any || std::string(k) == "*";
      known = known || key == k;
      if (std::string(k) != "*") keys.push_back(k);
    }
    if (!known && !any) {
      std::cerr << "qosim ctl: " << cmd << ": unknown key \"" << printable(key) << "\"";
      if (keys.empty()) {
        std::cerr << " (it takes none)\n";
      } else {
        const std::string hint = hostcli::nearestHint(key, keys);
        std::string all;
        for (const auto& k : keys) all += (all.empty() ? "" : ", ") + k;
        std::cerr << (hint.empty() ? " (keys: " + all + ")" : hint) << "\n";
      }
      return kCtlUsage;
    }
    if (key == "method") {
      method = value;
      continue;
    }
    if (key == "interface") {
      interface = value;
      continue;
    }
    static const char* const textKeys[] = {"payload", "output", "bytes", "target", "node", "device",
                                           "name", "text", "operation", "hash", "description",
                                           "primaryName", "secondaryName", "topographyName", "answer",
                                           "then"};
    bool text = false;
    for (const char* k : textKeys) text = text || key == k;
    if (!value.empty() && value[0] == '@') {
      json j;
      if (!readJsonFile(value.substr(1), j, error)) {
        std::cerr << "qosim ctl: " << error << "\n";
        return kCtlUsage;
      }
      req[key] = j;
    } else if (text) {
      req[key] = value;
    } else {
      json j = json::parse(value, nullptr, false);
      req[key] = j.is_discarded() ? json(value) : j;
    }
  }
  if (!interface.empty() && method.empty()) {
    std::cerr << "qosim ctl: " << cmd << ": interface= goes with method=\n";
    return kCtlUsage;
  }
  if (!method.empty()) {
    if (req.contains("command")) {
      std::cerr << "qosim ctl: " << cmd << ": give method= or command=, not both\n";
      return kCtlUsage;
    }
    std::uint32_t command = 0;
    std::string error;
    if (!methodCommand(method, interface, command, error)) {
      std::cerr << "qosim ctl: " << cmd << ": " << error << "\n";
      return kCtlUsage;
    }
    req["command"] = command;
  }
  if (socket.empty() && (!machineId.empty() || std::getenv("QOSIM_CONTROL") == nullptr)) {
    // Outside a machine: the one named, or the only one running.
    qosim::RunningMachine machine;
    std::string error;
    int code = 0;
    if (!qosim::findMachine(machineId, machine, error, code)) {
      std::cerr << "qosim ctl: " << (machineId.empty() ? "QOSIM_CONTROL is not set, and " : "")
                << error << "\n";
      return code == qosim::kExitUsage ? kCtlUsage : kCtlNoConnection;
    }
    socket = machine.socket;
  }
  auto client = qosim::Client::connect(socket);
  if (!client) {
    std::cerr << "qosim ctl: " << printable(client.error) << "\n";
    return kCtlNoConnection;
  }
  auto answer = client.value.request(req);
  if (!answer) {
    std::cerr << "qosim ctl: " << printable(answer.error) << "\n";
    return kCtlRefused;
  }
  hostcli::ignoreBrokenPipe();
  try {
    hostcli::writeLine(hostcli::dumpJson(answer.value, 2));
  } catch (const hostcli::WriteFailure& failure) {
    return hostcli::reportWriteFailure("qosim", failure);
  }
  return hostcli::finish("qosim", 0);
}

int checkBoardsCommand(int argc, char** argv) {
  bool strict = false;
  std::string file;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--strict") strict = true;
    else if (!file.empty()) return usageError("qosim check-boards: one FILE only");
    else if (a.size() > 1 && a[0] == '-' ) return usageError("qosim check-boards: unknown option " + a);
    else file = a;
  }
  if (file.empty()) return usageError("qosim check-boards: no FILE given");
  qosim::MachineSpec machine;
  try {
    machine = qosim::loadMachineFile(file);
  } catch (const qosim::BoardError& e) {
    std::cerr << "qosim: " << printable(e.what()) << "\n";
    return qosim::kExitBoardFile;
  }
  hostcli::ignoreBrokenPipe();
  try {
    for (const auto& b : machine.boards) {
      hostcli::writeLine(b.device);
      for (const auto& iface : b.interfaces) hostcli::writeLine("  /dev/qo/" + b.nodeName(iface));
      for (const auto& f : b.moduleFiles) hostcli::writeLine("  module file " + f.name);
      for (const auto& f : b.model.driverFaults) {
        std::string line = "  driver fault " + f.method + ": ";
        if (f.err) line += "errno " + std::to_string(f.err);
        else if (f.status) line += "status " + std::to_string(f.status);
        else line += "the board's answer";
        if (f.after.then != qosim::Aftermath::Then::None)
          line += std::string(", then ") + qosim::thenName(f.after.then) +
                  (f.after.then == qosim::Aftermath::Then::Crash
                       ? " (restart after " + std::to_string(f.after.restartMs) + " ms)"
                       : "");
        line += " from call " + std::to_string(f.afterCalls + 1);
        if (f.count >= 0) line += " for " + std::to_string(f.count) + " call" + (f.count == 1 ? "" : "s");
        hostcli::writeLine(line);
      }
      const qosim::ModuleSpec& mod = b.model.module;
      if (mod.state == qosim::ModuleSpec::State::Unreadable)
        hostcli::writeLine("  module unreadable: status " + std::to_string(mod.errorStatus));
      for (const auto& [name, status] : {std::pair{"id", mod.idStatus}, std::pair{"serial", mod.serialStatus},
                                         std::pair{"revision", mod.revisionStatus}})
        if (mod.state == qosim::ModuleSpec::State::Present && status)
          hostcli::writeLine(std::string("  module ") + name + " unreadable: status " + std::to_string(status));
    }
    for (const auto& f : machine.moduleFiles) hostcli::writeLine("module file " + f.name);
    hostcli::flush();
  } catch (const hostcli::WriteFailure& failure) {
    return hostcli::reportWriteFailure("qosim", failure);
  }
  // What the library will not serve: warnings on stderr, the file stays valid.
  const auto notes = qosim::servingNotes(machine);
  for (const auto& n : notes) {
    std::string where = n.device.empty() ? std::string("the machine")
                                         : "board " + std::to_string(n.board) + " (" + n.device + ")";
    const char* kind = n.kind == qosim::ServingNote::Kind::LeftOut    ? "left out"
                       : n.kind == qosim::ServingNote::Kind::MayLeave ? "may be left out"
                                                                      : "not served";
    std::cerr << "qosim: warning: board file " << printable(file) << ": " << where << ": " << kind << ": "
              << printable(n.text) << "\n";
  }
  return strict && !notes.empty() ? 1 : 0;
}

int dispatch(int argc, char** argv) {
  if (argc < 2) return usageError("no command given");
  const std::string mode = argv[1];
  if (mode == "--help" || mode == "-h" || mode == "help" || mode == "--version" || mode == "-V") {
    std::ostringstream text;
    if (mode == "--version" || mode == "-V") text << "qosim " << QOSIM_VERSION << "\n";
    else help(text);
    hostcli::ignoreBrokenPipe();
    try {
      hostcli::write(text.str());
    } catch (const hostcli::WriteFailure& failure) {
      return hostcli::reportWriteFailure("qosim", failure);
    }
    return hostcli::finish("qosim", 0);
  }
  if (mode == "run") return runCommand(argc, argv);
  if (mode == "exec") return execCommand(argc, argv);
  if (mode == "ls") return lsCommand(argc, argv);
  if (mode == "ctl") return ctlCommand(argc, argv);
  if (mode == "check-boards") return checkBoardsCommand(argc, argv);
  std::vector<std::string> commands(std::begin(kCommands), std::end(kCommands));
  return usageError("unknown command '" + mode + "'" + hostcli::nearestHint(mode, commands));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return dispatch(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "qosim: internal error: " << printable(e.what()) << "\n";
    return kInternalError;
  }
}
