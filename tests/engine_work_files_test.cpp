// The engine's work files, driven directly: contents staged in a scope's
// folder reach their names without ever replacing a file the engine did not
// make, names of the engine's own are hidden while they exist and recorded
// so that a crash leaves nothing the next start cannot find, and files of
// users are never taken for the engine's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>

#include "change_log.h"
#include "engine/decoding.h"
#include "platform/unique_fd.h"
#include "scope_folder.h"
#include "support/engine_process.h"
#include "support/files.h"
#include "support/test_env.h"
#include "work_files.h"

namespace corvane::syncengine {
namespace {

namespace fs = std::filesystem;

using testing::readFile;
using testing::writeFile;

// Every name below `folder` as the file system has it, sorted.
std::vector<std::string> namesBelow(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    names.push_back(fs::relative(entry.path(), folder).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

enum class Staging { unnamed, named };

// A scope folder with its change log and work files; the staging mode is
// chosen through the work files' test hook.
class WorkFilesTest : public ::testing::TestWithParam<Staging> {
 protected:
  WorkFilesTest() {
    fs::create_directories(root);
    if (GetParam() == Staging::named) ::setenv(WorkFiles::kNamedOnlyVariable, "1", 1);
    log.emplace(env.root() / "log.sqlite", root.string(), 1000);
    work.emplace(root, *log);
    folder.emplace(root, &*work);
  }
  ~WorkFilesTest() override { ::unsetenv(WorkFiles::kNamedOnlyVariable); }

  // A source file outside the scope, open for reading.
  platform::UniqueFd source(const std::string& contents) {
    const fs::path file = env.root() / ("source-" + std::to_string(sources++));
    writeFile(file, contents);
    return platform::UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  }
  WorkFiles::Staged stage(const std::string& contents, const std::string& in = "") {
    return work->stage(source(contents).get(), in);
  }

  testing::TestEnvironment env;
  fs::path root = env.root() / "scope";
  std::optional<ChangeLog> log;
  std::optional<WorkFiles> work;
  std::optional<ScopeFolder> folder;
  int sources = 0;
};

TEST_P(WorkFilesTest, NewFilesTakeTheirNameAndNeverReplaceOne) {
  writeFile(root / "docs" / "taken.txt", "the user's");
  {
    WorkFiles::Staged staged = stage("new", "docs");
    ASSERT_TRUE(work->placeNew(staged, "docs/fresh.txt"));
  }
  EXPECT_EQ(readFile(root / "docs" / "fresh.txt"), "new");
  {
    WorkFiles::Staged staged = stage("intruder", "docs");
    // Unnamed contents have no name at all until they are placed.
    EXPECT_EQ(namesBelow(root / "docs").size(), GetParam() == Staging::unnamed ? 2u : 3u);
    EXPECT_FALSE(work->placeNew(staged, "docs/taken.txt"));
    // Refused, the contents may still go elsewhere (a conflict copy does).
    EXPECT_TRUE(work->placeNew(staged, "docs/other.txt"));
  }
  EXPECT_EQ(readFile(root / "docs" / "taken.txt"), "the user's");
  EXPECT_EQ(readFile(root / "docs" / "other.txt"), "intruder");
  EXPECT_EQ(namesBelow(root), (std::vector<std::string>{"docs", "docs/fresh.txt", "docs/other.txt",
                                                        "docs/taken.txt"}));
  EXPECT_TRUE(log->workFiles().empty());
}

TEST_P(WorkFilesTest, ReplacingKeepsTheModeAndLeavesNoOtherName) {
  writeFile(root / "f.txt", "old");
  ::chmod((root / "f.txt").c_str(), 0640);
  {
    WorkFiles::Staged staged = stage("new contents");
    work->replace(staged, "f.txt", 0640);
  }
  EXPECT_EQ(readFile(root / "f.txt"), "new contents");
  struct stat st {};
  ASSERT_EQ(::stat((root / "f.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(namesBelow(root), std::vector<std::string>{"f.txt"});
  EXPECT_TRUE(log->workFiles().empty());
}

TEST_P(WorkFilesTest, ContentsNeverPlacedLeaveNothing) {
  { WorkFiles::Staged staged = stage("dropped"); }
  {
    WorkFiles::Staged staged = stage("moved along");
    WorkFiles::Staged moved = std::move(staged);
  }
  EXPECT_TRUE(namesBelow(root).empty());
  EXPECT_TRUE(log->workFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(Staging, WorkFilesTest,
                         ::testing::Values(Staging::unnamed, Staging::named), [](const auto& info) {
                           return info.param == Staging::unnamed ? "Unnamed" : "Named";
                         });

// Where the engine must stage under a name, the name is recorded before the
// file exists and hidden from everything that reports items.
class NamedWorkFilesTest : public WorkFilesTest {};

TEST_P(NamedWorkFilesTest, ANamedWorkFileIsRecordedAndHiddenWhileItExists) {
  writeFile(root / "docs" / "user.txt", "x");
  std::optional<WorkFiles::Staged> staged = stage("in flight", "docs");
  const std::vector<std::string> onDisk = namesBelow(root / "docs");
  ASSERT_EQ(onDisk.size(), 2u);
  const std::string name = onDisk[0] == "user.txt" ? onDisk[1] : onDisk[0];
  const std::string path = "docs/" + name;
  EXPECT_EQ(log->workFiles(), std::vector<std::string>{path});
  EXPECT_TRUE(work->contains(path));
  EXPECT_EQ(folder->kindOf(path), ScopeFolder::Kind::missing);
  const std::vector<ItemEntry> listed = folder->list("docs");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].path, "docs/user.txt");
  std::vector<std::pair<std::string, ItemState>> walked;
  folder->walk("", walked);
  EXPECT_EQ(walked.size(), 2u) << "the folder and the user's file only";

  ASSERT_TRUE(work->placeNew(*staged, "docs/done.txt"));
  staged.reset();
  EXPECT_FALSE(work->contains(path));
  EXPECT_TRUE(log->workFiles().empty());
  EXPECT_EQ(namesBelow(root / "docs"), (std::vector<std::string>{"done.txt", "user.txt"}));
}

TEST_P(NamedWorkFilesTest, AFileThatTookTheWorkFilesPlaceIsNotRemoved) {
  std::optional<WorkFiles::Staged> staged = stage("the engine's");
  const std::vector<std::string> onDisk = namesBelow(root);
  ASSERT_EQ(onDisk.size(), 1u);
  // Another program puts its own file at the name.
  writeFile(root / "elsewhere", "another program's");
  fs::rename(root / "elsewhere", root / onDisk[0]);
  staged.reset();
  EXPECT_EQ(readFile(root / onDisk[0]), "another program's");
  EXPECT_TRUE(log->workFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(Staging, NamedWorkFilesTest, ::testing::Values(Staging::named),
                         [](const auto&) { return "Named"; });

TEST_P(WorkFilesTest, AtStartOnlyRecordedFilesAreRemoved) {
  // What a crash leaves: recorded names, with or without a file, beside the
  // files of users, some of which look like the engine's.
  writeFile(root / ".corvane-part-notes.txt", "the user's notes");
  writeFile(root / ".corvane-work-0123456789abcdef0123456789abcdef", "a user's odd name");
  writeFile(root / "sub" / ".corvane-work-recorded", "half an upload");
  fs::create_directories(root / ".corvane-work-now-a-folder");
  for (const char* recorded :
       {"sub/.corvane-work-recorded", ".corvane-work-now-a-folder", ".corvane-work-never-made"}) {
    log->recordWorkFile(recorded);
  }
  work->removeLeftovers(*folder);
  EXPECT_EQ(namesBelow(root),
            (std::vector<std::string>{".corvane-part-notes.txt",
                                      ".corvane-work-0123456789abcdef0123456789abcdef",
                                      ".corvane-work-now-a-folder", "sub"}));
  EXPECT_TRUE(log->workFiles().empty());
}

// The whole engine after a crash: what it recorded goes at the next start,
// before anything is compared with the change log, and nothing else does.
TEST(WorkFilesAtStartTest, TheNextStartRemovesWhatACrashLeft) {
  testing::TestEnvironment env;
  const fs::path root = env.root() / "scope";
  fs::create_directories(root);
  testing::EngineProcess::Options options;
  options.binary = CORVANE_BIN_DIR "/corvane-engine";
  options.scopes = {{"docs", root}};
  testing::EngineProcess engine(options);
  const testing::EngineReply latest =
      testing::engineGet(*engine.client(), "/v1/scopes/local-1/changes?anchor=latest&refresh=0");
  ASSERT_EQ(latest.status, 200) << latest.body;
  const std::string anchor = decode::changeSet(latest.body).anchor;
  engine.crash();

  writeFile(root / "sub" / ".corvane-work-leftover", "half an upload");
  writeFile(root / ".corvane-part-notes.txt", "the user's");
  {
    ChangeLog log(engine.applicationSupport() / "changes-docs.sqlite", fs::canonical(root).string(),
                  100'000);
    log.recordWorkFile("sub/.corvane-work-leftover");
  }
  engine.start();
  EXPECT_FALSE(fs::exists(root / "sub" / ".corvane-work-leftover"));
  EXPECT_EQ(readFile(root / ".corvane-part-notes.txt"), "the user's");

  const testing::EngineReply after = testing::engineGet(
      *engine.client(), "/v1/scopes/local-1/changes?anchor=" + anchor + "&refresh=0");
  ASSERT_EQ(after.status, 200) << after.body;
  const ChangeSet set = decode::changeSet(after.body);
  ASSERT_FALSE(set.reset) << "the log survived the crash";
  std::set<std::string> paths;
  for (const Change& c : *set.changes) paths.insert(c.entry.path);
  EXPECT_EQ(paths, (std::set<std::string>{".corvane-part-notes.txt", "sub"}));
}

}  // namespace
}  // namespace corvane::syncengine
