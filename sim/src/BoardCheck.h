// What `qosim check-boards` tells beyond validity: the boards of a valid board file that the
// library will not serve (it enumerates them but makes no item), and the parts of a board that
// no simulated driver interface or topography serves. The rules follow what the library checks
// while it lists a board and builds its item: a product of its catalog, "supported" 1, an entry
// of the main interface carrying the seven bus properties (4 bytes each), the firmware version
// and hardware revision read without an error.
#pragma once

#include <string>
#include <vector>

#include "BoardFile.h"

namespace qosim {

struct ServingNote {
  enum class Kind {
    LeftOut,   // the library certainly leaves the board out
    MayLeave,  // a fault of the file may make the library leave the board out
    Unserved,  // a part of the board that nothing serves (an interface, a topography)
  };
  Kind kind;
  std::size_t board;   // index in the file; npos for the machine as a whole
  std::string device;  // empty for the machine as a whole
  std::string text;
};

std::vector<ServingNote> servingNotes(const MachineSpec& machine);

// Whether the library's product catalog holds the product identifier.
bool productInCatalog(std::uint32_t productId);

}  // namespace qosim
