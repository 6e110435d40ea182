// Directory relocation inside the simulated machine (qoPlatformStandinContract.h, section 3):
// the data directories move to the machine's data folder when it exists; everything else, and
// everything outside a simulated machine, keeps its default (answer 0).
#include "qorelocations/qorelocations.h"

#include <sys/stat.h>

#include <cstring>

#include "qoapal/driver/qoPlatformStandinContract.h"

namespace {

namespace contract = qoplatform_standin;

bool relocatedHere(const char* name) {
  return std::strcmp(name, "datarootdir") == 0 || std::strcmp(name, "datadir") == 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int get_relocated_dir(const char* name,
                                                                        char* buffer,
                                                                        size_t size) {
  if (name == nullptr || buffer == nullptr || !relocatedHere(name)) return 0;
  struct stat st{};
  if (::stat(contract::kDataDirectory, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  constexpr std::size_t length = sizeof contract::kDataDirectory - 1;
  if (length + 1 > size) return 0;  // never cut a path, never write past `size`
  std::memcpy(buffer, contract::kDataDirectory, length + 1);
  return static_cast<int>(length);
}
