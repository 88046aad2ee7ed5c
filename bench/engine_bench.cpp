// The reference engine under load, over HTTP as the extension sees it:
//   - listing a folder of 100,000 files (must answer in under a second);
//   - answering `changes` with a full page of 10,000 changes;
//   - uploads of small files, as new files and replacing a file (the cost of
//     staging them safely in the scope's folder).
// The engines run as child processes on private temporary folders, each
// filled once for all runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "engine/decoding.h"
#include "engine/json_text.h"
#include "engine/query.h"
#include "support/engine_process.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using corvane::testing::EngineProcess;

constexpr int kListedFiles = 100'000;
constexpr int kRenamedFiles = 5'000;  // a folder rename logs 2 * (files + 1) changes

void makeEmptyFiles(const fs::path& folder, int count) {
  fs::create_directories(folder);
  for (int i = 0; i < count; ++i) {
    const fs::path file = folder / ("file-" + std::to_string(i) + ".dat");
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + file.string());
    ::close(fd);
  }
}

// One engine with both data sets, made on first use and ended at exit.
struct Setup {
  Setup() {
    makeEmptyFiles(folder / "big", kListedFiles);
    makeEmptyFiles(folder / "renamed", kRenamedFiles);
    EngineProcess::Options options;
    options.scopes = {{"bench", folder}};
    engine = std::make_unique<EngineProcess>(options);
    auto client = engine->client();
    const auto latest =
        corvane::testing::engineGet(*client, "/v1/scopes/local-1/changes?anchor=latest&refresh=0");
    anchor = corvane::decode::changeSet(latest.body).anchor;
    const auto renamed = corvane::testing::enginePost(
        *client, "/v1/scopes/local-1/rename",
        corvane::JsonObjectWriter().addString("path", "renamed/").addString("name", "moved").str());
    if (renamed.status != 200) throw std::runtime_error("rename failed: " + renamed.body);
  }

  corvane::testing::TestEnvironment env;
  fs::path folder = env.root() / "scope";
  std::unique_ptr<EngineProcess> engine;
  std::string anchor;
};

Setup& setup() {
  static Setup instance;
  return instance;
}

void BM_ListFolderOf100kFiles(benchmark::State& state) {
  auto client = setup().engine->client();
  const std::string target = "/v1/scopes/local-1/list?dir=big";
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto reply = corvane::testing::engineGet(*client, target);
    if (reply.status != 200) state.SkipWithError("list failed");
    bytes = reply.body.size();
    benchmark::DoNotOptimize(reply.body.data());
  }
  const auto entries =
      corvane::decode::entriesAnswer(corvane::testing::engineGet(*client, target).body);
  if (entries.size() != static_cast<std::size_t>(kListedFiles))
    state.SkipWithError("wrong number of entries");
  state.counters["entries"] = static_cast<double>(entries.size());
  state.counters["answer_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ListFolderOf100kFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_ChangesPageOf10k(benchmark::State& state) {
  auto client = setup().engine->client();
  const std::string target = "/v1/scopes/local-1/changes?" +
                             corvane::query::build({{"anchor", setup().anchor}, {"refresh", "0"}});
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto reply = corvane::testing::engineGet(*client, target);
    if (reply.status != 200) state.SkipWithError("changes failed");
    bytes = reply.body.size();
    benchmark::DoNotOptimize(reply.body.data());
  }
  const auto set = corvane::decode::changeSet(corvane::testing::engineGet(*client, target).body);
  if (!set.changes || set.changes->size() != 10'000u)
    state.SkipWithError("expected a full page of 10,000");
  state.counters["changes"] = set.changes ? static_cast<double>(set.changes->size()) : 0;
  state.counters["answer_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ChangesPageOf10k)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// A second engine on an empty scope, so the uploads do not wait for the
// large data set above to be made.
struct UploadSetup {
  UploadSetup() {
    fs::create_directories(folder);
    EngineProcess::Options options;
    options.scopes = {{"uploads", folder}};
    engine = std::make_unique<EngineProcess>(options);
    std::ofstream(source, std::ios::binary) << std::string(4096, 'u');
  }

  corvane::testing::TestEnvironment env;
  fs::path folder = env.root() / "scope";
  fs::path source = env.root() / "source.bin";
  std::unique_ptr<EngineProcess> engine;
};

UploadSetup& uploadSetup() {
  static UploadSetup instance;
  return instance;
}

// Uploads `path` based on `version` and returns the new version.
std::string upload(httplib::Client& client, const std::string& path, const std::string& version,
                   benchmark::State& state) {
  const auto reply =
      corvane::testing::enginePost(client, "/v1/scopes/local-1/upload",
                                   corvane::JsonObjectWriter()
                                       .addString("path", path)
                                       .addString("source", uploadSetup().source.string())
                                       .addString("version", version)
                                       .str());
  if (reply.status != 200) {
    state.SkipWithError(("upload failed: " + reply.body).c_str());
    return {};
  }
  return corvane::decode::entry(reply.body).version;
}

void BM_UploadNewSmallFile(benchmark::State& state) {
  auto client = uploadSetup().engine->client();
  static int n = 0;  // the benchmark runs this more than once; names stay new
  for (auto _ : state) upload(*client, "new/file-" + std::to_string(n++), "", state);
}
BENCHMARK(BM_UploadNewSmallFile)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(3);

void BM_ReplaceSmallFile(benchmark::State& state) {
  auto client = uploadSetup().engine->client();
  static int run = 0;
  const std::string path = "replaced-" + std::to_string(run++) + ".bin";
  std::string version = upload(*client, path, "", state);
  for (auto _ : state) version = upload(*client, path, version, state);
}
BENCHMARK(BM_ReplaceSmallFile)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
