// Shared pieces of the fault-matrix tests (expert face and routing face): the matrix of outcomes
// seen (rows: the call that fails, columns: how it fails), printed whole into the test log, and
// the end-of-test checks that no thread of the library is left running and nothing leaked.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/common/ProcessThreads.h"

// Present under LeakSanitizer (ASan): a leak check that reports without ending the process.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace faultmatrix {

// The columns: how the call fails.
inline constexpr const char* kColumns[] = {"(a) error status", "(b) warning status",
                                           "(c) transport errno", "(d) unplugged between calls",
                                           "(e) driver killed mid-request"};
inline constexpr int kColumnCount = 5;
enum Column { kErrorStatus, kWarningStatus, kTransport, kUnplugged, kKilled };

// Cells that cannot apply say so with their reason.
inline std::string notApplicable(const std::string& why) { return "n/a: " + why; }

class Matrix {
 public:
  explicit Matrix(std::string title) : title_(std::move(title)) {}
  void set(const std::string& row, int column, std::string outcome) {
    if (!cells_.count(row)) order_.push_back(row);
    cells_[row][column] = std::move(outcome);
  }
  const std::string& at(const std::string& row, int column) { return cells_[row][column]; }
  // The whole matrix, one line per row, columns aligned.
  std::string table() const {
    std::size_t rowWidth = 4;
    std::vector<std::size_t> width(kColumnCount);
    for (int c = 0; c < kColumnCount; ++c) width[c] = std::string(kColumns[c]).size();
    for (const auto& r : order_) {
      rowWidth = std::max(rowWidth, r.size());
      for (const auto& [c, text] : cells_.at(r)) width[c] = std::max(width[c], text.size());
    }
    auto pad = [](std::string s, std::size_t w) {
      return s.append(w - std::min(w, s.size()), ' ');
    };
    std::string out = title_ + "\n" + pad("call", rowWidth);
    for (int c = 0; c < kColumnCount; ++c) out += " | " + pad(kColumns[c], width[c]);
    out += "\n";
    for (const auto& r : order_) {
      out += pad(r, rowWidth);
      for (int c = 0; c < kColumnCount; ++c) {
        auto it = cells_.at(r).find(c);
        out += " | " + pad(it == cells_.at(r).end() ? "-" : it->second, width[c]);
      }
      out += "\n";
    }
    return out;
  }
  void print() const {
    std::fputs(table().c_str(), stdout);
    std::fflush(stdout);
  }

 private:
  std::string title_;
  std::vector<std::string> order_;
  std::map<std::string, std::map<int, std::string>> cells_;
};

using testsupport::threadCount;
using testsupport::threadCountSettled;

// True when LeakSanitizer found no unreachable allocation (always true without it).
inline bool noLeaks() {
  return __lsan_do_recoverable_leak_check == nullptr || __lsan_do_recoverable_leak_check() == 0;
}

}  // namespace faultmatrix
