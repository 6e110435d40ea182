// qo-drvcall: calls one described driver-interface method on a board, through the generated
// proxy, and prints what came back. A developer's tool: any method of the interface
// descriptions can be called by name, so a method added to a description is callable at once.
//
//   qo-drvcall DEVICE METHOD [N=VALUE ...]
//
// DEVICE is the board's directory name under /proc/driver/qo (e.g. qovorlix0); METHOD a method
// name of either interface (op0405, getTopographyName, ...); N=VALUE gives the by-value input
// of parameter N (decimal or 0x hex). Outputs, record inputs and caller buffers are provided
// (zero-filled; buffers of 4096 bytes). Exit status: 0 when the status stays free of errors,
// 1 when it holds one, 2 on usage errors.
#include <dirent.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qodrvdesc/qoGeneratedProxyInvokers.h"

namespace {

using nQOVORLIXATOMICSAE_23_3::tInterfaceProxy_routing;
using nQOVORLIXATOMICSAE_23_3::tInterfaceProxy_vorlixtarrow;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tDeviceInterfaceProxy;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

int usage(const char* why) {
  std::fprintf(stderr, "qo-drvcall: %s\nusage: qo-drvcall DEVICE METHOD [N=VALUE ...]\n", why);
  return 2;
}

// The node path of the device's first entry of `interfaceName`, or "".
std::string nodePathOf(const std::string& device, const std::string& interfaceName) {
  const std::string dir = "/proc/driver/qo/" + device + "/deviceInterfaces";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return {};
  std::string path;
  while (dirent* e = ::readdir(d)) {
    std::string_view name(e->d_name);
    if (name.substr(0, interfaceName.size() + 1) != interfaceName + "\\") continue;
    std::ifstream in(dir + "/" + std::string(name) + "/interfacePath");
    std::getline(in, path, '\0');
    while (!path.empty() && (path.back() == '\n' || path.back() == '\0')) path.pop_back();
    break;
  }
  ::closedir(d);
  return path;
}

std::uint64_t readLittleEndian(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = size; i-- > 0;) v = (v << 8) | bytes[i];
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf(
        "usage: qo-drvcall DEVICE METHOD [N=VALUE ...]\n"
        "Calls one described driver-interface method on a board through the generated proxy\n"
        "and prints what came back.\n"
        "  DEVICE   the board's directory under /proc/driver/qo (e.g. qovorlix0)\n"
        "  METHOD   a method of either interface description (op0405, getTopographyName, ...)\n"
        "  N=VALUE  by-value input of parameter N (decimal or 0x hex); outputs, record inputs\n"
        "           and caller buffers (4096 bytes) are provided zero-filled\n"
        "Exit status: 0 when the status holds no error, 1 when it holds one, 2 on usage errors.\n");
    return 0;
  }
  if (argc < 3) return usage("a device and a method are needed");
  const std::string device = argv[1];
  const std::string methodName = argv[2];

  const qodrvdesc::Method* method = nullptr;
  std::size_t index = 0;
  for (; index < qodrvdesc::kMethodCount; ++index) {
    if (methodName == qodrvdesc::kMethods[index].name) {
      method = &qodrvdesc::kMethods[index];
      break;
    }
  }
  if (!method) return usage(("no described method is named " + methodName).c_str());
  const auto& invoker = qodrvdesc::invoke::kInvokers[index];

  qodrvdesc::invoke::Arguments args;
  std::vector<std::vector<std::uint8_t>> storage;
  storage.reserve(2 * qodrvdesc::invoke::kMaxParameters + 2);
  for (int i = 3; i < argc; ++i) {
    char* end = nullptr;
    unsigned long n = std::strtoul(argv[i], &end, 10);
    if (!end || *end != '=' || n == 0 || n > qodrvdesc::invoke::kMaxParameters)
      return usage("inputs are written N=VALUE with N a parameter position");
    args.value[n] = std::strtoull(end + 1, nullptr, 0);
  }
  auto provide = [&](std::size_t size) {
    storage.emplace_back(size, 0);
    return static_cast<void*>(storage.back().data());
  };
  for (std::uint8_t f = 0; f < method->requestCount; ++f) {
    const auto& field = method->request[f];
    if (field.parameter <= 0) continue;
    if (field.role == qodrvdesc::Role::InputRecord) args.record[field.parameter] = provide(64);
    if (field.role == qodrvdesc::Role::Address) args.buffer[field.parameter] = provide(4096);
  }
  for (std::uint8_t f = 0; f < method->responseCount; ++f) {
    const auto& field = method->response[f];
    if (field.role == qodrvdesc::Role::Output && field.parameter > 0)
      args.output[field.parameter] = provide(16);
  }

  const std::string node = nodePathOf(device, method->driverInterface);
  if (node.empty()) {
    std::fprintf(stderr, "qo-drvcall: %s publishes no %s interface\n", device.c_str(),
                 method->driverInterface);
    return 1;
  }
  tStatus status;
  std::unique_ptr<tDeviceInterfaceProxy> proxy;
  if (std::string_view(method->driverInterface) == "routing_routing")
    proxy = std::make_unique<tInterfaceProxy_routing>();
  else
    proxy = std::make_unique<tInterfaceProxy_vorlixtarrow>();
  proxy->openDefault(node.c_str(), &status);
  qodrvdesc::invoke::Outcome outcome;
  invoker.function(*proxy, args, outcome, status);

  std::printf("%s %s (command 0x%08" PRIX32 ") on %s\n", method->proxyInterface, method->name,
              method->command, node.c_str());
  if (outcome.resultSize > 0 && outcome.resultSize <= 8)
    std::printf("  result            %" PRIu64 " (0x%" PRIX64 ")\n",
                readLittleEndian(outcome.result, outcome.resultSize),
                readLittleEndian(outcome.result, outcome.resultSize));
  else if (outcome.resultSize > 8) {
    std::printf("  result record    ");
    for (std::size_t i = 0; i < outcome.resultSize; ++i) std::printf(" %02X", outcome.result[i]);
    std::printf("\n");
  }
  for (std::uint8_t f = 0; f < method->responseCount; ++f) {
    const auto& field = method->response[f];
    if (field.role != qodrvdesc::Role::Output || field.parameter <= 0) continue;
    const auto* bytes = static_cast<const std::uint8_t*>(args.output[field.parameter]);
    std::printf("  parameter %-2d     %" PRIu64 "\n", field.parameter,
                readLittleEndian(bytes, field.size));
  }
  for (std::uint8_t f = 0; f < method->requestCount; ++f) {
    const auto& field = method->request[f];
    if (field.role != qodrvdesc::Role::Address || field.elementSize != 1) continue;
    const char* text = static_cast<const char*>(args.buffer[field.parameter]);
    std::printf("  %-16s \"%.*s\"\n", field.name, 4095, text);
  }
  if (status.code == 0)
    std::printf("  status            0\n");
  else
    std::printf("  status            %" PRId64 " (%s, %s line %" PRIu64 ")\n", status.code,
                status.component, status.file, status.line);
  return status.code < 0 ? 1 : 0;
}
