// The bag handle and typed accessors: taking a bag from any object (and refusing objects that are
// not bags), reference ownership, the copy used to hand bags out, setters that raise on failing
// results, and the index limit of indexed tags.
#include <gtest/gtest.h>

#include <string>

#include "qo/dsc/exception.h"
#include "sysapicpp/HResultException.h"
#include "sysapicpp/com/guids.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "sysapicpp/propbag/PropertyBagHandle.h"
#include "tests/unit/PropertyBagTesting.h"

namespace {

using sysapicpp::CompositePropertyBagAccessor3;
using sysapicpp::HResultException;
using sysapicpp::PropertyBagHandle;

std::string contextOf(int line) {
  return "{\"file\":\"sysapicpp/propbag/PropertyBagHandle\",\"line\":" + std::to_string(line) +
         ",\"component\":\"qovorlixatomicsae\"}";
}

// An object that answers IUnknown only, counting its references.
class NotABag final : public IUnknown {
 public:
  HRESULT QueryInterface(const GUID* iid, void** out) override {
    *out = nullptr;
    if (*iid == IID_IUnknown) {
      *out = this;
      ++refs;
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  int refs = 1;
};

std::int32_t refsOf(ImxSysPropertyBag4* bag) {
  return static_cast<CmxDynamicPropertyBag*>(bag)->refCount();
}

TEST(PropertyBagHandleAcquire, ObjectThatIsNotABagRaisesUnexpectedAtLine39) {
  NotABag object;
  try {
    PropertyBagHandle handle(&object);
    FAIL() << "no exception";
  } catch (const sysapicpp::UnexpectedException& e) {
    EXPECT_EQ(e.code(), static_cast<HRESULT>(0x8000FFFFu));
    ASSERT_NE(e.details(), nullptr);
    EXPECT_EQ(std::string(e.details()), contextOf(39));
  }
  EXPECT_EQ(object.refs, 1);
  EXPECT_THROW(PropertyBagHandle{nullptr}, sysapicpp::UnexpectedException);
}

TEST(PropertyBagHandleAcquire, HandleHoldsOneReferenceAndCopiesShareTheBag) {
  ImxSysPropertyBag4* bag = nullptr;
  ASSERT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK);
  {
    PropertyBagHandle handle(bag);
    EXPECT_EQ(handle.get(), bag);
    EXPECT_EQ(refsOf(bag), 2);
    PropertyBagHandle copy = handle;
    EXPECT_EQ(refsOf(bag), 3);
    PropertyBagHandle moved = std::move(copy);
    EXPECT_EQ(refsOf(bag), 3);
    EXPECT_FALSE(copy);
    moved = handle;  // same bag: count unchanged
    EXPECT_EQ(refsOf(bag), 3);
  }
  EXPECT_EQ(refsOf(bag), 1);
  EXPECT_EQ(bag->Release(), 0u);
}

TEST(PropertyBagHandleAcquire, CreateDynamicOwnsANewEmptyBag) {
  PropertyBagHandle handle = PropertyBagHandle::createDynamic();
  ASSERT_TRUE(handle);
  EXPECT_EQ(refsOf(handle.get()), 1);
  EXPECT_FALSE(handle.hasTag(1));
  PropertyBagHandle empty;
  EXPECT_THROW(empty.setInt32(1, 1), sysapicpp::UnexpectedException);
}

TEST(PropertyBagHandleCopy, CloneHandsOutAnIndependentBagWithOneReference) {
  PropertyBagHandle master = PropertyBagHandle::createDynamic();
  master.setString(0x101D000, "KEL0");
  ImxSysPropertyBag* out = master.clone();
  ASSERT_NE(out, nullptr);
  EXPECT_NE(static_cast<void*>(out), static_cast<void*>(master.get()));
  PropertyBagHandle copy(out);  // adds a reference
  EXPECT_EQ(out->Release(), 1u);
  EXPECT_EQ(copy.getString(0x101D000), "KEL0");
  master.setString(0x101D000, "KEL9");
  EXPECT_EQ(copy.getString(0x101D000), "KEL0");
}

// A bag whose Clone fails or answers oddly; every other operation is refused.
class OddCloneBag final : public propbagtest::RefusingBag {
 public:
  HRESULT cloneResult = E_OUTOFMEMORY;
  IUnknown* cloneAnswer = nullptr;
  HRESULT Clone(ImxSysPropertyBag** copy) override {
    *copy = reinterpret_cast<ImxSysPropertyBag*>(cloneAnswer);
    return cloneResult;
  }
  HRESULT SetInt32(unsigned, int) override { return static_cast<HRESULT>(0x80040370u); }
  HRESULT SetString(unsigned, const wchar_t*) override { return E_OUTOFMEMORY; }
  HRESULT GetInt32(unsigned, int*) override { return static_cast<HRESULT>(0x80040371u); }

 private:
  bool answers(const GUID& iid) const override { return iid == IID_ImxSysPropertyBag4; }
};

TEST(PropertyBagHandleCopy, FailingCloneRaisesItsResultAtLine231) {
  OddCloneBag odd;
  {
    PropertyBagHandle handle(&odd);
    try {
      (void)handle.clone();
      FAIL() << "no exception";
    } catch (const HResultException& e) {
      EXPECT_EQ(e.code(), E_OUTOFMEMORY);
      EXPECT_EQ(std::string(e.details()), contextOf(231));
    }
  }
  EXPECT_EQ(odd.refs, 1);
}

TEST(PropertyBagHandleCopy, NullOrNonBagCopyRaisesUnexpectedAtLine39) {
  OddCloneBag odd;
  odd.cloneResult = S_OK;
  NotABag notABag;
  {
    PropertyBagHandle handle(&odd);
    try {
      (void)handle.clone();
      FAIL() << "no exception";
    } catch (const sysapicpp::UnexpectedException& e) {
      EXPECT_EQ(std::string(e.details()), contextOf(39));
    }
    odd.cloneAnswer = &notABag;
    notABag.refs = 2;  // the reference Clone hands over
    EXPECT_THROW((void)handle.clone(), sysapicpp::UnexpectedException);
    EXPECT_EQ(notABag.refs, 1);  // the copy's reference was given back
  }
  EXPECT_EQ(odd.refs, 1);
}

TEST(PropertyBagAccessorSetters, FailingSetterRaisesItsResultAtLine292) {
  OddCloneBag odd;
  {
    CompositePropertyBagAccessor3 acc{PropertyBagHandle(&odd)};
    try {
      acc.systemApi().setInt32(0x102A000, 1);
      FAIL() << "no exception";
    } catch (const HResultException& e) {
      EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80040370u));
      EXPECT_EQ(std::string(e.details()), contextOf(292));
    }
    try {
      acc.routing().setString(0x1600A000, "qo0");
      FAIL() << "no exception";
    } catch (const HResultException& e) {
      EXPECT_EQ(e.code(), E_OUTOFMEMORY);
    }
    // Getters pass the bag's result on without a context.
    try {
      (void)acc.getInt32(1);
      FAIL() << "no exception";
    } catch (const HResultException& e) {
      EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80040371u));
      EXPECT_EQ(e.details(), nullptr);
    }
  }
  EXPECT_EQ(odd.refs, 1);
}

TEST(PropertyBagAccessorSetters, CompositeWritesEveryTypeThroughOneHandle) {
  PropertyBagHandle master = PropertyBagHandle::createDynamic();
  const std::int32_t before = refsOf(master.get());
  {
    CompositePropertyBagAccessor3 acc(master);
    EXPECT_EQ(refsOf(master.get()), before + 1);  // three accessors, one shared handle
    EXPECT_EQ(acc.systemApi().get(), acc.vorlix().get());
    acc.systemApi().setBool(0x1054000, true);
    acc.systemApi().setInt32(0x102A000, 0x40000000);
    acc.vorlix().setUInt32(0x19012000, 0xFFFFFFFFu);
    acc.systemApi().setDouble(0x1016000, 1.5);
    acc.systemApi().setTimestamp(0x1015000, mxSysAttrTimestampUTC{0, 3786825600});
    acc.routing().setString(0x16003000, "/proc/driver/qo/qo0/x \xC3\xA9");
    acc.systemApi().setWideString(0x1004000, nullptr);
  }
  EXPECT_EQ(refsOf(master.get()), before);
  EXPECT_TRUE(master.getBool(0x1054000));
  EXPECT_EQ(master.getInt32(0x102A000), 0x40000000);
  EXPECT_EQ(master.getUInt32(0x19012000), 0xFFFFFFFFu);
  EXPECT_EQ(master.getDouble(0x1016000), 1.5);
  EXPECT_EQ(master.getTimestamp(0x1015000).seconds, 3786825600);
  EXPECT_EQ(master.getWideString(0x16003000), L"/proc/driver/qo/qo0/x \u00E9");
  EXPECT_EQ(master.getString(0x16003000), "/proc/driver/qo/qo0/x \xC3\xA9");
  EXPECT_EQ(master.getWideString(0x1004000), L"");
}

TEST(PropertyBagAccessorSetters, MalformedUtf8IsRefusedBeforeWriting) {
  PropertyBagHandle master = PropertyBagHandle::createDynamic();
  sysapicpp::SystemAPIPropertyBagAccessor acc(master);
  EXPECT_THROW(acc.setString(0x1006000, "bad \xC0\x80"), qo::dsc::exception::InvalidSequence);
  EXPECT_FALSE(master.hasTag(0x1006000));
}

TEST(PropertyBagIndexLimit, IndexUpTo4094IsAcceptedAbove4094Refused) {
  EXPECT_EQ(PropertyBagHandle::indexedTag(0x1065000, 0), 0x1065000u);
  EXPECT_EQ(PropertyBagHandle::indexedTag(0x1065000, 4094), 0x1065000u + 4094);
  try {
    (void)PropertyBagHandle::indexedTag(0x1065000, 4095);
    FAIL() << "no exception";
  } catch (const sysapicpp::FailException& e) {
    EXPECT_EQ(e.code(), E_FAIL);
    EXPECT_EQ(std::string(e.details()), contextOf(314));
  }
  EXPECT_THROW((void)PropertyBagHandle::indexedTag(0xFFFFFFFFu, 1), sysapicpp::FailException);
  EXPECT_THROW((void)PropertyBagHandle::indexedTag(0x1065000, 0xFFFFFFFFu),
               sysapicpp::FailException);
}

TEST(PropertyBagIndexLimit, RefusedIndexWritesNothing) {
  PropertyBagHandle master = PropertyBagHandle::createDynamic();
  sysapicpp::SystemAPIPropertyBagAccessor acc(master);
  for (std::uint32_t i = 0; i < 3; ++i)
    acc.setString(PropertyBagHandle::indexedTag(0x1062000, i), "Baseboard Fan");
  EXPECT_THROW(acc.setString(PropertyBagHandle::indexedTag(0x1062000, 5000), "x"),
               sysapicpp::FailException);
  ImxSysEnumPropertyTag* tags = nullptr;
  ASSERT_EQ(master.get()->GetTags(&tags), S_OK);
  unsigned items[8] = {};
  unsigned fetched = 0;
  EXPECT_EQ(tags->Next(8, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 3u);
  tags->Release();
}

}  // namespace
