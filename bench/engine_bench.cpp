// The reference engine under load, over HTTP as the extension sees it:
//   - listing a folder of 100,000 files (must answer in under a second);
//   - answering `changes` with a full page of 10,000 changes.
// The engine runs as a child process on a private temporary folder that is
// filled once for all runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace

BENCHMARK_MAIN();
