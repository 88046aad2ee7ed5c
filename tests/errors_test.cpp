#include <gtest/gtest.h>

#include <filesystem>

#include "diagnostics/errors.h"
#include "engine/decoding.h"
#include "engine/engine_error.h"

namespace corvane {
namespace {

using Info = std::map<std::string, std::string>;

template <typename E>
host::Error mapOf(const E& e) {
  return Errors::map(std::make_exception_ptr(e));
}

struct MappingCase {
  const char* name;
  EngineError error;
  const char* domain;
  std::int64_t code;
  Info userInfo;
};

TEST(ErrorMapping, EveryEngineErrorCaseMapsByTheTable) {
  const std::vector<MappingCase> cases = {
      {"forbidden", EngineError::forbidden("read-only bucket"), "NSCocoaErrorDomain", 513,
       {{"NSLocalizedDescription", "read-only bucket"}}},
      {"server 500", EngineError::server(500, "disk full"), "NSFileProviderErrorDomain", -1004,
       {{"NSLocalizedDescription", "disk full"}}},
      {"server 502", EngineError::server(502, "disk full"), "NSFileProviderErrorDomain", -1004,
       {{"NSLocalizedDescription", "disk full"}}},
      {"server empty message", EngineError::server(500, ""), "NSFileProviderErrorDomain", -1004,
       {{"NSLocalizedDescription", ""}}},
      {"notRunning", EngineError::notRunning(), "NSFileProviderErrorDomain", -1004, {}},
      {"unauthenticated", EngineError::unauthenticated(), "NSFileProviderErrorDomain", -1000, {}},
      {"notFound", EngineError::notFound(), "NSFileProviderErrorDomain", -1005, {}},
      {"conflict", EngineError::conflict(), "NSFileProviderErrorDomain", -1001, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host::Error e = mapOf(c.error);
    EXPECT_EQ(e.domain, c.domain);
    EXPECT_EQ(e.code, c.code);
    EXPECT_EQ(e.userInfo, c.userInfo);
  }
  // The status is dropped: 500 and 502 with one message are the same host error.
  EXPECT_EQ(mapOf(EngineError::server(500, "disk full")),
            mapOf(EngineError::server(502, "disk full")));
}

TEST(ErrorMapping, HostErrorsPassThroughUnchanged) {
  host::Error original("NSFileProviderErrorDomain", -1002, {{"NSLocalizedDescription", "x"}});
  EXPECT_EQ(mapOf(original), original);
  host::Error other("SomeDomain", 7, {{"k", "v"}});
  EXPECT_EQ(mapOf(other), other);
}

TEST(ErrorMapping, FileErrorsKeepTheirErrno) {
  std::filesystem::filesystem_error e("cannot create folder", "/nowhere/tmp",
                                      std::error_code(EACCES, std::generic_category()));
  host::Error h = mapOf(e);
  EXPECT_EQ(h.domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(h.code, EACCES);
  EXPECT_NE(h.localizedDescription().find("cannot create folder"), std::string::npos);
}

TEST(ErrorMapping, DecodingErrorsTakeTheCoderForm) {
  DecodingError e(DecodingError::Kind::keyNotFound, {"entries"}, "No value for key \"entries\".");
  host::Error h = mapOf(e);
  EXPECT_EQ(h.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(h.code, 4864);
  EXPECT_EQ(h.userInfo.at("NSDebugDescription"), "No value for key \"entries\".");
}

TEST(ErrorMapping, UnmappedEngineErrorsUseTheCaseIndex) {
  const std::vector<std::pair<EngineError, std::int64_t>> cases = {
      {EngineError::forbidden("m"), 0}, {EngineError::server(500, "m"), 1},
      {EngineError::notRunning(), 2},   {EngineError::unauthenticated(), 3},
      {EngineError::notFound(), 4},     {EngineError::conflict(), 5}};
  for (const auto& [error, code] : cases) {
    host::Error h = Errors::bridged(std::make_exception_ptr(error));
    EXPECT_EQ(h.domain, "CorvaneSyncFileProvider.EngineError");
    EXPECT_EQ(h.code, code);
    EXPECT_TRUE(h.userInfo.empty());
  }
}

TEST(EngineErrorText, DefaultTextualForm) {
  EXPECT_STREQ(EngineError::notRunning().what(), "notRunning");
  EXPECT_STREQ(EngineError::notFound().what(), "notFound");
  EXPECT_STREQ(EngineError::forbidden("read-only").what(), "forbidden(\"read-only\")");
  EXPECT_STREQ(EngineError::server(500, "disk full").what(), "server(500, \"disk full\")");
}

}  // namespace
}  // namespace corvane
