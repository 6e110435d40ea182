// Board descriptions of the simulated machine: the JSON board files under sim/boards/ and the
// boards plugged at run time through the control socket use the same validating loader.
//
//   {"boards": [ {"device": "qovorlix0",
//                 "interfaces": [{"name": "qovorlixtarrowk_vorlixtarrow", "a": "0", "b": "0",
//                                 "node": "0"}],
//                 "busProperties": {"pciBusNumber": 4, "odd": {"hex": "0102"}}} ]}
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qosim {

struct BoardError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct InterfaceSpec {
  std::string name;
  std::string a = "0";
  std::string b = "0";
  std::string node = "0";
  // <interface>\<a>\<b>: the entry under deviceInterfaces/
  std::string entryName() const { return name + "\\" + a + "\\" + b; }
};

struct BoardSpec {
  std::string device;
  std::vector<InterfaceSpec> interfaces;
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> busProperties;
  nlohmann::json source;  // the description as given (reported by `list`)

  // <device>\<interface>\<node>: the node name in /dev/qo
  std::string nodeName(const InterfaceSpec& i) const { return device + "\\" + i.name + "\\" + i.node; }
};

// One board object; `where` prefixes error messages ("board 2", "plug").
BoardSpec parseBoard(const nlohmann::json& j, const std::string& where);
// {"boards": [...]}: every board valid and device names distinct.
std::vector<BoardSpec> parseBoards(const nlohmann::json& j);
// Reads and parses a file; every failure is a BoardError naming the file.
std::vector<BoardSpec> loadBoardFile(const std::string& path);

}  // namespace qosim
