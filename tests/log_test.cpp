#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/log.h"
#include "support/test_engine.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;

// A copy of this program started by a test writes into the test's log.
const char* const kChildVariable = "CORVANE_LOG_TEST_CHILD_TMPDIR";
const bool kIsChild = [] {
  const char* folder = std::getenv(kChildVariable);
  if (!folder) return false;
  ::setenv("TMPDIR", folder, 1);
  return true;
}();
const auto* const kLogEnvironment =
    kIsChild ? nullptr : ::testing::AddGlobalTestEnvironment(new ProcessLogEnvironment);

constexpr int kLinesPerWriter = 2000;
constexpr int kChildren = 3;

void writeLines(const std::string& who) {
  for (int i = 0; i < kLinesPerWriter; ++i) Log::write(who + " line " + std::to_string(i));
  Log::flush();
}

// Writers start together, so that their appends really meet in the file.
fs::path startSignal() { return Log::file().parent_path() / "start-writing"; }

TEST(LogChild, WritesLines) {
  if (!kIsChild) GTEST_SKIP() << "runs only as a writer started by another test";
  for (int i = 0; i < 10000 && !fs::exists(startSignal()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  writeLines("process " + std::to_string(::getpid()));
}

TEST(Log, FirstLineCreatesTheFileThenLinesAppendInCallOrder) {
  Log::flush();
  fs::remove(Log::file());
  Log::write("first");
  Log::write("second");
  Log::write("third");
  const std::string text = logText();
  static const std::regex lines(
      "^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z first\\n"
      "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z second\\n"
      "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z third\\n$");
  EXPECT_TRUE(std::regex_match(text, lines)) << text;
}

TEST(Log, MessagesAreWrittenUnchanged) {
  LogWatch watch;
  Log::write("ends in a line feed\n");
  Log::write("");
  Log::write("caf\xC3\xA9 \"quoted\" \t tab");
  Log::flush();
  const std::string text = logText();
  // A trailing line feed leaves an empty line behind the entry.
  EXPECT_NE(text.find("Z ends in a line feed\n\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Z \n"), std::string::npos);
  EXPECT_NE(text.find("Z caf\xC3\xA9 \"quoted\" \t tab\n"), std::string::npos);
}

TEST(Log, AnExistingLogIsKept) {
  Log::flush();
  { std::ofstream(Log::file(), std::ios::binary | std::ios::trunc) << "older lines\n"; }
  Log::write("newer");
  const std::string text = logText();
  EXPECT_EQ(text.rfind("older lines\n", 0), 0u) << text;
  EXPECT_NE(text.find("Z newer\n"), std::string::npos);
}

TEST(Log, AFailureToWriteIsNeverReported) {
  Log::flush();
  fs::remove(Log::file());
  fs::create_directory(Log::file());  // the log's path cannot be opened as a file
  EXPECT_NO_THROW(Log::write("lost"));
  Log::flush();
  EXPECT_TRUE(fs::is_directory(Log::file()));
  fs::remove(Log::file());
  Log::write("kept");
  EXPECT_NE(logText().find("Z kept\n"), std::string::npos);
  EXPECT_EQ(logText().find("lost"), std::string::npos);
}

TEST(Log, LinesFromManyThreadsNeverInterleave) {
  Log::flush();
  fs::remove(Log::file());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) Log::write("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  std::istringstream in(logText());
  static const std::regex line("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z thread \\d line \\d+$");
  int count = 0;
  for (std::string l; std::getline(in, l); ++count) EXPECT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_EQ(count, 400);
}

TEST(Log, LinesOfSeveralProcessesNeverOverwriteEachOther) {
  if (kIsChild) GTEST_SKIP();
  Log::flush();
  fs::remove(Log::file());
  const std::string variable = std::string(kChildVariable) + "=" + Log::file().parent_path().string();
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back(const_cast<char*>(variable.c_str()));
  env.push_back(nullptr);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=LogChild.WritesLines";
  char* argv[] = {self.data(), filter.data(), nullptr};
  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, env.data()), 0);
    children.push_back(pid);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the writers get ready
  { std::ofstream(startSignal()) << "go"; }
  writeLines("parent");
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream in(logText());
  static const std::regex line(
      "^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z (parent|process \\d+) line \\d+$");
  int count = 0;
  for (std::string l; std::getline(in, l); ++count) EXPECT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_EQ(count, (kChildren + 1) * kLinesPerWriter);
  fs::remove(startSignal());
}

}  // namespace
}  // namespace corvane::testing
