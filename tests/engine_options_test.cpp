// How the engine turns its options and engine.conf's scope sections into
// scopes: which S3 settings each bucket scope gets (its own, else the
// default), and the usage errors for settings that name no scope or a folder.
#include "engine_options.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace corvane::syncengine {
namespace {

namespace fs = std::filesystem;

class EngineOptionsTest : public ::testing::Test {
 protected:
  EngineOptionsTest() { fs::create_directories(env_.root() / "docs"); }
  std::string folder() const { return (env_.root() / "docs").string(); }
  std::vector<ScopeSetup> setUp(const EngineOptions& options) {
    return setUpScopes(options, env_.applicationSupport());
  }
  testing::TestEnvironment env_;
};

TEST_F(EngineOptionsTest, EachBucketScopeHasItsOwnSettingsElseTheDefaults) {
  EngineOptions options;
  options.scopes = {"a=s3://bucket-a", "docs=" + folder(), "b=s3://bucket-b/p"};
  options.sections = {
      {"b", {{"region", "from-section"}, {"profile", "work"}, {"addressing", "virtual"}}},
      {"c", {{"url", "s3://bucket-c"}, {"endpoint", "http://other:9000"}, {"anonymous", "true"}}},
      {"a", {{"read-only", "yes"}}},
  };
  options.s3Region = {"eu-west-1", "b=from-command-line"};
  options.s3Endpoint = {"http://store:7480/?x=a=b"};  // a "=" after "://" is no scope's name
  options.s3Profile = {"c=public"};
  options.s3Addressing = {"path", "c=virtual"};
  const std::vector<ScopeSetup> setups = setUp(options);
  ASSERT_EQ(setups.size(), 4u);
  std::vector<std::string> ids;
  for (const ScopeSetup& s : setups) ids.push_back(s.record.id());
  EXPECT_EQ(ids, (std::vector<std::string>{"s3-1", "local-1", "s3-2", "s3-3"}));

  const s3::S3Options& a = setups[0].s3;
  EXPECT_EQ(a.region, "eu-west-1");
  EXPECT_EQ(a.endpoint, "http://store:7480/?x=a=b");
  EXPECT_FALSE(a.profile);
  EXPECT_EQ(a.addressing, "path") << "the default";
  EXPECT_FALSE(setups[0].record.write) << "read-only in its section";

  const s3::S3Options& b = setups[2].s3;
  EXPECT_EQ(b.region, "from-command-line") << "the command line's beats the section's";
  EXPECT_EQ(b.profile, "work");
  EXPECT_EQ(b.addressing, "virtual") << "the section's beats the default";
  EXPECT_EQ(setups[2].record.prefix, "p");
  EXPECT_TRUE(setups[2].record.write);

  const ScopeSetup& c = setups[3];
  EXPECT_EQ(c.record.name, "c");
  EXPECT_EQ(c.record.bucket, "bucket-c");
  EXPECT_EQ(c.s3.endpoint, "http://other:9000") << "the section's beats the default";
  EXPECT_EQ(c.s3.profile, "public");
  EXPECT_EQ(c.s3.addressing, "virtual");
  EXPECT_TRUE(c.s3.anonymous);
  EXPECT_FALSE(c.record.write) << "anonymous scopes are read-only";
  EXPECT_FALSE(c.record.delete_);
}

TEST_F(EngineOptionsTest, SettingsThatFitNoScopeAreUsageErrors) {
  struct Case {
    const char* name;
    EngineOptions options;
    const char* says;
  };
  auto with = [&](auto change) {
    EngineOptions o;
    o.scopes = {"a=s3://bucket-a", "docs=" + folder()};
    change(o);
    return o;
  };
  const Case cases[] = {
      {"a region for no scope", with([](auto& o) { o.s3Region = {"x=eu-west-1"}; }),
       "--s3-region x=eu-west-1: there is no scope x; write one of a, docs"},
      {"two defaults", with([](auto& o) {
         o.s3Region = {"eu-west-1", "eu-west-2"};
       }),
       "a default is given twice"},
      {"one scope twice", with([](auto& o) {
         o.s3Profile = {"a=p", "a=q"};
       }),
       "the scope a is given twice"},
      {"a setting for a folder", with([](auto& o) { o.s3Endpoint = {"docs=http://s"}; }),
       "is a folder"},
      {"a section's setting for a folder", with([](auto& o) {
         o.sections = {{"docs", {{"region", "r"}}}};
       }),
       "is a folder"},
      {"an anonymous folder", with([](auto& o) { o.s3Anonymous = {"docs"}; }), "is a folder"},
      {"anonymous for no scope", with([](auto& o) { o.s3Anonymous = {"z"}; }),
       "--s3-anonymous z: there is no scope"},
      {"a section without url for no scope", with([](auto& o) {
         o.sections = {{"z", {{"region", "r"}}}};
       }),
       "[scope.z] has no url and names no scope"},
      {"a section repeating a scope of the command line", with([](auto& o) {
         o.sections = {{"a", {{"url", "s3://other"}}}};
       }),
       "the scope name a is given twice"},
      {"a flag that is not one", with([](auto& o) {
         o.sections = {{"a", {{"read-only", "maybe"}}}};
       }),
       "write true or false"},
      {"an addressing style that is none", with([](auto& o) { o.s3Addressing = {"a=host"}; }),
       "--s3-addressing host: write auto, path or virtual"},
      {"a section's addressing style that is none", with([](auto& o) {
         o.sections = {{"a", {{"addressing", "Path"}}}};
       }),
       "[scope.a] addressing = Path: write auto, path or virtual"},
      {"addressing for a folder", with([](auto& o) { o.s3Addressing = {"docs=path"}; }),
       "is a folder"},
      {"a section's url without a bucket", with([](auto& o) {
         o.sections = {{"c", {{"url", "s3://"}}}};
       }),
       "name a bucket"},
  };
  for (const Case& c : cases) {
    try {
      setUp(c.options);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos)
          << c.name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace corvane::syncengine
