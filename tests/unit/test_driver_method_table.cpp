// Every method's command code, block sizes and status-word offsets against a table written out
// here by hand from the driver's method tables, not derived from codegen/descriptions: the
// generated tables (qodrvdesc) and the generated proxies (command constants, request and response
// blocks) must both agree with it, so a slip in a description cannot hide behind the generator.
// The rows are in the order of the driver's tables, which is the proxies' virtual-slot order.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "codegen/qovorlixatomicsae/tInterfaceProxy_routing.h"
#include "codegen/qovorlixatomicsae/tInterfaceProxy_vorlixtarrow.h"
#include "qodrvdesc/qoDriverInterfaceTables.h"

namespace {

namespace ns = nQOVORLIXATOMICSAE_23_3;
namespace mainBlocks = ns::nInterfaceProxy_vorlixtarrow;
namespace routingBlocks = ns::nInterfaceProxy_routing;

constexpr char kMainInterface[] = "qovorlixtarrowk_vorlixtarrow";
constexpr char kRoutingInterface[] = "routing_routing";

struct Row {
  const char* driverInterface;
  const char* proxyInterface;  // the abstract class declaring the method (main interface)
  const char* name;
  std::uint32_t command;
  std::size_t requestSize;
  int requestStatusAt;  // -1: no status word
  std::size_t responseSize;
  int responseStatusAt;  // -1: no status word
  // What the generated proxy declares for the method.
  unsigned long proxyCommand;
  std::size_t proxyRequestSize, proxyResponseSize;
};

// Main interface: interface, method, command, request size, status at, response size, status at.
#define QO_MAIN(iface, op, code, rq, rqs, rs, rss)                          \
  Row {                                                                     \
    kMainInterface, "iInterfaceProxy_" #iface, #op, code, rq, rqs, rs, rss, \
        mainBlocks::kCommand_##op, sizeof(mainBlocks::tRequest_##op),       \
        sizeof(mainBlocks::tResponse_##op)                                  \
  }
#define QO_MAIN_NO_RESPONSE(iface, op, code, rq, rqs, rs, rss)              \
  Row {                                                                     \
    kMainInterface, "iInterfaceProxy_" #iface, #op, code, rq, rqs, rs, rss, \
        mainBlocks::kCommand_##op, sizeof(mainBlocks::tRequest_##op), 0     \
  }
#define QO_ROUTING(op, code, rq, rqs, rs, rss)                                 \
  Row {                                                                        \
    kRoutingInterface, "iInterfaceProxy_routing", #op, code, rq, rqs, rs, rss, \
        routingBlocks::kCommand_##op, sizeof(routingBlocks::tRequest_##op),    \
        sizeof(routingBlocks::tResponse_##op)                                  \
  }

const Row kRows[] = {
    QO_MAIN(vorlixtarrow, op0901, 0x00200901, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0902, 0x00200902, 4, 0, 4, 0),
    QO_MAIN(vorlixtarrow, op0900, 0x00200900, 16, 12, 8, 4),
    QO_MAIN(vorlixtarrow, op0904, 0x80200904, 24, 16, 12, 8),
    QO_MAIN(vorlixtarrow, op0907, 0x40200907, 40, 32, 8, 4),
    QO_MAIN(vorlixtarrow, op0903, 0x40200903, 40, 36, 4, 0),
    QO_MAIN(vorlixtarrow, op0908, 0x40200908, 12, 8, 4, 0),
    QO_MAIN(vorlixtarrow, op0909, 0x40200909, 4, 0, 4, 0),
    QO_MAIN(vorlixtarrow, op090A, 0x8020090A, 8, 4, 8, 4),
    QO_MAIN(vorlixtarrow, op0300, 0x80200300, 4, 0, 16, 8),
    QO_MAIN(vorlixtarrow, op0301, 0x80200301, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0302, 0x40200302, 24, 20, 4, 0),
    QO_MAIN(vorlixtarrow, op0303, 0x80200303, 24, 20, 4, 0),
    QO_MAIN(vorlixtarrow, op0308, 0x80200308, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0304, 0x80200304, 4, 0, 16, 8),
    QO_MAIN(vorlixtarrow, op0305, 0x80200305, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0306, 0x40200306, 4, 0, 4, 0),
    QO_MAIN(vorlixtarrow, op0400, 0x80200400, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0800, 0x00200800, 16, 12, 8, 4),
    QO_MAIN(vorlixtarrow, op0801, 0x00200801, 16, 12, 4, 0),
    QO_MAIN(vorlixtarrow, op0700, 0x80200700, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0701, 0x80200701, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0702, 0x40200702, 8, 4, 4, 0),
    QO_MAIN(vorlixtarrow, op0401, 0x40200401, 12, 8, 4, 0),
    QO_MAIN(vorlixtarrow, op0402, 0x80200402, 4, 0, 12, 8),
    QO_MAIN(vorlixtarrow, op0403, 0x40200403, 12, 8, 4, 0),
    QO_MAIN(vorlixtarrow, op0404, 0x80200404, 4, 0, 12, 8),
    QO_MAIN(vorlixtarrow, op0405, 0x80200405, 8, 4, 8, 4),
    QO_MAIN(vorlixtarrow, op0406, 0x80200406, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0407, 0x80200407, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0408, 0x80200408, 8, 4, 8, 4),
    QO_MAIN(vorlixtarrow, op0409, 0x80200409, 8, 4, 8, 4),
    QO_MAIN(vorlixtarrow, op040A, 0x8020040A, 8, 4, 8, 4),
    QO_MAIN(vorlixtarrow, op040B, 0x8020040B, 8, 4, 16, 8),
    QO_MAIN(vorlixtarrow, op040C, 0x4020040C, 8, 4, 4, 0),
    QO_MAIN(vorlixtarrow, op040D, 0x8020040D, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op040E, 0x8020040E, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op040F, 0x0020040F, 4, 0, 8, 4),
    QO_MAIN(vorlixtarrow, op0410, 0x00200410, 4, 0, 4, 0),
    QO_MAIN(zurazerudddk_attribute, op8300, 0x80208300, 8, 4, 8, 4),
    QO_MAIN(zurazerudddk_attribute, op8301, 0x40208301, 12, 8, 4, 0),
    QO_MAIN(zurazerudddk_attribute, op8302, 0x80208302, 4, 0, 8, 4),
    QO_MAIN_NO_RESPONSE(zurazerudddk_configuration, op830B, 0x4020830B, 16, -1, 0, -1),
    QO_MAIN(zurazerudddk_configuration, op830C, 0x4020830C, 16, 12, 4, 0),
    QO_MAIN(zurazerudddk_configuration, op830D, 0x4020830D, 4, 0, 4, 0),
    QO_MAIN(zurazerudddk_configuration, op830E, 0x4020830E, 4, 0, 4, 0),
    QO_MAIN(zurazerudddk_configuration, op830F, 0x4020830F, 4, 0, 4, 0),
    QO_MAIN(zurazerudddk_configuration, op8310, 0x40208310, 48, 40, 4, 0),
    QO_MAIN(zurazerudddk_io, op8314, 0x80208314, 32, 28, 4, 0),
    QO_MAIN(zurazerudddk_io, op8315, 0x40208315, 32, 28, 4, 0),
    QO_MAIN(zurazerudddk_io, op8316, 0x80208316, 8, 4, 8, 4),
    QO_MAIN(zurazerudddk_io, op8317, 0x40208317, 12, 8, 4, 0),
    QO_MAIN(zurazerudddk_io, op8318, 0x00208318, 4, 0, 8, 4),
    QO_MAIN(zurazerudddk_irq, op831E, 0x4020831E, 4, 0, 4, 0),
    QO_MAIN(zurazerudddk_irq, op831F, 0x4020831F, 4, 0, 4, 0),
    QO_MAIN(zurazerudddk_irq, op8320, 0x40208320, 12, 8, 12, 8),
    QO_MAIN(zurazerudddk_fifo, op8328, 0x40208328, 16, 12, 4, 0),
    QO_MAIN(zurazerudddk_fifo, op8329, 0x40208329, 16, 12, 4, 0),
    QO_MAIN(zurazerudddk_fifo, op832A, 0x4020832A, 16, 12, 4, 0),
    QO_MAIN(zurazerudddk_fifo, op832B, 0x4020832B, 32, 28, 16, 12),
    QO_MAIN(zurazerudddk_fifo, op832C, 0x4020832C, 32, 24, 4, 0),
    QO_MAIN(zurazerudddk_fifo, op832D, 0x4020832D, 16, 12, 4, 0),
    QO_MAIN(zurazerudddk_fifo, op832E, 0x4020832E, 56, 48, 4, 0),
    QO_MAIN(zurazerudddk_flash, op8332, 0x40208332, 16, 12, 4, 0),
    QO_MAIN(zurazerudddk_flash, op8333, 0x40208333, 8, 4, 4, 0),
    QO_MAIN(zurazerudddk_flash, op8334, 0x80208334, 4, 0, 8, 4),
    QO_MAIN(zurazerudddk_flash, op8335, 0x40208335, 4, 0, 4, 0),
    QO_MAIN(zurazerudddk_p2p, op833C, 0x8020833C, 8, 4, 8, 4),
    QO_MAIN(zurazerudddk_configure_personality_common, op830A, 0x4020830A, 48, 44, 8, 4),
    QO_MAIN(readwrite, op0100, 0x80200100, 8, 4, 8, 4),
    QO_MAIN(readwrite, op0101, 0x40200101, 12, 8, 4, 0),
    QO_MAIN(readwrite, op0102, 0x80200102, 8, 4, 8, 4),
    QO_MAIN(readwrite, op0103, 0x40200103, 12, 8, 4, 0),
    QO_MAIN(vorlixsync, op0500, 0x00200500, 12, 8, 4, 0),
    QO_MAIN(vorlixsync, op0501, 0x00200501, 8, 4, 4, 0),
    QO_MAIN(vorlixsync, op0502, 0x00200502, 8, 4, 4, 0),
    QO_MAIN(vorlixsync, op0503, 0x00200503, 4, 0, 4, 0),
    QO_MAIN(vorlixsync, op0504, 0x00200504, 8, 4, 8, 4),
    QO_MAIN(vorlixsync, op0505, 0x00200505, 8, 4, 4, 0),
    QO_MAIN(vorlixsync, op0506, 0x00200506, 4, 0, 4, 0),
    QO_MAIN(vorlixsync, op0507, 0x00200507, 4, 0, 16, 8),
    QO_MAIN(vorlixsync, op0508, 0x00200508, 4, 0, 4, 0),
    QO_MAIN(vorlixsync, op0509, 0x00200509, 4, 0, 16, 8),
    QO_MAIN(vorlixsync, op050A, 0x0020050A, 4, 0, 4, 0),
    QO_MAIN(vorlixsync, op050B, 0x0020050B, 4, 0, 8, 4),
    QO_MAIN(vorlixsync, op050C, 0x0020050C, 8, 4, 4, 0),
    QO_MAIN(vorlixsync, op050D, 0x0020050D, 4, 0, 8, 4),
    QO_MAIN(vorlixsync, op050E, 0x0020050E, 8, 4, 4, 0),
    QO_MAIN(vorlixififo, op0200, 0x80200200, 24, 16, 16, 8),
    QO_MAIN(vorlixififo, op0201, 0x40200201, 24, 16, 4, 0),
    QO_MAIN(vorlixififo, op0209, 0x80200209, 24, 20, 16, 8),
    QO_MAIN(vorlixififo, op020A, 0x4020020A, 24, 20, 4, 0),
    QO_MAIN(vorlixififo, op030D, 0x0020030D, 24, 20, 8, 4),
    QO_MAIN(vorlixio, op0600, 0x80200600, 4, 0, 8, 4),
    QO_MAIN(vorlixio, op0601, 0x80200601, 4, 0, 8, 4),
    QO_MAIN(vorlixio, op0602, 0x80200602, 4, 0, 8, 4),
    QO_MAIN(vorlixio, op0603, 0x40200603, 20, 16, 4, 0),
    QO_MAIN(vorlixio, op0604, 0x80200604, 4, 0, 20, 16),
    QO_MAIN(vorlixio, op0605, 0x00200605, 8, 4, 4, 0),
    QO_MAIN(vorlixio, op0606, 0x00200606, 4, 0, 8, 4),
    QO_MAIN(vorlixio, op0607, 0x40200607, 8, 4, 4, 0),
    QO_ROUTING(queryU32, 0x00208000, 4, 0, 8, 4),
    QO_ROUTING(calculateRoute, 0x00208001, 56, 52, 12, 8),
    QO_ROUTING(destroyRoute, 0x00208002, 8, 4, 4, 0),
    QO_ROUTING(reserveRoute, 0x00208003, 24, 20, 8, 4),
    QO_ROUTING(programRoute, 0x00208004, 8, 4, 4, 0),
    QO_ROUTING(unreserveRoute, 0x00208005, 8, 4, 4, 0),
    QO_ROUTING(unprogramRoute, 0x00208006, 8, 4, 4, 0),
    QO_ROUTING(getRouteTerminalPath, 0x00208007, 24, 20, 8, 4),
    QO_ROUTING(getTopographyName, 0x00208008, 16, 12, 4, 0),
    QO_ROUTING(resetTerminal, 0x0020800A, 12, 8, 4, 0),
    QO_ROUTING(calculateResetTerminal, 0x0020800B, 24, 16, 8, 4),
};

#undef QO_MAIN
#undef QO_MAIN_NO_RESPONSE
#undef QO_ROUTING

// The offset of the block's status word in the generated table; -1 when it has none.
int statusAt(const qodrvdesc::Field* fields, std::uint8_t count) {
  for (std::uint8_t i = 0; i < count; ++i)
    if (fields[i].role == qodrvdesc::Role::Status) return fields[i].offset;
  return -1;
}

TEST(DriverMethodTable, EveryMethodMatchesTheWrittenTable) {
  ASSERT_EQ(std::size(kRows), 112u);  // 101 main methods, 11 routing methods
  for (const Row& row : kRows) {
    SCOPED_TRACE(std::string(row.driverInterface) + " " + row.name);
    const qodrvdesc::Method* m = qodrvdesc::findMethodByName(row.driverInterface, row.name);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->command, row.command);
    EXPECT_EQ(m->requestSize, row.requestSize);
    EXPECT_EQ(m->responseSize, row.responseSize);
    EXPECT_EQ(statusAt(m->request, m->requestCount), row.requestStatusAt);
    EXPECT_EQ(statusAt(m->response, m->responseCount), row.responseStatusAt);
    EXPECT_EQ(m->hasStatus, row.requestStatusAt >= 0);
    if (row.driverInterface == std::string(kMainInterface)) {
      EXPECT_STREQ(m->proxyInterface, row.proxyInterface);
      // Main-interface methods are named after the low 16 bits of their command.
      char expected[8];
      std::snprintf(expected, sizeof expected, "op%04X", row.command & 0xFFFFu);
      EXPECT_STREQ(row.name, expected);
    }
    // The command layout: direction 0..2, the 32-byte call block in bits 29..16.
    EXPECT_EQ((row.command >> 16) & 0x3FFFu, 32u);
    EXPECT_LE(row.command >> 30, 2u);
    // The generated proxy sends the same command and blocks of the same sizes.
    EXPECT_EQ(row.proxyCommand, row.command);
    EXPECT_EQ(row.proxyRequestSize, row.requestSize);
    EXPECT_EQ(row.proxyResponseSize, row.responseSize);
    // The same command is not owned by another method of the interface.
    EXPECT_EQ(qodrvdesc::findMethod(row.driverInterface, row.command), m);
  }
}

TEST(DriverMethodTable, GeneratedTablesHoldNothingElseAndKeepTheTablesOrder) {
  ASSERT_EQ(qodrvdesc::kMethodCount, std::size(kRows));
  for (std::size_t i = 0; i < qodrvdesc::kMethodCount; ++i) {
    EXPECT_STREQ(qodrvdesc::kMethods[i].driverInterface, kRows[i].driverInterface) << i;
    EXPECT_STREQ(qodrvdesc::kMethods[i].name, kRows[i].name) << i;
  }
}

}  // namespace
