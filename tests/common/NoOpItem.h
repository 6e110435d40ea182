// An item whose every operation does nothing (and answers "kept current", true, empty): tests
// derive their fake items from it and override only what they look at.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sysapicpp/cache/Item.h"

namespace qotest {

class NoOpItem : public sysapicpp::Item {
 public:
  explicit NoOpItem(std::string name) : name_(std::move(name)) {}

  int getTagUpdateKind(std::uint32_t) override { return 1; }
  void invalidate() override {}
  void prepareProperties() override {}
  bool refreshProperties(const std::vector<std::uint32_t>&) override { return true; }
  ImxSysPropertyBag* getPropertyBag() override { return nullptr; }
  std::string getName() override { return name_; }
  void setOption(std::uint32_t) override {}
  void commitProperties(const std::string&, std::int32_t, std::string&) override {}
  void extendedOperation1(sysapicpp::PropertyBagHandle&, std::set<std::uint32_t>&,
                          std::string&) override {}
  void extendedOperation2(sysapicpp::PropertyBagHandle&, std::int32_t&, std::string&) override {}
  void diagnosticOperation1(std::int32_t) override {}
  void runDiagnostic(std::int32_t, std::string&) override {}
  void diagnosticOperation3(std::string&) override {}
  std::string beginFirmwareUpdate() override { return {}; }
  void updateFirmware(const std::string&, bool, const std::string&,
                      sysapicpp::BinaryImageHandle&) override {}
  void firmwareOperation3(const std::string&, bool, const std::string&) override {}
  void firmwareOperation4(const std::string&) override {}
  void getFirmwareUpdateStatus(std::int32_t&, std::int32_t&, std::string&) override {}
  bool itemQuery1() override { return true; }
  int itemQuery2() override { return 0; }
  int itemQuery3() override { return 0; }

 private:
  std::string name_;
};

}  // namespace qotest
