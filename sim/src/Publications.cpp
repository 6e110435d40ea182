#include "Publications.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "MachineFiles.h"
#include "qostandin/qoPlatformStandinContract.h"

namespace qosim {

namespace fs = std::filesystem;
namespace sc = qoplatform_standin;
using files::fail;
using files::makeDir;
using files::replaceFile;
using files::writeText;

Publications::Publications(const Paths& paths)
    : procRoot_(paths.procRoot), moduleDir_(paths.moduleDir) {}

void Publications::init(const std::map<std::string, std::int32_t>& machineFaults,
                        const std::vector<ModuleFile>& moduleFiles) {
  std::lock_guard lock(mutex_);
  const std::string kel = procRoot_ + "/" + sc::kKelDirectory;
  makeDir(kel, 0755);
  makeDir(kel + "/" + sc::kFaultsDirectory, 0755);
  for (const auto& [op, status] : machineFaults)
    replaceFile(kel + "/" + sc::kFaultsDirectory, op, std::to_string(status));
  enabled_ = true;
  bumpLocked();
  if (!moduleDir_.empty()) {
    std::error_code ec;
    fs::create_directories(moduleDir_, ec);
    if (ec) throw std::runtime_error("cannot create " + moduleDir_ + ": " + ec.message());
    for (const auto& f : moduleFiles) writeModuleFileLocked(f);
  }
}

bool Publications::enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

std::uint64_t Publications::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

void Publications::bumpGeneration() {
  std::lock_guard lock(mutex_);
  bumpLocked();
}

void Publications::bumpLocked() {
  if (!enabled_) return;
  ++generation_;
  replaceFile(procRoot_ + "/" + sc::kKelDirectory, sc::kGenerationFile,
              std::to_string(generation_));
}

void Publications::writeBoard(const std::string& dir, const BoardSpec& b) const {
  const BoardModel& m = b.model;
  makeDir(dir, 0755);
  const std::string attrs = dir + "/" + sc::kAttributesDirectory;
  const std::string strings = dir + "/" + sc::kStringsDirectory;
  const std::string faults = dir + "/" + sc::kFaultsDirectory;
  makeDir(attrs, 0755);
  makeDir(strings, 0755);
  makeDir(faults, 0755);
  std::map<std::uint32_t, std::uint32_t> numeric = m.extraAttributes;
  numeric[sc::kAttrDeviceNumber] = m.deviceNumber;
  numeric[sc::kAttrProductId] = m.productId;
  numeric[sc::kAttrVendorId] = m.vendorId;
  numeric[sc::kAttrSerialNumber] = m.serial;
  numeric[sc::kAttrPciBus] = b.busPropertyU32("pciBusNumber");
  numeric[sc::kAttrPciDevice] = b.busPropertyU32("pciDeviceNumber");
  numeric[sc::kAttrPciFunction] = b.busPropertyU32("pciFunctionNumber");
  numeric[sc::kAttrChassisSlot] = m.chassisSlot;
  numeric[sc::kAttrBusType] = m.busType;
  numeric[sc::kAttrSupported] = m.supported;
  for (const auto& [n, v] : numeric) files::writeU32(attrs + "/" + std::to_string(n), v);
  std::map<std::uint32_t, std::string> texts = m.extraStrings;
  texts[sc::kAttrDescription] = m.description;
  for (const auto& [n, v] : texts) writeText(strings + "/" + std::to_string(n), v);
  writeText(dir + "/" + sc::kPrimaryNameFile, m.primaryName);
  writeText(dir + "/" + sc::kSecondaryNameFile, m.secondaryName);
  for (const auto& [op, status] : m.enumFaults)
    writeText(faults + "/" + op, std::to_string(status));
}

// The new directory is built beside the old one and the two are exchanged in one step.
void Publications::republish(const BoardSpec& b) {
  std::lock_guard lock(mutex_);
  const std::string base = procRoot_ + "/" + b.device;
  const std::string fresh = base + "/.kel-new";
  const std::string current = base + "/" + sc::kKelDirectory;
  std::error_code ec;
  fs::remove_all(fresh, ec);
  try {
    writeBoard(fresh, b);
    if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, current.c_str(), RENAME_EXCHANGE) != 0)
      fail("exchange " + fresh + " and " + current);
  } catch (...) {
    fs::remove_all(fresh, ec);
    throw;
  }
  fs::remove_all(fresh, ec);  // now the old publications
  bumpLocked();
}

void Publications::setMachineFault(const std::string& op, std::optional<std::int32_t> status) {
  std::lock_guard lock(mutex_);
  if (!isMachineEnumOperation(op))
    throw std::runtime_error("\"" + op +
                             "\" is not a machine-wide enumeration operation "
                             "(initialize, getAllKelDevices, hasChanged, refresh)");
  const std::string dir = procRoot_ + "/" + sc::kKelDirectory + "/" + sc::kFaultsDirectory;
  if (status)
    replaceFile(dir, op, std::to_string(*status));
  else
    files::removeIfThere(dir + "/" + op);
  // Machine-wide faults are answered when the operation is called; they change no board, so
  // the generation stays (a list that saw no change must not be told it changed).
}

void Publications::writeModuleFile(const ModuleFile& f) {
  std::lock_guard lock(mutex_);
  writeModuleFileLocked(f);
}

void Publications::writeModuleFileLocked(const ModuleFile& f) {
  if (moduleDir_.empty()) throw std::runtime_error("this machine has no module file directory");
  checkModuleFileName(f.name, "module file");
  replaceFile(moduleDir_, f.name, f.text);
}

void Publications::setModuleFile(const std::string& name, const std::optional<std::string>& text) {
  std::lock_guard lock(mutex_);
  checkModuleFileName(name, "module file");
  if (text) {
    writeModuleFileLocked(ModuleFile{name, *text});
    return;
  }
  const std::string path = moduleDir_ + "/" + name;
  if (moduleDir_.empty() || ::unlink(path.c_str()) != 0)
    throw std::runtime_error("module file " + name + " does not exist");
}

// The fault file sits in the data directory, two levels above the module files.
void Publications::setRelocationFault(const std::optional<std::string>& answer) {
  std::lock_guard lock(mutex_);
  if (moduleDir_.empty()) throw std::runtime_error("this machine has no data directory");
  if (answer && std::find(std::begin(sc::kRelocationFaults), std::end(sc::kRelocationFaults),
                          *answer) == std::end(sc::kRelocationFaults))
    throw std::runtime_error("\"answer\" must be none, failure, empty or overlong");
  const std::string dir = fs::path(moduleDir_).parent_path().parent_path().string();
  if (answer)
    replaceFile(dir, sc::kRelocationFaultFile, *answer);
  else
    files::removeIfThere(dir + "/" + sc::kRelocationFaultFile);
}

}  // namespace qosim
