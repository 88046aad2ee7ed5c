// Large-file transfer through the operations: a 1 GiB upload (creation with
// contents) and download (fetchContents), with the growth of the process's
// peak memory, and the staging copy of 1 GiB against `cp --reflink=auto` of
// the same file in the same run. The test engine copies the files it is
// handed, as a real engine would.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>

#include "engine/json_text.h"
#include "engine/staging.h"
#include "extension/file_provider_extension.h"
#include "support/recording_host.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane;
using namespace corvane::testing;

constexpr std::int64_t kFileSize = std::int64_t(1) << 30;

long peakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct World {
  TestEnvironment env;
  TestEngine engine;
  std::shared_ptr<FileProviderExtension> extension;
  fs::path source, store;

  World() {
    engine.writeDiscovery(env);
    engine.onScopes({makeScope("local", 1)});
    source = env.root() / "big.bin";
    store = env.root() / "store";
    fs::create_directories(store);
    // Real bytes, not a sparse file, so every copy moves a full gibibyte.
    std::ofstream out(source, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (std::int64_t i = 0; i < kFileSize / std::int64_t(block.size()); ++i) {
      for (std::size_t j = 0; j < block.size(); j += 4096) block[j] = char(i + j);
      out.write(block.data(), std::streamsize(block.size()));
    }
    out.close();
    engine.on("POST", "/v1/scopes/local-1/upload", [this](const Received& r) {
      const fs::path target = store / *r.bodyString("path");
      fs::remove(target);
      staging::copyFile(*r.bodyString("source"), target);
      return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, kFileSize, "v1"))};
    });
    engine.on("POST", "/v1/scopes/local-1/fetch", [this](const Received& r) {
      staging::copyFile(store / *r.bodyString("path"), *r.bodyString("dest"));
      return Reply{200, toJson(makeEntry(*r.bodyString("path"), false, kFileSize, "v1"))};
    });
    extension = std::make_shared<FileProviderExtension>(host::Domain{"local-1", "Local"});
  }
};

World& world() {
  static World* w = new World;
  return *w;
}

long gPeakBefore = 0;
long gPeakAfter = 0;

void BM_UploadThroughCreateItem(benchmark::State& state) {
  auto& w = world();
  auto templ = std::make_shared<TemplateItem>("big.bin", std::string(host::kRootContainerItemIdentifier),
                                               "big.bin", "public.data");
  for (auto _ : state) {
    std::promise<bool> done;
    w.extension->createItem(templ, 0, w.source, 0, {},
                            [&](std::shared_ptr<const host::Item> item, host::ItemFields, bool,
                                std::optional<host::Error>) { done.set_value(bool(item)); });
    if (!done.get_future().get()) state.SkipWithError("upload failed");
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_DownloadThroughFetchContents(benchmark::State& state) {
  auto& w = world();
  for (auto _ : state) {
    std::promise<std::optional<fs::path>> done;
    w.extension->fetchContents("big.bin", std::nullopt, {},
                               [&](std::optional<fs::path> url, std::shared_ptr<const host::Item>,
                                   std::optional<host::Error>) { done.set_value(url); });
    auto url = done.get_future().get();
    if (!url || fs::file_size(*url) != std::uintmax_t(kFileSize)) {
      state.SkipWithError("download failed");
    }
    state.PauseTiming();
    if (url) fs::remove(*url);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_StagingCopy(benchmark::State& state) {
  auto& w = world();
  const fs::path copy = w.env.root() / "staged.bin";
  for (auto _ : state) {
    staging::copyFile(w.source, copy);
    state.PauseTiming();
    fs::remove(copy);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_CpReflinkAuto(benchmark::State& state) {
  auto& w = world();
  const fs::path copy = w.env.root() / "cp.bin";
  const std::string command = "cp --reflink=auto '" + w.source.string() + "' '" + copy.string() + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("cp failed");
    state.PauseTiming();
    fs::remove(copy);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

BENCHMARK(BM_UploadThroughCreateItem)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_DownloadThroughFetchContents)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_StagingCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CpReflinkAuto)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

class TransferReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      const std::string name = r.benchmark_name();
      times_[name.substr(0, name.find('/'))] = r.GetAdjustedRealTime();
    }
    // The transfers run first; the peak after them is what they added.
    if (times_.count("BM_DownloadThroughFetchContents") && gPeakAfter == 0) gPeakAfter = peakRssKiB();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double staging = times_["BM_StagingCopy"], cp = times_["BM_CpReflinkAuto"];
    std::cout << "peak memory growth over 1 GiB upload + download: "
              << (gPeakAfter - gPeakBefore) / 1024.0 << " MiB (target < 16 MiB)\n"
              << "staging copy / cp --reflink=auto: " << (cp > 0 ? staging / cp : 0)
              << " (target <= 1.5)\n";
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  world();
  gPeakBefore = peakRssKiB();
  TransferReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
