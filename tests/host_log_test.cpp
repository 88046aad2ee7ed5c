// The tools' own log (apps/host_log): levels, the line format on standard
// error and in the file, the file's place and its rotation by size; and the
// engine's lines as a user sees them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host_log.h"
#include "support/engine_process.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "2026-12-11T00:46:41.123Z corvane-engine[4242] info: message"
const std::regex& lineFormat() {
  static const std::regex format(
      R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z [a-z-]+\[\d+\] (error|warning|info|debug): .*$)");
  return format;
}

class HostLogTest : public ::testing::Test {
 protected:
  ~HostLogTest() override { hostlog::start("host_log_test", hostlog::Level::info, false); }

  fs::path start(hostlog::Level level, bool toStandardError = false) {
    hostlog::Settings settings;
    settings.tool = "corvane-test";
    settings.level = level;
    settings.toStandardError = toStandardError;
    return hostlog::start(settings);
  }

  std::string fileText() {
    hostlog::flush();
    return readText(env.logFolder() / "corvane-test.log");
  }

  TestEnvironment env;
};

TEST_F(HostLogTest, ALevelKeepsItsOwnLinesAndTheMoreSevereOnes) {
  using hostlog::Level;
  const std::vector<Level> all = {Level::error, Level::warning, Level::info, Level::debug};
  for (std::size_t chosen = 0; chosen < all.size(); ++chosen) {
    fs::remove_all(env.logFolder());
    start(all[chosen]);
    for (Level level : all) hostlog::write(level, "line at " + std::string(levelName(level)));
    const std::string text = fileText();
    for (std::size_t i = 0; i < all.size(); ++i) {
      const std::string line = std::string(levelName(all[i])) + ": line at " +
                               std::string(levelName(all[i]));
      EXPECT_EQ(text.find(line) != std::string::npos, i <= chosen)
          << "chosen " << levelName(all[chosen]) << ":\n" << text;
    }
    EXPECT_EQ(hostlog::enabled(Level::debug), chosen == all.size() - 1);
  }
}

TEST_F(HostLogTest, LevelNamesAreTheFourWordsExactly) {
  const std::vector<std::pair<std::string, std::optional<hostlog::Level>>> cases = {
      {"error", hostlog::Level::error}, {"warning", hostlog::Level::warning},
      {"info", hostlog::Level::info},   {"debug", hostlog::Level::debug},
      {"warn", std::nullopt},           {"INFO", std::nullopt},
      {"", std::nullopt},               {"trace", std::nullopt},
  };
  for (const auto& [name, level] : cases) EXPECT_EQ(hostlog::parseLevel(name), level) << name;
}

TEST_F(HostLogTest, EveryLineCarriesTimeToolProcessAndLevelOnStandardErrorAndInTheFile) {
  ::testing::internal::CaptureStderr();
  const fs::path file = start(hostlog::Level::debug, true);
  hostlog::error("one");
  hostlog::warning("two {} with braces %s");
  hostlog::info("three");
  hostlog::debug("four");
  hostlog::flush();
  const std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(file, env.logFolder() / "corvane-test.log");
  for (const std::string& text : {shown, fileText()}) {
    const auto lines = linesOf(text);
    ASSERT_EQ(lines.size(), 4u) << text;
    for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, lineFormat())) << line;
    EXPECT_NE(lines[0].find(" corvane-test[" + std::to_string(::getpid()) + "] error: one"),
              std::string::npos)
        << lines[0];
    // Messages are written as they are, never taken for a format.
    EXPECT_NE(lines[1].find("warning: two {} with braces %s"), std::string::npos) << lines[1];
  }
}

TEST_F(HostLogTest, AToolsLastWordGoesOnlyIntoTheFile) {
  ::testing::internal::CaptureStderr();
  start(hostlog::Level::info, true);
  hostlog::error("said by the tool itself", hostlog::Reach::fileOnly);
  hostlog::info("said everywhere");
  hostlog::flush();
  const std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(shown.find("said by the tool itself"), std::string::npos) << shown;
  EXPECT_NE(shown.find("said everywhere"), std::string::npos) << shown;
  EXPECT_NE(fileText().find("error: said by the tool itself"), std::string::npos);
}

TEST_F(HostLogTest, TheFileRotatesBySizeAndKeepsTheNewestFiles) {
  hostlog::Settings settings;
  settings.tool = "corvane-test";
  settings.level = hostlog::Level::info;
  settings.toStandardError = false;
  settings.maxFileBytes = 2000;
  settings.keptFiles = 2;
  hostlog::start(settings);
  const std::string padding(60, 'x');
  for (int i = 0; i < 200; ++i) hostlog::info("line " + std::to_string(i) + " " + padding);
  hostlog::flush();

  const fs::path current = env.logFolder() / "corvane-test.log";
  const fs::path previous = env.logFolder() / "corvane-test.1.log";
  const fs::path oldest = env.logFolder() / "corvane-test.2.log";
  for (const auto& file : {current, previous, oldest}) {
    ASSERT_TRUE(fs::exists(file)) << file;
    EXPECT_LE(fs::file_size(file), 2000u) << file;
  }
  EXPECT_FALSE(fs::exists(env.logFolder() / "corvane-test.3.log"));
  // The newest line is in the current file; the files hold consecutive,
  // older lines in turn.
  const auto lastOf = [](const fs::path& file) {
    const auto lines = linesOf(readText(file));
    static const std::regex number(R"(line (\d+) )");
    std::smatch m;
    return !lines.empty() && std::regex_search(lines.back(), m, number) ? std::stoi(m[1]) : -1;
  };
  EXPECT_EQ(lastOf(current), 199);
  EXPECT_LT(lastOf(previous), lastOf(current));
  EXPECT_LT(lastOf(oldest), lastOf(previous));
  EXPECT_GT(lastOf(oldest), 150) << "the oldest kept file holds recent lines, not the first ones";
}

TEST_F(HostLogTest, TheFolderIsTheStateFolderOfXdgElseOfHome) {
  struct Case {
    std::optional<std::string> xdg;
    std::optional<std::string> home;
    std::optional<fs::path> expected;
  };
  const std::vector<Case> cases = {
      {"/x/state", "/home/u", fs::path("/x/state/CorvaneSync")},
      {std::nullopt, "/home/u", fs::path("/home/u/.local/state/CorvaneSync")},
      {"", "/home/u", fs::path("/home/u/.local/state/CorvaneSync")},
      // A relative XDG path is to be ignored.
      {"relative/state", "/home/u", fs::path("/home/u/.local/state/CorvaneSync")},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  const char* oldHome = std::getenv("HOME");
  const std::optional<std::string> savedHome =
      oldHome ? std::optional<std::string>(oldHome) : std::nullopt;
  for (const Case& c : cases) {
    c.xdg ? ::setenv("XDG_STATE_HOME", c.xdg->c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
    c.home ? ::setenv("HOME", c.home->c_str(), 1) : ::unsetenv("HOME");
    EXPECT_EQ(hostlog::stateFolder(), c.expected) << c.xdg.value_or("(unset)");
  }
  savedHome ? ::setenv("HOME", savedHome->c_str(), 1) : ::unsetenv("HOME");
  ::setenv("XDG_STATE_HOME", env.stateHome().c_str(), 1);
}

TEST_F(HostLogTest, AFileThatCannotBeWrittenIsSaidAndTheLogGoesOn) {
  fs::create_directories(env.logFolder() / "corvane-test.log");  // a folder in its place
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(start(hostlog::Level::info, true), fs::path());
  hostlog::info("still shown");
  hostlog::flush();
  const std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(shown.find("warning: cannot write the log file " +
                       (env.logFolder() / "corvane-test.log").string()),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("info: still shown"), std::string::npos) << shown;
}

// The engine as its user sees it: which lines each level shows, each with
// its time, on standard error and in the engine's file.
TEST(EngineLogTest, TheEnginesLinesCarryTheirTimeAndFollowTheLevel) {
  struct Case {
    std::vector<std::string> arguments;
    bool serving;   // the start-up line
    bool requests;  // a line for each answered request
  };
  const std::vector<Case> cases = {
      {{}, true, false},
      {{"--verbose"}, true, true},
      {{"--log-level=debug"}, true, true},
      {{"--log-level", "warning"}, false, false},
  };
  for (const Case& c : cases) {
    TestEnvironment env;
    fs::create_directories(env.root() / "scope");
    EngineProcess::Options options;
    options.binary = CORVANE_BIN_DIR "/corvane-engine";
    options.scopes = {{"docs", env.root() / "scope"}};
    options.extraArguments = c.arguments;
    EngineProcess engine(options);
    EXPECT_EQ(engineGet(*engine.client(), "/v1/scopes").status, 200);
    ASSERT_EQ(engine.stop(), 0);
    const std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
    const std::string shown = engine.output();
    const std::string kept = readText(env.logFolder() / "corvane-engine.log");
    for (const std::string& text : {shown, kept}) {
      for (const auto& line : linesOf(text)) {
        EXPECT_TRUE(std::regex_match(line, lineFormat())) << label << ": " << line;
      }
      EXPECT_EQ(text.find("] info: serving 1 scope") != std::string::npos, c.serving)
          << label << ":\n" << text;
      EXPECT_EQ(text.find("] debug: GET /v1/scopes 200") != std::string::npos, c.requests)
          << label << ":\n" << text;
    }
  }
}

}  // namespace
}  // namespace corvane::testing
