// The installed routing header (<qovorlixatomicsae/qoroco_ra.h>) against the library itself: the
// status record a host builds from it has the library's layout, and calls declared by it reach
// the library's exports and fill that record.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "include/qovorlixatomicsae/qoroco_ra.h"
#include "qoapal/status/JsonStatus.h"

namespace {

using LibraryStatus = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::JsonStatus;
static_assert(sizeof(qoroco_ra_json_status) == sizeof(LibraryStatus));
static_assert(offsetof(qoroco_ra_json_status, code) == offsetof(LibraryStatus, code));
static_assert(offsetof(qoroco_ra_json_status, capacity) == offsetof(LibraryStatus, capacity));
static_assert(offsetof(qoroco_ra_json_status, reallocator) ==
              offsetof(LibraryStatus, reallocator));
static_assert(offsetof(qoroco_ra_json_status, json) == offsetof(LibraryStatus, json));

int reallocate(qoroco_ra_json_status* self, int newSize) {
  if (newSize == 0) {
    std::free(self->json);
    self->json = nullptr;
    self->capacity = 0;
    return 1;
  }
  if (newSize < 0) return 0;
  auto* grown = static_cast<char*>(std::realloc(self->json, static_cast<std::size_t>(newSize)));
  if (grown == nullptr) return 0;
  if (self->json == nullptr) grown[0] = '\0';
  self->json = grown;
  self->capacity = static_cast<std::uint32_t>(newSize);
  return 1;
}

TEST(PublicRoutingHeader, DeclaredCallsReachTheLibrary) {
  EXPECT_EQ(qoroco_ra_qovorlixatomicsae_getAPIVersion(), QOROCO_RA_QOVORLIXATOMICSAE_API_VERSION);

  // No device path: refused through the host's record, with an error text.
  qoroco_ra_json_status status{0, 0, &reallocate, nullptr};
  void* session = qoroco_ra_qovorlixatomicsae_createSession(
      nullptr, [](void* previous, std::size_t size) { return std::realloc(previous, size); },
      &status);
  EXPECT_EQ(session, nullptr);
  EXPECT_LT(status.code, 0);
  ASSERT_NE(status.json, nullptr);
  EXPECT_NE(std::string(status.json).find("error_constant"), std::string::npos) << status.json;
  std::free(status.json);

  // Null handles are taken without a crash.
  EXPECT_TRUE(qoroco_ra_qovorlixatomicsae_TerminalIterator_isEnd(nullptr));
  qoroco_ra_qovorlixatomicsae_destroySession(nullptr);
}

}  // namespace
