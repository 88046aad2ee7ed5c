#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "diagnostics/log.h"
#include "support/test_engine.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;

const auto* const kLogEnvironment = ::testing::AddGlobalTestEnvironment(new ProcessLogEnvironment);

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

}  // namespace
}  // namespace corvane::testing
