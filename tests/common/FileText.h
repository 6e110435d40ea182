// A whole file as bytes, for tests that compare what a program wrote or read a committed file.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace testsupport {

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
