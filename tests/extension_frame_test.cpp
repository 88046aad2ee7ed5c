#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/log.h"
#include "support/extension_fixture.h"

namespace corvane::testing {
namespace {

// Keeps the log in one folder for the whole process, whichever test writes first.
const auto* const kLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new ProcessLogEnvironment);

std::string readLog() { return logText(); }

class FrameTest : public ExtensionTest {};

TEST_F(FrameTest, ConstructionLogsOneLineAndContactsNothing) {
  FileProviderExtension work3(host::Domain{"work-3", ""});
  FileProviderExtension unnamed(host::Domain{"", ""});
  const std::string log = readLog();
  EXPECT_NE(log.find("Z extension started for domain work-3\n"), std::string::npos) << log;
  // An empty identifier leaves the blank after "domain".
  EXPECT_NE(log.find("Z extension started for domain \n"), std::string::npos) << log;
  EXPECT_TRUE(engine.requests().empty());
  EXPECT_FALSE(work3.cachedScope().has_value());
}

TEST_F(FrameTest, FirstOperationResolvesAndCachesTheScope) {
  Scope other = makeScope("other", 9);
  engine.onScopes({other, scope});  // the domain's scope in any position
  auto first = host.call([&](RecordingHost& h) { return ext().item(kRoot, {}, h.itemHandler()); });
  ASSERT_FALSE(first.error.has_value());
  EXPECT_EQ(engine.count("GET", "/v1/scopes"), 1u);
  ASSERT_TRUE(ext().cachedScope().has_value());
  EXPECT_EQ(ext().cachedScope()->id(), "local-1");

  auto second = host.call([&](RecordingHost& h) { return ext().item(kRoot, {}, h.itemHandler()); });
  EXPECT_FALSE(second.error.has_value());
  EXPECT_EQ(engine.count("GET", "/v1/scopes"), 1u);
}

TEST_F(FrameTest, FirstOfTwoMatchingScopesWins) {
  Scope a = makeScope("local", 1, true, true, "first-bucket");
  Scope b = makeScope("local", 1, false, false, "second-bucket");
  engine.onScopes({a, b});
  auto c = host.call([&](RecordingHost& h) { return ext().item(kRoot, {}, h.itemHandler()); });
  ASSERT_TRUE(c.item);
  EXPECT_EQ(c.item->filename(), "first-bucket");
  EXPECT_EQ(c.item->capabilities(), 47u);
}

TEST_F(FrameTest, ScopeIdsCompareUnderCanonicalEquivalence) {
  // The domain names the scope with a precomposed letter, the engine with a combining accent.
  Scope decomposed = makeScope("caf" "e\xCC\x81", 1);
  engine.onScopes({decomposed});
  FileProviderExtension cafe(host::Domain{"caf\xC3\xA9-1", ""});
  auto c = host.call([&](RecordingHost& h) { return cafe.item(kRoot, {}, h.itemHandler()); });
  EXPECT_FALSE(c.error.has_value());
}

TEST_F(FrameTest, EmptyScopeListGivesNoSuchItemAndAsksAgain) {
  engine.onScopes({});
  for (int i = 1; i <= 2; ++i) {
    auto c = host.call([&](RecordingHost& h) { return ext().item(kRoot, {}, h.itemHandler()); });
    expectNoSuchItem(c.error);
    EXPECT_FALSE(c.item);
    EXPECT_EQ(engine.count("GET", "/v1/scopes"), static_cast<std::size_t>(i));
  }
}

TEST_F(FrameTest, EngineDownThenUp) {
  env.removeDiscoveryFile();
  auto down = host.call([&](RecordingHost& h) { return ext().item(kRoot, {}, h.itemHandler()); });
  expectHostError(down.error, host::kFileProviderErrorDomain, host::codes::kServerUnreachable);
  EXPECT_FALSE(ext().cachedScope().has_value());

  engine.writeDiscovery(env);
  auto up = host.call([&](RecordingHost& h) { return ext().item(kRoot, {}, h.itemHandler()); });
  EXPECT_FALSE(up.error.has_value());
  EXPECT_TRUE(ext().cachedScope().has_value());
}

TEST_F(FrameTest, HandlerRunsOnceOnABackgroundThreadBeforeProgressCompletes) {
  onList("", {});
  const auto caller = std::this_thread::get_id();
  // Success and failure alike.
  auto ok = host.call([&](RecordingHost& h) { return ext().item(kRoot, {}, h.itemHandler()); });
  auto bad = host.call([&](RecordingHost& h) { return ext().item("missing", {}, h.itemHandler()); });
  for (const auto& c : {ok, bad}) {
    EXPECT_NE(c.thread, caller);
    EXPECT_EQ(c.progressDuringHandler, 0);
  }
  expectNoSuchItem(bad.error);
  // Exactly once each, even after a pause.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(host.count(), 2u);
}

TEST_F(FrameTest, ProgressIsReturnedBeforeTheEngineAnswers) {
  engine.on("GET", "/v1/scopes", Reply{200, R"({"scopes": []})", std::chrono::milliseconds(300)});
  auto progress = ext().item(kRoot, {}, host.itemHandler());
  EXPECT_EQ(progress->totalUnitCount(), 1);
  EXPECT_EQ(progress->completedUnitCount(), 0);
  host.waitForOne();
}

TEST_F(FrameTest, RequestSubmittedBeforeInvalidateStillCompletes) {
  engine.on("GET", "/v1/scopes",
            Reply{200, R"({"scopes": [)" + std::string(R"({"connection":"local","scope":1,"name":"n","bucket":"b","prefix":"","region":"r","versioned":false,"write":true,"delete":true})") + "]}",
                  std::chrono::milliseconds(200)});
  auto progress = ext().item(kRoot, {}, host.itemHandler());
  ext().invalidate();
  auto c = host.waitForOne();
  EXPECT_FALSE(c.error.has_value());
  ASSERT_TRUE(c.item);
  EXPECT_EQ(c.item->filename(), "b");
}

TEST_F(FrameTest, RunnerCompletesProgressWhenTheBodyThrows) {
  std::atomic<bool> ran{false};
  auto progress = FileProviderExtension::run([&] {
    ran = true;
    throw std::runtime_error("escaped");
  });
  for (int i = 0; i < 2000 && progress->completedUnitCount() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(ran);
  EXPECT_EQ(progress->completedUnitCount(), 1);
}

TEST_F(FrameTest, ConcurrentFirstOperationsAllSucceed) {
  onList("", {makeEntry("a.txt")});
  constexpr int kRequests = 32;
  for (int i = 0; i < kRequests; ++i) ext().item("a.txt", {}, host.itemHandler());
  auto all = host.waitFor(kRequests);
  for (const auto& c : all) EXPECT_FALSE(c.error.has_value());
  ASSERT_TRUE(ext().cachedScope().has_value());
  // Later operations use the cached scope.
  const auto before = engine.count("GET", "/v1/scopes");
  host.call([&](RecordingHost& h) { return ext().item("a.txt", {}, h.itemHandler()); });
  EXPECT_EQ(engine.count("GET", "/v1/scopes"), before);
}

}  // namespace
}  // namespace corvane::testing
