// The mount's host logic without a kernel: MountFileSystem driven the way the
// FUSE adapter drives it, against the real extension and either the real
// engine (behaviour end to end) or the scripted test engine (which requests
// are sent, and which are not).
#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/folder_handle.h"
#include "corvane-mount/item_cache.h"
#include "corvane-mount/mount_file_system.h"
#include "corvane-mount/size_text.h"
#include "corvane-mount/write_back_queue.h"
#include "engine/engine_client.h"
#include "engine/json_text.h"
#include "extension/file_provider_extension.h"
#include "items/item.h"
#include "support/engine_process.h"
#include "support/engine_queries.h"
#include "support/extension_fixture.h"
#include "support/test_env.h"

namespace corvane::mount {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::engineLogged;
using testing::engineVersion;
using testing::latestAnchor;
using testing::EngineProcess;
using testing::makeEntry;
using testing::Reply;
using testing::Received;

const auto* const kLog = ::testing::AddGlobalTestEnvironment(new testing::ProcessLogEnvironment);

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Retries `done` until it holds or `timeout` has passed.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// The errno a call fails with; 0 when it does not fail.
int errnoOf(const std::function<void()>& call) {
  try {
    call();
  } catch (...) {
    return errnoFor(std::current_exception());
  }
  return 0;
}

class FolderManager final : public host::Manager {
 public:
  explicit FolderManager(fs::path folder) : folder_(std::move(folder)) {}
  fs::path temporaryDirectoryURL() override { return folder_; }

 private:
  fs::path folder_;
};

MountOptions defaultOptions() {
  MountOptions options;
  options.uid = ::getuid();
  options.gid = ::getgid();
  return options;
}

std::unique_ptr<MountFileSystem> makeMount(const std::string& domain, const fs::path& cache,
                                           MountOptions options = defaultOptions()) {
  auto manager = std::make_shared<FolderManager>(cache / "tmp");
  auto extension = std::make_shared<FileProviderExtension>(
      host::Domain{domain, domain},
      [manager](const host::Domain&) -> std::shared_ptr<host::Manager> { return manager; });
  return std::make_unique<MountFileSystem>(extension, cache, options);
}

// How many lines the log got since `watch` was made that hold `text`.
std::size_t logged(const testing::LogWatch& watch, const std::string& text) {
  std::size_t count = 0;
  for (const auto& line : watch.messages()) count += line.find(text) != std::string::npos;
  return count;
}

// Kernel-like calls on a MountFileSystem, by path.
class Driver {
 public:
  explicit Driver(MountFileSystem& fs) : fs_(fs) {}

  Ino at(const std::string& path) {
    Ino ino = kRootIno;
    std::size_t start = 0;
    while (start < path.size()) {
      auto slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      ino = fs_.lookup(ino, path.substr(start, slash - start)).ino;
      start = slash + 1;
    }
    return ino;
  }

  std::string read(const std::string& path) {
    auto h = fs_.open(at(path), O_RDONLY);
    std::string out(fs_.getattr(h->ino).size + 4096, '\0');
    out.resize(fs_.read(*h, out.data(), out.size(), 0));
    fs_.release(std::move(h));
    return out;
  }

  // Opens (creating when missing) and writes at `offset`, then closes and
  // waits for the write-back.
  void write(const std::string& path, const std::string& bytes, int flags = O_WRONLY | O_TRUNC,
             std::int64_t offset = 0) {
    save(path, bytes, flags, offset);
    fs_.waitForWriteBacks();
  }
  // The same without waiting: the write-back may still be queued or running.
  void save(const std::string& path, const std::string& bytes, int flags = O_WRONLY | O_TRUNC,
            std::int64_t offset = 0) {
    auto [parent, name] = split(path);
    std::unique_ptr<Handle> h;
    try {
      h = fs_.open(fs_.lookup(parent, name).ino, flags);
    } catch (const Refusal& r) {
      if (r.err() != ENOENT) throw;
      h = fs_.create(parent, name, flags | O_CREAT).second;
    }
    if (!bytes.empty()) fs_.write(*h, bytes.data(), bytes.size(), offset);
    fs_.flush(*h);
    fs_.release(std::move(h));
  }

  std::set<std::string> names(const std::string& dir) {
    std::set<std::string> out;
    for (auto& e : fs_.readdir(at(dir))) out.insert(e.name);
    return out;
  }

  std::pair<Ino, std::string> split(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return {kRootIno, path};
    return {at(path.substr(0, slash)), path.substr(slash + 1)};
  }

 private:
  MountFileSystem& fs_;
};

// ------------------------------------------------------------------ pure parts

TEST(ErrnoMapTest, HostErrorsMapByOneTable) {
  struct Case {
    std::string domain;
    std::int64_t code;
    int expected;
  };
  const std::string fp(host::kFileProviderErrorDomain), cocoa(host::kCocoaErrorDomain),
      posix(host::kPOSIXErrorDomain);
  const std::vector<Case> cases = {
      {fp, host::codes::kNoSuchItem, ENOENT},
      {fp, host::codes::kFilenameCollision, EEXIST},
      {cocoa, host::codes::kCocoaWriteNoPermission, EACCES},
      {fp, host::codes::kNotAuthenticated, EACCES},
      {fp, host::codes::kServerUnreachable, EIO},
      {fp, host::codes::kSyncAnchorExpired, EIO},
      {cocoa, host::codes::kCocoaCoderReadCorrupt, EIO},
      {posix, ENOSPC, ENOSPC},
      {"CorvaneSyncFileProvider.EngineError", 1, EIO},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errnoFor(host::Error(c.domain, c.code)), c.expected) << c.domain << " " << c.code;
  }
  EXPECT_EQ(errnoOf([] { throw Refusal(ENOTEMPTY); }), ENOTEMPTY);
  EXPECT_EQ(errnoOf([] { throw fs::filesystem_error("x", std::make_error_code(std::errc::no_space_on_device)); }),
            ENOSPC);
  EXPECT_EQ(errnoOf([] { throw std::runtime_error("odd"); }), EIO);
  EXPECT_TRUE(isRefusal(std::make_exception_ptr(Refusal(EEXIST))));
  EXPECT_FALSE(isRefusal(std::make_exception_ptr(host::Error::fileProvider(-1005))));
}

// ------------------------------------------------------------------ item cache

class ItemCacheTest : public ::testing::Test {
 protected:
  static std::shared_ptr<const host::Item> item(const std::string& path, bool dir = false,
                                                std::string version = "v1") {
    return std::make_shared<const Item>(makeEntry(path, dir, 1, std::move(version)),
                                        testing::makeScope());
  }
  ItemCache cache{Item::root(testing::makeScope())};
};

TEST_F(ItemCacheTest, MovingAFolderRenamesEverythingBelowIt) {
  auto docs = cache.upsert(kRootIno, item("docs", true));
  auto sub = cache.upsert(docs.ino, item("docs/sub", true));
  auto file = cache.upsert(sub.ino, item("docs/sub/a.txt"));
  auto papers = cache.upsert(kRootIno, item("papers", true));

  cache.move(docs.ino, papers.ino, "old");

  EXPECT_FALSE(cache.byIdentifier("docs/sub/a.txt"));
  ASSERT_TRUE(cache.byIdentifier("papers/old/sub/a.txt"));
  EXPECT_EQ(cache.byIdentifier("papers/old/sub/a.txt")->ino, file.ino);
  EXPECT_EQ(cache.get(file.ino)->path, "papers/old/sub/a.txt");
  EXPECT_FALSE(cache.child(kRootIno, "docs"));
  EXPECT_EQ(cache.child(papers.ino, "old")->ino, docs.ino);
}

TEST_F(ItemCacheTest, MovingOntoANameDetachesWhatWasThere) {
  auto a = cache.upsert(kRootIno, item("a.txt"));
  auto b = cache.upsert(kRootIno, item("b.txt"));
  cache.lookedUp(b.ino);  // the kernel still holds it

  cache.move(a.ino, kRootIno, "b.txt");

  EXPECT_EQ(cache.child(kRootIno, "b.txt")->ino, a.ino);
  EXPECT_FALSE(cache.get(b.ino)->attached);
  EXPECT_TRUE(cache.forget(b.ino, 1));  // gone once forgotten
  EXPECT_FALSE(cache.get(b.ino));
}

TEST_F(ItemCacheTest, FillReplacesChildrenButKeepsLocalFiles) {
  auto gone = cache.upsert(kRootIno, item("gone.txt"));
  auto local = cache.addLocal(kRootIno, "draft.txt");
  std::vector<Invalidation> notes;

  cache.fill(kRootIno, {item("a.txt"), item("d", true)},
             [&](Ino ino) { return ino == local.ino; }, &notes);
  auto children = cache.children(kRootIno);

  std::set<std::string> names;
  for (auto& c : children) names.insert(c.name);
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", "d", "draft.txt"}));
  EXPECT_TRUE(cache.get(kRootIno)->complete);
  EXPECT_FALSE(cache.get(gone.ino));  // never held by the kernel: dropped at once
  EXPECT_EQ(notes, (std::vector<Invalidation>{{Invalidation::entry, kRootIno, "gone.txt"}}));
}

// A listing takes a while; what changed in the cache while it was asked for
// is newer than the listing and stays as it is.
TEST_F(ItemCacheTest, ChildrenChangedWhileTheListingWasAskedForStay) {
  auto changed = cache.upsert(kRootIno, item("changed.txt", false, "v1"));
  auto gone = cache.upsert(kRootIno, item("gone.txt"));
  auto uploaded = cache.addLocal(kRootIno, "uploaded.txt");
  const auto mark = cache.mark();
  cache.setItem(changed.ino, item("changed.txt", false, "v2"));
  cache.setItem(uploaded.ino, item("uploaded.txt", false, "u1"));
  auto made = cache.upsert(kRootIno, item("made.txt"));

  cache.fill(kRootIno, {item("changed.txt", false, "v1")}, {}, nullptr, mark);

  EXPECT_EQ(cache.get(changed.ino)->item->itemVersion().contentVersion, "v2");
  EXPECT_TRUE(cache.get(uploaded.ino)->attached);
  EXPECT_TRUE(cache.get(made.ino)->attached);
  EXPECT_FALSE(cache.get(gone.ino));
  EXPECT_TRUE(cache.get(kRootIno)->complete);
}

TEST_F(ItemCacheTest, ResetKeepsOnlyWhatHoldsLocalChangesAndTheirFolders) {
  auto docs = cache.upsert(kRootIno, item("docs", true));
  auto kept = cache.upsert(docs.ino, item("docs/kept.txt"));
  auto other = cache.upsert(docs.ino, item("docs/other.txt"));
  auto top = cache.upsert(kRootIno, item("top.txt"));
  for (auto ino : {docs.ino, kept.ino, other.ino, top.ino}) cache.lookedUp(ino);
  cache.setComplete(docs.ino, true);
  std::vector<Invalidation> notes;

  cache.reset([&](Ino ino) { return ino == kept.ino; }, &notes);

  EXPECT_TRUE(cache.get(kept.ino)->attached);
  EXPECT_TRUE(cache.get(docs.ino)->attached);
  EXPECT_FALSE(cache.get(docs.ino)->complete);
  EXPECT_FALSE(cache.get(other.ino)->attached);
  EXPECT_FALSE(cache.get(top.ino)->attached);
  EXPECT_EQ(notes.size(), 2u);
}

// `keep` takes the locks of the files' local state, which a thread that
// writes a working copy's record holds while it reads the cache. Each `keep`
// here waits for such a thread: should the cache still hold its lock while
// asking, that thread could not get in, and `keep` would give up waiting.
TEST_F(ItemCacheTest, KeepIsAskedWithoutTheCachesLock) {
  using Keep = std::function<bool(Ino)>;
  auto fill = [&](const Keep& keep) {
    cache.fill(kRootIno, {item("listed.txt")}, keep, nullptr);
  };
  auto reset = [&](const Keep& keep) { cache.reset(keep, nullptr); };
  for (const auto& [what, call] : std::vector<std::pair<std::string, std::function<void(Keep)>>>{
           {"fill", fill}, {"reset", reset}}) {
    SCOPED_TRACE(what);
    auto missing = cache.upsert(kRootIno, item("missing.txt"));
    cache.lookedUp(missing.ino);
    int asked = 0, waited = 0;
    std::vector<std::future<bool>> late;  // they finish once the cache lets go
    call([&](Ino ino) {
      ++asked;
      auto read = std::async(std::launch::async, [&] { return cache.get(ino).has_value(); });
      if (read.wait_for(5s) == std::future_status::ready && read.get()) {
        ++waited;
      } else {
        late.push_back(std::move(read));
      }
      return ino == missing.ino;
    });
    late.clear();
    EXPECT_GT(asked, 0);
    EXPECT_EQ(waited, asked) << "the cache's lock was held while `keep` was asked";
    EXPECT_TRUE(cache.get(missing.ino)->attached) << "kept, as `keep` said";
  }
}

TEST_F(ItemCacheTest, NamesMatchAcrossUnicodeNormalisation) {
  auto cafe = cache.upsert(kRootIno, item("cafe\xCC\x81.txt"));  // e + combining acute
  ASSERT_TRUE(cache.child(kRootIno, "caf\xC3\xA9.txt"));         // precomposed é
  EXPECT_EQ(cache.child(kRootIno, "caf\xC3\xA9.txt")->ino, cafe.ino);
  EXPECT_FALSE(cache.child(kRootIno, "cafe.txt"));
}

// ------------------------------------------------------- against the real engine

class MountLogicTest : public ::testing::Test {
 protected:
  MountLogicTest() : backing(env.root() / "bucket") { fs::create_directories(backing); }

  void SetUp() override { startEngine(); }

  void startEngine(std::vector<std::string> readOnly = {}) {
    EngineProcess::Options options;
    options.binary = CORVANE_BIN_DIR "/corvane-engine";
    options.scopes = {{"test", backing}};
    options.readOnly = std::move(readOnly);
    engine = std::make_unique<EngineProcess>(options);  // started
  }

  MountFileSystem& mount() {
    if (!fs_) {
      fs_ = makeMount(EngineProcess::scopeId(1), cacheFolder(), options);
      driver = std::make_unique<Driver>(*fs_);
    }
    return *fs_;
  }
  fs::path cacheFolder() const { return env.cacheHome() / "mount"; }
  // Ends the mount as an unmount does.
  void unmount() {
    if (!fs_) return;
    fs_->shutdown();
    driver.reset();
    fs_.reset();
  }
  // The records of unsent changes in the mount's cache.
  std::vector<WorkRecord> unsent() const {
    std::vector<WorkRecord> out;
    for (auto& [copy, record] : ContentCache::recorded(cacheFolder())) out.push_back(record);
    return out;
  }
  Driver& d() {
    mount();
    return *driver;
  }


  // Polls until `done` holds (the engine takes a moment to see changes made
  // in its folder by others).
  bool pollUntil(const std::function<bool()>& done) {
    return eventually([&] {
      mount().pollOnce();
      return done();
    });
  }

  std::set<std::string> backingNames(const std::string& dir = "") {
    std::set<std::string> out;
    for (auto& e : fs::directory_iterator(backing / dir)) out.insert(e.path().filename().string());
    return out;
  }

  testing::TestEnvironment env;
  fs::path backing;
  MountOptions options = defaultOptions();
  std::unique_ptr<EngineProcess> engine;
  std::unique_ptr<MountFileSystem> fs_;
  std::unique_ptr<Driver> driver;
};

TEST_F(MountLogicTest, ListsReadsAndShowsAttributesOfTheBackingFolder) {
  fs::create_directories(backing / "docs");
  put(backing / "a.txt", "hello");
  put(backing / "docs" / "d.txt", "in docs");

  auto entries = mount().readdir(kRootIno);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "a.txt");
  EXPECT_FALSE(entries[0].attributes.dir);
  EXPECT_EQ(entries[0].attributes.size, 5u);
  EXPECT_EQ(entries[0].attributes.mode, S_IFREG | 0644u);
  EXPECT_EQ(entries[0].attributes.uid, ::getuid());
  EXPECT_EQ(entries[1].name, "docs");
  EXPECT_EQ(entries[1].attributes.mode, S_IFDIR | 0755u);

  EXPECT_EQ(d().read("a.txt"), "hello");
  EXPECT_EQ(d().read("docs/d.txt"), "in docs");  // docs was never listed: looked up
  EXPECT_EQ(errnoOf([&] { d().at("docs/missing"); }), ENOENT);
  EXPECT_EQ(errnoOf([&] { d().at("missing"); }), ENOENT);
}

// A reply with room for `room` entries, as the kernel's buffer has.
class ListingReply final : public EntryReplier {
 public:
  ListingReply(std::size_t room, bool withAttributes) : room_(room), plus_(withAttributes) {}
  bool add(const DirEntry& entry, std::uint64_t next) override {
    if (names.size() == room_) return false;
    names.push_back(entry.name);
    inos.push_back(entry.attributes.ino);
    nexts.push_back(next);
    return true;
  }
  bool withAttributes() const override { return plus_; }

  std::vector<std::string> names;
  std::vector<Ino> inos;
  std::vector<std::uint64_t> nexts;

 private:
  const std::size_t room_;
  const bool plus_;
};

TEST_F(MountLogicTest, AFolderIsReadInPiecesFromOneSnapshot) {
  fs::create_directories(backing / "docs");
  put(backing / "a.txt", "a");
  put(backing / "b.txt", "b");
  auto root = mount().opendir(kRootIno);

  ListingReply first(3, false);
  mount().readdir(*root, 0, first);
  EXPECT_EQ(first.names, (std::vector<std::string>{".", "..", "a.txt"}));
  EXPECT_EQ(first.nexts, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(first.inos.at(0), kRootIno);
  EXPECT_EQ(first.inos.at(1), kRootIno);  // the root is its own parent

  d().write("c.txt", "c");  // made while the listing is read
  ListingReply rest(10, false);
  mount().readdir(*root, 3, rest);
  EXPECT_EQ(rest.names, (std::vector<std::string>{"b.txt", "docs"}));
  EXPECT_EQ(rest.nexts, (std::vector<std::uint64_t>{4, 5}));

  ListingReply rewound(10, false);
  mount().readdir(*root, 0, rewound);
  EXPECT_EQ(rewound.names,
            (std::vector<std::string>{".", "..", "a.txt", "b.txt", "c.txt", "docs"}));

  const Ino docs = d().at("docs");
  auto inDocs = mount().opendir(docs);
  ListingReply up(2, false);
  mount().readdir(*inDocs, 0, up);
  EXPECT_EQ(up.inos, (std::vector<Ino>{docs, kRootIno}));
  EXPECT_EQ(errnoOf([&] { mount().opendir(d().at("a.txt")); }), ENOTDIR);
}

TEST_F(MountLogicTest, AListingWithAttributesHandsTheKernelAReferenceToEachChildItCarries) {
  fs::create_directories(backing / "docs");
  put(backing / "docs" / "listed.txt", "1");
  put(backing / "docs" / "unlisted.txt", "2");
  const Ino docs = d().at("docs");  // the kernel's one reference to the folder
  auto folder = mount().opendir(docs);
  ListingReply plain(10, false);  // names only: no references
  mount().readdir(*folder, 0, plain);
  ListingReply reply(3, true);  // no room for the second file
  mount().readdir(*folder, 0, reply);
  ASSERT_EQ(reply.names, (std::vector<std::string>{".", "..", "listed.txt"}));
  const Ino listed = reply.inos.at(2);
  const Ino unlisted = mount().cache().child(docs, "unlisted.txt")->ino;

  mount().unlink(docs, "listed.txt");
  mount().unlink(docs, "unlisted.txt");
  // The kernel holds the listed file until it forgets it; nobody holds the other.
  EXPECT_TRUE(mount().cache().get(listed));
  EXPECT_FALSE(mount().cache().get(unlisted));
  mount().forget(listed, 1);
  EXPECT_FALSE(mount().cache().get(listed));

  // "." and ".." hand out no reference: one forget ends the folder's record.
  mount().rmdir(kRootIno, "docs");
  mount().forget(docs, 1);
  EXPECT_FALSE(mount().cache().get(docs));
}

TEST_F(MountLogicTest, WritesNewAndChangedFilesBack) {
  put(backing / "log.txt", "0123456789");
  d().write("new.txt", "fresh");
  EXPECT_EQ(slurp(backing / "new.txt"), "fresh");

  d().write("log.txt", "abc", O_WRONLY, 3);  // in place
  EXPECT_EQ(slurp(backing / "log.txt"), "012abc6789");
  d().write("log.txt", "+", O_WRONLY | O_APPEND, 10);
  EXPECT_EQ(slurp(backing / "log.txt"), "012abc6789+");

  mount().setattr(d().at("log.txt"), SetAttributes{4}, nullptr);  // truncate(2)
  EXPECT_EQ(slurp(backing / "log.txt"), "012a");
  EXPECT_EQ(mount().getattr(d().at("log.txt")).size, 4u);

  d().write("empty", "");  // touch
  EXPECT_TRUE(fs::exists(backing / "empty"));
  EXPECT_EQ(fs::file_size(backing / "empty"), 0u);

  // Reads after the write-back come from the content cache, not a download.
  EXPECT_EQ(d().read("log.txt"), "012a");
  EXPECT_TRUE(fs::exists(mount().contents().fileFor("log.txt", engineVersion("log.txt"))));
}

// A closed file waits out the write-back delay, so that a burst of writes
// (an archive unpacked) ends on the local disk before its uploads compete with
// it; whatever needs the file at the engine sooner (a rename, a removal, the
// unmount) sends it at once instead of waiting.
TEST_F(MountLogicTest, AClosedFileWaitsOutTheDelayUnlessSomethingNeedsItSooner) {
  options.writeBackDelay = 120s;  // far longer than this test may take
  const auto start = std::chrono::steady_clock::now();
  auto closeNew = [&](const std::string& name, const std::string& bytes) {
    auto h = mount().create(kRootIno, name, O_WRONLY | O_CREAT).second;
    mount().write(*h, bytes.data(), bytes.size(), 0);
    mount().release(std::move(h));
  };
  closeNew("kept.txt", "kept");
  closeNew("moved.txt", "moved");
  closeNew("removed.txt", "removed");
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(backingNames().empty()) << "sent before the delay was over";
  EXPECT_EQ(d().read("kept.txt"), "kept");  // from the working copy meanwhile

  mount().rename(kRootIno, "moved.txt", kRootIno, "renamed.txt", 0);
  EXPECT_EQ(slurp(backing / "renamed.txt"), "moved");
  mount().unlink(kRootIno, "removed.txt");
  EXPECT_EQ(backingNames(), std::set<std::string>{"renamed.txt"});

  // Saved again while it waits: the later bytes are what the unmount sends.
  auto h = mount().open(d().at("kept.txt"), O_WRONLY | O_TRUNC);
  mount().write(*h, "kept again", 10, 0);
  mount().release(std::move(h));
  unmount();
  EXPECT_EQ(slurp(backing / "kept.txt"), "kept again");
  EXPECT_TRUE(unsent().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s) << "something waited for the delay";
}

TEST_F(MountLogicTest, WritesGoToAWorkingCopyUntilClose) {
  put(backing / "a.txt", "old");
  Ino ino = d().at("a.txt");
  auto h = mount().open(ino, O_WRONLY | O_TRUNC);
  mount().write(*h, "new bytes", 9, 0);
  EXPECT_EQ(mount().getattr(ino).size, 9u);  // what the writer sees
  EXPECT_EQ(slurp(backing / "a.txt"), "old");  // the engine does not yet

  mount().fsync(*h);
  EXPECT_EQ(slurp(backing / "a.txt"), "new bytes");
  mount().release(std::move(h));
  mount().waitForWriteBacks();
  EXPECT_EQ(d().read("a.txt"), "new bytes");
}

TEST_F(MountLogicTest, MkdirRenameAndRemove) {
  Ino docs = mount().mkdir(kRootIno, "docs").ino;
  EXPECT_TRUE(fs::is_directory(backing / "docs"));
  EXPECT_EQ(errnoOf([&] { mount().mkdir(kRootIno, "docs"); }), EEXIST);
  d().write("docs/a.txt", "A");

  mount().rename(docs, "a.txt", kRootIno, "b.txt", 0);  // rename and move at once
  EXPECT_EQ(slurp(backing / "b.txt"), "A");
  EXPECT_FALSE(fs::exists(backing / "docs" / "a.txt"));

  mount().rename(kRootIno, "docs", kRootIno, "papers", 0);
  EXPECT_TRUE(fs::is_directory(backing / "papers"));
  EXPECT_EQ(d().at("papers"), docs);  // same inode under its new name

  mount().rename(kRootIno, "b.txt", docs, "c.txt", 0);
  EXPECT_EQ(slurp(backing / "papers" / "c.txt"), "A");
  EXPECT_EQ(d().read("papers/c.txt"), "A");

  EXPECT_EQ(errnoOf([&] { mount().rmdir(kRootIno, "papers"); }), ENOTEMPTY);
  EXPECT_TRUE(fs::exists(backing / "papers" / "c.txt"));
  mount().unlink(docs, "c.txt");
  EXPECT_FALSE(fs::exists(backing / "papers" / "c.txt"));
  mount().rmdir(kRootIno, "papers");
  EXPECT_FALSE(fs::exists(backing / "papers"));
  EXPECT_EQ(errnoOf([&] { d().at("papers"); }), ENOENT);
}

TEST_F(MountLogicTest, RenameWithANameTakenInTheOldFolderStillMoves) {
  fs::create_directories(backing / "a");
  fs::create_directories(backing / "b");
  put(backing / "a" / "x", "X");
  put(backing / "a" / "y", "stays");

  mount().rename(d().at("a"), "x", d().at("b"), "y", 0);

  EXPECT_EQ(slurp(backing / "b" / "y"), "X");
  EXPECT_EQ(slurp(backing / "a" / "y"), "stays");
  EXPECT_EQ(backingNames("a"), std::set<std::string>{"y"});
}

TEST_F(MountLogicTest, EditorSaveReplacesTheFileAndLeavesNothingBehind) {
  put(backing / "notes.txt", "version 1");
  EXPECT_EQ(d().read("notes.txt"), "version 1");
  d().write(".notes.txt.swp", "version 2");

  EXPECT_EQ(errnoOf([&] {
              mount().rename(kRootIno, ".notes.txt.swp", kRootIno, "notes.txt", RENAME_NOREPLACE);
            }),
            EEXIST);
  EXPECT_EQ(slurp(backing / "notes.txt"), "version 1");

  mount().rename(kRootIno, ".notes.txt.swp", kRootIno, "notes.txt", 0);

  EXPECT_EQ(slurp(backing / "notes.txt"), "version 2");
  EXPECT_EQ(backingNames(), std::set<std::string>{"notes.txt"});
  EXPECT_EQ(d().read("notes.txt"), "version 2");
  EXPECT_EQ(d().names(""), std::set<std::string>{"notes.txt"});

  // A name of the longest length still has room to step aside.
  const std::string longest = std::string(250, 'l') + ".txt";
  put(backing / longest, "long 1");
  ASSERT_TRUE(pollUntil([&] { return d().names("").count(longest) == 1; }));
  EXPECT_EQ(d().read(longest), "long 1");
  d().write("draft", "long 2");
  mount().rename(kRootIno, "draft", kRootIno, longest, 0);
  EXPECT_EQ(slurp(backing / longest), "long 2");
  EXPECT_EQ(backingNames(), (std::set<std::string>{"notes.txt", longest}));
  EXPECT_TRUE(fs::is_empty(cacheFolder() / "intents"));
}

// A mount that stops between the steps of a rename over a file (here: a test
// hook throws where a crash could come) leaves its intent, and the next
// mount settles it: no hidden file survives, no file is lost, and a file the
// mount did not make is never deleted.
TEST_F(MountLogicTest, ARenameOverAFileCutShortIsSettledByTheNextMount) {
  using Step = TestHooks::ReplaceStep;
  struct Case {
    std::string name;
    Step step;
    std::string shown;     // what the name holds after the next start
    bool draftLeft;        // the new file still under its own name
    bool otherAtAside;     // someone changed the aside file meanwhile
  };
  const std::vector<Case> cases = {
      {"recorded", Step::recorded, "old", true, false},
      {"aside", Step::steppedAside, "old", true, false},
      {"took", Step::tookName, "new", false, false},
      {"other", Step::tookName, "new", false, true},
  };
  struct SimulatedCrash {};
  for (const auto& c : cases) put(backing / (c.name + ".txt"), "old");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name + ".txt", draft = "." + c.name + ".draft";
    unmount();
    options.testHooks.afterReplaceStep = [&c](Step step) {
      if (step == c.step) throw SimulatedCrash{};
    };
    EXPECT_EQ(d().read(name), "old");
    d().write(draft, "new");
    EXPECT_THROW(mount().rename(kRootIno, draft, kRootIno, name, 0), SimulatedCrash);
    driver.reset();
    fs_.reset();  // no shutdown: as after kill -9
    options.testHooks = {};

    std::string aside;
    for (const auto& n : backingNames()) {
      if (n.find(".replaced-") != std::string::npos) aside = n;
    }
    if (c.otherAtAside) {
      ASSERT_FALSE(aside.empty());
      put(backing / aside, "changed by someone else");
      ASSERT_TRUE(eventually([&] { return !engineVersion(aside).empty(); }));
    }

    mount();
    EXPECT_EQ(slurp(backing / name), c.shown);
    EXPECT_EQ(fs::exists(backing / draft), c.draftLeft);
    if (c.draftLeft) {
      EXPECT_EQ(slurp(backing / draft), "new");
    }
    if (c.otherAtAside) {
      EXPECT_EQ(slurp(backing / aside), "changed by someone else");
      fs::remove(backing / aside);
    }
    for (const auto& n : backingNames()) {
      EXPECT_EQ(n.find(".replaced-"), std::string::npos) << n << " survived the restart";
    }
    EXPECT_TRUE(fs::is_empty(cacheFolder() / "intents"));
    ASSERT_TRUE(pollUntil([&] { return d().read(name) == c.shown; }));
  }
}

TEST_F(MountLogicTest, RenamingOverAFileNeverSentDropsItLocally) {
  put(backing / "a.txt", "sent");
  mount().readdir(kRootIno);
  engine->stop();
  d().write("draft.txt", "never sent");  // stays local: the engine is away
  startEngine();

  mount().rename(kRootIno, "a.txt", kRootIno, "draft.txt", 0);

  EXPECT_EQ(backingNames(), std::set<std::string>{"draft.txt"});
  EXPECT_EQ(slurp(backing / "draft.txt"), "sent");
  mount().retryPending();
  mount().waitForWriteBacks();
  EXPECT_EQ(backingNames(), std::set<std::string>{"draft.txt"});
  EXPECT_EQ(d().read("draft.txt"), "sent");
}

TEST_F(MountLogicTest, RenamingAFileOverAFolderOrIntoItselfIsRefused) {
  fs::create_directories(backing / "dir" / "sub");
  put(backing / "f", "F");
  EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "f", kRootIno, "dir", 0); }), EISDIR);
  EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "dir", kRootIno, "f", 0); }), ENOTDIR);
  EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "dir", d().at("dir/sub"), "x", 0); }), EINVAL);
  EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "f", kRootIno, "g", RENAME_EXCHANGE); }), EINVAL);
  EXPECT_EQ(backingNames(), (std::set<std::string>{"dir", "f"}));
}

TEST_F(MountLogicTest, RmdirOfAFolderWithChildrenTheMountHasNotSeenSendsNothing) {
  fs::create_directories(backing / "box");
  EXPECT_TRUE(d().names("box").empty());  // listed empty
  put(backing / "box" / "late.txt", "arrived after the listing");

  EXPECT_EQ(errnoOf([&] { mount().rmdir(kRootIno, "box"); }), ENOTEMPTY);
  EXPECT_EQ(slurp(backing / "box" / "late.txt"), "arrived after the listing");
  EXPECT_EQ(d().names("box"), std::set<std::string>{"late.txt"});
}

TEST_F(MountLogicTest, ChangesInTheBackingFolderReachTheCacheAndTheKernel) {
  const auto start = latestAnchor();
  put(backing / "keep.txt", "one");
  put(backing / "doomed.txt", "x");
  ASSERT_TRUE(eventually([&] { return engineLogged(start, "doomed.txt"); }));
  EXPECT_EQ(d().names(""), (std::set<std::string>{"doomed.txt", "keep.txt"}));
  EXPECT_EQ(d().read("keep.txt"), "one");
  Ino keep = d().at("keep.txt");
  Ino doomed = d().at("doomed.txt");
  mount().takeNotes();

  put(backing / "keep.txt", "two, longer");
  put(backing / "born.txt", "b");
  fs::remove(backing / "doomed.txt");

  std::vector<Invalidation> notes;
  ASSERT_TRUE(pollUntil([&] {
    auto names = d().names("");  // from the cache: the root is listed
    for (auto& n : mount().takeNotes()) notes.push_back(n);
    return names == std::set<std::string>{"keep.txt", "born.txt"} &&
           mount().getattr(keep).size == 11;
  }));
  auto has = [&](const Invalidation& want) {
    return std::find(notes.begin(), notes.end(), want) != notes.end();
  };
  EXPECT_TRUE(has({Invalidation::contents, keep, {}}));
  EXPECT_TRUE(has({Invalidation::entry, kRootIno, "born.txt"}));
  EXPECT_TRUE(has({Invalidation::entry, kRootIno, "doomed.txt"}));
  EXPECT_FALSE(mount().cache().get(doomed)->attached);
  EXPECT_EQ(d().read("keep.txt"), "two, longer");
  EXPECT_EQ(d().read("born.txt"), "b");
}

TEST_F(MountLogicTest, OwnChangesComeBackWithoutInvalidatingAnything) {
  const auto before = mount().anchor();
  ASSERT_TRUE(before);
  d().write("mine.txt", "written here");
  Ino ino = d().at("mine.txt");
  mount().takeNotes();
  // Wait until the engine's log holds the upload, then let the mount read it.
  EngineClient client(EngineProcess::scopeId(1));
  ASSERT_TRUE(eventually([&] {
    auto set = client.changes(*before);
    if (!set.changes) return false;
    for (auto& c : *set.changes) {
      if (c.entry.path == "mine.txt") return true;
    }
    return false;
  }));

  mount().pollOnce();

  for (auto& n : mount().takeNotes()) {
    EXPECT_NE(n.ino, ino) << "invalidated its own upload (kind " << n.kind << ")";
    EXPECT_NE(n.name, "mine.txt");
  }
  EXPECT_EQ(d().at("mine.txt"), ino);
  EXPECT_EQ(d().read("mine.txt"), "written here");
}

// Someone else changes the file while it is open here: both versions are
// kept, the path shows theirs, and the next edit starts from theirs. Equal
// sizes must not pass for the user's own bytes.
TEST_F(MountLogicTest, ConflictKeepsBothVersions) {
  struct Case {
    std::string name;
    std::string theirs;
    std::string edited;  // theirs after the next edit writes "X" at 0
  };
  const std::vector<Case> cases = {
      {"longer", "theirs!", "Xheirs!"},
      {"same", "them", "Xhem"},
  };
  for (const auto& c : cases) put(backing / (c.name + ".txt"), "base");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = c.name + ".txt";
    Ino ino = d().at(file);
    EXPECT_EQ(d().read(file), "base");
    auto h = mount().open(ino, O_RDWR);
    mount().write(*h, "mine", 4, 0);
    const std::string before = engineVersion(file);
    put(backing / file, c.theirs);
    ASSERT_TRUE(eventually([&] { return engineVersion(file) != before; }));

    mount().flush(*h);
    mount().release(std::move(h));
    mount().waitForWriteBacks();

    EXPECT_EQ(slurp(backing / file), c.theirs);
    std::string copy;
    for (auto& name : backingNames()) {
      if (name.rfind(c.name + " (conflict ", 0) == 0) copy = name;
    }
    ASSERT_FALSE(copy.empty()) << "no conflict copy";
    EXPECT_EQ(slurp(backing / copy), "mine");
    EXPECT_EQ(d().read(file), c.theirs);
    ASSERT_TRUE(pollUntil([&] { return d().names("").count(copy) == 1; }));
    EXPECT_EQ(d().read(copy), "mine");
    EXPECT_EQ(mount().pendingWriteBacks(), 0u);

    d().write(file, "X", O_WRONLY, 0);
    EXPECT_EQ(slurp(backing / file), c.edited);
    EXPECT_EQ(slurp(backing / copy), "mine");
  }
}

TEST_F(MountLogicTest, NewFileWhoseNameAppearedMeanwhileIsKeptUnderAConflictName) {
  EXPECT_TRUE(d().names("").empty());
  auto [attributes, h] = mount().create(kRootIno, "plan.md", O_WRONLY | O_CREAT);
  mount().write(*h, "ours", 4, 0);
  put(backing / "plan.md", "theirs");
  ASSERT_TRUE(eventually([&] { return !engineVersion("plan.md").empty(); }));

  mount().flush(*h);
  mount().release(std::move(h));
  mount().waitForWriteBacks();

  EXPECT_EQ(slurp(backing / "plan.md"), "theirs");
  auto names = backingNames();
  ASSERT_EQ(names.size(), 2u);
  names.erase("plan.md");
  const std::string ours = *names.begin();
  EXPECT_EQ(ours.rfind("plan (conflict ", 0), 0u) << ours;
  EXPECT_EQ(ours.substr(ours.size() - 3), ".md");
  EXPECT_EQ(slurp(backing / ours), "ours");
  // The file written here is the conflict copy now; the name shows theirs.
  EXPECT_EQ(mount().cache().get(attributes.ino)->name, ours);
  EXPECT_EQ(d().read("plan.md"), "theirs");
  EXPECT_EQ(d().names(""), (std::set<std::string>{"plan.md", ours}));
}

TEST_F(MountLogicTest, EngineAwayFailsWithEIOAndKeepsUnsentWrites) {
  put(backing / "a.txt", "A");
  fs::create_directories(backing / "sub");
  EXPECT_EQ(d().read("a.txt"), "A");
  mount().readdir(kRootIno);
  engine->stop();

  EXPECT_EQ(errnoOf([&] { mount().mkdir(kRootIno, "d"); }), EIO);
  EXPECT_EQ(errnoOf([&] { d().at("sub/unknown"); }), EIO);  // sub was never listed
  EXPECT_EQ(errnoOf([&] { mount().readdir(d().at("sub")); }), EIO);
  EXPECT_EQ(d().read("a.txt"), "A");                    // cached contents still serve
  d().write("offline.txt", "kept");                     // close cannot fail
  d().write("a.txt", "changed offline");
  EXPECT_EQ(mount().pendingWriteBacks(), 2u);
  EXPECT_EQ(d().read("offline.txt"), "kept");
  {
    auto h = mount().open(d().at("offline.txt"), O_RDWR);
    mount().write(*h, "K", 1, 0);
    EXPECT_EQ(errnoOf([&] { mount().fsync(*h); }), EIO);  // fsync reports it
    mount().release(std::move(h));
    mount().waitForWriteBacks();
  }
  for (int i = 0; i < 3; ++i) mount().retryPending();
  mount().waitForWriteBacks();
  EXPECT_FALSE(fs::exists(backing / "offline.txt"));

  startEngine();
  mount().retryPending();
  mount().waitForWriteBacks();
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
  EXPECT_EQ(slurp(backing / "offline.txt"), "Kept");
  EXPECT_EQ(slurp(backing / "a.txt"), "changed offline");

  // Each failure was logged once, not once per retry.
  const std::string log = testing::logText();
  std::size_t lines = 0;
  for (auto at = log.find("mount write-back offline.txt"); at != std::string::npos;
       at = log.find("mount write-back offline.txt", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1u) << log;
}

// A name the engine could not hold is refused where it would be made, with
// the errno a local file system gives, and nothing reaches the engine.
TEST_F(MountLogicTest, NamesTheEngineCannotHoldAreRefusedWhereTheyAreMade) {
  put(backing / "a.txt", "A");
  fs::create_directories(backing / "box" / "inner");
  const std::string tooLong(256, 'n');
  const std::string longest(255, 'n');
  struct Case {
    std::string name;
    int expected;
  };
  const std::vector<Case> cases = {
      {tooLong, ENAMETOOLONG},
      {"back\\slash", EINVAL},
      {"bad-\xff-utf8", EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errnoOf([&] { mount().create(kRootIno, c.name, O_WRONLY | O_CREAT); }), c.expected);
    EXPECT_EQ(errnoOf([&] { mount().mkdir(kRootIno, c.name); }), c.expected);
    EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "a.txt", kRootIno, c.name, 0); }), c.expected);
    EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "box", kRootIno, c.name, 0); }), c.expected);
  }
  EXPECT_EQ(errnoOf([&] { mount().lookup(kRootIno, tooLong); }), ENAMETOOLONG);
  EXPECT_EQ(errnoOf([&] { mount().lookup(kRootIno, "back\\slash"); }), ENOENT);

  // A path over the limit: four folders of the longest name leave no room.
  std::vector<Ino> levels{kRootIno};
  for (int i = 0; i < 4; ++i) levels.push_back(mount().mkdir(levels.back(), longest).ino);
  const Ino deep = levels.back();  // its path has 4 * 255 + 3 = 1023 bytes
  EXPECT_EQ(errnoOf([&] { mount().create(deep, "x", O_WRONLY | O_CREAT); }), ENAMETOOLONG);
  EXPECT_EQ(errnoOf([&] { mount().mkdir(deep, "x"); }), ENAMETOOLONG);
  EXPECT_EQ(errnoOf([&] { mount().lookup(deep, "x"); }), ENAMETOOLONG);
  // A folder may not move where a path below it would be too long: the
  // third level's path has 767 bytes, and box holds "inner".
  EXPECT_EQ(d().names("box"), std::set<std::string>{"inner"});
  EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "box", levels[3], std::string(252, 'b'), 0); }),
            ENAMETOOLONG);
  EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "box", levels[3], std::string(248, 'b'), 0); }),
            0);

  mount().waitForWriteBacks();
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
  EXPECT_EQ(backingNames(), (std::set<std::string>{"a.txt", longest}));
  EXPECT_TRUE(fs::is_directory(backing / longest / longest / longest / std::string(248, 'b') /
                               "inner"));
}

// On a scope below a key prefix of a bucket the keys are the prefix, "/" and
// the path, and hold 1,024 bytes: the prefix leaves that much less room for
// the path, and a folder needs a byte more for the "/" that marks it. Names
// that would not fit are refused at the name, before the engine is asked.
TEST_F(MountLogicTest, AScopesKeyPrefixLeavesLessRoomForPaths) {
  options.keyPrefix = "team/docs";  // room for paths of 1024 - 10 = 1014 bytes
  put(backing / "a.txt", "A");
  const std::string longest(255, 'n');
  std::vector<Ino> levels{kRootIno};
  for (int i = 0; i < 3; ++i) levels.push_back(mount().mkdir(levels.back(), longest).ino);
  const Ino deep = levels.back();  // its path has 3 * 255 + 2 = 767 bytes
  const std::string fileFits(246, 'f'), fileOver(247, 'f');
  const std::string folderFits(245, 'd'), folderOver(246, 'd');
  struct Case {
    const char* what;
    std::function<void()> call;
    int expected;
  };
  const std::vector<Case> cases = {
      {"a file one byte over", [&] { mount().create(deep, fileOver, O_WRONLY | O_CREAT); },
       ENAMETOOLONG},
      {"a folder one byte over", [&] { mount().mkdir(deep, folderOver); }, ENAMETOOLONG},
      {"a look-up one byte over", [&] { mount().lookup(deep, fileOver); }, ENAMETOOLONG},
      {"a rename one byte over", [&] { mount().rename(kRootIno, "a.txt", deep, fileOver, 0); },
       ENAMETOOLONG},
      {"a folder that fits", [&] { mount().mkdir(deep, folderFits); }, 0},
      {"a file that fits", [&] { mount().release(mount().create(deep, fileFits, O_WRONLY | O_CREAT).second); },
       0},
  };
  for (const Case& c : cases) EXPECT_EQ(errnoOf(c.call), c.expected) << c.what;
  mount().waitForWriteBacks();
  const fs::path deepFolder = backing / longest / longest / longest;
  std::set<std::string> made;
  for (auto& e : fs::directory_iterator(deepFolder)) made.insert(e.path().filename().string());
  EXPECT_EQ(made, (std::set<std::string>{fileFits, folderFits}));
  EXPECT_TRUE(fs::exists(backing / "a.txt"));
}

// A change the engine refuses for good (here: the scope became read-only
// while a file was open for writing) is kept, bytes and record, tried again
// only after a growing wait, logged once, and sent once the engine takes it.
TEST_F(MountLogicTest, ARefusedChangeIsKeptAndTriedAgainAfterAGrowingWait) {
  options.refusedRetry = RetryPolicy{400ms, 2s};
  const testing::LogWatch watch;
  put(backing / "a.txt", "A");
  EXPECT_EQ(d().read("a.txt"), "A");
  auto h = mount().open(d().at("a.txt"), O_RDWR);
  mount().write(*h, "B", 1, 0);
  engine->stop();
  startEngine({"test"});
  mount().flush(*h);
  mount().release(std::move(h));
  mount().waitForWriteBacks();

  auto attempts = [&] {
    auto records = unsent();
    return records.size() == 1 ? records[0].attempts : 0u;
  };
  ASSERT_EQ(unsent().size(), 1u);
  EXPECT_EQ(unsent()[0].path, "a.txt");
  EXPECT_EQ(attempts(), 1u);
  EXPECT_FALSE(unsent()[0].lastFailure.empty());
  EXPECT_GT(unsent()[0].since.time_since_epoch().count(), 0);
  EXPECT_EQ(mount().pendingWriteBacks(), 1u);

  // Not at every poll: only once the wait is over, and the next wait is longer.
  const auto refused = std::chrono::steady_clock::now();
  mount().retryPending();
  mount().waitForWriteBacks();
  EXPECT_EQ(attempts(), 1u);
  std::this_thread::sleep_until(refused + 450ms);
  mount().retryPending();
  mount().waitForWriteBacks();
  EXPECT_EQ(attempts(), 2u);
  const auto refusedAgain = std::chrono::steady_clock::now();
  std::this_thread::sleep_until(refusedAgain + 450ms);
  mount().retryPending();
  mount().waitForWriteBacks();
  EXPECT_EQ(attempts(), 2u) << "the second wait is twice the first";
  EXPECT_EQ(logged(watch, "mount write-back a.txt"), 1u);
  EXPECT_EQ(slurp(backing / "a.txt"), "A");
  EXPECT_EQ(d().read("a.txt"), "B") << "the user still sees what they wrote";

  engine->stop();
  startEngine();
  std::this_thread::sleep_until(refusedAgain + 850ms);
  mount().retryPending();
  mount().waitForWriteBacks();
  EXPECT_EQ(slurp(backing / "a.txt"), "B");
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
  EXPECT_TRUE(unsent().empty());
}

// Every worker takes jobs, whether they were queued at once or after a
// delay: files closed in a burst and sent after the write-back delay are sent
// as many at a time as right after their close. Each job waits until all
// workers run one (or gives up after a while), so a queue that leaves workers
// asleep shows as fewer running at once.
TEST(WriteBackQueueTest, DelayedJobsRunOnEveryWorker) {
  constexpr std::size_t kWorkers = 4;
  for (const auto delay : {0ms, 30ms}) {
    SCOPED_TRACE("delay " + std::to_string(delay.count()) + " ms");
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t running = 0, most = 0;
    std::multiset<std::uint64_t> ran;
    WriteBackQueue queue(kWorkers, [&](std::uint64_t ino) {
      std::unique_lock lock(mutex);
      most = std::max(most, ++running);
      changed.notify_all();
      changed.wait_for(lock, 2s, [&] { return most >= kWorkers; });
      --running;
      ran.insert(ino);
      changed.notify_all();
    });
    for (std::uint64_t ino = 1; ino <= 2 * kWorkers; ++ino) queue.submit(ino, delay);
    // Not drain(): it would end the delays itself.
    {
      std::unique_lock lock(mutex);
      ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return ran.size() == 2 * kWorkers; }));
      EXPECT_EQ(most, kWorkers);
    }
    queue.drain();
    std::multiset<std::uint64_t> expected;
    for (std::uint64_t ino = 1; ino <= 2 * kWorkers; ++ino) expected.insert(ino);
    EXPECT_EQ(ran, expected);
  }
}

TEST(RetryPolicyTest, WaitsDoubleUpToTheLimit) {
  const RetryPolicy policy{10s, 60s};
  EXPECT_EQ(policy.after(1), 10s);
  EXPECT_EQ(policy.after(2), 20s);
  EXPECT_EQ(policy.after(3), 40s);
  EXPECT_EQ(policy.after(4), 60s);
  EXPECT_EQ(policy.after(4000), 60s);
}

// What a mount could not send before it ended (the engine was away) is sent
// by the next mount on the same cache; a scope that refuses it keeps it for
// the start after.
TEST_F(MountLogicTest, UnsentChangesAreSentByTheNextMount) {
  put(backing / "a.txt", "A");
  put(backing / "b.txt", "0123456789");
  EXPECT_EQ(d().read("a.txt"), "A");
  EXPECT_EQ(d().read("b.txt"), "0123456789");
  mount().readdir(kRootIno);  // new names are known to be free without asking
  engine->stop();

  d().write("offline.txt", "offline-data");
  d().write("a.txt", "more", O_WRONLY | O_APPEND, 1);
  EXPECT_EQ(errnoOf([&] { mount().setattr(d().at("b.txt"), SetAttributes{4}, nullptr); }), 0);
  d().write("draft.txt", "renamed");
  mount().rename(kRootIno, "draft.txt", kRootIno, "kept.txt", 0);
  d().write("gone.txt", "unlinked");
  mount().unlink(kRootIno, "gone.txt");
  mount().shutdown();
  driver.reset();
  fs_.reset();
  const auto work = env.cacheHome() / "mount" / "work";
  EXPECT_FALSE(fs::is_empty(work));

  // Refused: nothing lost, tried again at the next start.
  std::map<std::string, unsigned> attempts;
  for (const auto& record : unsent()) attempts[record.path] = record.attempts;
  startEngine({"test"});
  mount();
  driver.reset();
  fs_.reset();
  EXPECT_EQ(backingNames(), (std::set<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(slurp(backing / "a.txt"), "A");
  EXPECT_EQ(unsent().size(), 4u);
  for (const auto& record : unsent()) {
    EXPECT_EQ(record.attempts, attempts[record.path] + 1) << record.path;
    EXPECT_NE(record.lastFailure.find("read-only"), std::string::npos) << record.lastFailure;
  }

  engine->stop();
  startEngine();
  mount();
  EXPECT_EQ(backingNames(), (std::set<std::string>{"a.txt", "b.txt", "kept.txt", "offline.txt"}));
  EXPECT_EQ(slurp(backing / "offline.txt"), "offline-data");
  EXPECT_EQ(slurp(backing / "a.txt"), "Amore");
  EXPECT_EQ(slurp(backing / "b.txt"), "0123");
  EXPECT_EQ(slurp(backing / "kept.txt"), "renamed");
  EXPECT_TRUE(fs::is_empty(work));
  EXPECT_EQ(d().read("offline.txt"), "offline-data");
  EXPECT_EQ(d().read("a.txt"), "Amore");
}

// What the last run left and the engine refused at this start is tried again
// while the mount runs, after the wait, not only at the next start.
TEST_F(MountLogicTest, ChangesLeftByAnEarlierRunAreTriedAgainWhileTheMountRuns) {
  options.refusedRetry = RetryPolicy{300ms, 1s};
  put(backing / "a.txt", "A");
  EXPECT_EQ(d().read("a.txt"), "A");
  mount().readdir(kRootIno);
  engine->stop();
  d().write("offline.txt", "offline-data");
  d().write("a.txt", "changed");
  unmount();
  std::map<std::string, unsigned> before;
  for (const auto& record : unsent()) before[record.path] = record.attempts;
  ASSERT_EQ(before.size(), 2u);

  startEngine({"test"});
  mount();
  const auto refused = std::chrono::steady_clock::now();
  mount().retryPending();
  for (const auto& record : unsent()) {
    EXPECT_EQ(record.attempts, before[record.path] + 1) << record.path << ": tried once, at start";
  }

  engine->stop();
  startEngine();
  std::this_thread::sleep_until(refused + 350ms);
  mount().retryPending();
  EXPECT_EQ(slurp(backing / "offline.txt"), "offline-data");
  EXPECT_EQ(slurp(backing / "a.txt"), "changed");
  EXPECT_TRUE(unsent().empty());
}

// Sent late, the user's changes still meet what the engine got meanwhile as
// conflicts: both versions are kept.
TEST_F(MountLogicTest, UnsentChangesMeetingNewerOnesAreKeptBeside) {
  put(backing / "c.txt", "base");
  EXPECT_EQ(d().read("c.txt"), "base");
  mount().readdir(kRootIno);
  engine->stop();
  d().write("n.txt", "ours-new");
  d().write("c.txt", "ours-changed");
  mount().shutdown();
  driver.reset();
  fs_.reset();

  put(backing / "n.txt", "theirs-new");
  put(backing / "c.txt", "theirs-changed");
  startEngine();
  mount();

  EXPECT_EQ(slurp(backing / "n.txt"), "theirs-new");
  EXPECT_EQ(slurp(backing / "c.txt"), "theirs-changed");
  std::map<std::string, std::string> others;
  for (const auto& name : backingNames()) {
    if (name != "n.txt" && name != "c.txt") others[slurp(backing / name)] = name;
  }
  ASSERT_EQ(others.size(), 2u);
  ASSERT_TRUE(others.count("ours-new"));
  EXPECT_EQ(others["ours-new"].rfind("n (conflict ", 0), 0u) << others["ours-new"];
  EXPECT_TRUE(others.count("ours-changed"));
  EXPECT_TRUE(fs::is_empty(env.cacheHome() / "mount" / "work"));
}

TEST_F(MountLogicTest, ReadOnlyScopeRefusesEveryChange) {
  engine->stop();
  put(backing / "r.txt", "read me");
  fs::create_directories(backing / "dir");
  startEngine({"test"});

  EXPECT_EQ(d().read("r.txt"), "read me");
  Ino r = d().at("r.txt");
  EXPECT_EQ(mount().getattr(r).mode, S_IFREG | 0444u);
  EXPECT_EQ(mount().getattr(kRootIno).mode, S_IFDIR | 0555u);
  EXPECT_EQ(errnoOf([&] { mount().open(r, O_WRONLY); }), EROFS);
  EXPECT_EQ(errnoOf([&] { mount().create(kRootIno, "n.txt", O_WRONLY | O_CREAT); }), EROFS);
  EXPECT_EQ(errnoOf([&] { mount().mkdir(kRootIno, "m"); }), EROFS);
  EXPECT_EQ(errnoOf([&] { mount().unlink(kRootIno, "r.txt"); }), EROFS);
  EXPECT_EQ(errnoOf([&] { mount().rmdir(kRootIno, "dir"); }), EROFS);
  EXPECT_EQ(errnoOf([&] { mount().rename(kRootIno, "r.txt", kRootIno, "s.txt", 0); }), EROFS);
  EXPECT_EQ(errnoOf([&] { mount().setattr(r, SetAttributes{0}, nullptr); }), EROFS);
  EXPECT_EQ(backingNames(), (std::set<std::string>{"dir", "r.txt"}));
}

TEST_F(MountLogicTest, UnlinkedFileOpenForWritingIsNotSentBack) {
  put(backing / "tmp.txt", "x");
  auto h = mount().open(d().at("tmp.txt"), O_WRONLY);
  mount().unlink(kRootIno, "tmp.txt");
  mount().write(*h, "late", 4, 0);
  mount().flush(*h);
  mount().release(std::move(h));
  mount().waitForWriteBacks();
  EXPECT_FALSE(fs::exists(backing / "tmp.txt"));
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
}

// A file removed while a reader and a writer have it open keeps its bytes
// and its size for the reader after the writer closed, as a local file
// system keeps them, until the reader closes too.
TEST_F(MountLogicTest, AnUnlinkedFileStaysReadableThroughItsLastHandle) {
  put(backing / "sent.txt", "at the engine");
  for (const std::string name : {"sent.txt", "new.txt"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<Handle> writer;
    if (name == "new.txt") {
      writer = mount().create(kRootIno, name, O_RDWR | O_CREAT).second;
    } else {
      writer = mount().open(d().at(name), O_RDWR);
    }
    const Ino ino = writer->ino;
    auto reader = mount().open(ino, O_RDONLY);
    mount().write(*writer, "0123456789", 10, 0);
    mount().unlink(kRootIno, name);
    mount().write(*writer, "abc", 3, 10);
    mount().flush(*writer);
    mount().release(std::move(writer));
    mount().waitForWriteBacks();

    EXPECT_EQ(mount().getattr(ino).size, 13u);
    char buffer[32];
    EXPECT_EQ(std::string(buffer, mount().read(*reader, buffer, sizeof buffer, 0)),
              "0123456789abc");
    mount().release(std::move(reader));
    mount().waitForWriteBacks();
    EXPECT_FALSE(fs::exists(backing / name));
  }
  EXPECT_TRUE(fs::is_empty(cacheFolder() / "work")) << "the last handle let the bytes go";
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
}

// The files below a renamed folder keep their cached contents: a writer that
// opens one under its new name writes the bytes its readers have open.
TEST_F(MountLogicTest, AReaderSeesWritesMadeAfterItsFolderWasRenamed) {
  fs::create_directories(backing / "p");
  put(backing / "p" / "f", "0123456789");
  auto reader = mount().open(d().at("p/f"), O_RDONLY);
  char buffer[32];
  ASSERT_EQ(std::string(buffer, mount().read(*reader, buffer, sizeof buffer, 0)), "0123456789");

  mount().rename(kRootIno, "p", kRootIno, "q", 0);
  auto writer = mount().open(d().at("q/f"), O_WRONLY);
  mount().write(*writer, "abc", 3, 10);
  EXPECT_EQ(std::string(buffer, mount().read(*reader, buffer, sizeof buffer, 0)), "0123456789abc");
  mount().release(std::move(writer));
  mount().waitForWriteBacks();
  EXPECT_EQ(slurp(backing / "q" / "f"), "0123456789abc");
  mount().release(std::move(reader));
}

// Opening with O_TRUNC empties the file that readers already have open, as a
// local file system does, rather than starting another beside it.
TEST_F(MountLogicTest, ATruncatingOpenEmptiesTheFileForItsReadersToo) {
  put(backing / "t.txt", "old contents");
  const Ino ino = d().at("t.txt");
  auto reader = mount().open(ino, O_RDONLY);
  char buffer[32];
  EXPECT_EQ(std::string(buffer, mount().read(*reader, buffer, sizeof buffer, 0)), "old contents");

  auto writer = mount().open(ino, O_WRONLY | O_TRUNC);
  EXPECT_EQ(mount().read(*reader, buffer, sizeof buffer, 0), 0u);
  mount().write(*writer, "new", 3, 0);
  EXPECT_EQ(std::string(buffer, mount().read(*reader, buffer, sizeof buffer, 0)), "new");
  mount().release(std::move(writer));
  mount().waitForWriteBacks();
  EXPECT_EQ(std::string(buffer, mount().read(*reader, buffer, sizeof buffer, 0)), "new");
  mount().release(std::move(reader));
  EXPECT_EQ(slurp(backing / "t.txt"), "new");
}

// ---------------------------------------------------- against the test engine

class MountRequestTest : public testing::ExtensionTest {
 protected:
  MountRequestTest() {
    engine.on("GET", scopePath("/changes"), Reply{200, toJson(ChangeSet{"a1", std::nullopt, false})});
    engine.on("POST", scopePath("/fetch"), [this](const Received& r) {
      put(*r.bodyString("dest"), served);
      return Reply{200, toJson(makeEntry(*r.bodyString("path"), false,
                                         static_cast<std::int64_t>(served.size()), servedVersion))};
    });
  }

  MountFileSystem& mount() {
    if (!fs_) {
      fs_ = makeMount(kScopeID, env.cacheHome() / "mount", options);
      driver = std::make_unique<Driver>(*fs_);
    }
    return *fs_;
  }
  Driver& d() {
    mount();
    return *driver;
  }
  std::size_t lists(const std::string& dir) {
    std::size_t n = 0;
    for (auto& r : engine.requests("GET", scopePath("/list"))) n += r.queryValue("dir") == dir;
    return n;
  }

  // The paths of the unsent changes recorded in the mount's cache.
  std::vector<std::string> unsentPaths() const {
    std::vector<std::string> out;
    if (!fs_) return out;
    for (auto& [copy, record] : ContentCache::recorded(fs_->contents().root())) {
      out.push_back(record.path);
    }
    return out;
  }

  std::string served = "hello";
  std::string servedVersion = "v1";
  MountOptions options = defaultOptions();
  std::unique_ptr<MountFileSystem> fs_;
  std::unique_ptr<Driver> driver;
};

TEST_F(MountRequestTest, AListedFolderAnswersLookupsWithoutAsking) {
  onList("", {makeEntry("a.txt", false, 5), makeEntry("docs", true, 0, "dir")});
  onList("docs", {makeEntry("docs/d.txt")});
  EXPECT_EQ(mount().readdir(kRootIno).size(), 2u);
  engine.clearRequests();

  EXPECT_NO_THROW(d().at("a.txt"));
  EXPECT_EQ(errnoOf([&] { d().at("missing"); }), ENOENT);
  EXPECT_TRUE(engine.requests().empty());

  // docs was not listed: a name in it is asked for, one listing each time it
  // is unknown, and remembered once found.
  EXPECT_NO_THROW(d().at("docs/d.txt"));
  EXPECT_NO_THROW(d().at("docs/d.txt"));
  EXPECT_EQ(errnoOf([&] { d().at("docs/nope"); }), ENOENT);
  EXPECT_EQ(lists("docs"), 2u);
}

TEST_F(MountRequestTest, ContentsAreDownloadedOnceAndReusedAcrossRestarts) {
  onList("", {makeEntry("a.txt", false, 5, "v1")});
  EXPECT_EQ(d().read("a.txt"), "hello");
  EXPECT_EQ(d().read("a.txt"), "hello");
  EXPECT_EQ(engine.count("POST", scopePath("/fetch")), 1u);

  fs_.reset();  // a new mount on the same cache
  EXPECT_EQ(d().read("a.txt"), "hello");
  EXPECT_EQ(engine.count("POST", scopePath("/fetch")), 1u);

  // A new version is downloaded again.
  onList("", {makeEntry("a.txt", false, 7, "v2")});
  served = "changed";
  servedVersion = "v2";
  fs_.reset();
  EXPECT_EQ(d().read("a.txt"), "changed");
  EXPECT_EQ(engine.count("POST", scopePath("/fetch")), 2u);
}

// A time set on a file with nothing else to send goes alone, with the base
// version, and the answer is the file's item from then on; the mount shows
// the time to the nanosecond while the engine's whole second agrees. An
// engine that cannot set a time alone leaves it here, which the log says
// once, and is not asked again.
TEST_F(MountRequestTest, ATimeAloneGoesToTheEngineOrStaysHereWhenItCannot) {
  onList("", {makeEntry("a.txt", false, 5, "v1"), makeEntry("b.txt", false, 5, "v1")});
  engine.on("POST", scopePath("/set-mod-time"), [](const Received& r) {
    return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, 5, "v1-timed", 981173106))};
  });
  const testing::LogWatch watch;
  auto setTime = [&](const std::string& name, host::FileTime time) {
    SetAttributes changes;
    changes.modificationTime = time;
    return mount().setattr(d().at(name), changes, nullptr);
  };
  const Attributes set = setTime("a.txt", {981173106, 123456789});
  EXPECT_EQ(set.mtimeSeconds, 981173106);
  EXPECT_EQ(set.mtimeNanoseconds, 123456789);
  const auto sent = posts("/set-mod-time");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bodyString("path"), "a.txt");
  EXPECT_EQ(sent[0].bodyString("mod_time"), "2001-02-03T04:05:06.123456789Z");
  EXPECT_EQ(sent[0].bodyString("version"), "v1");
  EXPECT_TRUE(posts("/upload").empty());
  EXPECT_EQ(mount().cache().get(d().at("a.txt"))->item->itemVersion().contentVersion, "v1-timed");

  engine.on("POST", scopePath("/set-mod-time"),
            Reply{404, R"({"message":"There is no operation \"set-mod-time\" on a scope."})"});
  for (const host::FileTime time : {host::FileTime{1015218367, 5}, host::FileTime{1049522828, 0}}) {
    const Attributes kept = setTime("b.txt", time);
    EXPECT_EQ(kept.mtimeSeconds, time.seconds);
    EXPECT_EQ(kept.mtimeNanoseconds, time.nanoseconds);
  }
  EXPECT_EQ(posts("/set-mod-time").size(), 2u) << "asked once, then known to be unable";
  EXPECT_EQ(logged(watch, "cannot set a file's modification time"), 1u);
  EXPECT_TRUE(posts("/upload").empty());
  EXPECT_EQ(mount().getattr(d().at("b.txt")).mtimeSeconds, 1049522828);
}

// The race of a write-back with another writer: the engine takes the other
// version between the mount's reading and its upload, with as many bytes.
// The upload is refused, the user's bytes become a conflict copy, and the
// mount must not take them for the engine's new version.
TEST_F(MountRequestTest, AnUploadOvertakenByAnotherWriterShowsTheirBytesAndBuildsOnThem) {
  onList("", {makeEntry("a.txt", false, 5, "v1")});
  struct Upload {
    std::string version;
    std::string bytes;
  };
  std::mutex mutex;
  std::vector<Upload> uploads;
  std::vector<std::string> copies;
  engine.on("POST", scopePath("/upload"), [&](const Received& r) {
    std::lock_guard lock(mutex);
    uploads.push_back({r.bodyString("version").value_or("?"), slurp(*r.bodyString("source"))});
    if (uploads.back().version == "v1") {
      served = "world";
      servedVersion = "v2";
      onList("", {makeEntry("a.txt", false, 5, "v2")});
      return Reply{409, R"({"message":"changed since v1"})"};
    }
    return Reply{200, toJson(makeEntry("a.txt", false, 5, "v3"))};
  });
  engine.on("POST", scopePath("/conflict-copy"), [&](const Received& r) {
    std::lock_guard lock(mutex);
    copies.push_back(slurp(*r.bodyString("source")));
    return Reply{200, toJson(makeEntry("a (conflict).txt", false, 5, "c1"))};
  });

  EXPECT_EQ(d().read("a.txt"), "hello");
  d().write("a.txt", "HELLO");
  EXPECT_EQ(copies, std::vector<std::string>{"HELLO"});
  EXPECT_EQ(d().read("a.txt"), "world");

  d().write("a.txt", "W", O_WRONLY, 0);
  std::lock_guard lock(mutex);
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(uploads[1].version, "v2");
  EXPECT_EQ(uploads[1].bytes, "World");
  EXPECT_EQ(copies.size(), 1u);
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
}

// A folder listed while a new file in it is being sent: the listing was
// made before the file reached the engine, the answer arrives after. The
// file must stay, and stay found.
TEST_F(MountRequestTest, AFileSentWhileItsFolderIsListedStays) {
  onList("", {});
  std::mutex mutex;
  std::condition_variable changed;
  bool armed = false, listing = false, uploaded = false;
  engine.on("POST", scopePath("/upload"), [&](const Received& r) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 10s, [&] { return listing; });
    uploaded = true;
    changed.notify_all();
    return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, 1, "u1"))};
  });
  engine.on("GET", scopePath("/list"), [&](const Received&) {
    std::unique_lock lock(mutex);
    if (armed) {
      listing = true;
      changed.notify_all();
      changed.wait_for(lock, 10s, [&] { return uploaded; });
      // The write-back ends while the answer is on its way.
      lock.unlock();
      std::this_thread::sleep_for(200ms);
    }
    return Reply{200, R"({"entries":[]})"};
  });

  auto [attributes, h] = mount().create(kRootIno, "new.txt", O_WRONLY | O_CREAT);
  mount().write(*h, "x", 1, 0);
  {
    std::lock_guard lock(mutex);
    armed = true;
  }
  mount().release(std::move(h));
  std::set<std::string> names;
  for (auto& e : mount().readdir(kRootIno)) names.insert(e.name);
  mount().waitForWriteBacks();

  EXPECT_EQ(names, std::set<std::string>{"new.txt"});
  EXPECT_EQ(d().at("new.txt"), attributes.ino);
  EXPECT_EQ(mount().getattr(attributes.ino).size, 1u);
}

// A change batch polled while an upload is on its way describes the file as
// the engine logged it before the upload. Once the upload is answered, the
// file shows what it was given here, not the batch's older size.
TEST_F(MountRequestTest, AChangeBatchPolledDuringAnUploadDoesNotOutliveIt) {
  onList("", {makeEntry("a.txt", false, 5, "v1")});
  std::mutex mutex;
  std::condition_variable changed;
  bool uploading = false, polled = false;
  engine.on("POST", scopePath("/upload"), [&](const Received&) {
    std::unique_lock lock(mutex);
    uploading = true;
    changed.notify_all();
    changed.wait_for(lock, 10s, [&] { return polled; });
    onList("", {makeEntry("a.txt", false, 2, "v3")});
    return Reply{200, toJson(makeEntry("a.txt", false, 2, "v3"))};
  });
  const Ino a = d().at("a.txt");
  EXPECT_EQ(d().read("a.txt"), "hello");

  auto h = mount().open(a, O_WRONLY | O_TRUNC);
  mount().write(*h, "HI", 2, 0);
  mount().release(std::move(h));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return uploading; }));
  }
  // Logged before the upload: another writer's nine bytes.
  Change earlier{makeEntry("a.txt", false, 9, "v2"), false};
  engine.on("GET", scopePath("/changes"),
            Reply{200, toJson(ChangeSet{"a2", std::vector<Change>{earlier}, false})});
  mount().pollOnce();
  {
    std::lock_guard lock(mutex);
    polled = true;
  }
  changed.notify_all();
  mount().waitForWriteBacks();

  EXPECT_EQ(mount().getattr(a).size, 2u);
  EXPECT_EQ(d().read("a.txt"), "HI");
}

// Many closed files are sent at once, up to a bound, the earliest closed
// first; each file's own changes still reach the engine one after another: a
// file saved again while its upload runs is sent again only once the engine
// answered the first, and a rename waits for the file's upload. The engine
// holds every upload until the test lets them go, so the sends pile up.
TEST_F(MountRequestTest, ClosedFilesAreSentSeveralAtOnceEachFileInItsOwnOrder) {
  constexpr std::size_t kInFlight = 16;
  constexpr int kFiles = 20;
  std::mutex mutex;
  std::condition_variable changed;
  bool hold = true;
  std::size_t inFlight = 0, mostInFlight = 0;
  std::vector<std::string> events;  // "upload NAME BYTES", "answer NAME", "rename NAME"
  std::map<std::string, int> versions;  // what the engine holds, by path
  engine.on("GET", scopePath("/list"), [&](const Received&) {
    std::lock_guard lock(mutex);
    std::vector<Entry> entries;
    for (const auto& [path, version] : versions) {
      entries.push_back(makeEntry(path, false, 3, "u" + std::to_string(version)));
    }
    return Reply{200, "{\"entries\":" + toJson(entries) + "}"};
  });
  engine.on("POST", scopePath("/upload"), [&](const Received& r) {
    const std::string path = *r.bodyString("path");
    std::unique_lock lock(mutex);
    events.push_back("upload " + path + " " + slurp(*r.bodyString("source")));
    mostInFlight = std::max(mostInFlight, ++inFlight);
    changed.notify_all();
    changed.wait_for(lock, 10s, [&] { return !hold; });
    --inFlight;
    events.push_back("answer " + path);
    return Reply{200, toJson(makeEntry(path, false, 3, "u" + std::to_string(++versions[path])))};
  });
  engine.on("POST", scopePath("/rename"), [&](const Received& r) {
    std::lock_guard lock(mutex);
    const std::string path = *r.bodyString("path");
    events.push_back("rename " + path);
    versions["renamed.txt"] = versions[path];
    versions.erase(path);
    return Reply{200, R"({"path":"renamed.txt"})"};
  });
  const auto name = [](int i) { return "f" + std::to_string(100 + i) + ".txt"; };
  const auto arrived = [&] {
    std::size_t n = 0;
    for (const auto& e : events) n += e.rfind("upload ", 0) == 0;
    return n;
  };

  for (int i = 0; i < kFiles; ++i) d().save(name(i), "one");
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return arrived() >= kInFlight; }));
  }
  // While the first uploads are held: the first file saved again, the
  // second renamed. Both wait for the file's upload, so they run aside.
  auto saved = std::async(std::launch::async, [&] { d().save(name(0), "two"); });
  auto renamed = std::async(std::launch::async, [&] {
    mount().rename(kRootIno, name(1), kRootIno, "renamed.txt", 0);
  });
  // Time for sends beyond the bound to show up, were there any.
  std::this_thread::sleep_for(300ms);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(arrived(), kInFlight);
    std::set<std::string> first;
    for (const auto& e : events) first.insert(e);
    std::set<std::string> expected;
    for (std::size_t i = 0; i < kInFlight; ++i) {
      expected.insert("upload " + name(static_cast<int>(i)) + " one");
    }
    EXPECT_EQ(first, expected);
    hold = false;
  }
  changed.notify_all();
  saved.get();
  renamed.get();
  mount().waitForWriteBacks();

  std::lock_guard lock(mutex);
  std::string told;
  for (const auto& e : events) told += e + "; ";
  SCOPED_TRACE("the engine saw: " + told);
  EXPECT_EQ(mostInFlight, kInFlight);
  const auto at = [&](const std::string& event) {
    return std::find(events.begin(), events.end(), event) - events.begin();
  };
  const auto end = static_cast<std::ptrdiff_t>(events.size());
  for (int i = 0; i < kFiles; ++i) EXPECT_LT(at("upload " + name(i) + " one"), end) << name(i);
  // The second save of the first file follows the answer to its first.
  ASSERT_LT(at("upload " + name(0) + " two"), end);
  EXPECT_LT(at("answer " + name(0)), at("upload " + name(0) + " two"));
  // The rename follows the answer to the renamed file's upload.
  ASSERT_LT(at("rename " + name(1)), end);
  EXPECT_LT(at("answer " + name(1)), at("rename " + name(1)));
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
}

// A close of one descriptor while a writer still has the file open sends
// nothing: the bytes could change under the upload. The last close sends
// them, once.
TEST_F(MountRequestTest, NothingIsSentWhileAWriterHasTheFileOpen) {
  onList("", {makeEntry("a.txt", false, 5, "v1")});
  std::mutex mutex;
  std::vector<std::string> sent;
  engine.on("POST", scopePath("/upload"), [&](const Received& r) {
    std::lock_guard lock(mutex);
    sent.push_back(slurp(*r.bodyString("source")));
    return Reply{200, toJson(makeEntry("a.txt", false, static_cast<std::int64_t>(sent.back().size()),
                                       "v" + std::to_string(sent.size() + 1)))};
  });
  const Ino a = d().at("a.txt");
  auto writer = mount().open(a, O_WRONLY | O_TRUNC);
  mount().write(*writer, "first", 5, 0);
  mount().flush(*writer);
  mount().waitForWriteBacks();
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(sent.empty()) << sent.size();
  }
  mount().write(*writer, "FIRST and more", 14, 0);
  mount().flush(*writer);
  mount().release(std::move(writer));
  mount().waitForWriteBacks();
  std::lock_guard lock(mutex);
  EXPECT_EQ(sent, std::vector<std::string>{"FIRST and more"});
}

TEST_F(MountRequestTest, RmdirOfANonEmptyFolderSendsNoDeletion) {
  onList("", {makeEntry("box", true, 0, "dir")});
  onList("box", {});
  EXPECT_TRUE(d().names("box").empty());
  onList("box", {makeEntry("box/x")});

  EXPECT_EQ(errnoOf([&] { mount().rmdir(kRootIno, "box"); }), ENOTEMPTY);
  EXPECT_EQ(engine.count("POST", scopePath("/delete")), 0u);
}

TEST_F(MountRequestTest, ExpiredAnchorDropsTheCacheAndTakesANewAnchor) {
  onList("", {makeEntry("a.txt"), makeEntry("b.txt")});
  Ino a = d().at("a.txt");
  mount().readdir(kRootIno);
  mount().takeNotes();
  engine.on("GET", scopePath("/changes"), [](const Received& r) {
    if (r.queryValue("anchor") == "latest") return Reply{200, toJson(ChangeSet{"a2", std::nullopt, false})};
    return Reply{200, toJson(ChangeSet{"a9", std::vector<Change>{}, true})};
  });
  engine.clearRequests();

  mount().pollOnce();

  EXPECT_FALSE(mount().cache().get(a)->attached);
  EXPECT_FALSE(mount().cache().get(kRootIno)->complete);
  auto notes = mount().takeNotes();
  EXPECT_NE(std::find(notes.begin(), notes.end(), Invalidation{Invalidation::entry, kRootIno, "a.txt"}),
            notes.end());
  EXPECT_EQ(mount().anchor(), host::SyncAnchor("a2"));
  // Names are asked for again.
  EXPECT_NE(d().at("a.txt"), a);
  EXPECT_EQ(lists(""), 1u);
}

TEST_F(MountRequestTest, AFileDeletedAndRecreatedInOneBatchIsAskedFor) {
  onList("", {makeEntry("a.txt", false, 1, "v1")});
  Ino a = d().at("a.txt");
  Change gone{{"a.txt", "a.txt", false, 0, {}, "v1"}, true};
  Change back = gone;
  back.deleted = false;
  back.entry.version = "v2";
  back.entry.size = 2;
  // The log says: updated, then deleted. The extension reports deletions
  // first, so only the listing can tell that it is gone.
  engine.on("GET", scopePath("/changes"), Reply{200, toJson(ChangeSet{"a2", std::vector<Change>{back, gone}, false})});
  onList("", {});

  mount().pollOnce();

  EXPECT_FALSE(mount().cache().get(a) && mount().cache().get(a)->attached);
  EXPECT_EQ(errnoOf([&] { d().at("a.txt"); }), ENOENT);
}

// A folder the mount dropped when the engine reported it gone holds an item
// again (a file written into it here while another machine moved it away):
// the nearest folder the mount holds is listed again and shows it.
TEST_F(MountRequestTest, AnItemInAFolderTheMountDroppedHasItsFolderListedAgain) {
  onList("", {makeEntry("p", true, 0, "dir")});
  ASSERT_EQ(d().names(""), std::set<std::string>{"p"});
  Change gone{{"p", "p", true, 0, {}, "dir"}, true};
  engine.on("GET", scopePath("/changes"),
            Reply{200, toJson(ChangeSet{"a2", std::vector<Change>{gone}, false})});
  onList("", {});
  mount().pollOnce();
  ASSERT_EQ(d().names(""), std::set<std::string>{});

  Change added{{"p/new.txt", "new.txt", false, 3, {}, "v1"}, false};
  engine.on("GET", scopePath("/changes"),
            Reply{200, toJson(ChangeSet{"a3", std::vector<Change>{added}, false})});
  onList("", {makeEntry("p", true, 0, "dir")});
  onList("p", {makeEntry("p/new.txt", false, 3, "v1")});
  mount().pollOnce();
  EXPECT_EQ(d().names(""), std::set<std::string>{"p"});
  EXPECT_EQ(d().names("p"), std::set<std::string>{"new.txt"});
}

// ---------------------------------------------------- partial contents

constexpr std::int64_t kMiB = 1 << 20;
constexpr std::int64_t kBlock = SparseContents::kBlockSize;

// Bytes that differ at every offset and between versions, so a byte read
// from the wrong place or the wrong version shows.
std::string pattern(std::int64_t size, int seed) {
  std::string out(static_cast<std::size_t>(size), '\0');
  for (std::int64_t i = 0; i < size; ++i) {
    out[static_cast<std::size_t>(i)] = static_cast<char>((i * 131 + i / 4093 + seed * 71) & 0xff);
  }
  return out;
}

TEST(SizeTextTest, SizesWithSuffixes) {
  const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> cases = {
      {"0", 0},
      {"4096", 4096},
      {"1K", 1024},
      {"3k", 3072},
      {"512M", 512ull << 20},
      {"10G", 10ull << 30},
      {"", std::nullopt},
      {"G", std::nullopt},
      {"10T", std::nullopt},
      {"1.5G", std::nullopt},
      {"-1", std::nullopt},
      {"10GB", std::nullopt},
      {"18446744073709551615", 18446744073709551615ull},
      {"18446744073709551616", std::nullopt},
      {"17179869184G", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseSize(text), expected) << text;
}

class PartialContentsTest : public MountRequestTest {
 protected:
  using Range = std::pair<std::int64_t, std::int64_t>;

  // The engine serves these files at `version`, ranges as `ranges` says.
  void serve(const std::map<std::string, std::string>& files, const std::string& version = "v1",
             testing::RangeSupport ranges = testing::RangeSupport::serves) {
    std::map<std::string, testing::ScriptedFile> scripted;
    std::vector<Entry> entries;
    for (const auto& [name, bytes] : files) {
      scripted[name] = testing::ScriptedFile{bytes, version};
      entries.push_back(makeEntry(name, false, static_cast<std::int64_t>(bytes.size()), version));
    }
    engine.onFetch(kScopeID, std::move(scripted), ranges);
    onList("", entries);
  }

  // A mount on its own cache folder (a new run when the folder was used).
  void remount(const std::string& folder, MountOptions options = defaultOptions()) {
    driver.reset();
    fs_.reset();
    fs_ = makeMount(kScopeID, env.cacheHome() / folder, options);
    driver = std::make_unique<Driver>(*fs_);
  }

  // The ranges asked of the engine's fetch, in order; a whole download is
  // (0, -1).
  std::vector<Range> asked() const {
    std::vector<Range> out;
    for (const auto& r : posts("/fetch")) {
      out.emplace_back(r.bodyInt("offset").value_or(0), r.bodyInt("length").value_or(-1));
    }
    return out;
  }

  std::string readAt(const std::string& path, std::int64_t offset, std::size_t length) {
    auto h = mount().open(d().at(path), O_RDONLY);
    std::string out(length, '\0');
    out.resize(mount().read(*h, out.data(), out.size(), offset));
    mount().release(std::move(h));
    return out;
  }

  bool cached(const std::string& path, const std::string& version, std::int64_t offset,
              std::int64_t length) {
    return mount().contents().has(mount().cache().get(d().at(path))->identifier(), version, offset,
                                  length);
  }
};

TEST_F(PartialContentsTest, AReadFetchesOnlyTheAlignedBlocksItNeeds) {
  const std::int64_t size = 5 * kBlock + kBlock / 2;
  const std::string bytes = pattern(size, 1);
  serve({{"big.bin", bytes}});
  struct Case {
    const char* name;
    std::int64_t offset;
    std::size_t length;
    std::vector<Range> asked;  // the first block is always asked for at open
  };
  const std::vector<Case> cases = {
      {"the first bytes (head -c 4096)", 0, 4096, {{0, kBlock}}},
      {"the middle", 2 * kBlock + kBlock / 2, 10, {{0, kBlock}, {2 * kBlock, kBlock}}},
      {"across a block boundary", kBlock - 5, 10, {{0, kBlock}, {kBlock, kBlock}}},
      {"the end", size - 10, 10, {{0, kBlock}, {5 * kBlock, kBlock}}},
      {"the end and past it", size - 10, 100, {{0, kBlock}, {5 * kBlock, kBlock}}},
      {"past the end", 6 * kBlock, 100, {{0, kBlock}}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    remount("case" + std::to_string(n++));
    engine.clearRequests();
    const std::int64_t start = std::min(c.offset, size);
    EXPECT_EQ(readAt("big.bin", c.offset, c.length),
              bytes.substr(static_cast<std::size_t>(start), c.length));
    EXPECT_EQ(asked(), c.asked);
  }
}

TEST_F(PartialContentsTest, AnEngineWithoutRangesGivesTheWholeFileOnce) {
  const std::int64_t size = 3 * kMiB + 7;
  const std::string bytes = pattern(size, 2);
  int n = 0;
  for (auto support : {testing::RangeSupport::ignores, testing::RangeSupport::refuses}) {
    SCOPED_TRACE(n);
    serve({{"f.bin", bytes}}, "v1", support);
    remount("engine" + std::to_string(n++));
    engine.clearRequests();
    EXPECT_EQ(readAt("f.bin", 2 * kMiB, 10), bytes.substr(2 * kMiB, 10));
    const auto first = asked().size();
    EXPECT_LE(first, 2u);  // a refused range is asked again as a whole download
    EXPECT_EQ(d().read("f.bin"), bytes);
    EXPECT_EQ(asked().size(), first);
  }
}

TEST_F(PartialContentsTest, SequentialReadsFetchAheadInGrowingRequestsAndNothingTwice) {
  const std::int64_t size = 40 * kMiB + 123;
  const std::string bytes = pattern(size, 3);
  serve({{"movie.bin", bytes}});
  auto h = mount().open(d().at("movie.bin"), O_RDONLY);
  std::string got;
  std::string chunk(128 * 1024, '\0');
  for (std::int64_t offset = 0;; offset += static_cast<std::int64_t>(chunk.size())) {
    const std::size_t n = mount().read(*h, chunk.data(), chunk.size(), offset);
    got.append(chunk.data(), n);
    if (n < chunk.size()) break;
  }
  mount().release(std::move(h));
  EXPECT_TRUE(got == bytes) << "the bytes read differ from the file's";

  auto ranges = asked();
  std::sort(ranges.begin(), ranges.end());
  std::int64_t next = 0, largest = 0;
  for (const auto& [offset, length] : ranges) {
    EXPECT_EQ(offset, next) << "a range asked twice or a gap";
    next = offset + length;
    largest = std::max(largest, length);
  }
  EXPECT_GE(next, size);
  EXPECT_GE(largest, 4 * kMiB);
  EXPECT_LT(ranges.size(), 20u);
}

TEST_F(PartialContentsTest, AFileChangedBetweenTwoRangesIsNeverMixed) {
  const std::int64_t size = 4 * kMiB;
  const std::string old = pattern(size, 4), changed = pattern(size, 5);
  serve({{"f.bin", old}}, "v1");
  auto h = mount().open(d().at("f.bin"), O_RDONLY);
  std::string head(100, '\0');
  ASSERT_EQ(mount().read(*h, head.data(), head.size(), 0), head.size());
  EXPECT_EQ(head, old.substr(0, 100));

  serve({{"f.bin", changed}}, "v2");
  std::string tail(100, '\0');
  EXPECT_EQ(errnoOf([&] { mount().read(*h, tail.data(), tail.size(), 3 * kMiB); }), EIO);
  // What it had of its own version it still reads.
  ASSERT_EQ(mount().read(*h, head.data(), head.size(), 0), head.size());
  EXPECT_EQ(head, old.substr(0, 100));
  mount().release(std::move(h));

  EXPECT_FALSE(cached("f.bin", "v1", 0, 1));
  EXPECT_EQ(d().read("f.bin"), changed);
  EXPECT_TRUE(cached("f.bin", "v2", 0, size));
}

TEST_F(PartialContentsTest, FetchedRangesSurviveARestart) {
  const std::int64_t size = 4 * kBlock;
  const std::string bytes = pattern(size, 6);
  serve({{"f.bin", bytes}});
  remount("kept");
  EXPECT_EQ(readAt("f.bin", 2 * kBlock + 10, 20), bytes.substr(2 * kBlock + 10, 20));
  EXPECT_TRUE(cached("f.bin", "v1", 2 * kBlock, kBlock));
  EXPECT_FALSE(cached("f.bin", "v1", kBlock, 1));

  remount("kept");
  engine.clearRequests();
  EXPECT_TRUE(cached("f.bin", "v1", 2 * kBlock, kBlock));
  EXPECT_FALSE(cached("f.bin", "v1", kBlock, 1));
  EXPECT_EQ(readAt("f.bin", 2 * kBlock, kBlock), bytes.substr(2 * kBlock, kBlock));
  EXPECT_EQ(readAt("f.bin", 0, 10), bytes.substr(0, 10));
  EXPECT_TRUE(asked().empty());
  EXPECT_EQ(readAt("f.bin", 3 * kBlock, 10), bytes.substr(3 * kBlock, 10));
  EXPECT_EQ(asked(), (std::vector<Range>{{3 * kBlock, kBlock}}));
}

TEST_F(PartialContentsTest, EvictionKeepsTheLimitButNeverWhatIsOpenOrUnsent) {
  const std::map<std::string, std::string> files = {{"a.bin", pattern(2 * kMiB, 7)},
                                                    {"b.bin", pattern(2 * kMiB, 8)},
                                                    {"c.bin", pattern(2 * kMiB, 9)},
                                                    {"big.bin", pattern(5 * kMiB, 10)}};
  serve(files);
  engine.on("POST", scopePath("/upload"), Reply{503, R"({"message":"busy"})"});
  MountOptions options = defaultOptions();
  options.cacheSize = 3 * kMiB;
  remount("small", options);
  testing::LogWatch watch;

  // Least recently used goes first.
  EXPECT_EQ(d().read("a.bin"), files.at("a.bin"));
  EXPECT_EQ(d().read("b.bin"), files.at("b.bin"));
  EXPECT_FALSE(cached("a.bin", "v1", 0, 1));
  EXPECT_TRUE(cached("b.bin", "v1", 0, 2 * kMiB));
  EXPECT_LE(mount().contents().size(), static_cast<std::uint64_t>(3 * kMiB));
  EXPECT_GE(logged(watch, "evicted"), 1u);

  // An open file stays, however far over the limit other reads go; a file
  // larger than the limit is still read whole.
  auto open = mount().open(d().at("c.bin"), O_RDONLY);
  std::string c(2 * kMiB, '\0');
  ASSERT_EQ(mount().read(*open, c.data(), c.size(), 0), c.size());
  // Unsent changes are never counted nor evicted.
  d().write("mine.txt", "local bytes", O_WRONLY | O_CREAT);
  ASSERT_EQ(unsentPaths(), std::vector<std::string>{"mine.txt"});

  EXPECT_EQ(d().read("big.bin"), files.at("big.bin"));
  EXPECT_EQ(d().read("a.bin"), files.at("a.bin"));
  EXPECT_TRUE(cached("c.bin", "v1", 0, 2 * kMiB));
  EXPECT_LE(mount().contents().size(), static_cast<std::uint64_t>(5 * kMiB));
  engine.clearRequests();
  std::string again(2 * kMiB, '\0');
  ASSERT_EQ(mount().read(*open, again.data(), again.size(), 0), again.size());
  EXPECT_EQ(again, files.at("c.bin"));
  EXPECT_TRUE(asked().empty());
  mount().release(std::move(open));

  EXPECT_LE(mount().contents().size(), static_cast<std::uint64_t>(3 * kMiB));
  EXPECT_EQ(unsentPaths(), std::vector<std::string>{"mine.txt"});
  EXPECT_EQ(d().read("mine.txt"), "local bytes");
}

// Requests that reach the scripted engine while it is held wait there, as
// they would at an engine whose process is stopped with its socket open;
// never longer than a test's worst case, so a failing test still ends.
class Hold {
 public:
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }
  // Called by a handler: waits while held.
  void pass() {
    std::unique_lock lock(mutex_);
    waiting_++;
    released_.wait_for(lock, 30s, [this] { return !held_; });
    waiting_--;
  }
  int waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  int waiting_ = 0;
};

// What the presence told its listener, in order.
class Said {
 public:
  explicit Said(MountFileSystem& fs) : fs_(fs) {
    fs_.presence().setListener([this](const std::string& message) {
      std::lock_guard lock(mutex_);
      lines_.push_back(message);
    });
  }
  ~Said() { fs_.presence().setListener({}); }
  std::size_t count(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos;
    return n;
  }
  std::size_t size() {
    std::lock_guard lock(mutex_);
    return lines_.size();
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  MountFileSystem& fs_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// The kernel reports a close after close() has returned, so the next
// operation on the name may be under way at the engine when the close's
// upload starts. The upload must wait for it: sent meanwhile, it would land
// on a name that is no longer the file's (and bring a removed file back).
class CloseRaceTest : public MountRequestTest {
 protected:
  // `op` works on a.txt at the engine's `route`; `uploadsAfter` are the
  // paths that should be uploaded once it answered.
  void closeDuring(const std::string& route, const std::function<void()>& op,
                   const std::vector<std::string>& uploadsAfter) {
    std::mutex mutex;
    std::vector<Entry> root{makeEntry("a.txt", false, 5, "v1")};
    bool answered = false;
    std::vector<std::string> early, late;  // uploads before and after the operation's answer
    engine.on("GET", scopePath("/list"), [&](const Received&) {
      std::lock_guard lock(mutex);
      return Reply{200, "{\"entries\":" + toJson(root) + "}"};
    });
    Hold hold;
    engine.on("POST", scopePath(route), [&](const Received& r) {
      hold.pass();
      std::lock_guard lock(mutex);
      answered = true;
      if (r.bodyString("name")) {
        root = {makeEntry("b.txt", false, 5, "v1")};
        return Reply{200, R"({"path":"b.txt"})"};
      }
      root.clear();
      return Reply{200, R"({"deleted":["a.txt"]})"};
    });
    engine.on("POST", scopePath("/upload"), [&](const Received& r) {
      std::lock_guard lock(mutex);
      const std::string path = *r.bodyString("path");
      (answered ? late : early).push_back(path);
      return Reply{200, toJson(makeEntry(path, false, 3, "v2"))};
    });
    auto writer = mount().open(d().at("a.txt"), O_WRONLY | O_TRUNC);
    mount().write(*writer, "new", 3, 0);
    mount().flush(*writer);  // close() returns here; the kernel's release comes later

    hold.hold();
    auto running = std::async(std::launch::async, op);
    ASSERT_TRUE(eventually([&] { return hold.waiting() == 1; }));
    mount().release(std::move(writer));
    // Room for an upload that does not wait to reach the engine.
    std::this_thread::sleep_for(300ms);
    hold.release();
    ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
    running.get();
    mount().waitForWriteBacks();
    std::lock_guard lock(mutex);
    EXPECT_EQ(early, std::vector<std::string>{});
    EXPECT_EQ(late, uploadsAfter);
  }
};

TEST_F(CloseRaceTest, AnUnlinkUnderWayIsNotUndoneByTheUpload) {
  closeDuring("/delete", [&] { mount().unlink(kRootIno, "a.txt"); }, {});
}

TEST_F(CloseRaceTest, ARenameUnderWayIsFollowedByTheUpload) {
  closeDuring("/rename", [&] { mount().rename(kRootIno, "a.txt", kRootIno, "b.txt", 0); },
              {"b.txt"});
}

// A record names the path of its unsent bytes: moved at the engine before
// they are sent, a kill before the record is rewritten would send them to
// the old name. The rename sends them first.
TEST_F(MountRequestTest, ARenameSendsUnsentBytesBeforeItMovesTheFile) {
  std::mutex mutex;
  std::vector<Entry> root{makeEntry("a.txt", false, 5, "v1")};
  std::vector<std::string> order;
  engine.on("GET", scopePath("/list"), [&](const Received&) {
    std::lock_guard lock(mutex);
    return Reply{200, "{\"entries\":" + toJson(root) + "}"};
  });
  engine.on("POST", scopePath("/upload"), [&](const Received& r) {
    std::lock_guard lock(mutex);
    order.push_back("upload " + *r.bodyString("path"));
    if (order.size() == 1) return Reply{503, R"({"error":"busy"})"};
    return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, 3, "v2"))};
  });
  engine.on("POST", scopePath("/rename"), [&](const Received& r) {
    std::lock_guard lock(mutex);
    order.push_back("rename " + *r.bodyString("path"));
    root = {makeEntry("b.txt", false, 3, "v2")};
    return Reply{200, R"({"path":"b.txt"})"};
  });
  d().write("a.txt", "new", O_WRONLY | O_TRUNC);
  mount().waitForWriteBacks();
  ASSERT_EQ(mount().pendingWriteBacks(), 1u);  // the first upload was turned away

  mount().rename(kRootIno, "a.txt", kRootIno, "b.txt", 0);
  mount().waitForWriteBacks();
  std::lock_guard lock(mutex);
  EXPECT_EQ(order, (std::vector<std::string>{"upload a.txt", "upload a.txt", "rename a.txt"}));
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
}

// An engine that takes requests and never answers them: the poll gives up
// after its own timeout without holding up the mount's requests; from then
// on the mount serves what it holds and sends nothing (requests already
// waiting give up), says so once, and catches up through the changes once
// the engine answers again.
TEST_F(MountRequestTest, AStalledEngineIsServedAroundAndCaughtUpWith) {
  options.engineTimeout = 800ms;
  Hold hold;
  std::vector<Entry> root{makeEntry("a.txt", false, 5, "v1"), makeEntry("cold.txt", false, 5, "v1"),
                          makeEntry("docs", true, 0, "dir")};
  std::mutex mutex;
  ChangeSet batch{"a1", std::vector<Change>{}, false};
  engine.on("GET", scopePath("/changes"), [&](const Received& r) {
    hold.pass();
    std::lock_guard lock(mutex);
    if (r.queryValue("anchor") == "latest") return Reply{200, toJson(ChangeSet{"a1", std::nullopt, false})};
    return Reply{200, toJson(batch)};
  });
  engine.on("GET", scopePath("/list"), [&](const Received& r) {
    hold.pass();
    std::lock_guard lock(mutex);
    if (r.queryValue("dir") == "") return Reply{200, "{\"entries\":" + toJson(root) + "}"};
    return Reply{200, R"({"entries":[]})"};
  });
  std::atomic<int> uploaded{0};
  engine.on("POST", scopePath("/upload"), [&](const Received& r) {
    hold.pass();
    uploaded++;
    return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, 1, "u1"))};
  });
  engine.on("POST", scopePath("/fetch"), [&](const Received& r) {
    hold.pass();
    std::lock_guard lock(mutex);
    put(*r.bodyString("dest"), served);
    return Reply{200, toJson(makeEntry(*r.bodyString("path"), false,
                                       static_cast<std::int64_t>(served.size()), servedVersion))};
  });
  EXPECT_EQ(d().read("a.txt"), "hello");
  ASSERT_EQ(mount().readdir(kRootIno).size(), 3u);
  Said said(mount());

  hold.hold();
  // A lookup that is on its way when the engine stops answering.
  auto waiting = std::async(std::launch::async, [&] { return errnoOf([&] { d().at("docs/x"); }); });
  ASSERT_TRUE(eventually([&] { return hold.waiting() == 1; }));
  auto poll = std::async(std::launch::async, [&] { mount().pollOnce(); });
  ASSERT_TRUE(eventually([&] { return hold.waiting() == 2; }));
  // The poll waits for the engine, but not with the gate: a new file is made.
  auto made = std::async(std::launch::async, [&] {
    auto [attributes, h] = mount().create(kRootIno, "new.txt", O_WRONLY | O_CREAT);
    mount().write(*h, "n", 1, 0);
    mount().release(std::move(h));
  });
  ASSERT_EQ(made.wait_for(5s), std::future_status::ready) << "a create waited for the poll";
  ASSERT_EQ(poll.wait_for(5s), std::future_status::ready) << "the poll has no timeout";
  EXPECT_TRUE(mount().engineAway());
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready) << "a waiting lookup stayed";
  EXPECT_EQ(waiting.get(), EIO);

  // Served from what the mount holds, without asking.
  engine.clearRequests();
  EXPECT_EQ(d().read("a.txt"), "hello");
  EXPECT_EQ(d().names(""), (std::set<std::string>{"a.txt", "cold.txt", "docs", "new.txt"}));
  EXPECT_EQ(mount().getattr(d().at("a.txt")).size, 5u);
  EXPECT_EQ(errnoOf([&] { d().at("missing"); }), ENOENT);  // the folder was listed
  // Anything else fails at once.
  EXPECT_EQ(errnoOf([&] { d().read("cold.txt"); }), EIO);
  EXPECT_EQ(errnoOf([&] { d().names("docs"); }), EIO);
  EXPECT_EQ(errnoOf([&] { mount().mkdir(kRootIno, "d"); }), EIO);
  mount().pollOnce();  // the first poll's question is still unanswered
  EXPECT_TRUE(mount().engineAway());
  EXPECT_TRUE(engine.requests("GET", scopePath("/list")).empty());
  EXPECT_TRUE(engine.requests("POST", scopePath("/fetch")).empty());
  EXPECT_EQ(said.count("lost the engine"), 1u);
  EXPECT_EQ(said.size(), 1u);

  // Back, with a newer a.txt: the next poll catches up.
  {
    std::lock_guard lock(mutex);
    served = "world";
    servedVersion = "v2";
    root[0] = makeEntry("a.txt", false, 5, "v2");
    batch = ChangeSet{"a2", std::vector<Change>{Change{root[0], false}}, false};
  }
  hold.release();
  ASSERT_TRUE(eventually([&] {
    mount().pollOnce();
    return !mount().engineAway();
  }));
  // A loaded machine may let a request outlast the short timeout again; the
  // mount may then say it lost the engine again, but never twice in a row.
  {
    auto lines = said.lines();
    ASSERT_GE(lines.size(), 2u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const char* expected = i % 2 == 0 ? "lost the engine" : "the engine is back";
      EXPECT_NE(lines[i].find(expected), std::string::npos) << "line " << i << ": " << lines[i];
    }
    EXPECT_EQ(lines.size() % 2, 0u) << "the last word was not that the engine is back";
  }
  EXPECT_EQ(mount().anchor(), host::SyncAnchor("a2"));
  EXPECT_EQ(d().read("a.txt"), "world");
  mount().retryPending();
  mount().waitForWriteBacks();
  EXPECT_EQ(mount().pendingWriteBacks(), 0u);
  EXPECT_EQ(uploaded.load(), 1);
}

// A request left waiting by an engine that has stopped answering does not
// wait for the next poll to find that out: it has the engine probed at once
// (once, however many requests wait), the probe finds it stalled, and the
// request takes the offline path (EIO for what the mount does not hold).
TEST_F(MountRequestTest, ARequestLeftWaitingHasTheEngineProbedAtOnce) {
  options.engineTimeout = 800ms;
  Hold hold;
  engine.on("GET", scopePath("/changes"), [&](const Received&) {
    hold.pass();
    return Reply{200, toJson(ChangeSet{"a1", std::vector<Change>{}, false})};
  });
  engine.on("GET", scopePath("/list"), [&](const Received& r) {
    hold.pass();
    if (r.queryValue("dir") != "") return Reply{200, R"({"entries":[]})"};
    const std::vector<Entry> root{makeEntry("docs", true, 0, "dir")};
    return Reply{200, "{\"entries\":" + toJson(root) + "}"};
  });
  ASSERT_EQ(mount().readdir(kRootIno).size(), 1u);
  std::atomic<int> probes{0};
  mount().presence().setProber([&] { probes++; });

  hold.hold();
  auto first = std::async(std::launch::async, [&] { return errnoOf([&] { d().names("docs"); }); });
  auto second = std::async(std::launch::async, [&] { return errnoOf([&] { d().at("docs/x"); }); });
  ASSERT_TRUE(eventually([&] { return hold.waiting() == 2; }));
  ASSERT_TRUE(eventually([&] { return probes.load() > 0; }, 5s)) << "nobody asked for a probe";
  // What the prober starts: the poll, whose own timeout finds the engine stalled.
  mount().pollOnce();
  EXPECT_TRUE(mount().engineAway());
  ASSERT_EQ(first.wait_for(5s), std::future_status::ready) << "a waiting listing stayed";
  ASSERT_EQ(second.wait_for(5s), std::future_status::ready) << "a waiting lookup stayed";
  EXPECT_EQ(first.get(), EIO);
  EXPECT_EQ(second.get(), EIO);
  EXPECT_EQ(probes.load(), 1);

  // Once it answers again, a request that waits long may ask again.
  hold.release();
  ASSERT_TRUE(eventually([&] {
    mount().pollOnce();
    return !mount().engineAway();
  }));
  hold.hold();
  auto third = std::async(std::launch::async, [&] { return errnoOf([&] { d().at("docs/y"); }); });
  EXPECT_TRUE(eventually([&] { return probes.load() == 2; }, 5s));
  hold.release();
  ASSERT_EQ(third.wait_for(10s), std::future_status::ready);
  mount().presence().setProber({});
}

// A request that comes through the gate while the poll asks for a batch may
// have recorded something newer than the batch: the poll asks again before
// applying anything.
TEST_F(MountRequestTest, ABatchAskedForWhileARequestCameThroughTheGateIsAskedForAgain) {
  onList("", {makeEntry("a.txt", false, 1, "v1")});
  mount().readdir(kRootIno);
  std::atomic<int> asked{0};
  std::future<void> made;
  std::atomic<bool> madeInTime{false};
  engine.on("GET", scopePath("/changes"), [&](const Received&) {
    if (++asked == 1) {
      made = std::async(std::launch::async, [&] {
        auto [attributes, h] = mount().create(kRootIno, "new.txt", O_WRONLY | O_CREAT);
        mount().release(std::move(h));
      });
      madeInTime = made.wait_for(5s) == std::future_status::ready;
    }
    return Reply{200, toJson(ChangeSet{"a" + std::to_string(asked.load() + 1),
                                       std::vector<Change>{}, false})};
  });
  engine.on("POST", scopePath("/upload"), [&](const Received& r) {
    return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, 0, "u1"))};
  });

  mount().pollOnce();

  EXPECT_TRUE(madeInTime) << "the create waited for the poll";
  EXPECT_EQ(asked.load(), 2);
  EXPECT_EQ(mount().anchor(), host::SyncAnchor("a3"));
  mount().waitForWriteBacks();
}

}  // namespace
}  // namespace corvane::mount
