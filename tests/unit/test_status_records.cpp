// The two status records: severity rule, origin fields, merging, the errno table, the JSON
// status's reallocator, appenders and conversions, and host-built records.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qoapal/json/tJsonReader.h"
#include "qoapal/status/JsonStatus.h"
#include "qoapal/status/tStatus.h"
#include "tests/common/PlatformNames.h"

using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::JsonStatus;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::libraryReallocator;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::statusFromErrno;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tJsonStatusOrigin;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tOwnedJsonStatus;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

namespace {

std::uint64_t detailWord(const tStatus& s, int i) {
  std::uint64_t w;
  std::memcpy(&w, s.detail + 8 * i, 8);
  return w;
}

void setDetailWord(tStatus& s, int i, std::uint64_t w) { std::memcpy(s.detail + 8 * i, &w, 8); }

// A record's code and origin as "code component file:line".
std::string originOf(const tStatus& s) {
  return std::to_string(s.code) + " " + s.component + " " + s.file + ":" + std::to_string(s.line);
}

// The record is in editable form: text, NULs, 'J' in the last byte.
bool isEditable(const JsonStatus& s) {
  if (s.json == nullptr || s.capacity < 4 || s.json[s.capacity - 1] != 'J') return false;
  const std::size_t length = ::strnlen(s.json, s.capacity - 1);
  if (length == s.capacity - 1) return false;
  for (std::size_t i = length; i < s.capacity - 1; ++i) {
    if (s.json[i] != '\0') return false;
  }
  return true;
}

bool isJsonObject(const char* text) {
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json::tJsonReader reader(text);
  nQOVORLIXATOMICSAE_23_3::nQOAPAL000::json::tJsonToken token;
  return reader.readValue(reader.begin(), token) == reader.end() && token.type == 6;
}

JsonStatus libraryRecord(std::int32_t code = 0) {
  return JsonStatus{code, 0, &libraryReallocator, nullptr};
}

// Host reallocators with observable behaviour.
int g_failingCalls = 0;
int failingReallocator(JsonStatus* self, int newSize) {
  ++g_failingCalls;
  if (newSize == 0) {
    std::free(self->json);
    self->json = nullptr;
    self->capacity = 0;
    return 1;
  }
  return 0;
}

int g_requestedSize = 0;
int recordingFailingReallocator(JsonStatus*, int newSize) {
  g_requestedSize = newSize;
  return 0;
}

// Says yes, changes nothing.
int lyingReallocator(JsonStatus*, int newSize) { return newSize >= 0 ? 1 : 0; }

// A plain realloc-style host reallocator that does not keep the editable form.
int hostReallocator(JsonStatus* self, int newSize) {
  if (newSize == 0) {
    std::free(self->json);
    self->json = nullptr;
    self->capacity = 0;
    return 1;
  }
  char* grown = static_cast<char*>(std::realloc(self->json, static_cast<std::size_t>(newSize)));
  if (grown == nullptr) return 0;
  for (int i = static_cast<int>(self->capacity); i < newSize; ++i) grown[i] = '?';
  if (self->json == nullptr) std::strcpy(grown, "{}");
  self->json = grown;
  self->capacity = static_cast<std::uint32_t>(newSize);
  return 1;
}

const tJsonStatusOrigin kOrigin{"routingAdaptorInterface/routingAdaptorExports", 68,
                                "qovorlixatomicsae", "nQOAPALS100::tStatus::kMemoryFull"};

}  // namespace

// ------------------------------------------------------------------------------ tStatus

TEST(StatusSeverityRule, WarningReplacedByFirstErrorOnly) {
  tStatus s;
  EXPECT_FALSE(s.setCode(0, "c", "f", 1));
  EXPECT_EQ(s.code, 0);
  EXPECT_TRUE(s.setCode(5, "c", "warn", 1));
  EXPECT_FALSE(s.setCode(7, "c", "warn2", 2));
  EXPECT_EQ(s.code, 5);
  EXPECT_STREQ(s.file, "warn");
  EXPECT_TRUE(s.setCode(-52005, "c", "first", 3));
  EXPECT_FALSE(s.setCode(-52000, "c", "second", 4));
  EXPECT_FALSE(s.setCode(9, "c", "late", 5));
  EXPECT_EQ(s.code, -52005);
  EXPECT_STREQ(s.file, "first");
  EXPECT_EQ(s.line, 3u);
  EXPECT_TRUE(s.isFatal());
}

TEST(StatusOrigin, StoresAndCutsNames) {
  tStatus s;
  s.detail[0] = 'x';
  ASSERT_TRUE(s.setCode(-1, "qovorlixatomicsae", "qoapal/protons/thread/tThread", 77));
  EXPECT_STREQ(s.component, "qovorlixa");
  EXPECT_STREQ(s.file, "qoapal/protons/thread/tThread");
  EXPECT_EQ(s.line, 77u);
  EXPECT_EQ(detailWord(s, 0), 0u);
}

TEST(StatusOrigin, LongFileKeepsBothEnds) {
  std::string name;
  for (int i = 0; i < 120; ++i) name += static_cast<char>('A' + i % 26);
  tStatus s;
  ASSERT_TRUE(s.setCode(-1, nullptr, name.c_str(), 1));
  EXPECT_EQ(std::string(s.file), name.substr(0, 49) + ".." + name.substr(120 - 49));
  EXPECT_EQ(std::strlen(s.file), 100u);
  EXPECT_STREQ(s.component, "");

  const std::string hundred(100, 'h');
  tStatus exact;
  exact.setCode(-1, "", hundred.c_str(), 1);
  EXPECT_EQ(std::string(exact.file), hundred);
  const std::string hundredOne(101, 'k');
  tStatus over;
  over.setCode(-1, "", hundredOne.c_str(), 1);
  EXPECT_EQ(std::string(over.file), std::string(49, 'k') + ".." + std::string(49, 'k'));
}

TEST(StatusOrigin, ShortRecordCarriesOnlyTheCode) {
  tStatus s;
  s.structSize = 8;
  std::memset(s.file, '#', sizeof s.file);
  s.line = 1234;
  ASSERT_TRUE(s.setCode(-52006, "comp", "file", 9));
  EXPECT_EQ(s.code, -52006);
  EXPECT_EQ(s.file[0], '#');
  EXPECT_EQ(s.line, 1234u);
  s.structSize = 215;
  s.code = 0;
  s.setCode(-1, "comp", "file", 9);
  EXPECT_EQ(s.file[0], '#');
}

TEST(StatusMerge, FromShortRecordTakesCodeWithEmptyOrigin) {
  tStatus shortOne;
  shortOne.structSize = 8;
  shortOne.code = -52024;
  std::strcpy(shortOne.file, "ignored");
  shortOne.line = 5;
  tStatus full;
  full.mergeFrom(shortOne);
  EXPECT_EQ(originOf(full), "-52024  :0");
}

TEST(StatusMerge, DetailCopiedUpToFirstZeroWord) {
  tStatus other;
  other.setCode(-52008, "comp", "src/file", 12);
  setDetailWord(other, 0, 0x1111);
  setDetailWord(other, 1, 0x2222);
  setDetailWord(other, 2, 0);
  setDetailWord(other, 3, 0x4444);  // past the end marker: not copied
  tStatus s;
  s.mergeFrom(other);
  EXPECT_EQ(originOf(s), "-52008 comp src/file:12");
  EXPECT_EQ(detailWord(s, 0), 0x1111u);
  EXPECT_EQ(detailWord(s, 1), 0x2222u);
  EXPECT_EQ(detailWord(s, 3), 0u);

  // A detail without a zero word is copied in full and no further.
  tStatus dense;
  dense.setCode(-1, "", "", 0);
  for (int i = 0; i < 10; ++i) setDetailWord(dense, i, 0x100u + static_cast<unsigned>(i));
  tStatus t;
  t.mergeFrom(dense);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(detailWord(t, i), 0x100u + static_cast<unsigned>(i));
}

TEST(StatusMerge, NotTakenOrSelfChangesNothing) {
  tStatus s;
  s.setCode(-5, "a", "b", 1);
  setDetailWord(s, 0, 77);
  tStatus other;
  other.setCode(-6, "c", "d", 2);
  setDetailWord(other, 0, 88);
  s.mergeFrom(other);
  EXPECT_EQ(s.code, -5);
  EXPECT_EQ(detailWord(s, 0), 77u);
  s.mergeFrom(s);
  EXPECT_EQ(s.code, -5);
  EXPECT_EQ(detailWord(s, 0), 77u);
}

TEST(StatusMerge, UnterminatedFieldsOfOtherRecordAreBounded) {
  tStatus other;
  other.code = -3;
  std::memset(other.component, 'c', sizeof other.component);
  std::memset(other.file, 'f', sizeof other.file);
  tStatus s;
  s.mergeFrom(other);
  EXPECT_EQ(std::string(s.component), std::string(9, 'c'));
  EXPECT_EQ(std::strlen(s.file), 100u);
}

TEST(StatusErrnoTable, EveryListedNumber) {
  struct Row {
    int e;
    std::int64_t code;
  };
  // clang-format off
  const Row rows[] = {
      {0, 0},
      {EPERM, -52026}, {EACCES, -52026}, {EROFS, -52026},
      {EINTR, -52025}, {ECONNRESET, -52025},
      {EIO, -52024}, {EPIPE, -52024}, {EBADMSG, -52024},
      {ECONNABORTED, -52023}, {EIDRM, -52020}, {ENOBUFS, -52019},
      {EDEADLOCK, -52015}, {ENOLCK, -52015}, {EOWNERDEAD, -52014},
      {EEXIST, -52013}, {EADDRINUSE, -52013}, {ENOSPC, -52012}, {EOVERFLOW, -52012},
      {EALREADY, -52011}, {EINPROGRESS, -52011}, {ETIMEDOUT, -52007},
      {ENOENT, -52006}, {ESRCH, -52006}, {ENXIO, -52006}, {EBADF, -52006}, {ENODEV, -52006},
      {EINVAL, -52005}, {ENOTTY, -52002}, {ENOTSUP, -52002},
      {ENOMEM, -52000}, {ENFILE, -52000}, {EMFILE, -52000},
      {E2BIG, -52008}, {EAGAIN, -52008}, {ENOTRECOVERABLE, -52008}, {129, -52008},
      {131, -52008}, {4096, -52008}, {-1, -52008}, {INT_MIN, -52008},
  };
  // clang-format on
  for (const Row& r : rows) EXPECT_EQ(statusFromErrno(r.e), r.code) << "errno " << r.e;
  int mapped = 0;
  for (int e = 1; e <= 130; ++e) mapped += statusFromErrno(e) != Codes::kOsFault;
  EXPECT_EQ(mapped, 32);  // the rows above, all other numbers are -52008
}

TEST(StatusErrnoTable, FromErrnoSetsOrigin) {
  tStatus s;
  EXPECT_FALSE(s.fromErrno(0, "c", "f", 1));
  EXPECT_EQ(s.code, 0);
  EXPECT_TRUE(s.fromErrno(ENOENT, "qovorlixatomicsae", "qoapal/x", 42));
  EXPECT_EQ(s.code, Codes::kNotFound);
  EXPECT_STREQ(s.file, "qoapal/x");
  EXPECT_EQ(s.line, 42u);
}

// --------------------------------------------------------------------------- JsonStatus

TEST(JsonStatusLibraryReallocator, SizesAndEditableForm) {
  JsonStatus s = libraryRecord();
  EXPECT_EQ(libraryReallocator(&s, -1), 0);
  ASSERT_EQ(libraryReallocator(&s, 10), 1);
  EXPECT_EQ(s.capacity, 512u);
  EXPECT_STREQ(s.json, "{}");
  EXPECT_TRUE(isEditable(s));
  char* before = s.json;
  EXPECT_EQ(libraryReallocator(&s, 512), 1);
  EXPECT_EQ(s.json, before);
  std::strcpy(s.json, "{\"k\":1}");
  ASSERT_EQ(libraryReallocator(&s, 513), 1);
  EXPECT_EQ(s.capacity, 1024u);
  EXPECT_STREQ(s.json, "{\"k\":1}");
  EXPECT_TRUE(isEditable(s));
  ASSERT_EQ(libraryReallocator(&s, 3000), 1);
  EXPECT_EQ(s.capacity, 4096u);
  EXPECT_EQ(libraryReallocator(&s, 0), 1);
  EXPECT_EQ(s.json, nullptr);
  EXPECT_EQ(s.capacity, 0u);
  EXPECT_EQ(libraryReallocator(nullptr, 10), 0);
}

TEST(JsonStatusSeverityRule, TextResetWhenCodeTaken) {
  tOwnedJsonStatus owned;
  JsonStatus& s = owned.get();
  EXPECT_TRUE(s.setCode(3));
  EXPECT_EQ(s.json, nullptr);  // no buffer: none is made
  ASSERT_TRUE(s.addString("note", "warned"));
  EXPECT_STREQ(s.json, "{\"note\":\"warned\"}");
  EXPECT_FALSE(s.setCode(4));
  EXPECT_STREQ(s.json, "{\"note\":\"warned\"}");
  EXPECT_TRUE(s.setCode(-1));
  EXPECT_STREQ(s.json, "{}");
  EXPECT_TRUE(isEditable(s));
  s.addInt("n", 1);
  EXPECT_FALSE(s.setCode(-2));
  EXPECT_FALSE(s.setCode(0));
  EXPECT_EQ(s.code, -1);
  EXPECT_STREQ(s.json, "{\"n\":1}");
}

TEST(JsonStatusSetError, MembersInOrder) {
  tOwnedJsonStatus owned(2);
  owned->addString("old", "x");
  ASSERT_TRUE(owned->setError(-52000, kOrigin));
  EXPECT_EQ(owned->code, -52000);
  EXPECT_STREQ(owned->json,
               "{\"error_constant\":\"nQOAPALS100::tStatus::kMemoryFull\","
               "\"file\":\"routingAdaptorInterface/routingAdaptorExports\",\"line\":68,"
               "\"component\":\"qovorlixatomicsae\"}");
  EXPECT_FALSE(owned->setError(-52005, {"other", 1, nullptr, "other"}));
  EXPECT_EQ(owned->code, -52000);
  EXPECT_NE(std::strstr(owned->json, "kMemoryFull"), nullptr);

  tOwnedJsonStatus noComponent;
  noComponent->setError(-52005, {"qoroco/RoCoUtils", 7, nullptr, "qoapalerr_invalidParameter"});
  EXPECT_STREQ(noComponent->json,
               "{\"error_constant\":\"qoapalerr_invalidParameter\",\"file\":\"qoroco/RoCoUtils\","
               "\"line\":7}");
}

TEST(JsonStatusSetText, ReplacesAndGrows) {
  tOwnedJsonStatus owned;
  ASSERT_TRUE(owned->setText(nullptr));
  EXPECT_STREQ(owned->json, "{}");
  const std::string big = "{\"v\":\"" + std::string(600, 'v') + "\"}";
  ASSERT_TRUE(owned->setText(big.c_str()));
  EXPECT_EQ(std::string(owned->json), big);
  EXPECT_EQ(owned->capacity, 1024u);
  EXPECT_TRUE(isEditable(owned.get()));
  ASSERT_TRUE(owned->setText("{\"w\":1}"));
  EXPECT_STREQ(owned->json, "{\"w\":1}");
  EXPECT_TRUE(isEditable(owned.get()));
  // Text taken from the record's own buffer.
  ASSERT_TRUE(owned->setText(owned->json + 5));
  EXPECT_STREQ(owned->json, "1}");
}

TEST(JsonStatusAppend, GrowsByAboutTwiceTheCapacity) {
  tOwnedJsonStatus owned;
  std::string expected = "{";
  for (int i = 0; i < 40; ++i) {
    const std::string name = "member" + std::to_string(i);
    ASSERT_TRUE(owned->addString(name.c_str(), "a value of some thirty bytes"));
    if (i != 0) expected += ',';
    expected.append("\"").append(name).append("\":\"a value of some thirty bytes\"");
  }
  expected += "}";
  EXPECT_EQ(std::string(owned->json), expected);
  EXPECT_EQ(owned->capacity, 2048u);  // 512 -> 1022 (1024) -> 2046 (2048)
  EXPECT_TRUE(isEditable(owned.get()));
  EXPECT_TRUE(isJsonObject(owned->json));
  ASSERT_TRUE(owned->addU64("u64", 18446744073709551615ull));
  ASSERT_TRUE(owned->addUnsigned("u", 4000000000u));
  ASSERT_TRUE(owned->addInt("i", -3));
  ASSERT_TRUE(owned->addBool("b", false));
  ASSERT_TRUE(owned->addRaw("r", "[1,2]"));
  EXPECT_NE(std::strstr(owned->json,
                        ",\"u64\":18446744073709551615,\"u\":4000000000,\"i\":-3,\"b\":false,"
                        "\"r\":[1,2]}"),
            nullptr);
}

TEST(JsonStatusHostRecords, NullReallocatorCannotGrowButDoesNotCrash) {
  JsonStatus none{0, 0, nullptr, nullptr};
  EXPECT_TRUE(none.setCode(-1));
  EXPECT_FALSE(none.addString("a", "b"));
  EXPECT_FALSE(none.setText("{}"));
  tStatus platform;
  platform.setCode(-7, "comp", "file", 1);
  JsonStatus fromPlatform{0, 0, nullptr, nullptr};
  fromPlatform.fromPlatformStatus(platform);
  EXPECT_EQ(fromPlatform.code, -7);
  EXPECT_EQ(fromPlatform.json, nullptr);
  JsonStatus other{-2, 0, nullptr, nullptr};
  JsonStatus fresh{0, 0, nullptr, nullptr};
  fresh.mergeFrom(other);
  EXPECT_EQ(fresh.code, -2);
  EXPECT_EQ(fresh.json, nullptr);

  // A fixed host buffer without a reallocator is used as far as it goes.
  char buffer[24] = "{}";
  JsonStatus fixed{0, sizeof buffer, nullptr, buffer};
  EXPECT_TRUE(fixed.addInt("a", 1));  // the marker is put in place first
  EXPECT_STREQ(buffer, "{\"a\":1}");
  EXPECT_EQ(buffer[23], 'J');
  EXPECT_FALSE(fixed.addString("toolong", "0123456789"));
  EXPECT_STREQ(buffer, "{\"a\":1}");
}

TEST(JsonStatusHostRecords, FailingReallocatorLeavesTextUnchanged) {
  JsonStatus s{0, 0, &failingReallocator, nullptr};
  s.json = static_cast<char*>(std::malloc(8));
  s.capacity = 8;
  std::memcpy(s.json, "{}\0\0\0\0\0J", 8);
  g_failingCalls = 0;
  EXPECT_FALSE(s.addString("name", "value"));
  EXPECT_EQ(g_failingCalls, 1);
  EXPECT_STREQ(s.json, "{}");
  EXPECT_TRUE(isEditable(s));
  EXPECT_TRUE(s.setError(-52000, kOrigin));  // taken even though no member fits
  EXPECT_EQ(s.code, -52000);
  EXPECT_STREQ(s.json, "{}");
  failingReallocator(&s, 0);
}

TEST(JsonStatusHostRecords, ReallocatorThatDoesNotGrowIsNotTrusted) {
  char buffer[8] = "{}";
  JsonStatus s{0, sizeof buffer, &lyingReallocator, buffer};
  EXPECT_FALSE(s.addString("name", "value"));  // returns instead of looping
  EXPECT_STREQ(buffer, "{}");
  JsonStatus none{0, 0, &lyingReallocator, nullptr};
  EXPECT_FALSE(none.setText("{}"));
  EXPECT_FALSE(none.addInt("a", 1));
}

TEST(JsonStatusHostRecords, HostReallocatorBufferIsReMarked) {
  JsonStatus s{0, 0, &hostReallocator, nullptr};
  ASSERT_TRUE(s.setText("{}"));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(s.addString("key", "value value value")) << i;
  EXPECT_TRUE(isEditable(s));
  EXPECT_TRUE(isJsonObject(s.json));
  hostReallocator(&s, 0);
}

TEST(JsonStatusHostRecords, BrokenHostTextIsRepaired) {
  char buffer[16];
  std::memset(buffer, 'z', sizeof buffer);  // no NUL at all
  JsonStatus s{0, sizeof buffer, nullptr, buffer};
  EXPECT_TRUE(s.addInt("a", 1));
  EXPECT_STREQ(buffer, "{\"a\":1}");
  std::strcpy(buffer, "not json");
  EXPECT_TRUE(s.addInt("b", 2));
  EXPECT_STREQ(buffer, "{\"b\":2}");
}

TEST(JsonStatusHostRecords, DoublingNearIntMaxDoesNotOverflow) {
  char buffer[8] = "{}";
  buffer[7] = 'J';
  JsonStatus s{0, 0, &recordingFailingReallocator, buffer};
  struct Case {
    std::uint32_t capacity;
    int requested;  // 0: the reallocator is not called
  };
  const Case cases[] = {{8, 14},
                        {0x40000000u, 0x7ffffffe},
                        {0x50000000u, INT_MAX},
                        {0x7fffffffu, 0},
                        {0xffffffffu, 0}};
  for (const Case& c : cases) {
    s.capacity = c.capacity;
    g_requestedSize = 0;
    EXPECT_EQ(apal::growJsonStatusBuffer(&s, buffer + 1), nullptr);
    EXPECT_EQ(g_requestedSize, c.requested) << c.capacity;
  }
  EXPECT_EQ(apal::growJsonStatusBuffer(nullptr, buffer), nullptr);
}

TEST(JsonStatusMerge, SameReallocatorMovesBuffer) {
  tOwnedJsonStatus target(1);
  target->addString("warning", "w");
  tOwnedJsonStatus source;
  source->setError(-52006, kOrigin);
  char* sourceBuffer = source->json;
  const std::uint32_t sourceCapacity = source->capacity;
  target->mergeFrom(source.get());
  EXPECT_EQ(target->code, -52006);
  EXPECT_EQ(target->json, sourceBuffer);
  EXPECT_EQ(target->capacity, sourceCapacity);
  EXPECT_EQ(source->json, nullptr);
  EXPECT_EQ(source->capacity, 0u);
  EXPECT_EQ(source->code, -52006);
}

TEST(JsonStatusMerge, DifferentReallocatorCopiesText) {
  JsonStatus host{0, 0, &hostReallocator, nullptr};
  tOwnedJsonStatus source;
  source->setError(-52000, kOrigin);
  host.mergeFrom(source.get());
  EXPECT_EQ(host.code, -52000);
  EXPECT_STREQ(host.json, source->json);
  EXPECT_NE(host.json, source->json);
  EXPECT_TRUE(isEditable(host));
  EXPECT_NE(source->json, nullptr);
  hostReallocator(&host, 0);
}

TEST(JsonStatusMerge, NotTakenAndSelfMergeKeepEverything) {
  tOwnedJsonStatus first;
  first->setError(-1, kOrigin);
  const std::string before = first->json;
  tOwnedJsonStatus second;
  second->setError(-2, {"x", 1, nullptr, "y"});
  char* secondBuffer = second->json;
  first->mergeFrom(second.get());
  EXPECT_EQ(first->code, -1);
  EXPECT_EQ(std::string(first->json), before);
  EXPECT_EQ(second->json, secondBuffer);
  first->mergeFrom(first.get());
  EXPECT_EQ(std::string(first->json), before);
  EXPECT_EQ(first->code, -1);
}

TEST(JsonStatusFromPlatformStatus, AppendsOrigin) {
  tStatus platform;
  tOwnedJsonStatus owned;
  owned->fromPlatformStatus(platform);
  EXPECT_EQ(owned->code, 0);
  EXPECT_EQ(owned->json, nullptr);

  platform.setCode(-52031, "qovorlixatomicsae",
                   "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy", 4000000000u);
  owned->fromPlatformStatus(platform);
  EXPECT_EQ(owned->code, -52031);
  EXPECT_STREQ(owned->json,
               "{\"file\":\"qoapal/protons/driver/linuxU/tDeviceInterfaceProxy\","
               "\"line\":4000000000,\"component\":\"qovorlixa\"}");

  tStatus shortOne;
  shortOne.structSize = 16;
  shortOne.code = -52007;
  tOwnedJsonStatus fromShort;
  fromShort->fromPlatformStatus(shortOne);
  EXPECT_EQ(fromShort->code, -52007);
  EXPECT_EQ(fromShort->json, nullptr);

  tStatus noFile;
  noFile.setCode(-1, "comp", nullptr, 3);
  tOwnedJsonStatus componentOnly;
  componentOnly->fromPlatformStatus(noFile);
  EXPECT_STREQ(componentOnly->json, "{\"component\":\"comp\"}");
}

TEST(JsonStatusFromPlatformStatus, WideCodesKeepTheirSeverity) {
  tStatus platform;
  platform.code = -0x100000000LL;  // would narrow to 0
  tOwnedJsonStatus owned;
  owned->fromPlatformStatus(platform);
  EXPECT_EQ(owned->code, INT32_MIN);
  tStatus warning;
  warning.code = 0x100000001LL;
  tOwnedJsonStatus warned;
  warned->fromPlatformStatus(warning);
  EXPECT_EQ(warned->code, INT32_MAX);
}

TEST(JsonStatusOwned, CopyIsDeepMoveSteals) {
  tOwnedJsonStatus original(-5);
  original->addString("k", "v");
  tOwnedJsonStatus copy(original);
  EXPECT_EQ(copy->code, -5);
  EXPECT_STREQ(copy->json, "{\"k\":\"v\"}");
  EXPECT_NE(copy->json, original->json);
  copy->addInt("n", 1);
  EXPECT_STREQ(original->json, "{\"k\":\"v\"}");

  tOwnedJsonStatus assigned;
  assigned->setText("{\"old\":1}");
  assigned = original;
  EXPECT_STREQ(assigned->json, "{\"k\":\"v\"}");
  EXPECT_NE(assigned->json, original->json);
  const tOwnedJsonStatus& alias = assigned;
  assigned = alias;  // self-assignment keeps the text
  EXPECT_STREQ(assigned->json, "{\"k\":\"v\"}");

  char* buffer = original->json;
  tOwnedJsonStatus moved(std::move(original));
  EXPECT_EQ(moved->json, buffer);
  EXPECT_EQ(original->json, nullptr);
  tOwnedJsonStatus target(1);
  target->setText("{\"t\":1}");
  target = std::move(moved);
  EXPECT_EQ(target->json, buffer);
  EXPECT_EQ(target->code, -5);
  EXPECT_EQ(moved->json, nullptr);
  EXPECT_EQ(target->reallocator, &libraryReallocator);

  tOwnedJsonStatus empty;
  tOwnedJsonStatus emptyCopy(empty);
  EXPECT_EQ(emptyCopy->json, nullptr);
}
