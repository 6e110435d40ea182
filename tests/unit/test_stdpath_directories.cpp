// Standard directories: defaults, relocation through a stand-in relocation library, unknown
// names, the one-time build under concurrent first use, and bounded reading of answers.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "qo/err/Exception.h"
#include "qosysq/stdpath/stdpath.h"
#include "tests/common/PlatformNames.h"

namespace {

namespace sp = apal::stdpath;
using apal::tOwnedJsonStatus;
using sp::detail::tStandardDirectories;

const std::vector<std::pair<std::string, std::string>> kDefaults = {
    {"prefixdir", "/usr"},
    {"execprefixdir", "/usr"},
    {"bindir", "/usr/bin"},
    {"sbindir", "/usr/sbin"},
    {"libdir", "/usr/lib"},
    {"lib32dir", "/usr/lib"},
    {"lib64dir", "/usr/lib64"},
    {"nativelibdir", "/usr/lib64"},
    {"multiarchlibdir", "/usr/lib/x86_64-linux-gnu"},
    {"libexecdir", "/usr/libexec"},
    {"sharedstatedir", "/var/lib"},
    {"datarootdir", "/usr/share"},
    {"datadir", "/usr/share"},
    {"sysconfdir", "/etc"},
    {"localstatedir", "/var"},
    {"runstatedir", "/var/run"},
    {"includedir", "/usr/include"},
    {"docdir", "/usr/share/doc"},
    {"initddir", "/etc/init.d"},
};

std::string lookup(tStandardDirectories& table, const char* name) {
  tOwnedJsonStatus status;
  const char* path = table.get(name, &status.get());
  EXPECT_EQ(status->code, 0) << name;
  return path != nullptr ? path : "<null>";
}

// Keeps a fixture library loaded so its call counter survives the table's own unload.
class PinnedFixture {
 public:
  explicit PinnedFixture(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
  ~PinnedFixture() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  int calls() const {
    auto* counter =
        handle_ ? static_cast<int*>(dlsym(handle_, "qo_test_relocation_calls")) : nullptr;
    return counter != nullptr ? __atomic_load_n(counter, __ATOMIC_SEQ_CST) : -1;
  }
  bool ok() const { return handle_ != nullptr; }

 private:
  void* handle_;
};

// ---------------------------------------------------------------------------------------------

TEST(StandardDirectoryDefaults, TheTableHoldsTheNineteenDefaultsInOrder) {
  ASSERT_EQ(sp::kDirectoryCount, kDefaults.size());
  for (std::size_t i = 0; i < kDefaults.size(); ++i) {
    EXPECT_EQ(sp::kDefaultDirectories[i].name, kDefaults[i].first) << i;
    EXPECT_EQ(sp::kDefaultDirectories[i].path, kDefaults[i].second) << i;
  }
}

TEST(StandardDirectoryDefaults, WithoutARelocationLibraryEveryDefaultStands) {
  tStandardDirectories table("libqo-kestrel-absent-relocations.so.0");
  for (const auto& [name, path] : kDefaults) EXPECT_EQ(lookup(table, name.c_str()), path) << name;
  EXPECT_EQ(lookup(table, "datarootdir"), "/usr/share");
}

TEST(StandardDirectoryDefaults, ALibraryWithoutTheSymbolLeavesTheDefaults) {
  tStandardDirectories table(QO_TEST_RELOCATIONS_NOSYMBOL);
  for (const auto& [name, path] : kDefaults) EXPECT_EQ(lookup(table, name.c_str()), path) << name;
}

TEST(StandardDirectoryDefaults, TheProcessTableUsesThePlatformLibraryName) {
  tOwnedJsonStatus status;
  const char* path = apal::getStandardDirectory("datarootdir", &status.get());
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(status->code, 0);
  void* platform = dlopen(sp::kRelocationLibrary, RTLD_NOW | RTLD_LOCAL);
  if (platform == nullptr) {
    EXPECT_STREQ(path, "/usr/share") << "no relocation library is installed here";
  } else {
    tStandardDirectories fresh(sp::kRelocationLibrary);
    EXPECT_EQ(path, lookup(fresh, "datarootdir")) << "an installed relocation library decides";
    dlclose(platform);
  }
  EXPECT_EQ(apal::getDataRootDirectory(), path);
}

// ---------------------------------------------------------------------------------------------

TEST(StandardDirectoryRelocation, RelocatedNamesChangeAndTheOthersKeepTheirDefaults) {
  PinnedFixture fixture(QO_TEST_RELOCATIONS_MOVES);
  ASSERT_TRUE(fixture.ok());
  tStandardDirectories table(QO_TEST_RELOCATIONS_MOVES);
  EXPECT_EQ(lookup(table, "datarootdir"), "/opt/kestrelworks/share");
  EXPECT_EQ(lookup(table, "bindir"), "/opt/kestrelworks/bin");
  for (const auto& [name, path] : kDefaults) {
    if (name == "datarootdir" || name == "bindir") continue;
    EXPECT_EQ(lookup(table, name.c_str()), path) << name;
  }
  EXPECT_EQ(fixture.calls(), 19) << "every name is asked once, and only once";
}

TEST(StandardDirectoryRelocation, AnswersOfZeroKeepEveryDefault) {
  tStandardDirectories table(QO_TEST_RELOCATIONS_ZERO);
  for (const auto& [name, path] : kDefaults) EXPECT_EQ(lookup(table, name.c_str()), path) << name;
}

TEST(StandardDirectoryRelocation, FullAnswersAreReadWithinBoundsEmptyOnesKeepTheDefault) {
  tStandardDirectories table(QO_TEST_RELOCATIONS_FULL);
  const std::string datadir = lookup(table, "datadir");
  EXPECT_EQ(datadir.size(), 255u);
  EXPECT_EQ(datadir, "/" + std::string(254, 'x'));
  EXPECT_EQ(lookup(table, "docdir"), "/doc");
  EXPECT_EQ(lookup(table, "datarootdir"), "/usr/share");
  EXPECT_EQ(lookup(table, "sysconfdir"), "/etc") << "an empty path relocates nothing";
}

// ---------------------------------------------------------------------------------------------

TEST(StandardDirectoryLookup, AnUnknownNameIsAnOsFaultNamingTheDirectory) {
  tOwnedJsonStatus status;
  EXPECT_EQ(apal::getStandardDirectory("kestreldir", &status.get()), nullptr);
  ASSERT_EQ(status->code, -52008);
  const auto j = nlohmann::json::parse(status->text());
  EXPECT_EQ(j["file"], "qosysq/stdpath/stdpath");
  EXPECT_EQ(j["line"], sp::kLineUnknownName);
  EXPECT_EQ(j["component"], "qovorlixatomicsae");
  EXPECT_EQ(j["directory"], "kestreldir");
}

TEST(StandardDirectoryLookup, NamesMatchExactly) {
  tOwnedJsonStatus a, b, c;
  EXPECT_EQ(apal::getStandardDirectory("DATAROOTDIR", &a.get()), nullptr);
  EXPECT_EQ(apal::getStandardDirectory("datarootdir ", &b.get()), nullptr);
  EXPECT_EQ(apal::getStandardDirectory("", &c.get()), nullptr);
  EXPECT_EQ(a->code, -52008);
  EXPECT_EQ(b->code, -52008);
  EXPECT_EQ(c->code, -52008);
}

TEST(StandardDirectoryLookup, AMalformedNameStillGivesValidJson) {
  tOwnedJsonStatus status;
  EXPECT_EQ(apal::getStandardDirectory("bad\xff\"name", &status.get()), nullptr);
  EXPECT_EQ(status->code, -52008);
  const auto j = nlohmann::json::parse(status->text(), nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << status->text();
  EXPECT_TRUE(j.contains("directory"));
}

TEST(StandardDirectoryLookup, ANullNameIsAnInvalidParameter) {
  tOwnedJsonStatus status;
  EXPECT_EQ(apal::getStandardDirectory(nullptr, &status.get()), nullptr);
  EXPECT_EQ(status->code, -52005);
}

TEST(StandardDirectoryLookup, DoesNothingWhenTheStatusHoldsAnError) {
  tOwnedJsonStatus status(-4);
  EXPECT_EQ(apal::getStandardDirectory("datarootdir", &status.get()), nullptr);
  EXPECT_EQ(status->code, -4);
  EXPECT_EQ(status->text(), nullptr);
}

TEST(StandardDirectoryLookup, AWarningIsKeptOnSuccess) {
  tOwnedJsonStatus status(3);
  EXPECT_NE(apal::getStandardDirectory("bindir", &status.get()), nullptr);
  EXPECT_EQ(status->code, 3);
}

TEST(StandardDirectoryLookup, TheSamePathIsReturnedEveryTime) {
  tOwnedJsonStatus status;
  const char* first = apal::getStandardDirectory("sysconfdir", &status.get());
  const char* second = apal::getStandardDirectory("sysconfdir", &status.get());
  EXPECT_EQ(first, second) << "the table is built once and only read afterwards";
}

// ---------------------------------------------------------------------------------------------

TEST(StandardDirectoryConcurrency, ConcurrentFirstCallsBuildTheTableOnce) {
  PinnedFixture fixture(QO_TEST_RELOCATIONS_MOVES);
  ASSERT_TRUE(fixture.ok());
  const int before = fixture.calls();
  tStandardDirectories table(QO_TEST_RELOCATIONS_MOVES);
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::string> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      pthread_setname_np(pthread_self(), "qo-test-stdpath");
      ++ready;
      while (!go.load()) std::this_thread::yield();
      tOwnedJsonStatus status;
      const char* path = table.get("datarootdir", &status.get());
      results[t] = path != nullptr && status->code == 0 ? path : "<failed>";
    });
  }
  while (ready.load() < kThreads) std::this_thread::yield();
  go = true;
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[t], "/opt/kestrelworks/share") << t;
  EXPECT_EQ(table.buildCount(), 1u);
  EXPECT_EQ(fixture.calls() - before, 19);
}

// ---------------------------------------------------------------------------------------------

TEST(DataRootDirectory, IsTheDatarootdirEntry) {
  tOwnedJsonStatus status;
  EXPECT_EQ(apal::getDataRootDirectory(), apal::getStandardDirectory("datarootdir", &status.get()));
}

}  // namespace
