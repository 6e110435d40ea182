// Directory relocation inside the simulated machine (qoPlatformStandinContract.h, section 3):
// the data directories move to the machine's data folder when it exists; everything else, and
// everything outside a simulated machine, keeps its default (answer 0). A relocation fault set by
// the simulator makes every call answer the way the fault names instead.
#include "qorelocations/qorelocations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "qostandin/qoPlatformStandinContract.h"

namespace {

namespace contract = qoplatform_standin;

bool relocatedHere(const char* name) {
  return std::strcmp(name, "datarootdir") == 0 || std::strcmp(name, "datadir") == 0;
}

// The word of the fault file, empty when there is no fault.
std::string faultSet() {
  const std::string path =
      std::string(contract::kDataDirectory) + "/" + contract::kRelocationFaultFile;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char text[16] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  std::string word(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!word.empty() && (word.back() == '\n' || word.back() == ' ')) word.pop_back();
  return word;
}

// -2: no fault set; otherwise the faulty answer (buffer written as the fault describes).
int faultyAnswer(char* buffer, size_t size) {
  const std::string fault = faultSet();
  if (fault.empty()) return -2;
  if (fault == "failure") return -1;
  if (fault == "empty" && size > 0) {
    buffer[0] = '\0';
    return 1;
  }
  if (fault == "overlong" && size > 0) {
    std::memset(buffer, 'x', size);
    buffer[0] = '/';
    return static_cast<int>(size);
  }
  return 0;  // "none", or a word this stand-in does not know
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int get_relocated_dir(const char* name,
                                                                        char* buffer, size_t size) {
  if (name == nullptr || buffer == nullptr) return 0;
  if (const int faulty = faultyAnswer(buffer, size); faulty != -2) return faulty;
  if (!relocatedHere(name)) return 0;
  struct stat st {};
  if (::stat(contract::kDataDirectory, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  constexpr std::size_t length = sizeof contract::kDataDirectory - 1;
  if (length + 1 > size) return 0;  // never cut a path, never write past `size`
  std::memcpy(buffer, contract::kDataDirectory, length + 1);
  return static_cast<int>(length);
}
