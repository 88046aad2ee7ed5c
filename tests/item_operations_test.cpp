#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <limits>
#include <regex>
#include <set>
#include <tuple>

#include "engine/json_text.h"
#include "host/domains.h"
#include "host/modification_dates.h"
#include "host/partial_contents.h"
#include "support/extension_fixture.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// The transport's log lines are checked for failed fetches.
const auto* const kProcessLog = ::testing::AddGlobalTestEnvironment(new ProcessLogEnvironment);

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t filesIn(const fs::path& dir) {
  std::size_t n = 0;
  for (auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename() != "corvane-sync.log") ++n;
  }
  return n;
}

bool isUUIDName(const fs::path& p) {
  static const std::regex uuid("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
  return std::regex_match(p.filename().string(), uuid);
}

void expectNothingPending(const Completion& c) {
  EXPECT_EQ(c.pendingFields, 0u);
  EXPECT_FALSE(c.shouldFetchContent);
}

// ---------------------------------------------------------------- download

class FetchTest : public ExtensionTest {
 protected:
  FetchTest() {
    engine.on("POST", scopePath("/fetch"), [](const Received& r) {
      auto dest = r.bodyString("dest");
      if (!dest) return Reply{400, "{}"};
      std::ofstream(*dest, std::ios::binary) << "contents of " << *r.bodyString("path");
      return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, 20, "v9")),
                   milliseconds(100)};
    });
  }
};

TEST_F(FetchTest, WithoutManagerTheFileLandsInTheProcessTemporaryFolder) {
  auto c = host.call([&](RecordingHost& h) {
    return ext().fetchContents("docs/a.txt", host::ItemVersion{"old", "x"}, {}, h.fetchHandler());
  });
  ASSERT_FALSE(c.error.has_value()) << c.error->what();
  ASSERT_TRUE(c.url && c.item);
  EXPECT_EQ(c.url->parent_path(), env.tmp());
  EXPECT_TRUE(isUUIDName(*c.url));
  EXPECT_EQ(read(*c.url), "contents of docs/a.txt");
  // The item is the engine's current record, whatever version was asked for.
  EXPECT_EQ(c.item->itemVersion().contentVersion, "v9");
  auto fetches = posts("/fetch");
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].bodyString("path"), "docs/a.txt");
  EXPECT_EQ(fetches[0].bodyString("dest"), c.url->string());
}

TEST_F(FetchTest, ManagerFolderIsUsedWhenPresent) {
  auto manager = std::make_shared<FakeManager>(env.root() / "manager tmp");
  auto extension = makeExtension([&](const host::Domain& d) {
    EXPECT_EQ(d.identifier, kScopeID);
    return manager;
  });
  auto c = host.call([&](RecordingHost& h) {
    return extension->fetchContents("a.txt", std::nullopt, {}, h.fetchHandler());
  });
  ASSERT_TRUE(c.url);
  EXPECT_EQ(c.url->parent_path(), env.root() / "manager tmp");
  EXPECT_TRUE(isUUIDName(*c.url));
}

TEST_F(FetchTest, FailingManagerStopsBeforeTheEngine) {
  auto manager = std::make_shared<FakeManager>(std::nullopt);
  auto extension = makeExtension([&](const host::Domain&) { return manager; });
  auto c = host.call([&](RecordingHost& h) {
    return extension->fetchContents("a.txt", std::nullopt, {}, h.fetchHandler());
  });
  expectHostError(c.error, "NSCocoaErrorDomain", 4);  // the manager's own error, unchanged
  EXPECT_EQ(c.error->localizedDescription(), "no temporary folder");
  EXPECT_FALSE(c.url);
  EXPECT_FALSE(c.item);
  EXPECT_TRUE(posts("/fetch").empty());
}

TEST_F(FetchTest, ConcurrentDownloadsGetTheirOwnFiles) {
  auto p1 = ext().fetchContents("a.txt", std::nullopt, {}, host.fetchHandler());
  auto p2 = ext().fetchContents("a.txt", std::nullopt, {}, host.fetchHandler());
  auto all = host.waitFor(2);
  ASSERT_EQ(all.size(), 2u);
  ASSERT_TRUE(all[0].url && all[1].url);
  EXPECT_NE(*all[0].url, *all[1].url);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(host.count(), 2u);
}

TEST_F(FetchTest, UnknownItem) {
  engine.on("POST", scopePath("/fetch"), Reply{404, R"({"message": "no such object"})"});
  auto c = host.call([&](RecordingHost& h) {
    return ext().fetchContents("gone.txt", std::nullopt, {}, h.fetchHandler());
  });
  expectNoSuchItem(c.error);
  EXPECT_FALSE(c.url);
  EXPECT_FALSE(c.item);
}

// ---------------------------------------------------------------- partial download

// An object whose every byte tells where it lies, so a slice from the wrong
// place cannot pass for the right one.
std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('!' + (i * 7) % 90);
  return bytes;
}

class PartialFetchTest : public ExtensionTest {
 protected:
  static constexpr std::int64_t kSize = 100;
  const std::string contents = patterned(kSize);

  PartialFetchTest() { serve(RangeSupport::serves); }

  void serve(RangeSupport ranges, const std::string& version = "v3") {
    engine.onFetch(kScopeID, {{"docs/a.bin", ScriptedFile{contents, version}}}, ranges);
  }

  Completion fetchPart(host::ByteRange range, std::int64_t alignment = 0,
                       const std::string& identifier = "docs/a.bin") {
    return host.call([&](RecordingHost& h) {
      return partial().fetchPartialContents(identifier, host::ItemVersion{"v1", "m"}, {}, range,
                                            alignment, 0, h.partialFetchHandler());
    });
  }

  host::PartialContentFetching& partial() { return ext(); }

  // What the file holds must be the delivered slice of the object.
  void expectDelivered(const Completion& c, host::ByteRange range, bool reachesEnd) {
    ASSERT_FALSE(c.error.has_value()) << c.error->what();
    ASSERT_TRUE(c.url && c.item);
    EXPECT_EQ(c.range, range);
    EXPECT_EQ(c.flags, reachesEnd ? host::materialization::kReachesEndOfFile : 0u);
    EXPECT_EQ(read(*c.url), contents.substr(static_cast<std::size_t>(range.offset),
                                            static_cast<std::size_t>(range.length)));
    EXPECT_EQ(c.item->itemIdentifier(), "docs/a.bin");
    EXPECT_EQ(c.item->documentSize(), kSize) << "the whole file's size, not the range's";
  }
};

TEST_F(PartialFetchTest, RangesAreWidenedToTheAlignmentAndClippedToTheFile) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Case {
    const char* name;
    host::ByteRange minimal;
    std::int64_t alignment;
    host::ByteRange sent;  // offset and length in the request
    host::ByteRange delivered;
    bool reachesEnd;
  };
  const Case cases[] = {
      {"start", {0, 10}, 0, {0, 10}, {0, 10}, false},
      {"middle", {40, 20}, 1, {40, 20}, {40, 20}, false},
      {"end", {90, 10}, 0, {90, 10}, {90, 10}, true},
      {"whole file", {0, kSize}, 0, {0, kSize}, {0, kSize}, true},
      {"runs past the end", {95, 50}, 0, {95, 50}, {95, 5}, true},
      {"to the end, however long", {10, kMax}, 0, {10, kMax - 10}, {10, 90}, true},
      {"starts at the end", {100, 5}, 0, {100, 5}, {100, 0}, true},
      {"starts past the end", {150, 10}, 0, {150, 10}, {100, 0}, true},
      {"zero length", {40, 0}, 0, {40, 0}, {40, 0}, false},
      {"zero length, aligned down", {45, 0}, 16, {32, 0}, {32, 0}, false},
      {"aligned outward", {45, 10}, 16, {32, 32}, {32, 32}, false},
      {"already aligned", {32, 16}, 16, {32, 16}, {32, 16}, false},
      {"aligned past the end", {70, 5}, 64, {64, 64}, {64, 36}, true},
      {"aligned start past the end", {130, 5}, 64, {128, 64}, {100, 0}, true},
      {"aligned end beyond the largest offset", {kMax - 3, 2}, 8, {kMax - 7, 7}, {100, 0}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine.clearRequests();
    Completion done = fetchPart(c.minimal, c.alignment);
    expectDelivered(done, c.delivered, c.reachesEnd);
    ASSERT_TRUE(done.url);
    EXPECT_EQ(done.url->parent_path(), env.tmp());
    EXPECT_TRUE(isUUIDName(*done.url));
    auto fetches = posts("/fetch");
    ASSERT_EQ(fetches.size(), 1u);
    EXPECT_EQ(fetches[0].bodyString("path"), "docs/a.bin");
    EXPECT_EQ(fetches[0].bodyString("dest"), done.url->string());
    EXPECT_EQ(fetches[0].bodyInt("offset"), c.sent.offset);
    EXPECT_EQ(fetches[0].bodyInt("length"), c.sent.length);
  }
  // The host finds the capability on the extension it was given.
  EXPECT_NE(std::dynamic_pointer_cast<host::PartialContentFetching>(
                host::makeExtension(host::Domain{kScopeID, "Local"}, {})),
            nullptr);
}

TEST_F(PartialFetchTest, TheItemCarriesTheVersionOfTheDeliveredBytes) {
  auto manager = std::make_shared<FakeManager>(env.root() / "host tmp");
  auto extension = makeExtension([&](const host::Domain&) { return manager; });
  auto fetch = [&](host::ByteRange range) {
    return host.call([&](RecordingHost& h) {
      return extension->fetchPartialContents("docs/a.bin", host::ItemVersion{"v1", "m"}, {}, range,
                                             0, 0, h.partialFetchHandler());
    });
  };
  Completion first = fetch({0, 10});
  expectDelivered(first, {0, 10}, false);
  EXPECT_EQ(first.item->itemVersion().contentVersion, "v3") << "not the requested v1";
  EXPECT_EQ(first.url->parent_path(), env.root() / "host tmp");

  // The object changes between two ranges: the second says so by its version.
  serve(RangeSupport::serves, "v4");
  Completion second = fetch({10, 10});
  expectDelivered(second, {10, 10}, false);
  EXPECT_EQ(second.item->itemVersion().contentVersion, "v4");
  EXPECT_NE(*first.url, *second.url);
  EXPECT_EQ(read(*first.url), contents.substr(0, 10)) << "the first file is the host's";
}

TEST_F(PartialFetchTest, AnEngineThatRefusesRangesGetsWholeDownloadsFromThenOn) {
  serve(RangeSupport::refuses);
  Completion first = fetchPart({10, 10});
  expectDelivered(first, {0, kSize}, true);
  auto fetches = posts("/fetch");
  ASSERT_EQ(fetches.size(), 2u) << "the refused range, then the whole file";
  EXPECT_TRUE(fetches[0].bodyHas("offset"));
  EXPECT_FALSE(fetches[1].bodyHas("offset"));
  EXPECT_FALSE(fetches[1].bodyHas("length"));
  EXPECT_EQ(fetches[1].bodyString("dest"), first.url->string());

  engine.clearRequests();
  Completion second = fetchPart({50, 10});
  expectDelivered(second, {0, kSize}, true);
  fetches = posts("/fetch");
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_FALSE(fetches[0].bodyHas("offset"));
  EXPECT_FALSE(fetches[0].bodyHas("length"));
}

TEST_F(PartialFetchTest, AnEngineThatIgnoresRangesDeliversTheWholeFile) {
  serve(RangeSupport::ignores);
  for (const host::ByteRange range : {host::ByteRange{10, 10}, host::ByteRange{150, 1}}) {
    expectDelivered(fetchPart(range), {0, kSize}, true);
  }
  EXPECT_EQ(posts("/fetch").size(), 2u) << "no second request for an ignored range";
}

TEST_F(PartialFetchTest, FailuresHandNothingOverAndLeaveTheDestinationAsTheEngineLeftIt) {
  struct Case {
    const char* name;
    std::string written;  // what the engine writes before answering; none when empty
    Reply reply;
    std::string_view domain;
    std::int64_t code;
  };
  const std::string entry = toJson(makeEntry("docs/a.bin", false, kSize, "v3"));
  const Case cases[] = {
      {"unknown item", "", Reply{404, R"({"message":"no such object"})"},
       host::kFileProviderErrorDomain, host::codes::kNoSuchItem},
      {"storage failed midway", "half", Reply{500, R"({"message":"storage went away"})"},
       host::kFileProviderErrorDomain, host::codes::kServerUnreachable},
      {"a file that fits neither the range nor the object", "seven b", Reply{200, entry},
       host::kCocoaErrorDomain, host::codes::kCocoaCoderReadCorrupt},
      {"no file at all", "", Reply{200, entry}, host::kPOSIXErrorDomain, ENOENT},
  };
  LogWatch log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(env.tmp());
    fs::create_directories(env.tmp());
    engine.on("POST", scopePath("/fetch"), [&c](const Received& r) {
      if (!c.written.empty()) std::ofstream(r.bodyString("dest").value_or("")) << c.written;
      return c.reply;
    });
    Completion done = fetchPart({10, 10});
    expectHostError(done.error, c.domain, c.code);
    EXPECT_FALSE(done.url);
    EXPECT_FALSE(done.item);
    EXPECT_EQ(done.range, host::ByteRange{});
    EXPECT_EQ(done.flags, 0u);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(env.tmp())) {
      if (e.path().filename() != "corvane-sync.log") left.push_back(read(e.path()));
    }
    EXPECT_EQ(left,
              c.written.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.written});
  }
  EXPECT_FALSE(ext().engine()->refusesRanges()) << "no failure counts as a refusal of ranges";
  // The transport logged each refused exchange once; the extension added nothing.
  const std::string route = "POST " + scopePath("/fetch") + ": ";
  std::vector<std::string> fetchLines;
  for (const auto& m : log.messages()) {
    if (m.rfind("extension started", 0) != 0) fetchLines.push_back(m);
  }
  EXPECT_EQ(fetchLines, (std::vector<std::string>{route + "404 no such object",
                                                  route + "500 storage went away"}));
}

TEST_F(PartialFetchTest, NegativeArgumentsAreRefusedWithoutContactingTheEngine) {
  const std::tuple<host::ByteRange, std::int64_t> cases[] = {
      {{-1, 10}, 0}, {{0, -1}, 0}, {{0, 10}, -4}};
  for (const auto& [range, alignment] : cases) {
    Completion done = fetchPart(range, alignment);
    expectHostError(done.error, host::kPOSIXErrorDomain, EINVAL);
    EXPECT_FALSE(done.url);
    EXPECT_FALSE(done.item);
  }
  EXPECT_TRUE(engine.requests().empty());
}

TEST_F(PartialFetchTest, ConcurrentFetchesGetTheirOwnFiles) {
  // Slow answers keep the requests in flight together.
  engine.on("POST", scopePath("/fetch"), [this](const Received& r) {
    std::this_thread::sleep_for(milliseconds(100));
    const auto offset = static_cast<std::size_t>(r.bodyInt("offset").value_or(0));
    const auto length = static_cast<std::size_t>(r.bodyInt("length").value_or(kSize));
    std::ofstream(r.bodyString("dest").value_or(""), std::ios::binary)
        << contents.substr(offset, length);
    return Reply{200, toJson(makeEntry("docs/a.bin", false, kSize, "v3"))};
  });
  const host::ByteRange ranges[] = {{0, 30}, {0, 30}, {30, 30}, {60, 40}};
  for (const auto& range : ranges) {
    ext().fetchPartialContents("docs/a.bin", std::nullopt, {}, range, 0, 0,
                               host.partialFetchHandler());
  }
  auto all = host.waitFor(std::size(ranges));
  std::set<fs::path> files;
  for (const Completion& c : all) {
    ASSERT_FALSE(c.error.has_value()) << c.error->what();
    ASSERT_TRUE(c.url);
    files.insert(*c.url);
    EXPECT_EQ(read(*c.url), contents.substr(static_cast<std::size_t>(c.range.offset),
                                            static_cast<std::size_t>(c.range.length)));
  }
  EXPECT_EQ(files.size(), std::size(ranges));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(host.count(), std::size(ranges)) << "one completion each";
}

TEST_F(PartialFetchTest, ConcurrentFetchesAgainstARefusingEngineAllSucceed) {
  serve(RangeSupport::refuses);
  constexpr std::size_t kFetches = 6;
  for (std::size_t i = 0; i < kFetches; ++i) {
    ext().fetchPartialContents("docs/a.bin", std::nullopt, {},
                               host::ByteRange{static_cast<std::int64_t>(i) * 10, 10}, 0, 0,
                               host.partialFetchHandler());
  }
  for (const Completion& c : host.waitFor(kFetches)) expectDelivered(c, {0, kSize}, true);
  EXPECT_TRUE(ext().engine()->refusesRanges());
}

// ---------------------------------------------------------------- creation

class CreateTest : public ExtensionTest {
 protected:
  CreateTest() {
    engine.on("POST", scopePath("/mkdir"), [](const Received& r) {
      return Reply{200, "{\"path\": " + jsonQuote(*r.bodyString("path")) + "}"};
    });
    engine.on("POST", scopePath("/upload"), [this](const Received& r) {
      auto source = r.bodyString("source");
      uploadedBytes.push_back(source ? read(*source) : "<none>");
      return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, 3, "engine-v1"))};
    });
  }

  Completion create(std::shared_ptr<const host::Item> templ,
                    std::optional<fs::path> contents = std::nullopt) {
    auto c = host.call([&](RecordingHost& h) {
      return ext().createItem(templ, 0, contents, 0, {}, h.changeHandler());
    });
    expectNothingPending(c);
    return c;
  }

  static std::shared_ptr<const host::Item> templ(std::string parent, std::string name,
                                                 std::optional<std::string> type) {
    return std::make_shared<TemplateItem>("new", std::move(parent), std::move(name),
                                          std::move(type));
  }

  std::vector<std::string> uploadedBytes;
};

TEST_F(CreateTest, FolderInTheRoot) {
  const auto before = std::chrono::system_clock::now();
  auto c = create(templ(kRoot, "Reports", "public.folder"));
  ASSERT_TRUE(c.item) << c.error->what();
  auto mkdirs = posts("/mkdir");
  ASSERT_EQ(mkdirs.size(), 1u);
  EXPECT_EQ(mkdirs[0].bodyString("path"), "Reports");
  EXPECT_EQ(c.item->itemIdentifier(), "Reports");
  EXPECT_EQ(c.item->filename(), "Reports");
  EXPECT_EQ(c.item->contentType(), "public.folder");
  EXPECT_EQ(c.item->itemVersion().contentVersion, "dir");
  ASSERT_TRUE(c.item->contentModificationDate());
  EXPECT_GE(*c.item->contentModificationDate() + std::chrono::seconds(1), before);
  EXPECT_TRUE(engine.requests("GET", scopePath("/list")).empty());
}

TEST_F(CreateTest, FileWithContentsIsUploadedAsNew) {
  auto contents = writeFile("a.txt", "abc");
  auto c = create(templ("docs", "a.txt", "public.plain-text"), contents);
  ASSERT_TRUE(c.item);
  auto uploads = posts("/upload");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].bodyString("path"), "docs/a.txt");
  EXPECT_EQ(uploads[0].bodyString("version"), "");
  EXPECT_EQ(uploadedBytes.at(0), "abc");
  EXPECT_EQ(c.item->itemVersion().contentVersion, "engine-v1");
  EXPECT_TRUE(fs::exists(contents));  // the host's file is left alone
}

TEST_F(CreateTest, FileWithoutContentsUploadsAnEmptyFileThatIsRemovedAfterwards) {
  auto c = create(templ(kRoot, "empty.txt", "public.plain-text"));
  ASSERT_TRUE(c.item);
  EXPECT_EQ(uploadedBytes.at(0), "");
  EXPECT_EQ(posts("/upload").at(0).bodyString("path"), "empty.txt");
  EXPECT_EQ(filesIn(env.tmp()), 0u);
  // Also when the upload fails.
  engine.on("POST", scopePath("/upload"), Reply{500, "{}"});
  auto failed = create(templ(kRoot, "other.txt", "public.plain-text"));
  EXPECT_TRUE(failed.error);
  EXPECT_EQ(filesIn(env.tmp()), 0u);
}

TEST_F(CreateTest, MissingTypeAndPackagesAreFiles) {
  for (auto type : {std::optional<std::string>(), std::optional<std::string>("com.apple.package")}) {
    auto c = create(templ(kRoot, "thing", type));
    EXPECT_TRUE(c.item);
  }
  EXPECT_EQ(posts("/upload").size(), 2u);
  EXPECT_TRUE(posts("/mkdir").empty());
}

TEST_F(CreateTest, AFolderAsTheContentsOfAFileIsRefusedLocally) {
  // Without a type the new item is a file; a folder cannot be staged as one,
  // so the host gets the file error and nothing reaches the engine.
  fs::create_directories(env.root() / "a folder");
  auto c = create(templ(kRoot, "thing", std::nullopt), env.root() / "a folder");
  expectHostError(c.error, host::kPOSIXErrorDomain, EISDIR);
  EXPECT_TRUE(posts("/mkdir").empty());
  EXPECT_TRUE(posts("/upload").empty());
}

TEST_F(CreateTest, ConflictIsAFileNameCollision) {
  engine.on("POST", scopePath("/mkdir"), Reply{409, ""});
  engine.on("POST", scopePath("/upload"), Reply{409, ""});
  for (auto type : {std::optional<std::string>("public.folder"), std::optional<std::string>()}) {
    auto c = create(templ(kRoot, "taken", type));
    EXPECT_FALSE(c.item);
    expectHostError(c.error, host::kFileProviderErrorDomain, host::codes::kFilenameCollision);
    EXPECT_TRUE(c.error->userInfo.empty());
  }
}

TEST_F(CreateTest, ForbiddenCarriesTheEnginesMessage) {
  engine.on("POST", scopePath("/upload"), Reply{403, R"({"message": "read-only bucket"})"});
  auto c = create(templ(kRoot, "a.txt", std::nullopt));
  expectHostError(c.error, "NSCocoaErrorDomain", 513);
  EXPECT_EQ(c.error->localizedDescription(), "read-only bucket");
}

// ------------------------------------------------------------ modification

class ModifyTest : public ExtensionTest {
 protected:
  ModifyTest() {
    engine.on("POST", scopePath("/upload"), [](const Received& r) {
      return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, 7, "uploaded-v2"))};
    });
    engine.on("POST", scopePath("/conflict-copy"), [](const Received& r) {
      return Reply{200, toJson(makeEntry(*r.bodyString("path") + " (conflict)", false, 7, "c"))};
    });
  }

  // Checks what every completion has: no pending fields, and the content to
  // fetch again only when the test expects the upload to have met a conflict.
  Completion modify(std::shared_ptr<const host::Item> item, host::ItemFields fields,
                    std::optional<fs::path> contents = std::nullopt,
                    std::string baseContent = "r7", bool refetch = false) {
    auto c = host.call([&](RecordingHost& h) {
      return ext().modifyItem(item, host::ItemVersion{baseContent, "meta"}, fields, contents, 0, {},
                              h.changeHandler());
    });
    EXPECT_EQ(c.pendingFields, 0u);
    EXPECT_EQ(c.shouldFetchContent, refetch);
    return c;
  }

  static std::shared_ptr<const host::Item> file(std::string id, std::string parent,
                                                std::string name) {
    return std::make_shared<TemplateItem>(std::move(id), std::move(parent), std::move(name),
                                          "public.plain-text");
  }
  static std::shared_ptr<const host::Item> folder(std::string id, std::string parent,
                                                  std::string name) {
    return std::make_shared<TemplateItem>(std::move(id), std::move(parent), std::move(name),
                                          "public.folder");
  }

  void answerPath(const std::string& suffix, const std::string& path) {
    engine.on("POST", scopePath(suffix), Reply{200, "{\"path\": " + jsonQuote(path) + "}"});
  }

  std::size_t sent(const std::string& suffix) const { return posts(suffix).size(); }
};

TEST_F(ModifyTest, OtherFieldsOnlyLookTheItemUp) {
  onList("docs", {makeEntry("docs/a.txt", false, 1, "listed-v")});
  for (host::ItemFields fields : {host::fields::kTagData | host::fields::kContentModificationDate,
                                  host::fields::kContents /* but no URL */}) {
    auto c = modify(file("docs/a.txt", "docs", "a.txt"), fields);
    ASSERT_TRUE(c.item);
    EXPECT_EQ(c.item->itemVersion().contentVersion, "listed-v");
  }
  EXPECT_EQ(sent("/upload") + sent("/rename") + sent("/move"), 0u);
  EXPECT_EQ(engine.requests("GET", scopePath("/list")).size(), 2u);
}

TEST_F(ModifyTest, ContentsAreUploadedWithTheBaseVersion) {
  auto contents = writeFile("new.txt", "new bytes");
  for (auto item : {file("docs/a.txt", "docs", "a.txt"), folder("docs/a.txt", "docs", "a.txt")}) {
    auto c = modify(item, host::fields::kContents, contents, "r7");
    ASSERT_TRUE(c.item);
    EXPECT_EQ(c.item->itemVersion().contentVersion, "uploaded-v2");
  }
  auto uploads = posts("/upload");
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(uploads[0].bodyString("path"), "docs/a.txt");
  EXPECT_EQ(uploads[0].bodyString("version"), "r7");
  EXPECT_TRUE(engine.requests("GET", scopePath("/list")).empty());
}

TEST_F(ModifyTest, BaseVersionBytesAreDecodedWithReplacement) {
  auto contents = writeFile("new.txt", "x");
  modify(file("a.txt", kRoot, "a.txt"), host::fields::kContents, contents, "r\xFF" "7");
  EXPECT_EQ(posts("/upload").at(0).bodyString("version"), "r\xEF\xBF\xBD" "7");
}

TEST_F(ModifyTest, UploadConflictKeepsAConflictCopyAndReportsTheEnginesItem) {
  engine.on("POST", scopePath("/upload"), Reply{409, ""});
  onList("docs", {makeEntry("docs/a.txt", false, 5, "theirs-v3")});
  auto contents = writeFile("mine.txt", "my bytes");
  // The host holds the user's bytes, which are not those of the item it
  // gets: it is told to fetch them.
  auto c = modify(file("docs/a.txt", "docs", "a.txt"), host::fields::kContents, contents, "r7",
                  /*refetch=*/true);
  ASSERT_TRUE(c.item) << c.error->what();
  EXPECT_FALSE(c.error);
  EXPECT_EQ(c.item->itemVersion().contentVersion, "theirs-v3");
  auto copies = posts("/conflict-copy");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].bodyString("path"), "docs/a.txt");
  EXPECT_FALSE(copies[0].bodyHas("version"));
  // Order: refused upload, conflict copy, then the listing of the old path.
  auto all = engine.requests();
  std::vector<std::string> order;
  for (auto& r : all) {
    if (r.path != "/v1/scopes") order.push_back(r.path);
  }
  EXPECT_EQ(order, (std::vector<std::string>{scopePath("/upload"), scopePath("/conflict-copy"),
                                             scopePath("/list")}));
}

TEST_F(ModifyTest, FailedConflictCopyReportsItsOwnError) {
  engine.on("POST", scopePath("/upload"), Reply{409, ""});
  engine.on("POST", scopePath("/conflict-copy"), Reply{403, R"({"message": "no"})"});
  auto c = modify(file("a.txt", kRoot, "a.txt"), host::fields::kContents, writeFile("m", "m"));
  expectHostError(c.error, "NSCocoaErrorDomain", 513);

  // The copy was made but the item is gone: an error, and nothing to fetch.
  engine.on("POST", scopePath("/conflict-copy"), Reply{200, toJson(makeEntry("a (c).txt"))});
  onList("", {});
  auto gone = modify(file("a.txt", kRoot, "a.txt"), host::fields::kContents, writeFile("m", "m"));
  expectNoSuchItem(gone.error);
}

TEST_F(ModifyTest, AConflictStillAsksForTheContentsAfterARename) {
  engine.on("POST", scopePath("/upload"), Reply{409, ""});
  answerPath("/rename", "b.txt");
  onList("", {makeEntry("a.txt", false, 5, "theirs-v3"), makeEntry("b.txt", false, 5, "theirs-v3")});
  auto c = modify(file("a.txt", kRoot, "b.txt"), host::fields::kContents | host::fields::kFilename,
                  writeFile("n", "n"), "r7", /*refetch=*/true);
  ASSERT_TRUE(c.item);
  EXPECT_EQ(c.item->itemVersion().contentVersion, "theirs-v3");
  EXPECT_EQ(sent("/conflict-copy"), 1u);
}

TEST_F(ModifyTest, FileRenameLooksUpTheReturnedPath) {
  answerPath("/rename", "docs/b.txt");
  onList("docs", {makeEntry("docs/b.txt", false, 1, "vb")});
  auto c = modify(file("docs/a.txt", "docs", "b.txt"), host::fields::kFilename);
  ASSERT_TRUE(c.item);
  EXPECT_EQ(c.item->itemIdentifier(), "docs/b.txt");
  auto renames = posts("/rename");
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0].bodyString("path"), "docs/a.txt");
  EXPECT_EQ(renames[0].bodyString("name"), "b.txt");
}

TEST_F(ModifyTest, FolderRenameIsReportedWithoutAListing) {
  answerPath("/rename", "papers/");
  auto c = modify(folder("docs", kRoot, "papers"), host::fields::kFilename);
  ASSERT_TRUE(c.item);
  EXPECT_EQ(posts("/rename").at(0).bodyString("path"), "docs/");
  EXPECT_EQ(posts("/rename").at(0).bodyString("name"), "papers");
  EXPECT_EQ(c.item->itemIdentifier(), "papers");
  EXPECT_EQ(c.item->filename(), "papers");
  EXPECT_EQ(c.item->contentType(), "public.folder");
  EXPECT_EQ(c.item->itemVersion().contentVersion, "dir");
  EXPECT_TRUE(engine.requests("GET", scopePath("/list")).empty());
}

TEST_F(ModifyTest, Moves) {
  answerPath("/move", "old/");
  auto toRoot = modify(folder("docs/old", kRoot, "old"), host::fields::kParentItemIdentifier);
  ASSERT_TRUE(toRoot.item);
  EXPECT_EQ(toRoot.item->itemIdentifier(), "old");
  EXPECT_EQ(posts("/move").at(0).bodyString("path"), "docs/old/");
  EXPECT_EQ(posts("/move").at(0).bodyString("dir"), "");

  answerPath("/move", "docs/a.txt");
  onList("docs", {makeEntry("docs/a.txt")});
  auto intoDocs = modify(file("a.txt", "docs", "a.txt"), host::fields::kParentItemIdentifier);
  ASSERT_TRUE(intoDocs.item);
  EXPECT_EQ(intoDocs.item->itemIdentifier(), "docs/a.txt");
  EXPECT_EQ(posts("/move").at(1).bodyString("path"), "a.txt");
  EXPECT_EQ(posts("/move").at(1).bodyString("dir"), "docs");
}

TEST_F(ModifyTest, RenameThenMoveFromTheReturnedPath) {
  answerPath("/rename", "docs/b.txt");
  answerPath("/move", "archive/b.txt");
  onList("archive", {makeEntry("archive/b.txt")});
  auto c = modify(file("docs/a.txt", "archive", "b.txt"),
                  host::fields::kFilename | host::fields::kParentItemIdentifier);
  ASSERT_TRUE(c.item);
  EXPECT_EQ(c.item->itemIdentifier(), "archive/b.txt");
  EXPECT_EQ(posts("/move").at(0).bodyString("path"), "docs/b.txt");
  EXPECT_EQ(posts("/move").at(0).bodyString("dir"), "archive");
}

TEST_F(ModifyTest, ContentsThenRenameUploadsAtTheOldPath) {
  answerPath("/rename", "b.txt");
  onList("", {makeEntry("b.txt", false, 1, "after-rename")});
  auto c = modify(file("a.txt", kRoot, "b.txt"), host::fields::kContents | host::fields::kFilename,
                  writeFile("n", "n"));
  ASSERT_TRUE(c.item);
  EXPECT_EQ(posts("/upload").at(0).bodyString("path"), "a.txt");
  // The upload's entry is dropped by the rename; the new path is looked up.
  EXPECT_EQ(c.item->itemVersion().contentVersion, "after-rename");
}

TEST_F(ModifyTest, FailedMoveAfterRenameReportsTheMoveAndKeepsTheRename) {
  answerPath("/rename", "b.txt");
  engine.on("POST", scopePath("/move"), Reply{409, ""});
  auto c = modify(file("a.txt", "docs", "b.txt"),
                  host::fields::kFilename | host::fields::kParentItemIdentifier);
  EXPECT_FALSE(c.item);
  expectHostError(c.error, host::kFileProviderErrorDomain, host::codes::kFilenameCollision);
  EXPECT_EQ(sent("/rename"), 1u);
  EXPECT_EQ(posts("/move").at(0).bodyString("path"), "b.txt");
}

// ---------------------------------------------------------------- deletion

class DeleteTest : public ExtensionTest {
 protected:
  DeleteTest() { engine.on("POST", scopePath("/delete"), Reply{200, R"({"deleted": []})"}); }

  Completion remove(const std::string& id, host::DeleteItemOptions options = 0,
                    std::string base = "any") {
    return host.call([&](RecordingHost& h) {
      return ext().deleteItem(id, host::ItemVersion{base, base}, options, {}, h.deleteHandler());
    });
  }
  std::vector<std::vector<std::string>> keys() const {
    std::vector<std::vector<std::string>> all;
    for (auto& r : posts("/delete")) all.push_back(r.bodyStrings("paths").value_or(std::vector<std::string>{}));
    return all;
  }
};

TEST_F(DeleteTest, FileAndFolderKeys) {
  onList("docs", {makeEntry("docs/a.txt"), makeEntry("docs/old", true)});
  EXPECT_FALSE(remove("docs/a.txt").error);
  EXPECT_FALSE(remove("docs/old").error);
  EXPECT_EQ(keys(), (std::vector<std::vector<std::string>>{{"docs/a.txt"}, {"docs/old/"}}));
  for (auto& r : engine.requests("GET", scopePath("/list"))) {
    EXPECT_EQ(r.queryValue("dir"), "docs");
  }
}

TEST_F(DeleteTest, NotListedSendsNoDeletion) {
  onList("docs", {});
  expectNoSuchItem(remove("docs/gone.txt").error);
  EXPECT_TRUE(posts("/delete").empty());
}

TEST_F(DeleteTest, OptionsAndBaseVersionDoNotChangeTheRequest) {
  onList("", {makeEntry("d", true)});
  remove("d", 0, "v1");
  remove("d", host::options::kRecursive, "v2");
  auto all = posts("/delete");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].body, all[1].body);
}

TEST_F(DeleteTest, KeyComesFromTheListedEntry) {
  Entry listed = makeEntry("Docs/a.txt");
  onList("docs", {listed});
  EXPECT_FALSE(remove("docs/a.txt").error);
  EXPECT_EQ(keys(), (std::vector<std::vector<std::string>>{{"Docs/a.txt"}}));
}

TEST_F(DeleteTest, RootIsRefusedWithNothingSent) {
  auto c = remove(kRoot);
  expectHostError(c.error, host::kFileProviderErrorDomain, host::codes::kDeletionRejected);
  EXPECT_TRUE(c.error->userInfo.empty());
  EXPECT_TRUE(engine.requests().empty());
}

TEST_F(DeleteTest, ForbiddenCarriesTheMessage) {
  onList("", {makeEntry("a.txt")});
  engine.on("POST", scopePath("/delete"), Reply{403, R"({"message": "read-only"})"});
  auto c = remove("a.txt");
  expectHostError(c.error, "NSCocoaErrorDomain", 513);
  EXPECT_EQ(c.error->localizedDescription(), "read-only");
}

// --- modification dates ------------------------------------------------------

// A date alone goes to the engine without the contents, to the nanosecond,
// with the base version; the host gets the item the engine answers, or an
// error it can tell apart: gone, changed meanwhile, or an engine that cannot
// (asked once).
TEST_F(ExtensionTest, ADateAloneReachesTheEngineOrSaysItCannot) {
  auto dates = std::dynamic_pointer_cast<host::ModificationDateSetting>(makeExtension());
  ASSERT_TRUE(dates) << "offered beside the replicated extension";
  const host::FileTime date{981173106, 123456789};
  auto set = [&] {
    return host.call([&](RecordingHost& h) {
      return dates->setContentModificationDate("docs/a.txt", date, host::ItemVersion{"r\xFF", "m"},
                                               {}, h.itemHandler());
    });
  };
  struct Case {
    const char* what;
    Reply reply;
    std::string errorDomain;  // empty: success
    std::int64_t code = 0;
  };
  const std::vector<Case> cases = {
      {"set", Reply{200, toJson(makeEntry("docs/a.txt", false, 3, "r9", 981173106))}, "", 0},
      {"gone", Reply{404, R"({"message":"Nothing is at \"docs/a.txt\"."})"},
       std::string(host::kFileProviderErrorDomain), host::codes::kNoSuchItem},
      {"changed", Reply{409, R"({"message":"changed"})"},
       std::string(host::kFileProviderErrorDomain), host::codes::kFilenameCollision},
      {"an engine without it",
       Reply{404, R"({"message":"There is no operation \"set-mod-time\" on a scope."})"},
       std::string(host::kPOSIXErrorDomain), ENOTSUP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine.clearRequests();
    engine.on("POST", scopePath("/set-mod-time"), c.reply);
    const Completion done = set();
    if (c.errorDomain.empty()) {
      EXPECT_FALSE(done.error);
      ASSERT_TRUE(done.item);
      EXPECT_EQ(done.item->itemVersion().contentVersion, "r9");
      EXPECT_EQ(done.item->contentModificationDate()->time_since_epoch(),
                std::chrono::seconds(981173106));
    } else {
      EXPECT_FALSE(done.item);
      expectHostError(done.error, c.errorDomain, c.code);
    }
    const auto sent = posts("/set-mod-time");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bodyString("path"), "docs/a.txt");
    EXPECT_EQ(sent[0].bodyString("mod_time"), "2001-02-03T04:05:06.123456789Z");
    EXPECT_EQ(sent[0].bodyString("version"), "r\xEF\xBF\xBD");
    EXPECT_TRUE(engine.requests("POST", scopePath("/upload")).empty());
  }
  engine.clearRequests();
  expectHostError(set().error, host::kPOSIXErrorDomain, ENOTSUP);
  EXPECT_TRUE(posts("/set-mod-time").empty()) << "the extension learnt that its engine cannot";
}

}  // namespace
}  // namespace corvane::testing
