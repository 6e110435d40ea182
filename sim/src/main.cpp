// qosim: the simulated machine of the board family.
//
//   qosim run [--boards FILE] -- COMMAND [ARG...]   run COMMAND inside a simulated machine
//   qosim ctl [--socket PATH] REQUEST [KEY=VALUE...] send one control request ($QOSIM_CONTROL)
//   qosim check-boards FILE                          validate a board description
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoardFile.h"
#include "Launcher.h"
#include "QosimClient.h"

namespace {

using nlohmann::json;

void usage(std::ostream& out = std::cerr) {
  out << "usage:\n"
               "  qosim run [--boards FILE] -- COMMAND [ARG...]\n"
               "  qosim ctl [--socket PATH] REQUEST [KEY=VALUE...]\n"
               "      REQUEST: ping, list, plug FILE|board=@FILE, unplug DEVICE, devqo-remove,\n"
               "               devqo-create, respond, inject, clear-responses, responses, notify,\n"
               "               notify-raw, log [clear=true], log-clear, subscriptions,\n"
               "               set device=D FIELD=VALUE..., get device=D, enum-fault, generation,\n"
               "               module-file, firmware-update, firmware-progress, firmware-fault,\n"
               "               firmware-config, power-cycle\n"
               "      VALUE: JSON (numbers, 0x-hex numbers as text), @FILE for a JSON file, else text\n"
               "  qosim check-boards FILE\n"
               "  qosim --help\n";
}

bool readJsonFile(const std::string& path, json& out, std::string& error) {
  std::stringstream ss;
  if (path == "-") {
    ss << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = "cannot open " + path;
      return false;
    }
    ss << in.rdbuf();
  }
  out = json::parse(ss.str(), nullptr, false);
  if (out.is_discarded()) {
    error = path + " is not valid JSON";
    return false;
  }
  return true;
}

int runCommand(int argc, char** argv) {
  qosim::RunOptions opt;
  int i = 2;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "--boards" && i + 1 < argc) {
      opt.boardFile = argv[++i];
    } else if (a.rfind("--boards=", 0) == 0) {
      opt.boardFile = a.substr(9);
    } else if (!a.empty() && a[0] != '-') {
      break;  // the command starts here ("--" is optional)
    } else {
      std::cerr << "qosim run: unknown option " << a << "\n";
      usage();
      return qosim::kExitUsage;
    }
  }
  for (; i < argc; ++i) opt.command.push_back(argv[i]);
  return qosim::runMachine(opt);
}

int ctlCommand(int argc, char** argv) {
  std::string socket;
  int i = 2;
  if (i + 1 < argc && std::string(argv[i]) == "--socket") {
    socket = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    usage();
    return 2;
  }
  const std::string cmd = argv[i++];
  json req{{"cmd", cmd}};
  for (; i < argc; ++i) {
    std::string a = argv[i];
    auto eq = a.find('=');
    std::string error;
    if (eq == std::string::npos) {
      // Positional shortcuts: plug FILE; unplug, get, set, power-cycle, firmware-progress DEVICE.
      if (cmd == "plug") {
        json board;
        if (!readJsonFile(a, board, error)) {
          std::cerr << "qosim ctl: " << error << "\n";
          return 2;
        }
        req[board.contains("boards") ? "boards" : "board"] =
            board.contains("boards") ? board["boards"] : board;
      } else if (cmd == "unplug" || cmd == "get" || cmd == "set" || cmd == "power-cycle" ||
                 cmd == "firmware-progress") {
        req["device"] = a;
      } else {
        std::cerr << "qosim ctl: expected KEY=VALUE, got " << a << "\n";
        return 2;
      }
      continue;
    }
    const std::string key = a.substr(0, eq), value = a.substr(eq + 1);
    static const char* const textKeys[] = {"payload", "output", "bytes", "target", "node", "device",
                                           "name", "text", "operation", "hash", "description",
                                           "primaryName", "secondaryName", "topographyName"};
    bool text = false;
    for (const char* k : textKeys) text = text || key == k;
    if (!value.empty() && value[0] == '@') {
      json j;
      if (!readJsonFile(value.substr(1), j, error)) {
        std::cerr << "qosim ctl: " << error << "\n";
        return 2;
      }
      req[key] = j;
    } else if (text) {
      req[key] = value;
    } else {
      json j = json::parse(value, nullptr, false);
      req[key] = j.is_discarded() ? json(value) : j;
    }
  }
  auto client = qosim::Client::connect(socket);
  if (!client) {
    std::cerr << "qosim ctl: " << client.error << "\n";
    return 3;
  }
  auto answer = client.value.request(req);
  if (!answer) {
    std::cerr << "qosim ctl: " << answer.error << "\n";
    return 1;
  }
  std::cout << answer.value.dump(2) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage();
    return qosim::kExitUsage;
  }
  const std::string mode = argv[1];
  if (mode == "--help" || mode == "-h") {
    std::cout << "qosim: a simulated machine serving the Vorlix boards' driver (device nodes, /proc,\n"
                 "netlink) to an unmodified library, for tests and demonstrations.\n\n";
    usage(std::cout);
    return 0;
  }
  if (mode == "run") return runCommand(argc, argv);
  if (mode == "ctl") return ctlCommand(argc, argv);
  if (mode == "check-boards" && argc == 3) {
    try {
      auto machine = qosim::loadMachineFile(argv[2]);
      for (const auto& b : machine.boards) {
        std::cout << b.device << "\n";
        for (const auto& iface : b.interfaces) std::cout << "  /dev/qo/" << b.nodeName(iface) << "\n";
        for (const auto& f : b.moduleFiles) std::cout << "  module file " << f.name << "\n";
        for (const auto& f : b.model.driverFaults) {
          std::cout << "  driver fault " << f.method << ": ";
          if (f.err) std::cout << "errno " << f.err;
          else if (f.status) std::cout << "status " << f.status;
          else std::cout << "the board's answer";
          if (f.after.then != qosim::Aftermath::Then::None)
            std::cout << ", then " << qosim::thenName(f.after.then)
                      << (f.after.then == qosim::Aftermath::Then::Crash ? " (restart after " + std::to_string(f.after.restartMs) + " ms)" : "");
          std::cout << " from call " << f.afterCalls + 1;
          if (f.count >= 0) std::cout << " for " << f.count << " call" << (f.count == 1 ? "" : "s");
          std::cout << "\n";
        }
        const qosim::ModuleSpec& mod = b.model.module;
        if (mod.state == qosim::ModuleSpec::State::Unreadable)
          std::cout << "  module unreadable: status " << mod.errorStatus << "\n";
        for (const auto& [name, status] : {std::pair{"id", mod.idStatus}, std::pair{"serial", mod.serialStatus},
                                           std::pair{"revision", mod.revisionStatus}})
          if (mod.state == qosim::ModuleSpec::State::Present && status)
            std::cout << "  module " << name << " unreadable: status " << status << "\n";
      }
      for (const auto& f : machine.moduleFiles) std::cout << "module file " << f.name << "\n";
      return 0;
    } catch (const qosim::BoardError& e) {
      std::cerr << "qosim: " << e.what() << "\n";
      return qosim::kExitBoardFile;
    }
  }
  usage();
  return qosim::kExitUsage;
}
