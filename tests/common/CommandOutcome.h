// A shell command's exit status and output (stdout and stderr together), for tests that run the
// simulated machine's own command line.
#pragma once

#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>

namespace qotest {

struct Outcome {
  int status = -1;     // exit status; 128 + the signal when a signal ended the command
  std::string output;  // stdout and stderr
};

inline Outcome runCommand(const std::string& command) {
  Outcome o;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return o;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) o.output.append(buf, n);
  const int st = ::pclose(p);
  o.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return o;
}

#ifdef QOSIM_PATH
// `qosim check-boards` on a board file written into the machine's private /dev tmpfs.
inline Outcome checkBoards(const std::string& content) {
  static std::atomic<int> counter{0};
  const std::string path = "/dev/.qosim/boards-" + std::to_string(counter++) + ".json";
  std::ofstream(path) << content;
  return runCommand(std::string(QOSIM_PATH) + " check-boards '" + path + "'");
}
#endif

}  // namespace qotest
