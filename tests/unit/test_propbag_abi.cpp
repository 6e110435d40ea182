// The bag, enumerator and image objects as a host sees them: every operation reached through the
// host's own function tables (qovorlixatomicsae/sysapi_host.h), so each table slot must hold the
// operation the host expects there.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "qovorlixatomicsae/sysapi_host.h"
#include "sysapicpp/com/CqoBStr.h"
#include "sysapicpp/enum/CmxSysEnumItemNamesSTL.h"
#include "sysapicpp/propbag/CmxDynamicPropertyBag.h"
#include "sysapicpp/propbag/CmxSysBinaryImage.h"

namespace {

using hostabi::HRESULT;

constexpr HRESULT kNotPresent = static_cast<HRESULT>(0x80040371u);
constexpr HRESULT kWrongType = static_cast<HRESULT>(0x80040370u);

static_assert(sizeof(hostabi::Guid) == sizeof(GUID));
static_assert(sizeof(hostabi::TimestampUTC) == sizeof(mxSysAttrTimestampUTC));

hostabi::ImxSysPropertyBag* hostBag() {
  ImxSysPropertyBag4* bag = nullptr;
  EXPECT_EQ(CmxDynamicPropertyBag::create(&bag), S_OK);
  void* p = nullptr;
  EXPECT_EQ(hostabi::queryInterface(bag, hostabi::kIID_ImxSysPropertyBag, &p), 0);
  hostabi::release(bag);
  return static_cast<hostabi::ImxSysPropertyBag*>(p);
}

TEST(PropertyBagHostTable, EverySlotDoesItsOwnOperation) {
  hostabi::ImxSysPropertyBag* b = hostBag();
  const auto* t = b->vtbl;
  const hostabi::Guid g = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const hostabi::TimestampUTC ts{5, 3786825600};

  EXPECT_EQ(t->SetBool(b, 1, 3), 0);
  EXPECT_EQ(t->SetInt32(b, 2, -2), 0);
  EXPECT_EQ(t->SetUInt32(b, 3, 3), 0);
  EXPECT_EQ(t->SetDouble(b, 4, 4.5), 0);
  EXPECT_EQ(t->SetGuid(b, 5, g), 0);
  EXPECT_EQ(t->SetString(b, 6, L"six"), 0);
  EXPECT_EQ(t->SetTimestamp(b, 7, &ts), 0);
  EXPECT_EQ(t->Reserved12(b), hostabi::kE_NOTIMPL);

  for (unsigned tag = 1; tag <= 7; ++tag) {
    int type = 0;
    EXPECT_EQ(t->GetType(b, tag, &type), 0);
    EXPECT_EQ(type, static_cast<int>(tag));
  }
  EXPECT_EQ(t->HasTag(b, 7), 0);
  EXPECT_EQ(t->HasTag(b, 8), 1);

  int i = 0;
  unsigned u = 0;
  double d = 0;
  hostabi::Guid gg{};
  wchar_t* s = nullptr;
  hostabi::TimestampUTC tt{};
  int parts[6] = {};
  EXPECT_EQ(t->GetBool(b, 1, &i), 0);
  EXPECT_EQ(i, 1);
  EXPECT_EQ(t->GetInt32(b, 2, &i), 0);
  EXPECT_EQ(i, -2);
  EXPECT_EQ(t->GetUInt32(b, 3, &u), 0);
  EXPECT_EQ(u, 3u);
  EXPECT_EQ(t->GetDouble(b, 4, &d), 0);
  EXPECT_EQ(d, 4.5);
  EXPECT_EQ(t->GetGuid(b, 5, &gg), 0);
  EXPECT_EQ(std::memcmp(&gg, &g, sizeof g), 0);
  EXPECT_EQ(t->GetString(b, 6, &s), 0);
  EXPECT_STREQ(s, L"six");
  CqoBStr::free(s);
  EXPECT_EQ(t->GetTimestamp(b, 7, &tt), 0);
  EXPECT_EQ(tt.fraction, 5u);
  EXPECT_EQ(tt.seconds, 3786825600);
  EXPECT_EQ(t->GetTimestampParts(b, 7, parts), 0);
  EXPECT_GE(parts[0], 2023);
  EXPECT_EQ(t->GetInt32(b, 1, &i), kWrongType);
  EXPECT_EQ(t->GetBool(b, 99, &i), kNotPresent);

  // Changed tags.
  void* e = nullptr;
  EXPECT_EQ(t->GetChangedTags(b, &e), 0);
  ASSERT_NE(e, nullptr);
  auto* tags = static_cast<hostabi::ImxSysEnumPropertyTag*>(e);
  unsigned list[8] = {};
  unsigned fetched = 0;
  EXPECT_EQ(tags->vtbl->Next(tags, 8, list, &fetched), 1);
  EXPECT_EQ(fetched, 7u);
  EXPECT_EQ(tags->vtbl->Skip(tags, 1), 1);
  EXPECT_EQ(tags->vtbl->Reset(tags), 0);
  hostabi::ImxSysEnumPropertyTag* tags2 = nullptr;
  EXPECT_EQ(tags->vtbl->Clone(tags, &tags2), 0);
  EXPECT_EQ(hostabi::release(tags), 0u);
  EXPECT_EQ(tags2->vtbl->Next(tags2, 1, list, nullptr), 0);
  EXPECT_EQ(list[0], 1u);
  EXPECT_EQ(hostabi::release(tags2), 0u);

  int anyLeft = -1;
  EXPECT_EQ(t->ClearChangedTag(b, 1, &anyLeft), 0);
  EXPECT_EQ(anyLeft, 1);
  EXPECT_EQ(t->ClearChanged(b), 0);
  EXPECT_EQ(t->ClearChanged(b), 1);
  EXPECT_EQ(t->MarkChanged(b, 2), 0);
  EXPECT_EQ(t->MarkChanged(b, 99), kNotPresent);

  // hold / release.
  EXPECT_EQ(t->release(b), static_cast<HRESULT>(0x80004005u));
  EXPECT_EQ(t->hold(b), 0);
  EXPECT_EQ(t->release(b), 0);

  // Tags, Clone, removal.
  EXPECT_EQ(t->GetTags(b, &e), 0);
  EXPECT_EQ(hostabi::release(e), 0u);
  hostabi::ImxSysPropertyBag* copy = nullptr;
  EXPECT_EQ(t->Clone(b, &copy), 0);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->vtbl->ClearChanged(copy), 1);
  EXPECT_EQ(copy->vtbl->HasTag(copy, 6), 0);
  EXPECT_EQ(hostabi::release(copy), 0u);
  EXPECT_EQ(t->RemoveTag(b, 6), 0);
  EXPECT_EQ(t->RemoveTag(b, 6), kNotPresent);
  EXPECT_EQ(t->RemoveAll(b), 0);
  EXPECT_EQ(t->GetTags(b, &e), 1);
  EXPECT_EQ(hostabi::release(b), 0u);
}

TEST(PropertyBagHostTable, FourIdentitiesGiveOnePointer) {
  hostabi::ImxSysPropertyBag* b = hostBag();
  for (const hostabi::Guid* id :
       {&hostabi::kIID_ImxSysPropertyBag2, &hostabi::kIID_ImxSysPropertyBag3,
        &hostabi::kIID_ImxSysPropertyBag4, &hostabi::kIID_IUnknown}) {
    void* p = nullptr;
    ASSERT_EQ(hostabi::queryInterface(b, *id, &p), 0);
    EXPECT_EQ(p, static_cast<void*>(b));
    hostabi::release(p);
  }
  EXPECT_EQ(hostabi::release(b), 0u);
}

TEST(EnumeratorHostTable, ItemNamesThroughTheHostTable) {
  ImxSysEnumStringList* e = nullptr;
  ASSERT_EQ(CmxSysEnumItemNamesSTL::create({L"KEL0", L"KEL1", L"KEL2"}, &e), S_OK);
  void* p = nullptr;
  ASSERT_EQ(hostabi::queryInterface(e, hostabi::kIID_ImxSysEnumStringList, &p), 0);
  hostabi::release(e);
  auto* names = static_cast<hostabi::ImxSysEnumStringList*>(p);
  wchar_t* items[2] = {};
  unsigned fetched = 0;
  EXPECT_EQ(names->vtbl->Skip(names, 1), 0);
  EXPECT_EQ(names->vtbl->Next(names, 2, items, &fetched), 0);
  ASSERT_EQ(fetched, 2u);
  EXPECT_STREQ(items[0], L"KEL1");
  EXPECT_STREQ(items[1], L"KEL2");
  CqoBStr::free(items[0]);
  CqoBStr::free(items[1]);
  EXPECT_EQ(names->vtbl->Reset(names), 0);
  hostabi::ImxSysEnumStringList* copy = nullptr;
  EXPECT_EQ(names->vtbl->Clone(names, &copy), 0);
  EXPECT_EQ(hostabi::release(names), 0u);
  EXPECT_EQ(copy->vtbl->Next(copy, 1, items, nullptr), 0);
  EXPECT_STREQ(items[0], L"KEL0");
  CqoBStr::free(items[0]);
  EXPECT_EQ(hostabi::release(copy), 0u);
}

TEST(BinaryImageHostTable, SizeDataNameThroughTheHostTable) {
  char path[] = "/tmp/qo_abi_image_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "FW", 2), 2);
  close(fd);
  ImxSysBinaryImage2* image = nullptr;
  ASSERT_EQ(CmxSysBinaryImage::create(path, L"fw",
                                      CmxSysBinaryImage::tFileDisposition::kDeleteAtEnd, &image),
            S_OK);
  auto* host = reinterpret_cast<hostabi::ImxSysBinaryImage*>(image);
  unsigned size = 0;
  void* data = nullptr;
  wchar_t* name = nullptr;
  EXPECT_EQ(host->vtbl->GetSize(host, &size), 0);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(host->vtbl->GetData(host, &data), 0);
  EXPECT_EQ(std::memcmp(data, "FW", 2), 0);
  EXPECT_EQ(host->vtbl->GetName(host, &name), 0);
  EXPECT_STREQ(name, L"fw");
  CqoBStr::free(name);
  EXPECT_EQ(hostabi::release(host), 0u);
  EXPECT_NE(access(path, F_OK), 0);
}

}  // namespace
