// The launcher: nested `qosim run` inside the test's own simulated machine returns the command's
// status, refuses broken board files with a clear message, and `qosim ctl` speaks the control
// protocol from the command line.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "QosimClient.h"
#include "tests/common/CommandOutcome.h"
#include "qodrv/qoDriverConstants.h"

namespace {

using qotest::Outcome;

Outcome run(const std::string& command) { return qotest::runCommand(command); }

// A scratch file in the machine's private /dev tmpfs: it vanishes with the machine.
std::string scratchFile(const std::string& name, const std::string& content) {
  const std::string path = "/dev/.qosim/" + name;
  std::ofstream(path) << content;
  return path;
}

const std::string kQosim = QOSIM_PATH;

TEST(QosimLauncher, ReturnsTheCommandsExitStatus) {
  EXPECT_EQ(run(kQosim + " run -- true").status, 0);
  EXPECT_EQ(run(kQosim + " run -- sh -c 'exit 42'").status, 42);
  EXPECT_EQ(run(kQosim + " run -- sh -c 'kill -TERM $$'").status, 128 + 15);
}

TEST(QosimLauncher, RunsTheCommandInsideAFreshMachine) {
  // The nested machine starts from its own board file, untouched by this machine's state.
  const std::string boards = scratchFile("one.json", R"({"boards": [{"device": "qovorlix5",
      "interfaces": [{"name": ")" + std::string(qodrv::vorlixtarrow::kInterfaceName) +
                                                         R"("}]}]})");
  Outcome o = run(kQosim + " run --boards " + boards +
                  " -- sh -c 'ls /proc/driver/qo; ls /dev/qo; echo $QOSIM_CONTROL'");
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_EQ(o.output,
            "qovorlix5\nqovorlix5\\qovorlixtarrowk_vorlixtarrow\\0\n/dev/.qosim/control\n");
}

TEST(QosimLauncher, BrokenBoardFilesAreRefusedClearly) {
  struct Case {
    const char* content;
    const char* message;
  } cases[] = {
      {"{\"boards\": [", "not valid JSON"},
      {"{\"board\": []}", "unknown key \"board\""},
      {"{\"boards\": [{\"interfaces\": [{\"name\": \"x\"}]}]}", "\"device\" is missing"},
      {"{\"boards\": [{\"device\": \"a\", \"interfaces\": [{\"name\": \"x\"}], \"busProperties\": "
       "{\"p\": 4294967296}}]}",
       "does not fit in 4 bytes"},
      {"{\"boards\": [{\"device\": \"a\", \"interfaces\": [{\"name\": \"x\"}]}, {\"device\": "
       "\"a\", \"interfaces\": [{\"name\": \"x\"}]}]}",
       "duplicate device name a"},
      {"{\"boards\": [{\"device\": \"a\", \"interfaces\": [{\"name\": \"x\\\\y\"}]}]}",
       "not allowed"},
  };
  int i = 0;
  for (const auto& c : cases) {
    const std::string file = scratchFile("broken" + std::to_string(i++) + ".json", c.content);
    Outcome o = run(kQosim + " run --boards " + file + " -- true");
    EXPECT_EQ(o.status, 65) << c.content;
    EXPECT_NE(o.output.find(file), std::string::npos) << o.output;
    EXPECT_NE(o.output.find(c.message), std::string::npos) << o.output;
  }
  Outcome missing = run(kQosim + " run --boards /nonexistent/boards.json -- true");
  EXPECT_EQ(missing.status, 65);
  EXPECT_NE(missing.output.find("cannot be opened"), std::string::npos) << missing.output;
}

TEST(QosimLauncher, UsageAndMissingCommands) {
  EXPECT_EQ(run(kQosim + " run").status, 64);
  EXPECT_EQ(run(kQosim + " frobnicate").status, 64);
  Outcome o = run(kQosim + " run -- /nonexistent/program");
  EXPECT_EQ(o.status, 127);
  EXPECT_NE(o.output.find("command not found"), std::string::npos) << o.output;
}

TEST(QosimLauncher, WithoutRootItNamesWhatIsMissing) {
  Outcome o = run("setpriv --reuid=65534 --regid=65534 --clear-groups " + kQosim + " run -- true");
  EXPECT_EQ(o.status, 77) << o.output;
  EXPECT_NE(o.output.find("must run as root"), std::string::npos) << o.output;
}

TEST(QosimLauncher, DefaultBoardFileIsValid) {
  Outcome o = run(kQosim + " check-boards " QO_SOURCE_DIR "/sim/boards/default.json");
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("/dev/qo/qovorlix1\\routing_routing\\0"), std::string::npos) << o.output;
}

TEST(QosimCtl, CommandLineSpeaksTheControlProtocol) {
  Outcome o = run(kQosim + " ctl ping");
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("\"pong\": true"), std::string::npos) << o.output;
  o = run(kQosim + " ctl respond target=qovorlix2 command=0x80200406 errno=25 count=1");
  EXPECT_EQ(o.status, 0) << o.output;
  auto c = qosim::Client::connect();
  ASSERT_TRUE(c.ok());
  auto rules = c.value.request({{"cmd", "responses"}});
  ASSERT_TRUE(rules.ok());
  ASSERT_EQ(rules.value["rules"].size(), 1u);
  EXPECT_EQ(rules.value["rules"][0]["command"], qodrv::vorlixtarrow::kOp0406Command);
  EXPECT_EQ(rules.value["rules"][0]["errno"], 25);
  ASSERT_TRUE(c.value.clearResponses().ok());
  o = run(kQosim + " ctl unplug qovorlix404");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.output.find("not plugged"), std::string::npos) << o.output;
  o = run("env -u QOSIM_CONTROL " + kQosim + " ctl ping");
  EXPECT_EQ(o.status, 3);
  EXPECT_NE(o.output.find("QOSIM_CONTROL"), std::string::npos) << o.output;
}

TEST(QosimCtl, MalformedRequestsGetAnError) {
  auto c = qosim::Client::connect();
  ASSERT_TRUE(c.ok());
  EXPECT_NE(c.value.request({{"cmd", "nosuch"}}).error.find("unknown command"), std::string::npos);
  EXPECT_NE(c.value.request({{"nocmd", 1}}).error.find("\"cmd\" is missing"), std::string::npos);
  EXPECT_FALSE(c.value.request({{"cmd", "respond"}, {"errno", 600}}).ok());
  EXPECT_FALSE(c.value.request({{"cmd", "respond"}, {"output", "xyz"}}).ok());
  EXPECT_FALSE(c.value.request({{"cmd", "respond"}, {"command", "0xZZ"}}).ok());
  EXPECT_TRUE(c.value.ping().ok());  // the connection still works
}

}  // namespace
