// Dynamic loading helper: loading, symbol lookup and the JSON status it reports on failure.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "qoapal/qodynlib/qodynlib.h"
#include "qoapal/status/JsonStatus.h"
#include "tests/common/PlatformNames.h"

namespace {

namespace dyn = apal::qodynlib;
using apal::tOwnedJsonStatus;

nlohmann::json details(const tOwnedJsonStatus& status) {
  EXPECT_NE(status->text(), nullptr);
  return nlohmann::json::parse(status->text() ? status->text() : "null");
}

TEST(DynlibLoad, LoadsALibraryAndFindsItsSymbol) {
  tOwnedJsonStatus status;
  void* library = dyn::load(QO_TEST_RELOCATIONS_MOVES, &status.get());
  ASSERT_NE(library, nullptr);
  void* symbol = dyn::getSymbol(library, "get_relocated_dir", &status.get());
  EXPECT_NE(symbol, nullptr);
  EXPECT_EQ(status->code, 0);
  dyn::unload(library);
}

TEST(DynlibLoad, AMissingLibraryIsAnInvalidParameterWithItsPathAndTheSystemText) {
  tOwnedJsonStatus status;
  EXPECT_EQ(dyn::load("libqo-kestrel-absent.so.7", &status.get()), nullptr);
  ASSERT_EQ(status->code, -52005);
  const auto j = details(status);
  EXPECT_EQ(j["error_constant"], "qoapalerr_invalidParameter");
  EXPECT_EQ(j["file"], "qodynlib/dynload");
  EXPECT_EQ(j["line"], dyn::kLineLoad);
  EXPECT_EQ(j["component"], "qovorlixatomicsae");
  EXPECT_EQ(j["qodynlib_debug"], (nlohmann::json{{"debug", "failed to qodynlib_load library"},
                                                 {"path", "libqo-kestrel-absent.so.7"}}));
  EXPECT_EQ(j["internal_error"]["api"], "dlerror");
  const std::string text = j["internal_error"]["string"];
  EXPECT_NE(text.find("libqo-kestrel-absent.so.7"), std::string::npos) << text;
}

TEST(DynlibLoad, NullOrEmptyPathIsRefusedInsteadOfNamingTheProgram) {
  for (const char* path : {static_cast<const char*>(nullptr), ""}) {
    tOwnedJsonStatus status;
    EXPECT_EQ(dyn::load(path, &status.get()), nullptr);
    EXPECT_EQ(status->code, -52005);
    const auto j = details(status);
    EXPECT_EQ(j["qodynlib_debug"]["path"], "");
    EXPECT_EQ(j["internal_error"]["string"], "");
  }
}

TEST(DynlibLoad, APathNeedingEscapesStaysValidJson) {
  tOwnedJsonStatus status;
  EXPECT_EQ(dyn::load("/nowhere/\"quoted\"\\lib\n.so", &status.get()), nullptr);
  const auto j = details(status);
  EXPECT_EQ(j["qodynlib_debug"]["path"], "/nowhere/\"quoted\"\\lib\n.so");
}

TEST(DynlibLoad, DoesNothingWhenTheStatusHoldsAnError) {
  tOwnedJsonStatus status(-7);
  EXPECT_EQ(dyn::load(QO_TEST_RELOCATIONS_MOVES, &status.get()), nullptr);
  EXPECT_EQ(status->code, -7);
  EXPECT_EQ(status->text(), nullptr);
}

TEST(DynlibLoad, AWarningIsReplacedByTheFailure) {
  tOwnedJsonStatus status(5);
  EXPECT_EQ(dyn::load("libqo-kestrel-absent.so.7", &status.get()), nullptr);
  EXPECT_EQ(status->code, -52005);
}

TEST(DynlibSymbol, AMissingSymbolNamesTheSymbol) {
  tOwnedJsonStatus status;
  void* library = dyn::load(QO_TEST_RELOCATIONS_NOSYMBOL, &status.get());
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(dyn::getSymbol(library, "get_relocated_dir", &status.get()), nullptr);
  ASSERT_EQ(status->code, -52005);
  const auto j = details(status);
  EXPECT_EQ(j["line"], dyn::kLineSymbol);
  EXPECT_EQ(j["qodynlib_debug"], (nlohmann::json{{"debug", "failed to get symbol"},
                                                 {"qodynlib_symbol", "get_relocated_dir"}}));
  const std::string text = j["internal_error"]["string"];
  EXPECT_NE(text.find("get_relocated_dir"), std::string::npos) << text;
  dyn::unload(library);
}

TEST(DynlibSymbol, ANullLibraryIsRefusedInsteadOfSearchingEverything) {
  tOwnedJsonStatus status;
  // "malloc" exists in the process: a search of every loaded object would find it.
  EXPECT_EQ(dyn::getSymbol(nullptr, "malloc", &status.get()), nullptr);
  EXPECT_EQ(status->code, -52005);
  EXPECT_EQ(details(status)["qodynlib_debug"]["qodynlib_symbol"], "malloc");
}

TEST(DynlibSymbol, ANullSymbolNameIsRefused) {
  tOwnedJsonStatus status;
  void* library = dyn::load(QO_TEST_RELOCATIONS_MOVES, &status.get());
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(dyn::getSymbol(library, nullptr, &status.get()), nullptr);
  EXPECT_EQ(status->code, -52005);
  dyn::unload(library);
}

}  // namespace
