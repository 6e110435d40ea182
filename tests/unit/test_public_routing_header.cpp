// The installed routing header (<qovorlixatomicsae/qoroco_ra.h>) against the library itself: the
// status record a host builds from it has the library's layout, and calls declared by it reach
// the library's exports and fill that record.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qoapal/status/JsonStatus.h"
#include "qovorlixatomicsae/qoroco_ra.h"
#include "tools/common/routing_host_abi.h"

namespace {

using LibraryStatus = nQOVORLIXATOMICSAE_23_3::nQOAPAL000::JsonStatus;
static_assert(sizeof(qoroco_ra_json_status) == sizeof(LibraryStatus));
static_assert(offsetof(qoroco_ra_json_status, code) == offsetof(LibraryStatus, code));
static_assert(offsetof(qoroco_ra_json_status, capacity) == offsetof(LibraryStatus, capacity));
static_assert(offsetof(qoroco_ra_json_status, reallocator) == offsetof(LibraryStatus, reallocator));
static_assert(offsetof(qoroco_ra_json_status, json) == offsetof(LibraryStatus, json));

TEST(PublicRoutingHeader, DeclaredCallsReachTheLibrary) {
  EXPECT_EQ(qoroco_ra_qovorlixatomicsae_getAPIVersion(), QOROCO_RA_QOVORLIXATOMICSAE_API_VERSION);

  // No device path: refused through the host's record, with an error text.
  qoroco_ra_json_status status{0, 0, &routingabi::hostReallocate, nullptr};
  void* session =
      qoroco_ra_qovorlixatomicsae_createSession(nullptr, &routingabi::hostAllocate, &status);
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
