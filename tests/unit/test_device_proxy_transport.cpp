// The interface proxy's transport on ordinary files, FIFOs and pipes: the virtual slot order,
// errno mapping through call, the "status in error sends nothing" rule, read/write, memory
// windows, open flags, close and reopen. Requests to a driver are tested in tests/sim.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>

#include "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy.h"
#include "qoapal/status/tStatus.h"
#include "qodrv/qoDriverConstants.h"
#include "tests/unit/ProxyTesting.h"
#include "tests/common/PlatformNames.h"

using apal::iInterfaceProxy;
using apal::tDeviceInterfaceProxy;
using apal::tMemoryMapping;
using apal::tStatus;

namespace {

constexpr char kProxySource[] = "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy";

using proxytest::slotOf;
using proxytest::staticDowncastWorks;

// A scratch directory removed with its contents at the end of the test.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    char templ[] = "/tmp/qo-proxy-unit-XXXXXX";
    const char* made = ::mkdtemp(templ);
    if (made != nullptr) path_ = made;
  }
  ~ScratchDirectory() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string file(const char* name) const { return path_ + "/" + name; }
  // Writes `contents` into the file `name` and returns its path.
  std::string write(const char* name, const std::string& contents) const {
    const std::string path = file(name);
    std::ofstream(path) << contents;
    return path;
  }
  // Opens `proxy` on a new file `name` holding `contents`; false without a directory.
  bool openOnFile(tDeviceInterfaceProxy& proxy, const char* name, const std::string& contents,
                  tStatus& status) const {
    if (!ok()) return false;
    proxy.open(write(name, contents).c_str(), &status);
    return true;
  }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

int openDescriptorCount() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) ++count;
  }
  return count;
}

}  // namespace

TEST(InterfaceProxySlots, RootHoldsOnlyTheDestructorAndIsAVirtualBase) {
  static_assert(std::is_abstract_v<iInterfaceProxy>);
  static_assert(std::has_virtual_destructor_v<iInterfaceProxy>);
  static_assert(sizeof(iInterfaceProxy) == sizeof(void*));  // the vtable pointer, no data
  static_assert(std::is_base_of_v<iInterfaceProxy, tDeviceInterfaceProxy>);
  static_assert(!staticDowncastWorks<iInterfaceProxy, tDeviceInterfaceProxy>,
                "iInterfaceProxy must be a virtual base of the transport");
  // The transport's state: the vtable pointer (shared with its root) and the descriptor.
  EXPECT_EQ(sizeof(tDeviceInterfaceProxy), 2 * sizeof(void*));
  // Destroying through the root closes the descriptor.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
  auto* proxy = new tDeviceInterfaceProxy;
  tStatus status;
  proxy->open(path.c_str(), &status);
  ASSERT_EQ(status.code, 0);
  const int fd = proxy->descriptor();
  ASSERT_NE(::fcntl(fd, F_GETFD), -1);
  iInterfaceProxy* root = proxy;
  delete root;
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  ::close(ends[0]);
  ::close(ends[1]);
}

TEST(InterfaceProxySlots, TransportOperationsKeepTheirOrder) {
  // Slots 0 and 1 are the complete and deleting destructors.
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::close), 2);
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::call), 3);
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::read), 4);
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::write), 5);
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::mapMemory), 6);
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::unmapMemory), 7);
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::isOpen), 8);
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::openDefault), 9);
  EXPECT_EQ(slotOf(&tDeviceInterfaceProxy::open), 10);
}

TEST(InterfaceProxyCall, IoctlOnRegularFileMapsEnottyToUnsupported) {
  ScratchDirectory dir;
  tDeviceInterfaceProxy proxy;
  tStatus status;
  ASSERT_TRUE(dir.openOnFile(proxy, "node", "not a device", status));
  ASSERT_EQ(status.code, 0);
  std::uint8_t in[8] = {}, out[8] = {};
  EXPECT_EQ(
      proxy.call(qodrv::vorlixtarrow::kOp0406Command, in, sizeof in, out, sizeof out, &status), 0u);
  EXPECT_EQ(status.code, Codes::kUnsupported);  // ENOTTY
  EXPECT_STREQ(status.component, "qovorlixa");
  EXPECT_STREQ(status.file, kProxySource);
  EXPECT_NE(status.line, 0u);
}

TEST(InterfaceProxyCall, ClosedProxyReportsBadDescriptorAsNotFound) {
  tDeviceInterfaceProxy proxy;
  tStatus status;
  EXPECT_EQ(proxy.call(qodrv::vorlixtarrow::kOp0901Command, nullptr, 0, nullptr, 0, &status), 0u);
  EXPECT_EQ(status.code, Codes::kNotFound);  // EBADF
}

TEST(InterfaceProxyCall, BlockReachesTheKernelAndStatusInErrorSendsNothing) {
  // FIONBIO reads an int from the argument: the block's first word (the input address) is
  // non-zero, so a request that reaches the kernel makes the pipe non-blocking.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
  tDeviceInterfaceProxy blocked, sent;
  tStatus openStatus;
  blocked.open(path.c_str(), &openStatus);
  sent.open(path.c_str(), &openStatus);
  ASSERT_EQ(openStatus.code, 0);
  int input = 0;

  tStatus failed;
  failed.setCode(Codes::kTimedOut, "c", "earlier", 9);
  EXPECT_EQ(blocked.call(FIONBIO, &input, sizeof input, nullptr, 0, &failed), 0u);
  EXPECT_EQ(::fcntl(blocked.descriptor(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(failed.code, Codes::kTimedOut);
  EXPECT_STREQ(failed.file, "earlier");

  tStatus good;
  EXPECT_EQ(sent.call(FIONBIO, &input, sizeof input, nullptr, 0, &good), 0u);
  EXPECT_EQ(good.code, 0);
  EXPECT_NE(::fcntl(sent.descriptor(), F_GETFL) & O_NONBLOCK, 0);
  ::close(ends[0]);
  ::close(ends[1]);
}

TEST(InterfaceProxyReadWrite, ThroughAFifoNode) {
  ScratchDirectory dir;
  ASSERT_TRUE(dir.ok());
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  tDeviceInterfaceProxy proxy;
  tStatus status;
  proxy.openDefault(fifo.c_str(), &status);  // read-write: does not wait for a peer
  ASSERT_EQ(status.code, 0);
  ASSERT_TRUE(proxy.isOpen());
  EXPECT_EQ(proxytest::echoed(proxy, "board", status), "board");
}

TEST(InterfaceProxyReadWrite, FailuresMapErrnoAndReturnMinusOne) {
  tDeviceInterfaceProxy closed;
  tStatus status;
  char buffer[4];
  EXPECT_EQ(closed.read(buffer, sizeof buffer, &status), -1);
  EXPECT_EQ(status.code, Codes::kNotFound);  // EBADF

  tStatus failed;
  failed.setCode(Codes::kIoError, "c", "earlier", 1);
  EXPECT_EQ(closed.write("x", 1, &failed), -1);
  EXPECT_EQ(failed.code, Codes::kIoError);
  EXPECT_STREQ(failed.file, "earlier");
}

TEST(InterfaceProxyOpen, ReadWriteCloseOnExecAndReopen) {
  ScratchDirectory dir;
  ASSERT_TRUE(dir.ok());
  const std::string node = dir.write("node", "x");
  tDeviceInterfaceProxy proxy;
  EXPECT_FALSE(proxy.isOpen());
  EXPECT_EQ(proxy.descriptor(), -1);
  tStatus status;
  proxy.open(node.c_str(), &status);
  ASSERT_TRUE(proxy.isOpen());
  EXPECT_EQ(::fcntl(proxy.descriptor(), F_GETFL) & O_ACCMODE, O_RDWR);
  EXPECT_NE(::fcntl(proxy.descriptor(), F_GETFD) & FD_CLOEXEC, 0);

  proxy.close();
  EXPECT_FALSE(proxy.isOpen());
  proxy.close();  // closing a closed proxy does nothing
  proxy.open(node.c_str(), &status);
  EXPECT_TRUE(proxy.isOpen());
  EXPECT_EQ(status.code, 0);

  // Opening an open proxy again does not leak the first descriptor.
  const int before = openDescriptorCount();
  proxy.open(node.c_str(), &status);
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_TRUE(proxy.isOpen());
}

TEST(InterfaceProxyOpen, FailuresGoThroughTheErrnoTable) {
  tDeviceInterfaceProxy proxy;
  tStatus missing;
  proxy.open("/nonexistent-qo-unit/node", &missing);
  EXPECT_EQ(missing.code, Codes::kNotFound);
  EXPECT_STREQ(missing.file, kProxySource);
  EXPECT_FALSE(proxy.isOpen());

  tStatus directory;
  proxy.open("/", &directory);  // EISDIR is outside the named entries of the table
  EXPECT_EQ(directory.code, Codes::kOsFault);

  tStatus nullPath;
  proxy.open(nullptr, &nullPath);
  EXPECT_EQ(nullPath.code, Codes::kInvalidParameter);

  tStatus failed;
  failed.setCode(Codes::kTimedOut, "c", "earlier", 1);
  proxy.open("/", &failed);
  EXPECT_EQ(failed.code, Codes::kTimedOut);
  EXPECT_FALSE(proxy.isOpen());
}

TEST(InterfaceProxyMemory, WindowIndexLow16BitsTimesPageSize) {
  const long page = ::sysconf(_SC_PAGESIZE);
  std::string contents(static_cast<std::size_t>(2 * page), '0');
  contents[static_cast<std::size_t>(page)] = 'W';  // first byte of window 1
  ScratchDirectory dir;
  tDeviceInterfaceProxy proxy;
  tStatus status;
  ASSERT_TRUE(dir.openOnFile(proxy, "window", contents, status));
  tMemoryMapping mapping;
  // 0x10001: only the low 16 bits count, so this is window 1.
  auto* bytes = static_cast<char*>(proxy.mapMemory(0x10001, static_cast<std::size_t>(page),
                                                   apal::kMapReadWrite, &mapping, &status));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(mapping.address, bytes);
  EXPECT_EQ(mapping.length, static_cast<std::size_t>(page));
  EXPECT_EQ(bytes[0], 'W');
  bytes[1] = 'S';  // shared and writable: lands in the file
  char check = 0;
  ASSERT_EQ(::pread(proxy.descriptor(), &check, 1, page + 1), 1);
  EXPECT_EQ(check, 'S');
  proxy.unmapMemory(&mapping);
  EXPECT_EQ(mapping.address, nullptr);
  proxy.unmapMemory(&mapping);  // already unmapped: nothing
  proxy.unmapMemory(nullptr);
}

TEST(InterfaceProxyMemory, AccessOtherThanOneMapsReadOnly) {
  ScratchDirectory dir;
  tDeviceInterfaceProxy proxy;
  tStatus status;
  ASSERT_TRUE(dir.openOnFile(proxy, "window", std::string(4096, 'r'), status));
  tMemoryMapping mapping;
  void* address = proxy.mapMemory(0, 4096, 2, &mapping, &status);
  ASSERT_NE(address, nullptr);
  // Find the mapping's permissions.
  std::ifstream maps("/proc/self/maps");
  std::string line, permissions;
  char start[32];
  std::snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(address));
  while (std::getline(maps, line)) {
    if (line.rfind(start, 0) == 0) permissions = line.substr(line.find(' ') + 1, 4);
  }
  EXPECT_EQ(permissions, "r--s");
  proxy.unmapMemory(&mapping);
}

TEST(InterfaceProxyMemory, FailureStoresNullAndMapsErrno) {
  ScratchDirectory dir;
  tDeviceInterfaceProxy proxy;
  tStatus status;
  ASSERT_TRUE(dir.openOnFile(proxy, "window", "x", status));
  tMemoryMapping mapping;
  mapping.address = &mapping;  // stale value must be replaced
  EXPECT_EQ(proxy.mapMemory(0, 0, apal::kMapReadWrite, &mapping, &status), nullptr);
  EXPECT_EQ(mapping.address, nullptr);
  EXPECT_EQ(status.code, Codes::kInvalidParameter);  // EINVAL for a zero length

  tStatus nullMapping;
  EXPECT_EQ(proxy.mapMemory(0, 4096, 1, nullptr, &nullMapping), nullptr);
  EXPECT_EQ(nullMapping.code, Codes::kInvalidParameter);
}
