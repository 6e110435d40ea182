// The three exception families, the status guard and the classification at the host boundary.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "qo/dsc/Utf8.h"
#include "qo/dsc/exception.h"
#include "qo/err/Exception.h"
#include "sysapicpp/ExceptionTranslation.h"
#include "sysapicpp/HResultException.h"

using namespace sysapicpp;
using nQOVORLIXATOMICSAE_23_3::nQOAPAL000::tStatus;

namespace {

constexpr char kSourceName[] = "sysapicpp/cache/ItemCache";

template <typename F>
HRESULT classify(F&& raise) {
  try {
    raise();
  } catch (...) {
    return classifyCurrentException();
  }
  return S_OK;
}

template <typename F>
HRESULT translateDevice(F&& raise) {
  try {
    raise();
  } catch (...) {
    return translateDeviceException();
  }
  return S_OK;
}

}  // namespace

TEST(HResultExceptionContext, DetailsNameFileLineAndComponentInOrder) {
  try {
    SYSAPICPP_RAISE(ItemNotExistException);
  } catch (const HResultException& e) {
    EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80040375u));
    std::string expected =
        "{\"file\":\"sysapicpp/cache/ItemCache\",\"line\":" + std::to_string(__LINE__ - 4) +
        ",\"component\":\"qovorlixatomicsae\"}";
    ASSERT_NE(e.details(), nullptr);
    EXPECT_EQ(std::string(e.details()), expected);
    EXPECT_STREQ(e.what(), "");
    return;
  }
  FAIL() << "not raised";
}

TEST(HResultExceptionContext, ComponentLeftOutWhenNotGivenAndFileEscaped) {
  UnexpectedException e(tRaiseContext{"a\"b\\c", -7, nullptr});
  EXPECT_EQ(e.code(), E_UNEXPECTED);
  EXPECT_STREQ(e.details(), "{\"file\":\"a\\\"b\\\\c\",\"line\":-7}");
}

TEST(HResultExceptionContext, PassedOnHostResultHasNoDetails) {
  HResultException e(static_cast<HRESULT>(0x80070005u));
  EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80070005u));
  EXPECT_EQ(e.details(), nullptr);
  e.setMessage("host said no");
  EXPECT_STREQ(e.what(), "host said no");
}

TEST(HResultExceptionContext, CopiesOwnTheirDetails) {
  auto* original =
      new FailException(tRaiseContext{"source/tNextVorlixItem", 12, "qovorlixatomicsae"});
  FailException copy(*original);
  std::string before = original->details();
  delete original;
  EXPECT_EQ(std::string(copy.details()), before);
  EXPECT_EQ(copy.code(), E_FAIL);
}

TEST(HResultExceptionCodes, EachSubclassCarriesItsCode) {
  const tRaiseContext c{"f", 1, nullptr};
  EXPECT_EQ(NotImplException(c).code(), static_cast<HRESULT>(0x80004001u));
  EXPECT_EQ(FailException(c).code(), static_cast<HRESULT>(0x80004005u));
  EXPECT_EQ(UnexpectedException(c).code(), static_cast<HRESULT>(0x8000FFFFu));
  EXPECT_EQ(InvalidArgException(c).code(), static_cast<HRESULT>(0x80070057u));
  EXPECT_EQ(ItemNotExistException(c).code(), static_cast<HRESULT>(0x80040375u));
  EXPECT_EQ(InvalidModeException(c).code(), static_cast<HRESULT>(0x80040376u));
  EXPECT_EQ(RefreshPendingException(c).code(), static_cast<HRESULT>(0x80040377u));
  EXPECT_EQ(FirmwareWrongStateException(c).code(), static_cast<HRESULT>(0x80040385u));
  EXPECT_EQ(FirmwareBadImageException(c).code(), static_cast<HRESULT>(0x80040387u));
}

TEST(DeviceException, WhatIsDetailsOrEmpty) {
  qoerr::Exception bare{qoerr::tOwnedJsonStatus(-52006)};
  EXPECT_EQ(bare.code(), -52006);
  EXPECT_STREQ(bare.what(), "");

  qoerr::tJsonStatusOrigin origin{"routingAdaptorInterface/routingAdaptorExports", 68,
                                  "qovorlixatomicsae", "nQOAPALS100::tStatus::kMemoryFull"};
  auto e = qoerr::Exception::withError(-52000, origin);
  EXPECT_EQ(e.code(), -52000);
  EXPECT_STREQ(e.what(),
               "{\"error_constant\":\"nQOAPALS100::tStatus::kMemoryFull\","
               "\"file\":\"routingAdaptorInterface/routingAdaptorExports\",\"line\":68,"
               "\"component\":\"qovorlixatomicsae\"}");
}

TEST(StatusGuard, ThrowsFailedStatusAtEndOfScope) {
  try {
    tStatus status;
    qoerr::StatusGuard guard(status);
    status.setCode(-52024, "qovorlixatomicsae",
                   "qoapal/protons/driver/linuxU/tDeviceInterfaceProxy", 210);
  } catch (const qoerr::Exception& e) {
    EXPECT_EQ(e.code(), -52024);
    // The platform record keeps only the first 9 characters of the component name.
    EXPECT_STREQ(e.what(),
                 "{\"file\":\"qoapal/protons/driver/linuxU/tDeviceInterfaceProxy\",\"line\":210,"
                 "\"component\":\"qovorlixa\"}");
    return;
  }
  FAIL() << "guard did not throw";
}

TEST(StatusGuard, SuccessAndWarningsThrowNothing) {
  EXPECT_NO_THROW({
    tStatus status;
    qoerr::StatusGuard guard(status);
  });
  EXPECT_NO_THROW({
    tStatus status;
    qoerr::StatusGuard guard(status);
    status.setCode(5, "c", "f", 1);
  });
}

TEST(StatusGuard, DoesNotReplaceAnExceptionAlreadyPropagating) {
  try {
    tStatus status;
    qoerr::StatusGuard guard(status);
    status.setCode(-52008, "c", "f", 1);
    throw InvalidArgException(tRaiseContext{"f", 2, nullptr});
  } catch (const InvalidArgException&) {
    SUCCEED();
    return;
  } catch (...) {
    FAIL() << "guard replaced the propagating exception";
  }
  FAIL() << "nothing thrown";
}

TEST(StatusGuard, ShortStatusCarriesOnlyTheCode) {
  tStatus status;
  status.structSize = 8;
  status.setCode(-52005, "c", "file", 3);
  try {
    qoerr::throwIfFailed(status);
  } catch (const qoerr::Exception& e) {
    EXPECT_EQ(e.code(), -52005);
    EXPECT_TRUE(e.details() == nullptr || std::strcmp(e.details(), "{}") == 0);
    return;
  }
  FAIL() << "not thrown";
}

TEST(DeviceTranslation, StatusNumbersMapToTheirResults) {
  struct Row {
    std::int32_t status;
    std::uint32_t hr;
  };
  const Row rows[] = {{0, 0},
                      {-52000, 0x8007000E},
                      {-52002, 0x80004001},
                      {-52006, 0x80040375},
                      {-52009, 0x80040383},
                      {-52010, 0x80040383},
                      {-52020, 0x80040383},
                      {-52027, 0x80040382},
                      {-52008, 0x80004005},
                      {-1, 0x80004005},
                      {7, 0x80004005}};
  for (const Row& r : rows) {
    EXPECT_EQ(hresultFromStatusNumber(r.status), static_cast<HRESULT>(r.hr)) << r.status;
    EXPECT_EQ(translateDevice([&] { throw qoerr::Exception(qoerr::tOwnedJsonStatus(r.status)); }),
              static_cast<HRESULT>(r.hr))
        << r.status;
  }
}

TEST(DeviceTranslation, OtherExceptionsPropagateUnchanged) {
  EXPECT_THROW(translateDevice([] {
                 throw ItemNotExistException(tRaiseContext{"f", 1, nullptr});
               }),
               ItemNotExistException);
  EXPECT_THROW(translateDevice([] { throw 42; }), int);
}

TEST(BoundaryClassification, FirstMatchWins) {
  EXPECT_EQ(classify([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(classify([] {
              throw ItemNotExistException(tRaiseContext{"f", 1, nullptr});
            }),
            static_cast<HRESULT>(0x80040375u));
  EXPECT_EQ(classify([] { throw HResultException(static_cast<HRESULT>(0x80070005u)); }),
            static_cast<HRESULT>(0x80070005u));
  // A device exception reaching the boundary untranslated is a general failure.
  EXPECT_EQ(classify([] { throw qoerr::Exception(qoerr::tOwnedJsonStatus(-52002)); }), E_FAIL);
  EXPECT_EQ(classify([] { throw std::runtime_error("x"); }), E_FAIL);
  EXPECT_EQ(classify([] { throw static_cast<int>(0x80040376u); }),
            static_cast<HRESULT>(0x80040376u));
  EXPECT_EQ(classify([] { throw 2.5; }), E_FAIL);
}

TEST(BoundaryClassification, UtilityErrorsBecomeGeneralFailureNotTheirOwnCode) {
  // Malformed UTF-8 from a real conversion: the utility code 0x8ABC7030 never reaches a host.
  HRESULT hr = classify([] { qo::dsc::utf8ToWide(std::string_view("\xC0\x80", 2)); });
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(classify([] { throw qo::dsc::exception::OutOfRange(67, "qo/dsc/NumericCast"); }),
            E_FAIL);
  // Nor does the device translation claim them: they propagate to the boundary.
  EXPECT_THROW(translateDevice([] { throw qo::dsc::exception::InvalidSequence(1, "f"); }),
               qo::dsc::exception::InvalidSequence);
}

TEST(BoundaryClassification, NothingInFlightIsUnexpectedNotATermination) {
  EXPECT_EQ(classifyCurrentException(), E_UNEXPECTED);
  EXPECT_EQ(translateDeviceException(), E_UNEXPECTED);
}
