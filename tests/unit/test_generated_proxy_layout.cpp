// The generated driver-interface proxies without a driver: the class tree (virtual bases, one
// root, no data beyond the transport's descriptor), the virtual slot order, and the status rules
// of the generated methods (a status in error sends nothing, the caller's code travels as the
// status word, transport failures are merged with the transport's origin, driver words are
// merged with the method's own origin, outputs are delivered or left alone as the rules say).
// The round trip through a driver is tested in tests/sim/test_generated_proxy_roundtrip.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"
#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/unit/ProxyTesting.h"

namespace {

namespace ns = nQOVORLIXATOMICSAE_23_3;
namespace apal = ns::nQOAPAL000;
using apal::iInterfaceProxy;
using apal::tDeviceInterfaceProxy;
using apal::tStatus;
using Codes = ns::nQOAPALS100::tStatus;
using Bytes = std::vector<std::uint8_t>;

constexpr char kMainSource[] = "codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow";
constexpr char kRoutingSource[] = "objects/codegen/qovorlixatomicsae/tInterfaceProxy_routing";
constexpr char kTransportSource[] = "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy";
constexpr char kComponentCut[] = "qovorlixa";  // the component name as a status record holds it

using proxytest::slotOf;
using proxytest::staticDowncastWorks;

template <typename Base, typename Derived>
constexpr bool isVirtualBase =
    std::is_base_of_v<Base, Derived> && !staticDowncastWorks<Base, Derived>;
template <typename Base, typename Derived>
constexpr bool isNonVirtualBase =
    std::is_base_of_v<Base, Derived>&& staticDowncastWorks<Base, Derived>;

std::uint32_t lineOf(const char* driverInterface, const char* name) {
  const qodrvdesc::Method* m = qodrvdesc::findMethodByName(driverInterface, name);
  return m == nullptr ? 0 : m->sourceLine;
}

// The generated proxy with its transport's `call` recorded: the request bytes the method hands
// over and a programmable answer (response bytes, or a transport failure). Every other
// operation is the real transport.
template <typename Proxy>
class Recorded : public Proxy {
 public:
  struct Request {
    unsigned long command;
    Bytes input;
    const void* output;
    std::uint32_t outputSize;
  };
  std::uint32_t call(unsigned long command, const void* input, std::uint32_t inputSize,
                     void* output, std::uint32_t outputSize, tStatus* status) noexcept override {
    const auto* in = static_cast<const std::uint8_t*>(input);
    requests.push_back({command, Bytes(in, in + inputSize), output, outputSize});
    if (failWith != 0) {
      status->setCode(failWith, "transport", "transport/source", 77);
      return 0;
    }
    if (output != nullptr) {
      std::memset(output, 0, outputSize);
      if (!answer.empty()) {
        std::memcpy(output, answer.data(), std::min<std::size_t>(answer.size(), outputSize));
      }
    }
    return outputSize;
  }
  std::vector<Request> requests;
  Bytes answer;
  std::int64_t failWith = 0;
};

template <typename T>
Bytes bytesOf(const T& value) {
  Bytes b(sizeof value);
  std::memcpy(b.data(), &value, sizeof value);
  return b;
}

}  // namespace

// ---- class tree -------------------------------------------------------------------------------

TEST(GeneratedProxyTree, InterfaceClassesAreAbstractWithTheRootAsVirtualBase) {
  static_assert(std::is_abstract_v<ns::iInterfaceProxy_zurazerudddk_attribute>);
  static_assert(std::is_abstract_v<ns::iInterfaceProxy_vorlixio>);
  static_assert(std::is_abstract_v<ns::iInterfaceProxy_vorlixtarrow>);
  static_assert(std::is_abstract_v<ns::iInterfaceProxy_routing>);
  static_assert(!std::is_abstract_v<ns::tInterfaceProxy_vorlixtarrow>);
  static_assert(!std::is_abstract_v<ns::tInterfaceProxy_routing>);
  static_assert(isVirtualBase<iInterfaceProxy, ns::iInterfaceProxy_zurazerudddk_attribute>);
  static_assert(isVirtualBase<iInterfaceProxy, ns::iInterfaceProxy_readwrite>);
  static_assert(isVirtualBase<iInterfaceProxy, ns::iInterfaceProxy_vorlixio>);
  static_assert(isVirtualBase<iInterfaceProxy, ns::iInterfaceProxy_routing>);
  static_assert(
      isVirtualBase<ns::iInterfaceProxy_zurazerudddk_p2p, ns::iInterfaceProxy_zurazerudddk>);
  static_assert(isVirtualBase<ns::iInterfaceProxy_zurazerudddk, ns::iInterfaceProxy_vorlixtarrow>);
  static_assert(isVirtualBase<ns::iInterfaceProxy_vorlixio, ns::iInterfaceProxy_vorlixtarrow>);
  static_assert(isVirtualBase<ns::iInterfaceProxy_zurazerudddk_configure_personality_common,
                              ns::iInterfaceProxy_vorlixtarrow>);
  // The personality interface is a base of the main interface, not of the zurazerudddk group.
  static_assert(!std::is_base_of_v<ns::iInterfaceProxy_zurazerudddk_configure_personality_common,
                                   ns::iInterfaceProxy_zurazerudddk>);
  // The proxies: transport and interface as ordinary public bases.
  static_assert(isNonVirtualBase<tDeviceInterfaceProxy, ns::tInterfaceProxy_vorlixtarrow>);
  static_assert(
      isNonVirtualBase<ns::iInterfaceProxy_vorlixtarrow, ns::tInterfaceProxy_vorlixtarrow>);
  static_assert(isNonVirtualBase<tDeviceInterfaceProxy, ns::tInterfaceProxy_routing>);
  static_assert(isNonVirtualBase<ns::iInterfaceProxy_routing, ns::tInterfaceProxy_routing>);
  static_assert(!std::is_copy_constructible_v<ns::tInterfaceProxy_vorlixtarrow>);
}

TEST(GeneratedProxyTree, OneRootWhateverThePathAndTheTransportFirst) {
  ns::tInterfaceProxy_vorlixtarrow proxy;
  iInterfaceProxy* viaTransport = static_cast<tDeviceInterfaceProxy*>(&proxy);
  iInterfaceProxy* viaIo = static_cast<ns::iInterfaceProxy_vorlixio*>(&proxy);
  iInterfaceProxy* viaFifo = static_cast<ns::iInterfaceProxy_zurazerudddk_fifo*>(&proxy);
  iInterfaceProxy* viaMain = static_cast<ns::iInterfaceProxy_vorlixtarrow*>(&proxy);
  EXPECT_EQ(viaTransport, viaIo);
  EXPECT_EQ(viaTransport, viaFifo);
  EXPECT_EQ(viaTransport, viaMain);
  // tDeviceInterfaceProxy is the first base: it sits at the start of the object.
  EXPECT_EQ(static_cast<void*>(static_cast<tDeviceInterfaceProxy*>(&proxy)),
            static_cast<void*>(&proxy));
  EXPECT_GT(
      reinterpret_cast<std::uintptr_t>(static_cast<ns::iInterfaceProxy_vorlixtarrow*>(&proxy)),
      reinterpret_cast<std::uintptr_t>(&proxy));
  // Back from the root to the proxy through the virtual base.
  EXPECT_EQ(dynamic_cast<ns::tInterfaceProxy_vorlixtarrow*>(viaIo), &proxy);
}

TEST(GeneratedProxyTree, NoDataBeyondTheDescriptor) {
  // Interface classes hold their vtable pointer and nothing else.
  static_assert(sizeof(ns::iInterfaceProxy_zurazerudddk_attribute) == sizeof(void*));
  static_assert(sizeof(ns::iInterfaceProxy_vorlixio) == sizeof(void*));
  static_assert(sizeof(ns::iInterfaceProxy_routing) == sizeof(void*));
  // A class of the same two bases and nothing of its own has the proxy's size: the proxies add
  // no data to the transport's descriptor and the interfaces' vtable pointers.
  struct MainShape : tDeviceInterfaceProxy, ns::iInterfaceProxy_vorlixtarrow {};
  struct RoutingShape : tDeviceInterfaceProxy, ns::iInterfaceProxy_routing {};
  static_assert(sizeof(ns::tInterfaceProxy_vorlixtarrow) == sizeof(MainShape));
  static_assert(sizeof(ns::tInterfaceProxy_routing) == sizeof(RoutingShape));
  static_assert(sizeof(ns::tInterfaceProxy_routing) ==
                sizeof(tDeviceInterfaceProxy) + sizeof(void*));
  ns::tInterfaceProxy_vorlixtarrow proxy;
  EXPECT_FALSE(proxy.isOpen());
  EXPECT_EQ(proxy.descriptor(), -1);
}

TEST(GeneratedProxyTree, SlotsTransportFirstThenTheMethodsInTableOrder) {
  using P = ns::tInterfaceProxy_vorlixtarrow;
  EXPECT_EQ(slotOf(&P::close), 2);
  EXPECT_EQ(slotOf(&P::call), 3);
  EXPECT_EQ(slotOf(&P::open), 10);
  EXPECT_EQ(slotOf(&P::op0901), 11);  // the class's own methods first
  EXPECT_EQ(slotOf(&P::op0902), 12);
  EXPECT_EQ(slotOf(&P::op0410), 49);  // the last of its own 39
  EXPECT_EQ(slotOf(&P::op8300), 50);  // then zurazerudddk_attribute
  EXPECT_EQ(slotOf(&P::op830B), 53);
  EXPECT_EQ(slotOf(&P::op832E), 73);
  EXPECT_EQ(slotOf(&P::op833C), 78);  // p2p, last of the zurazerudddk group
  EXPECT_EQ(slotOf(&P::op830A), 79);  // configure_personality_common
  EXPECT_EQ(slotOf(&P::op0100), 80);  // readwrite
  EXPECT_EQ(slotOf(&P::op0500), 84);  // vorlixsync
  EXPECT_EQ(slotOf(&P::op0200), 99);  // vorlixififo
  EXPECT_EQ(slotOf(&P::op030D), 103);
  EXPECT_EQ(slotOf(&P::op0600), 104);  // vorlixio
  EXPECT_EQ(slotOf(&P::op0607), 111);  // the 101st method
  using R = ns::tInterfaceProxy_routing;
  EXPECT_EQ(slotOf(&R::open), 10);
  EXPECT_EQ(slotOf(&R::queryU32), 11);
  EXPECT_EQ(slotOf(&R::calculateRoute), 12);
  EXPECT_EQ(slotOf(&R::resetTerminal), 20);
  EXPECT_EQ(slotOf(&R::calculateResetTerminal), 21);
}

TEST(GeneratedProxyTree, BlocksAndRecordsHaveTheDriversLayout) {
  namespace b = ns::nInterfaceProxy_vorlixtarrow;
  static_assert(sizeof(b::tRequest_op0603) == 20);
  static_assert(sizeof(b::tRequest_op0904) == 24);
  static_assert(sizeof(b::tRequest_op830B) == 16);
  static_assert(sizeof(b::tRequest_op832E) == 56 && offsetof(b::tRequest_op832E, status) == 48);
  static_assert(sizeof(ns::tIoModuleRecord) == 16 && alignof(ns::tIoModuleRecord) == 4);
  static_assert(offsetof(ns::tIoModuleRecord, value6) == 15);
  static_assert(sizeof(ns::tRouteSeed) == 12 && sizeof(ns::tRouteResult) == 20 &&
                sizeof(ns::tRouteConflict) == 16);
  static_assert(offsetof(ns::nInterfaceProxy_routing::tRequest_calculateResetTerminal, status) ==
                16);
  static_assert(ns::kTopographyNameSize == 128);
  SUCCEED();
}

// ---- status rules -----------------------------------------------------------------------------

TEST(GeneratedProxyStatus, StatusInErrorSendsNothingAndLeavesOutputsAlone) {
  Recorded<ns::tInterfaceProxy_vorlixtarrow> proxy;
  proxy.answer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  tStatus status;
  status.setCode(Codes::kTimedOut, "earlier", "earlier/source", 9);
  std::uint16_t out4 = 0xBEEF;
  EXPECT_EQ(proxy.op0904(1, 2, 3, &out4, status), 0u);
  std::uint32_t first = 0xAAAA, second = 0xBBBB;
  proxy.op0402(&first, &second, status);
  const ns::tIoModuleRecord record = proxy.op0604(status);
  EXPECT_EQ(bytesOf(record), Bytes(16, 0));  // a zero record
  ns::tRouteResult results[2];
  std::uint32_t count = 77;
  Recorded<ns::tInterfaceProxy_routing> routing;
  EXPECT_EQ(routing.calculateRoute(1, nullptr, 0, nullptr, 0, 0, results, 2, &count, status), 0u);
  EXPECT_TRUE(proxy.requests.empty());
  EXPECT_TRUE(routing.requests.empty());
  EXPECT_EQ(out4, 0xBEEF);
  EXPECT_EQ(first, 0xAAAAu);
  EXPECT_EQ(second, 0xBBBBu);
  EXPECT_EQ(count, 77u);
  EXPECT_EQ(status.code, Codes::kTimedOut);
  EXPECT_STREQ(status.file, "earlier/source");
  EXPECT_EQ(status.line, 9u);
}

TEST(GeneratedProxyStatus, CallersCodeTravelsTruncatedToThirtyTwoBits) {
  Recorded<ns::tInterfaceProxy_vorlixtarrow> proxy;
  tStatus status;
  status.code = 0x100000005;  // a warning wider than the status word
  proxy.op0405(0x11223344, status);
  status.code = 0x80000001;  // still a warning, but its low half reads as negative
  proxy.op0405(0x55667788, status);
  ASSERT_EQ(proxy.requests.size(), 2u);
  EXPECT_EQ(proxy.requests[0].command, qodrv::vorlixtarrow::kOp0405Command);
  EXPECT_EQ(proxy.requests[0].input, (Bytes{0x44, 0x33, 0x22, 0x11, 0x05, 0, 0, 0}));
  EXPECT_EQ(proxy.requests[1].input, (Bytes{0x88, 0x77, 0x66, 0x55, 0x01, 0, 0, 0x80}));
  EXPECT_EQ(proxy.requests[1].outputSize, 8u);
}

TEST(GeneratedProxyStatus, DriverWordIsMergedWithTheMethodsOriginAndOutputsStillArrive) {
  Recorded<ns::tInterfaceProxy_vorlixtarrow> proxy;
  // op0904: result u32 +0, u16 +4 to parameter 4, status +8.
  proxy.answer = {0x78, 0x56, 0x34, 0x12, 0xCD, 0xAB, 0, 0, 0xFB, 0xFF, 0xFF, 0xFF};  // word -5
  tStatus status;
  std::uint16_t out4 = 0;
  EXPECT_EQ(proxy.op0904(1, 2, 3, &out4, status), 0x12345678u);
  EXPECT_EQ(out4, 0xABCD);
  EXPECT_EQ(status.code, -5);
  EXPECT_STREQ(status.component, kComponentCut);
  EXPECT_STREQ(status.file, kMainSource);
  EXPECT_EQ(status.line, lineOf(qodrv::vorlixtarrow::kInterfaceName, "op0904"));
  EXPECT_NE(status.line, 0u);
  // The next call returns at once: the first error stays.
  EXPECT_EQ(proxy.op0904(1, 2, 3, &out4, status), 0u);
  EXPECT_EQ(proxy.requests.size(), 1u);
}

TEST(GeneratedProxyStatus, NullOutputPointersAreSkipped) {
  Recorded<ns::tInterfaceProxy_vorlixtarrow> proxy;
  proxy.answer = {1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
  tStatus status;
  std::uint32_t second = 0;
  proxy.op0402(nullptr, &second, status);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(proxy.requests.size(), 1u);
}

TEST(GeneratedProxyStatus, TransportFailureIsMergedOverAWarningAndOutputsStayUntouched) {
  Recorded<ns::tInterfaceProxy_vorlixtarrow> proxy;
  proxy.failWith = Codes::kIoError;
  tStatus status;
  status.setCode(3, "warn", "warning/source", 4);
  std::uint8_t out3 = 0x5A;
  EXPECT_EQ(proxy.op8320(1, 2, &out3, status), 0u);
  EXPECT_EQ(out3, 0x5A);
  EXPECT_EQ(status.code, Codes::kIoError);
  EXPECT_STREQ(status.component, "transport");
  EXPECT_STREQ(status.file, "transport/source");
  EXPECT_EQ(status.line, 77u);
  ASSERT_EQ(proxy.requests.size(), 1u);
  EXPECT_EQ(proxy.requests[0].input, (Bytes{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}));
}

TEST(GeneratedProxyStatus, ClosedProxyReportsBadDescriptorWithTheTransportsOrigin) {
  ns::tInterfaceProxy_vorlixtarrow proxy;
  tStatus status;
  std::uint8_t out6 = 0x33;
  proxy.op0907(1, 2, 3, 4, 5, &out6, status);
  EXPECT_EQ(status.code, Codes::kNotFound);  // EBADF: -52006
  EXPECT_EQ(status.code, -52006);
  EXPECT_STREQ(status.component, kComponentCut);
  EXPECT_STREQ(status.file, kTransportSource);
  EXPECT_NE(status.line, 0u);
  EXPECT_EQ(out6, 0x33);

  ns::tInterfaceProxy_routing routing;
  tStatus routingStatus;
  char name[ns::kTopographyNameSize] = "untouched";
  routing.getTopographyName(name, sizeof name, routingStatus);
  EXPECT_EQ(routingStatus.code, -52006);
  EXPECT_STREQ(routingStatus.file, kTransportSource);
  EXPECT_STREQ(name, "untouched");
}

TEST(GeneratedProxyStatus, FireAndForgetMethodReportsNothingEvenWhenClosed) {
  ns::tInterfaceProxy_vorlixtarrow closed;
  closed.op830B(0x0102030405060708u, 0x09);  // no status to report into; must not fail loudly
  EXPECT_FALSE(closed.isOpen());

  Recorded<ns::tInterfaceProxy_vorlixtarrow> proxy;
  proxy.failWith = Codes::kIoError;
  proxy.op830B(0x0102030405060708u, 0x09);
  ASSERT_EQ(proxy.requests.size(), 1u);
  EXPECT_EQ(proxy.requests[0].command, qodrv::vorlixtarrow::kOp830BCommand);
  EXPECT_EQ(proxy.requests[0].input, (Bytes{8, 7, 6, 5, 4, 3, 2, 1, 9, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(proxy.requests[0].output, nullptr);
  EXPECT_EQ(proxy.requests[0].outputSize, 0u);
}

TEST(GeneratedProxyStatus, NullRecordPointerIsRefusedBeforeAnythingIsSent) {
  Recorded<ns::tInterfaceProxy_vorlixtarrow> proxy;
  tStatus status;
  proxy.op832E(1, 2, nullptr, status);
  EXPECT_TRUE(proxy.requests.empty());
  EXPECT_EQ(status.code, Codes::kInvalidParameter);
  EXPECT_STREQ(status.file, kMainSource);
  EXPECT_EQ(status.line, lineOf(qodrv::vorlixtarrow::kInterfaceName, "op832E"));
}

TEST(GeneratedProxyStatus, RoutingReportsItsOwnLines) {
  Recorded<ns::tInterfaceProxy_routing> proxy;
  proxy.answer = {0x01, 0, 0, 0};  // status word +1: a warning
  tStatus status;
  proxy.destroyRoute(42, status);
  EXPECT_EQ(status.code, 1);
  EXPECT_STREQ(status.file, kRoutingSource);
  EXPECT_EQ(status.line, 125u);
  proxy.answer = {0xCF, 0x34, 0xFF, 0xFF};  // -52017
  proxy.resetTerminal(7, 1, status);
  EXPECT_EQ(status.code, -52017);
  EXPECT_EQ(status.line, 315u);
  ASSERT_EQ(proxy.requests.size(), 2u);
  EXPECT_EQ(proxy.requests[0].input, (Bytes{42, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(proxy.requests[1].input, (Bytes{7, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
}
