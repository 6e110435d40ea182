// What the simulated machine publishes for the platform stand-ins beside the driver's /proc
// tree (qoPlatformStandinContract.h): the enumeration publications (procRoot/.kel: generation,
// machine-wide faults; each board's .kel directory: attributes, strings, names, faults), the
// I/O module files of the data directory and the relocation fault file.
//
// Its lock guards the generation and serializes the writes; the board registry calls in with
// its own lock held (board registry before publications), nothing is called from here.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BoardFile.h"

namespace qosim {

struct Paths {
  std::string procRoot = "/proc/driver/qo";
  std::string devQo = "/dev/qo";
  std::string fuseDir;    // where the FUSE file system serving the nodes is mounted
  std::string moduleDir;  // the I/O module database directory; empty: none
};

class Publications {
 public:
  explicit Publications(const Paths& paths);

  // Machine-wide publications and the module file directory; called once after procRoot exists.
  // Until then no board publishes and the generation stays 0.
  void init(const std::map<std::string, std::int32_t>& machineFaults,
            const std::vector<ModuleFile>& moduleFiles);
  bool enabled() const;
  std::uint64_t generation() const;
  // A board was plugged or unplugged, or its publications changed.
  void bumpGeneration();
  // Writes the board's publications as the new directory `dir`.
  void writeBoard(const std::string& dir, const BoardSpec& board) const;
  // A plugged board's publications change as a whole (and the generation with them).
  void republish(const BoardSpec& board);
  // Machine-wide enumeration fault of `op`; status empty clears it.
  void setMachineFault(const std::string& op, std::optional<std::int32_t> status);
  // Adds or replaces a module description file (refused without a module directory).
  void writeModuleFile(const ModuleFile& f);
  // Adds or replaces (text given) or removes (text empty optional) a module description file.
  void setModuleFile(const std::string& name, const std::optional<std::string>& text);
  // How the relocation stand-in answers from now on ("none", "failure", "empty", "overlong");
  // nullopt: it relocates again.
  void setRelocationFault(const std::optional<std::string>& answer);
  bool hasModuleDir() const { return !moduleDir_.empty(); }

 private:
  void writeModuleFileLocked(const ModuleFile& f);
  void bumpLocked();

  const std::string procRoot_;
  const std::string moduleDir_;
  mutable std::mutex mutex_;
  bool enabled_ = false;  // init ran
  std::uint64_t generation_ = 0;
};

}  // namespace qosim
