// qosim: the simulated machine of the board family.
//
//   qosim run [--boards FILE] -- COMMAND [ARG...]          run COMMAND inside a new simulated
//   machine qosim exec [--machine ID] -- COMMAND [ARG...]          run COMMAND inside one already
//   running qosim ls                                               list the machines running qosim
//   ctl [--socket PATH|--machine ID] REQUEST [KEY=VALUE...]  send one control request qosim
//   check-boards [--strict] FILE                     validate a board description
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
#include "protocol/ControlRequests.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"

namespace {

using hostcli::printable;
using nlohmann::json;
namespace control = qosim::control;

// Exit statuses of `qosim ctl`.
constexpr int kCtlRefused = 1;
constexpr int kCtlUsage = 2;
constexpr int kCtlNoConnection = 3;
constexpr int kInternalError = 70;

const char* const kCommands[] = {"run", "exec", "ls", "ctl", "check-boards", "help"};

void usage(std::ostream& out) {
  out << "usage:\n"
         "  qosim run [--boards FILE] [--] COMMAND [ARG...]    run COMMAND in a new simulated "
         "machine\n"
         "  qosim exec [--machine ID] [--] COMMAND [ARG...]    run COMMAND in a machine already "
         "running\n"
         "  qosim ls                                           list the machines running (root)\n"
         "  qosim ctl [--socket PATH | --machine ID] REQUEST [KEY=VALUE...]\n"
         "                                                     send one control request\n"
         "  qosim check-boards [--strict] FILE                 validate a board file, tell what "
         "the\n"
         "                                                     library will leave out\n"
         "  qosim --help | --version\n";
}

void help(std::ostream& out) {
  out << "qosim: a simulated machine serving the Vorlix boards' driver (device nodes, /proc,\n"
         "netlink) to an unmodified library, for tests and demonstrations.\n\n";
  usage(out);
  out << "\nControl requests (qosim ctl REQUEST KEY=VALUE...):\n";
  hostcli::Table table;
  for (const control::Request& r : control::requests()) {
    std::string keys;
    for (const control::Key& k : r.keys) keys += (keys.empty() ? "" : " ") + std::string(k.name);
    if (r.anyField) keys += (keys.empty() ? "" : " ") + std::string("FIELD...");
    table.add({"  " + std::string(r.name), r.summary, keys.empty() ? "" : "[" + keys + "]"});
  }
  out << table.text();
  out << "\nVALUE is JSON (numbers, 0x-hex numbers as text), @FILE for a JSON file, else text. A "
         "board\n"
         "is named by its device (qovorlix1) or its item name (KEL1). method= names a driver "
         "method\n"
         "as board files do (op0405, getTopographyName); interface= narrows it to one interface.\n"
         "Inside a machine ctl uses $QOSIM_CONTROL; outside, --machine ID or the only one "
         "running.\n"
         "\nMachines from a second terminal: a machine's ID is the process id of its qosim run\n"
         "(qosim ls). Only root may list, enter or control a machine from outside; qosim exec "
         "runs\n"
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
bool optionValue(int argc, char** argv, int& i, const char* name, std::string& value,
                 bool& missing) {
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
    std::cerr << "qosim ls: only root may see the simulated machines (they live in mount "
                 "namespaces of root)\n";
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
      table.add(
          {std::to_string(m.id), std::to_string(m.boards), m.ping.value("boardFile", ""), command});
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

// `qosim ctl` options: where the request goes.
struct CtlTarget {
  std::string socket;
  std::string machineId;
};

// Reads the options before the request's name; 0, or the exit status of a usage error.
int ctlOptions(int argc, char** argv, int& i, CtlTarget& target) {
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    bool missing = false;
    if (!optionValue(argc, argv, i, "--socket", target.socket, missing) &&
        !optionValue(argc, argv, i, "--machine", target.machineId, missing))
      break;
    if (missing) {
      std::cerr << "qosim ctl: " << a << " needs a value\n";
      return kCtlUsage;
    }
  }
  if (i >= argc) {
    std::cerr << "qosim ctl: no request given (qosim --help lists them)\n";
    return kCtlUsage;
  }
  if (!target.socket.empty() && !target.machineId.empty()) {
    std::cerr << "qosim ctl: give --socket or --machine, not both\n";
    return kCtlUsage;
  }
  return 0;
}

const control::Request* ctlRequest(const std::string& name) {
  const control::Request* request = control::findRequest(name);
  if (request == nullptr) {
    std::vector<std::string> names;
    for (const control::Request& r : control::requests()) names.push_back(r.name);
    std::cerr << "qosim ctl: unknown request '" << printable(name) << "'"
              << hostcli::nearestHint(name, names) << " (qosim --help lists them)\n";
  }
  return request;
}

// A bare argument: the board file of plug, the device of a request on one board.
bool addPositional(const control::Request& request, const std::string& a, json& req) {
  std::string error;
  switch (request.positional) {
    case control::Positional::BoardFile: {
      json board;
      if (!readJsonFile(a, board, error)) {
        std::cerr << "qosim ctl: " << error << "\n";
        return false;
      }
      const bool many = board.is_object() && board.contains("boards");
      req[many ? "boards" : "board"] = many ? board["boards"] : board;
      return true;
    }
    case control::Positional::Device:
      req["device"] = a;
      return true;
    case control::Positional::None:
      break;
  }
  std::cerr << "qosim ctl: " << request.name << ": expected KEY=VALUE, got \"" << printable(a)
            << "\"\n";
  return false;
}

bool knownCtlKey(const control::Request& request, const std::string& key) {
  if (request.anyField || control::findKey(request, key) != nullptr) return true;
  std::vector<std::string> keys;
  for (const control::Key& k : request.keys) keys.push_back(k.name);
  std::cerr << "qosim ctl: " << request.name << ": unknown key \"" << printable(key) << "\"";
  if (keys.empty()) {
    std::cerr << " (it takes none)\n";
  } else {
    const std::string hint = hostcli::nearestHint(key, keys);
    std::string all;
    for (const auto& k : keys) all += (all.empty() ? "" : ", ") + k;
    std::cerr << (hint.empty() ? " (keys: " + all + ")" : hint) << "\n";
  }
  return false;
}

// The request built from the arguments; method= and interface= stay here until they name a
// command.
struct CtlRequest {
  json req;
  std::string method, interface;
};

bool addKeyValue(const control::Request& request, const std::string& a, CtlRequest& out) {
  const auto eq = a.find('=');
  const std::string key = a.substr(0, eq), value = a.substr(eq + 1);
  if (!knownCtlKey(request, key)) return false;
  const control::Key* k = control::findKey(request, key);
  if (k != nullptr && k->type == control::KeyType::CtlOnly) {
    (key == "method" ? out.method : out.interface) = value;
    return true;
  }
  if (!value.empty() && value[0] == '@') {
    std::string error;
    json j;
    if (!readJsonFile(value.substr(1), j, error)) {
      std::cerr << "qosim ctl: " << error << "\n";
      return false;
    }
    out.req[key] = j;
  } else if (control::isTextKey(request, key)) {
    out.req[key] = value;
  } else {
    json j = json::parse(value, nullptr, false);
    out.req[key] = j.is_discarded() ? json(value) : j;
  }
  return true;
}

bool addArgument(const control::Request& request, const std::string& a, CtlRequest& out) {
  if (!hostcli::isUtf8(a)) {
    std::cerr << "qosim ctl: argument \"" << printable(a)
              << "\" is not UTF-8 (requests are JSON text)\n";
    return false;
  }
  if (a.find('=') == std::string::npos) return addPositional(request, a, out.req);
  return addKeyValue(request, a, out);
}

// method= (narrowed by interface=) becomes the command it names.
bool applyMethod(const std::string& cmd, CtlRequest& out) {
  if (!out.interface.empty() && out.method.empty()) {
    std::cerr << "qosim ctl: " << cmd << ": interface= goes with method=\n";
    return false;
  }
  if (out.method.empty()) return true;
  if (out.req.contains("command")) {
    std::cerr << "qosim ctl: " << cmd << ": give method= or command=, not both\n";
    return false;
  }
  std::uint32_t command = 0;
  std::string error;
  if (!methodCommand(out.method, out.interface, command, error)) {
    std::cerr << "qosim ctl: " << cmd << ": " << error << "\n";
    return false;
  }
  out.req["command"] = command;
  return true;
}

int sendCtl(CtlTarget target, const json& req) {
  if (target.socket.empty() &&
      (!target.machineId.empty() || std::getenv("QOSIM_CONTROL") == nullptr)) {
    // Outside a machine: the one named, or the only one running.
    qosim::RunningMachine machine;
    std::string error;
    int code = 0;
    if (!qosim::findMachine(target.machineId, machine, error, code)) {
      std::cerr << "qosim ctl: "
                << (target.machineId.empty() ? "QOSIM_CONTROL is not set, and " : "") << error
                << "\n";
      return code == qosim::kExitUsage ? kCtlUsage : kCtlNoConnection;
    }
    target.socket = machine.socket;
  }
  auto client = qosim::Client::connect(target.socket);
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

int ctlCommand(int argc, char** argv) {
  CtlTarget target;
  int i = 2;
  if (const int code = ctlOptions(argc, argv, i, target); code != 0) return code;
  const std::string cmd = argv[i++];
  const control::Request* request = ctlRequest(cmd);
  if (request == nullptr) return kCtlUsage;
  CtlRequest out{control::make(request->id), {}, {}};
  for (; i < argc; ++i)
    if (!addArgument(*request, argv[i], out)) return kCtlUsage;
  if (!applyMethod(cmd, out)) return kCtlUsage;
  return sendCtl(std::move(target), out.req);
}

// A driver fault as check-boards lists it.
std::string driverFaultLine(const qosim::DriverFault& f) {
  std::string line = "  driver fault " + f.method + ": ";
  if (f.err)
    line += "errno " + std::to_string(f.err);
  else if (f.status)
    line += "status " + std::to_string(f.status);
  else
    line += "the board's answer";
  if (f.after.then != qosim::Aftermath::Then::None)
    line += std::string(", then ") + qosim::thenName(f.after.then) +
            (f.after.then == qosim::Aftermath::Then::Crash
                 ? " (restart after " + std::to_string(f.after.restartMs) + " ms)"
                 : "");
  line += " from call " + std::to_string(f.afterCalls + 1);
  if (f.count >= 0) line += " for " + std::to_string(f.count) + " call" + (f.count == 1 ? "" : "s");
  return line;
}

// The boards of a valid file: nodes, module files, driver faults, unreadable module fields.
void writeBoardListing(const qosim::MachineSpec& machine) {
  for (const auto& b : machine.boards) {
    hostcli::writeLine(b.device);
    for (const auto& iface : b.interfaces) hostcli::writeLine("  /dev/qo/" + b.nodeName(iface));
    for (const auto& f : b.moduleFiles) hostcli::writeLine("  module file " + f.name);
    for (const auto& f : b.model.driverFaults) hostcli::writeLine(driverFaultLine(f));
    const qosim::ModuleSpec& mod = b.model.module;
    if (mod.state == qosim::ModuleSpec::State::Unreadable)
      hostcli::writeLine("  module unreadable: status " + std::to_string(mod.errorStatus));
    for (const auto& [name, status] :
         {std::pair{"id", mod.idStatus}, std::pair{"serial", mod.serialStatus},
          std::pair{"revision", mod.revisionStatus}})
      if (mod.state == qosim::ModuleSpec::State::Present && status)
        hostcli::writeLine(std::string("  module ") + name + " unreadable: status " +
                           std::to_string(status));
  }
  for (const auto& f : machine.moduleFiles) hostcli::writeLine("module file " + f.name);
  hostcli::flush();
}

// What the library will not serve: warnings on stderr, the file stays valid.
void warnServingNotes(const std::string& file, const std::vector<qosim::ServingNote>& notes) {
  for (const auto& n : notes) {
    std::string where = n.device.empty()
                            ? std::string("the machine")
                            : "board " + std::to_string(n.board) + " (" + n.device + ")";
    const char* kind = n.kind == qosim::ServingNote::Kind::LeftOut    ? "left out"
                       : n.kind == qosim::ServingNote::Kind::MayLeave ? "may be left out"
                                                                      : "not served";
    std::cerr << "qosim: warning: board file " << printable(file) << ": " << where << ": " << kind
              << ": " << printable(n.text) << "\n";
  }
}

int checkBoardsCommand(int argc, char** argv) {
  bool strict = false;
  std::string file;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--strict")
      strict = true;
    else if (!file.empty())
      return usageError("qosim check-boards: one FILE only");
    else if (a.size() > 1 && a[0] == '-')
      return usageError("qosim check-boards: unknown option " + a);
    else
      file = a;
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
    writeBoardListing(machine);
  } catch (const hostcli::WriteFailure& failure) {
    return hostcli::reportWriteFailure("qosim", failure);
  }
  const auto notes = qosim::servingNotes(machine);
  warnServingNotes(file, notes);
  return strict && !notes.empty() ? 1 : 0;
}

int dispatch(int argc, char** argv) {
  if (argc < 2) return usageError("no command given");
  const std::string mode = argv[1];
  if (mode == "--help" || mode == "-h" || mode == "help" || mode == "--version" || mode == "-V") {
    std::ostringstream text;
    if (mode == "--version" || mode == "-V")
      text << "qosim " << QOSIM_VERSION << "\n";
    else
      help(text);
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
