// The relocation stand-in inside a simulated machine: the library's own standard-directory
// table (which loads the relocation library by its name) moves the data directories to the
// machine's data folder, where the I/O module description files are.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "QosimClient.h"
#include "qoapal/status/JsonStatus.h"
#include "qosysq/stdpath/stdpath.h"
#include "tests/common/PlatformNames.h"

namespace {


constexpr char kDataDirectory[] = "/dev/.qosim/data";

TEST(StandinRelocation, TheDataRootMovesToTheMachinesDataFolder) {
  EXPECT_EQ(apal::getDataRootDirectory(), kDataDirectory);
  apal::tOwnedJsonStatus status;
  const char* data = apal::getStandardDirectory("datadir", &status.get());
  ASSERT_NE(data, nullptr);
  EXPECT_STREQ(data, kDataDirectory);
  const char* bin = apal::getStandardDirectory("bindir", &status.get());
  ASSERT_NE(bin, nullptr);
  EXPECT_STREQ(bin, "/usr/bin") << "only the data directories move";
  EXPECT_EQ(status->code, 0);
  // The module files of the machine are where the library will look for them.
  struct stat st {};
  EXPECT_EQ(::stat((apal::getDataRootDirectory() + "/qo-vorlix/iomodules").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(StandinRelocation, AnAnswerThatDoesNotFitIsNoAnswer) {
  void* handle = dlopen(apal::stdpath::kRelocationLibrary, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const auto relocate =
      reinterpret_cast<apal::stdpath::tGetRelocatedDir>(dlsym(handle, "get_relocated_dir"));
  ASSERT_NE(relocate, nullptr);
  char buffer[32];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(relocate("datarootdir", buffer, sizeof kDataDirectory - 1), 0);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(relocate("datarootdir", buffer, sizeof kDataDirectory),
            static_cast<int>(sizeof kDataDirectory - 1));
  EXPECT_STREQ(buffer, kDataDirectory);
  EXPECT_EQ(buffer[sizeof kDataDirectory], '#') << "nothing written past the size";
  EXPECT_EQ(relocate("sysconfdir", buffer, sizeof buffer), 0);
  dlclose(handle);
}

// Every relocation fault answers the same way for every name; a word it does not know is refused.
TEST(StandinRelocation, ARelocationFaultAnswersForEveryName) {
  auto client = qosim::Client::connect();
  ASSERT_TRUE(client.ok()) << client.error;
  void* handle = dlopen(apal::stdpath::kRelocationLibrary, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const auto relocate =
      reinterpret_cast<apal::stdpath::tGetRelocatedDir>(dlsym(handle, "get_relocated_dir"));
  ASSERT_NE(relocate, nullptr);
  struct Case {
    const char* answer;
    int result;
    const char* text;  // the buffer's start afterwards
  };
  constexpr Case cases[] = {
      {"none", 0, "#"}, {"failure", -1, "#"}, {"empty", 1, ""}, {"overlong", 32, "/xxx"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(client.value.relocationFault(std::string(c.answer)).ok()) << c.answer;
    for (const char* name : {"datarootdir", "bindir"}) {
      char buffer[33];
      std::memset(buffer, '#', sizeof buffer);
      buffer[32] = '\0';
      EXPECT_EQ(relocate(name, buffer, 32), c.result) << c.answer << " " << name;
      EXPECT_EQ(std::string(buffer, std::strlen(c.text)), c.text) << c.answer << " " << name;
      EXPECT_EQ(buffer[32], '\0') << "nothing written past the size";
    }
  }
  EXPECT_FALSE(client.value.relocationFault(std::string("sometimes")).ok());
  ASSERT_TRUE(client.value.relocationFault(std::nullopt).ok());
  char buffer[32];
  EXPECT_EQ(relocate("datarootdir", buffer, sizeof buffer),
            static_cast<int>(sizeof kDataDirectory - 1));
  EXPECT_STREQ(buffer, kDataDirectory);
  dlclose(handle);
}

}  // namespace
