#include "BoardCheck.h"

#include <cstdio>
#include <algorithm>
#include <functional>

#include "qoapal/driver/qoDriverContract.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qotopo/qoTopographyTables.h"

namespace qosim {

namespace {

namespace drv = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::driver;

// The library's product catalog, the same data file it is built from (a table of plain rows).
struct CatalogRow {
  std::uint32_t product;
  const char* model;
};
#define QO_PRODUCT(product, prefix, model, part) {product, prefix model},
constexpr CatalogRow kCatalog[] = {
#include "catalog/ProductTable.def"
};
#undef QO_PRODUCT

std::string hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

bool simulatedInterface(const std::string& name) {
  for (const qodrvdesc::Method& m : qodrvdesc::kMethods)
    if (name == m.driverInterface) return true;
  return false;
}

std::string topographyNames() {
  std::string names;
  for (const qotopo::Topography& t : qotopo::kTopographies)
    names += (names.empty() ? "" : ", ") + std::string(t.name);
  return names;
}

// A fault of a driver method that answers the first call with an error.
const DriverFault* failsFirstCall(const BoardModel& m, const char* method) {
  for (const DriverFault& f : m.driverFaults)
    if (f.method == method && f.covers(1) &&
        (f.err != 0 || f.status < 0 || f.after.then == Aftermath::Then::Crash))
      return &f;
  return nullptr;
}

}  // namespace

bool productInCatalog(std::uint32_t productId) {
  for (const CatalogRow& row : kCatalog)
    if (row.product == productId) return true;
  return false;
}

namespace {

using Note = std::function<void(ServingNote::Kind, std::string)>;

// The product, "supported" and the interfaces; whether the board has the main interface.
bool identityNotes(const BoardSpec& b, const Note& note) {
  const BoardModel& m = b.model;
  if (!productInCatalog(m.productId))
    note(ServingNote::Kind::LeftOut,
         "product " + hex(m.productId) +
             " is not in the library's catalog: the library lists no item for it");
  if (m.supported != 1)
    note(ServingNote::Kind::LeftOut, "\"supported\" is " + std::to_string(m.supported) +
                                         ", not 1: the library does not serve it");
  bool main = false;
  for (const InterfaceSpec& iface : b.interfaces) {
    main = main || iface.name == drv::kMainInterface;
    if (!simulatedInterface(iface.name))
      note(ServingNote::Kind::Unserved,
           "interface \"" + iface.name +
               "\" is no driver interface the simulator knows: every call on its "
               "node fails with ENOTTY, and the library opens no such interface");
  }
  if (!main)
    note(ServingNote::Kind::LeftOut, std::string("no interface \"") + drv::kMainInterface +
                                         "\": the library finds no interface entry for the board");
  return main;
}

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
  return s;
}

// The seven bus properties of the main interface's entry, 4 bytes each.
void busPropertyNotes(const BoardSpec& b, const Note& note) {
  std::vector<std::string> missing, badSize;
  bool pciMissing = false;
  for (const char* name : drv::kBusProperties) {
    const auto it = std::find_if(b.busProperties.begin(), b.busProperties.end(),
                                 [&](const auto& p) { return p.first == name; });
    if (it == b.busProperties.end()) {
      missing.push_back(name);
      pciMissing = pciMissing || std::string(name).rfind("pcie", 0) != 0;
    } else if (it->second.size() != drv::kBusPropertySize) {
      badSize.push_back(std::string(name) + " (" + std::to_string(it->second.size()) + " bytes)");
    }
  }
  if (missing.empty() && badSize.empty()) return;
  std::string text;
  if (!missing.empty())
    text = "bus propert" + std::string(missing.size() == 1 ? "y " : "ies ") + joined(missing) +
           " missing";
  if (!badSize.empty())
    text += (text.empty() ? "" : "; ") + std::string("not 4 bytes: ") + joined(badSize);
  text +=
      ": the library leaves the board out (give all seven, or leave out \"busProperties\" "
      "for the defaults)";
  if (pciMissing)
    text +=
        "; a board after it in the driver's tree may be left out too (the library's walk "
        "stops there)";
  note(ServingNote::Kind::LeftOut, text);
}

// Faults of what the library reads while it makes the item, and the routing topography.
void faultNotes(const BoardSpec& b, const Note& note) {
  const BoardModel& m = b.model;
  for (const char* method : {"op0701", "op0700"})
    if (const DriverFault* f = failsFirstCall(m, method))
      note(f->afterCalls == 0 && f->count < 0 ? ServingNote::Kind::LeftOut
                                              : ServingNote::Kind::MayLeave,
           std::string("driver fault ") + method + " fails " +
               (f->count < 0 ? "every call" : "its first call") + ": the library " +
               (f->count < 0 ? "leaves the board out" : "leaves the board out while it lasts") +
               " (it reads the " +
               (std::string(method) == "op0701" ? "firmware version" : "hardware revision") +
               " when it makes the item)");
  for (const auto& [op, status] : m.enumFaults)
    note(ServingNote::Kind::MayLeave, "enumeration fault " + op + " (" + std::to_string(status) +
                                          "): the library may leave the board out while it lasts");
  bool routing = false;
  for (const InterfaceSpec& iface : b.interfaces)
    routing = routing || iface.name == drv::kRoutingInterface;
  if (routing && !qotopo::findTopography(m.topographyName))
    note(ServingNote::Kind::Unserved,
         "topography \"" + m.topographyName + "\" is none of the simulated topographies (" +
             topographyNames() + "): its routing interface calculates no route");
}

}  // namespace

std::vector<ServingNote> servingNotes(const MachineSpec& machine) {
  std::vector<ServingNote> notes;
  for (const auto& [op, status] : machine.enumFaults)
    notes.push_back({ServingNote::Kind::MayLeave, std::string::npos, "",
                     "machine-wide enumeration fault " + op + " (" + std::to_string(status) +
                         "): the library may serve no board while it lasts"});
  for (std::size_t i = 0; i < machine.boards.size(); ++i) {
    const BoardSpec& b = machine.boards[i];
    const Note note = [&](ServingNote::Kind kind, std::string text) {
      notes.push_back({kind, i, b.device, std::move(text)});
    };
    if (identityNotes(b, note)) busPropertyNotes(b, note);
    faultNotes(b, note);
  }
  return notes;
}

}  // namespace qosim
