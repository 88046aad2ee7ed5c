// Content transfer: fetch, upload and conflict copy against the test engine,
// with the staging copies that uploads hand to the engine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/decoding.h"
#include "engine/engine_client.h"
#include "engine/engine_error.h"
#include "engine/json_text.h"
#include "engine/staging.h"
#include "platform/file_copy.h"
#include "platform/unique_fd.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using testing::makeEntry;
using testing::Received;
using testing::Reply;
using testing::TestEngine;
using testing::TestEnvironment;

const auto* const kProcessLog =
    ::testing::AddGlobalTestEnvironment(new testing::ProcessLogEnvironment);

const std::string kScope = "/v1/scopes/local-1";

void writeFile(const fs::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Compares two files in chunks, without holding either in memory.
bool sameBytes(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (fa && fb) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (!std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) return false;
  }
  return fa.eof() && fb.eof();
}

bool isStagingName(const std::string& name) {
  static const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  return std::regex_match(name, uuid);
}

// What the engine saw of a staging file while the request was in flight.
struct Seen {
  std::string source;
  bool existed = false;
  std::string contents;
  unsigned mode = 0;
  timespec modified{};
};

// A time with nanoseconds, set on `path`: 2001-02-03T04:05:06.123456789Z.
constexpr timespec kOldTime{981173106, 123456789};
void setTime(const fs::path& path, timespec time) {
  const timespec times[2] = {time, time};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine.writeDiscovery(env);
    fs::create_directories(sources());
  }

  // Source files live outside the temporary folder, which must stay empty.
  fs::path sources() const { return env.root() / "sources"; }

  std::vector<fs::path> temporaryFiles() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(env.tmp())) out.push_back(e.path());
    return out;
  }

  // Scripts `route` to look at the staging file and then answer `reply`.
  void inspectStaging(const std::string& route, Reply reply) {
    engine.on("POST", route, [this, reply](const Received& r) {
      Seen s;
      s.source = r.bodyString("source").value_or("");
      struct stat st {};
      s.existed = ::stat(s.source.c_str(), &st) == 0;
      s.mode = st.st_mode & 07777;
      s.modified = st.st_mtim;
      s.contents = readFile(s.source);
      std::lock_guard lock(seenMutex);
      seenLog.push_back(s);
      return reply;
    });
  }

  // What the handlers recorded; read under the lock, since they run on the
  // engine's threads.
  std::vector<Seen> seenSoFar() {
    std::lock_guard lock(seenMutex);
    return seenLog;
  }

  TestEnvironment env;
  TestEngine engine;
  EngineClient client{"local-1"};
  std::mutex seenMutex;
  std::vector<Seen> seenLog;
};

TEST_F(TransferTest, AMissingSourceIsAFileErrorAndNothingIsSent) {
  const fs::path missing = sources() / "missing.txt";
  try {
    client.upload("a.txt", missing, "");
    ADD_FAILURE() << "no error";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  } catch (const EngineError& e) {
    ADD_FAILURE() << "an engine error: " << e.what();
  }
  EXPECT_THROW(client.conflictCopy("a.txt", missing), fs::filesystem_error);
  EXPECT_THROW(client.upload("a.txt", sources(), ""), fs::filesystem_error);  // a folder
  EXPECT_TRUE(engine.requests().empty());
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(TransferTest, UploadSendsAStagingCopyAndTheVersion) {
  const fs::path source = sources() / "report.txt";
  writeFile(source, "contents of the report");
  setTime(source, kOldTime);
  const Entry answer = makeEntry("docs/report.txt", false, 22, "v8");
  inspectStaging(kScope + "/upload", Reply{200, toJson(answer)});

  for (const std::string version : {"", "v7"}) {
    SCOPED_TRACE(version);
    engine.clearRequests();

    EXPECT_EQ(client.upload("docs/report.txt", source, version), answer);

    auto received = engine.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].path, kScope + "/upload");
    EXPECT_EQ(received[0].bodyString("path"), "docs/report.txt");
    // "version" is always there, also when empty.
    EXPECT_EQ(received[0].bodyString("version"), version);
  }
  auto seen = seenSoFar();
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& s : seen) {
    EXPECT_EQ(fs::path(s.source).parent_path(), env.tmp());
    EXPECT_TRUE(isStagingName(fs::path(s.source).filename().string())) << s.source;
    EXPECT_TRUE(s.existed);
    EXPECT_EQ(s.mode, 0600u);
    EXPECT_EQ(s.contents, "contents of the report");
    // The engine takes the file's time from the copy.
    EXPECT_EQ(s.modified.tv_sec, kOldTime.tv_sec);
    EXPECT_EQ(s.modified.tv_nsec, kOldTime.tv_nsec);
  }
  EXPECT_NE(seen[0].source, seen[1].source);
  EXPECT_TRUE(temporaryFiles().empty());
  EXPECT_EQ(readFile(source), "contents of the report");
}

TEST_F(TransferTest, ConflictCopySendsNoVersion) {
  const fs::path source = sources() / "a.txt";
  writeFile(source, "mine");
  setTime(source, kOldTime);
  const Entry answer = makeEntry("a (conflict).txt", false, 4, "c1");
  inspectStaging(kScope + "/conflict-copy", Reply{200, toJson(answer)});

  EXPECT_EQ(client.conflictCopy("a.txt", source), answer);

  auto received = engine.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].bodyString("path"), "a.txt");
  EXPECT_FALSE(received[0].bodyHas("version"));
  auto seen = seenSoFar();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(isStagingName(fs::path(seen[0].source).filename().string()));
  EXPECT_EQ(seen[0].contents, "mine");
  EXPECT_EQ(seen[0].modified.tv_sec, kOldTime.tv_sec);
  EXPECT_EQ(seen[0].modified.tv_nsec, kOldTime.tv_nsec);
  EXPECT_TRUE(temporaryFiles().empty());
}

// A time alone: sent to the nanosecond with the version it is based on. An
// engine without the operation says so in its 404; the client then asks no
// more, while a 404 about the file stays "no such item".
TEST_F(TransferTest, SetModTimeSendsTheTimeAndLearnsAnEngineWithoutIt) {
  const Entry answer = makeEntry("docs/a.txt", false, 3, "v2", 981173106);
  struct Case {
    const char* what;
    Reply reply;
    bool entry;                           // answered with the entry
    std::optional<EngineError> error;     // else thrown
  };
  const std::vector<Case> cases = {
      {"set", Reply{200, toJson(answer)}, true, std::nullopt},
      {"no such file", Reply{404, R"({"message":"Nothing is at \"docs/a.txt\"."})"}, false,
       EngineError::notFound()},
      {"changed since", Reply{409, R"({"message":"changed"})"}, false, EngineError::conflict()},
      {"an engine from before", Reply{404, R"({"message":"There is no operation \"set-mod-time\" on a scope."})"},
       false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearRequests();
    engine.on("POST", kScope + "/set-mod-time", c.reply);
    try {
      const auto got = client.setModTime("docs/a.txt", kOldTime.tv_sec, kOldTime.tv_nsec, "v1");
      EXPECT_FALSE(c.error);
      EXPECT_EQ(got.has_value(), c.entry);
      if (got) {
        EXPECT_EQ(*got, answer);
      }
    } catch (const EngineError& e) {
      ASSERT_TRUE(c.error) << e.what();
      EXPECT_EQ(e, *c.error);
    }
    auto received = engine.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bodyString("path"), "docs/a.txt");
    EXPECT_EQ(received[0].bodyString("mod_time"), "2001-02-03T04:05:06.123456789Z");
    EXPECT_EQ(received[0].bodyString("version"), "v1");
  }
  engine.clearRequests();
  EXPECT_FALSE(client.setModTime("docs/a.txt", 0, 0, "v1"));
  EXPECT_TRUE(engine.requests().empty()) << "learnt that the engine cannot";
  // Times before 1970 count back from the second before.
  EngineClient other{"local-1"};
  engine.on("POST", kScope + "/set-mod-time", Reply{200, toJson(answer)});
  other.setModTime("a", -2, 500'000'000, "v1");
  EXPECT_EQ(engine.requests().at(0).bodyString("mod_time"), "1969-12-31T23:59:58.500000000Z");
}

TEST_F(TransferTest, NoStagingFileOutlivesItsRequest) {
  const fs::path source = sources() / "a.txt";
  writeFile(source, "data");
  Reply drop;
  drop.drop = true;
  struct Case {
    std::string name;
    Reply reply;
  };
  const std::vector<Case> cases = {
      {"200", Reply{200, toJson(makeEntry("a.txt"))}},
      {"409", Reply{409, R"({"message":"changed"})"}},
      {"404", Reply{404, ""}},
      {"500", Reply{500, R"({"message":"boom"})"}},
      {"200 that does not decode", Reply{200, "{}"}},
      {"dropped connection", drop},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string route : {"/upload", "/conflict-copy"}) {
      SCOPED_TRACE(route);
      {
        std::lock_guard lock(seenMutex);
        seenLog.clear();
      }
      inspectStaging(kScope + route, c.reply);

      try {
        if (route == "/upload") {
          client.upload("a.txt", source, "v1");
        } else {
          client.conflictCopy("a.txt", source);
        }
      } catch (const EngineError&) {
      } catch (const DecodingError&) {
      }

      auto seen = seenSoFar();
      ASSERT_EQ(seen.size(), 1u);
      EXPECT_TRUE(seen[0].existed);
      EXPECT_TRUE(temporaryFiles().empty());
    }
  }
}

TEST_F(TransferTest, AConflictReachesTheCallerAsConflict) {
  const fs::path source = sources() / "a.txt";
  writeFile(source, "data");
  engine.on("POST", kScope + "/upload", Reply{409, R"({"message":"changed"})"});
  try {
    client.upload("a.txt", source, "v1");
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e, EngineError::conflict());
  }
}

TEST_F(TransferTest, ConcurrentUploadsUseTheirOwnStagingFiles) {
  const fs::path first = sources() / "first.txt";
  const fs::path second = sources() / "second.txt";
  writeFile(first, "first contents");
  writeFile(second, "second contents, longer");
  // The delay keeps both requests in flight at once.
  Reply slow{200, toJson(makeEntry("same.txt")), std::chrono::milliseconds(300)};
  inspectStaging(kScope + "/upload", slow);

  std::thread other([&] { client.upload("same.txt", second, "v1"); });
  client.upload("same.txt", first, "v1");
  other.join();

  auto seen = seenSoFar();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].source, seen[1].source);
  std::vector<std::string> contents = {seen[0].contents, seen[1].contents};
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"first contents", "second contents, longer"}));
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(TransferTest, ALargeSourceIsStagedByteForByte) {
  // 64 MiB: 40 MiB of patterned data, a hole, and a tail.
  const fs::path source = sources() / "large.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::vector<std::uint32_t> block(1 << 18);
    std::uint32_t x = 12345;
    for (int b = 0; b < 40; ++b) {
      for (auto& v : block) v = x = x * 1664525u + 1013904223u;
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(block.size() * 4));
    }
    out.seekp((64 << 20) - 5);
    out.write("tail!", 5);
  }
  ASSERT_EQ(fs::file_size(source), std::uintmax_t{64} << 20);
  std::atomic<bool> identical{false};
  engine.on("POST", kScope + "/upload", [&](const Received& r) {
    identical = sameBytes(source, r.bodyString("source").value_or(""));
    return Reply{200, toJson(makeEntry("large.bin", false, 64 << 20))};
  });

  client.upload("large.bin", source, "");

  EXPECT_TRUE(identical);
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(TransferTest, FetchSendsThePlainDestinationPath) {
  const fs::path dest = env.root() / "a folder with blanks" / "new file%20.txt";
  const Entry answer = makeEntry("docs/a b.txt", false, 5, "v3");
  engine.on("POST", kScope + "/fetch", Reply{200, toJson(answer)});

  EXPECT_EQ(client.fetch("docs/a b.txt", dest), answer);

  auto received = engine.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].bodyString("path"), "docs/a b.txt");
  EXPECT_EQ(received[0].bodyString("dest"), dest.string());
  EXPECT_FALSE(received[0].bodyHas("source"));
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(TransferTest, AFailedFetchLeavesTheDestinationAsTheEngineLeftIt) {
  const fs::path dest = env.root() / "partial.bin";
  engine.on("POST", kScope + "/fetch", [&](const Received& r) {
    writeFile(r.bodyString("dest").value_or(""), "half");
    return Reply{500, R"({"message":"storage went away"})"};
  });

  EXPECT_THROW(client.fetch("a.bin", dest), EngineError);
  EXPECT_EQ(readFile(dest), "half");
}

TEST_F(TransferTest, OnlyA400NamingARangeKeyCountsAsARefusalOfRanges) {
  struct Case {
    const char* name;
    Reply rangeReply;      // the answer to the request with a range
    Reply wholeReply;      // the answer to a request without one
    std::size_t requests;  // 2 when the whole download followed
    bool refusal;          // learnt: later calls send no range
    std::optional<EngineError> error;
  };
  const std::string whole = toJson(makeEntry("a.bin", false, 6, "v2"));
  const Case cases[] = {
      {"names offset", Reply{400, R"({"message":"unknown key offset"})"}, Reply{200, whole}, 2,
       true, std::nullopt},
      {"names \"length\" in quotes", Reply{400, R"({"message":"unexpected field \"length\""})"},
       Reply{200, whole}, 2, true, std::nullopt},
      {"only a path that holds the word",
       Reply{400, R"({"message":"The folder of /x/offsets/y does not exist."})"}, Reply{200, whole},
       1, false, EngineError::server(400, "The folder of /x/offsets/y does not exist.")},
      {"another status", Reply{422, R"({"message":"unknown key offset"})"}, Reply{200, whole}, 1,
       false, EngineError::server(422, "unknown key offset")},
      {"the whole download fails too", Reply{400, R"({"message":"unknown key offset"})"},
       Reply{404, R"({"message":"gone"})"}, 2, false, EngineError::notFound()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine.clearRequests();
    engine.on("POST", kScope + "/fetch", [&c](const Received& r) {
      if (r.bodyHas("offset")) return c.rangeReply;
      writeFile(r.bodyString("dest").value_or(""), "whole!");
      return c.wholeReply;
    });
    const EngineClient fresh{"local-1"};
    const fs::path dest = env.root() / (std::string(c.name) + ".bin");
    try {
      FetchedRange got = fresh.fetchRange("a.bin", dest, 2, 2);
      EXPECT_FALSE(c.error) << "no error";
      EXPECT_EQ(got.offset, 0);
      EXPECT_EQ(got.length, 6);
      EXPECT_TRUE(got.reachesEnd());
      EXPECT_EQ(readFile(dest), "whole!");
    } catch (const EngineError& e) {
      ASSERT_TRUE(c.error) << e.what();
      EXPECT_EQ(e, *c.error);
    }
    EXPECT_EQ(fresh.refusesRanges(), c.refusal);
    EXPECT_EQ(engine.requests().size(), c.requests) << "a fallback only after a refusal";
  }
}

TEST(StagingCopy, RefusesAnExistingDestinationAndLeavesItAlone) {
  TestEnvironment env;
  const fs::path source = env.root() / "source";
  const fs::path dest = env.root() / "dest";
  writeFile(source, "new");
  writeFile(dest, "old");
  try {
    staging::copyFile(source, dest);
    ADD_FAILURE() << "no error";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), std::errc::file_exists);
  }
  EXPECT_EQ(readFile(dest), "old");

  // A link planted at the destination is not followed.
  const fs::path link = env.root() / "link";
  fs::create_symlink(env.root() / "target", link);
  EXPECT_THROW(staging::copyFile(source, link), fs::filesystem_error);
  EXPECT_FALSE(fs::exists(env.root() / "target"));
}

TEST(StagingCopy, CopiesAnEmptyFile) {
  TestEnvironment env;
  writeFile(env.root() / "empty", "");
  staging::copyFile(env.root() / "empty", env.root() / "copy");
  EXPECT_TRUE(fs::exists(env.root() / "copy"));
  EXPECT_EQ(fs::file_size(env.root() / "copy"), 0u);
}

TEST(StagingCopy, FallsBackWhenTheKernelCannotCopyAcrossFileSystems) {
  // A proc file reports size 0 and refuses copy_file_range across file
  // systems, so only the later fallbacks can copy it, and only by reading to
  // the end rather than trusting the size.
  TestEnvironment env;
  staging::copyFile("/proc/self/status", env.root() / "copy");
  const std::string copied = readFile(env.root() / "copy");
  EXPECT_NE(copied.find("Name:"), std::string::npos);
  EXPECT_NE(copied.find("VmRSS:"), std::string::npos) << "copy stopped early: " << copied.size();
}

TEST(SameContents, SizesFirstThenEveryByte) {
  TestEnvironment env;
  // Larger than one block of the comparison, so a difference late in the
  // file is only found by reading past the first block.
  std::string big(700 * 1024, 'b');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
  std::string lastByteOff = big;
  lastByteOff.back() ^= 1;
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"", "", true},
      {"abc", "abc", true},
      {big, big, true},
      {big, lastByteOff, false},
      {"abc", "abd", false},
      {"abc", "abcd", false},
      {big, big.substr(0, big.size() - 1), false},
  };
  for (const auto& c : cases) {
    writeFile(env.root() / "a", c.a);
    writeFile(env.root() / "b", c.b);
    const platform::UniqueFd a(::open((env.root() / "a").c_str(), O_RDONLY | O_CLOEXEC));
    const platform::UniqueFd b(::open((env.root() / "b").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(platform::sameContents(a.get(), b.get()), c.same) << c.a.size() << " " << c.b.size();
    EXPECT_EQ(::lseek(a.get(), 0, SEEK_CUR), 0) << "the offsets stay where they were";
  }
}

}  // namespace
}  // namespace corvane
