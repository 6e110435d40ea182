// CQOComPtr: which operations add or release a reference, and in what order.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "sysapicpp/com/CQOComPtr.h"
#include "sysapicpp/interfaces/IUnknown.h"

namespace {

using sysapicpp::CQOComPtr;

// An object whose count starts at 1 (the reference a test adopts) and that writes every AddRef
// ("+name") and Release ("-name") into a shared log. A release can look at a holder while it
// runs, as a host sink's clean-up might.
class tCounted : public IUnknown {
 public:
  tCounted(std::string name, std::string& log) : name_(std::move(name)), log_(log) {}
  HRESULT QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override {
    log_ += "+" + name_;
    return ++count_;
  }
  ULONG Release() override {
    log_ += "-" + name_;
    if (onRelease) onRelease();
    return --count_;
  }
  ULONG count() const { return count_; }
  std::function<void()> onRelease;

 private:
  std::string name_;
  std::string& log_;
  ULONG count_ = 1;
};

using tPtr = CQOComPtr<IUnknown>;

struct tCase {
  const char* name;
  std::function<void(tCounted& a, tCounted& b)> run;
  ULONG countA, countB;
  const char* log;
};

const tCase kCases[] = {
    {"adopting takes no reference; the end of the scope releases it",
     [](tCounted& a, tCounted&) { tPtr p(&a); }, 0, 1, "-a"},
    {"share adds a reference of its own", [](tCounted& a, tCounted&) { tPtr p = tPtr::share(&a); },
     1, 1, "+a-a"},
    {"a copy adds a reference, a move does not",
     [](tCounted& a, tCounted&) {
       tPtr p(&a);
       tPtr copy(p);
       tPtr moved(std::move(copy));
       EXPECT_EQ(copy.get(), nullptr);
       EXPECT_EQ(moved.get(), &a);
     },
     0, 1, "+a-a-a"},
    {"assigning a pointer to itself keeps the object",
     [](tCounted& a, tCounted&) {
       tPtr p(&a);
       tPtr& same = p;
       p = same;
       EXPECT_EQ(p.get(), &a);
       p = std::move(same);
       EXPECT_EQ(p.get(), &a);
       EXPECT_EQ(a.count(), 1u);
     },
     0, 1, "+a-a-a"},
    {"detach hands the reference on without releasing it",
     [](tCounted& a, tCounted&) {
       tPtr p(&a);
       EXPECT_EQ(p.detach(), &a);
       EXPECT_FALSE(p);
     },
     1, 1, ""},
    {"out releases what was held before an operation stores into it",
     [](tCounted& a, tCounted& b) {
       tPtr p(&a);
       IUnknown** slot = p.out();
       EXPECT_EQ(a.count(), 0u);
       *slot = &b;
       EXPECT_EQ(p.get(), &b);
     },
     0, 0, "-a-b"},
    {"copy assignment takes the new reference before releasing the old",
     [](tCounted& a, tCounted& b) {
       tPtr p(&a);
       const tPtr q = tPtr::share(&b);
       p = q;
     },
     0, 1, "+b+b-a-b-b"},
};

TEST(ComPtr, ReferencesTakenAndReleased) {
  for (const tCase& c : kCases) {
    std::string log;
    tCounted a("a", log), b("b", log);
    c.run(a, b);
    EXPECT_EQ(a.count(), c.countA) << c.name;
    EXPECT_EQ(b.count(), c.countB) << c.name;
    EXPECT_EQ(log, c.log) << c.name;
  }
}

TEST(ComPtr, AReleaseSeesTheHolderAlreadyReplaced) {
  std::string log;
  tCounted a("a", log), b("b", log);
  tPtr p(&a);
  IUnknown* seen = &a;
  a.onRelease = [&] { seen = p.get(); };
  p.reset(&b);
  EXPECT_EQ(seen, &b);
  a.onRelease = nullptr;
  p = nullptr;
  EXPECT_EQ(log, "-a-b");
  EXPECT_EQ(b.count(), 0u);
}

}  // namespace
