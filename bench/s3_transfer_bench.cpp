// Transfers through the S3 client against a real store: upload (multipart,
// parts in parallel) and download (parallel ranged GETs) of one large file,
// with the growth of the process's peak memory, and the latency of small
// requests. bench/s3_transfer.sh
// runs it beside one plain `curl --aws-sigv4` PUT and GET of the same file.
//
// The store comes from CORVANE_S3_BENCH_ENV (the env file scripts/s3-store
// writes), the file from CORVANE_S3_BENCH_FILE; without them every benchmark
// is skipped.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>

#include "s3/s3_client.h"
#include "s3/s3_config.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane::s3;

long peakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct World {
  std::unique_ptr<S3Client> client;
  fs::path file;
  fs::path fetched;
  std::uint64_t size = 0;
  std::string skip;

  World() {
    const char* envFile = std::getenv("CORVANE_S3_BENCH_ENV");
    const char* source = std::getenv("CORVANE_S3_BENCH_FILE");
    if (!envFile || !source) {
      skip = "set CORVANE_S3_BENCH_ENV and CORVANE_S3_BENCH_FILE (bench/s3_transfer.sh does)";
      return;
    }
    std::map<std::string, std::string> values;
    std::ifstream in(envFile);
    for (std::string line; std::getline(in, line);) {
      const auto equals = line.find('=');
      if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    // The same resolution the engine uses, fed from the store's settings.
    const S3Config config =
        resolveS3Config({}, [&values](const std::string& name) -> std::optional<std::string> {
          auto it = values.find(name);
          if (it == values.end()) return std::nullopt;
          return it->second;
        });
    const char* bucket = std::getenv("CORVANE_S3_BENCH_BUCKET");
    client = std::make_unique<S3Client>(config, bucket ? bucket : "bench");
    file = source;
    fetched = file.string() + ".fetched";
    size = fs::file_size(file);
  }
};

World& world() {
  static World w;
  return w;
}

void BM_Put(benchmark::State& state) {
  World& w = world();
  if (!w.skip.empty()) return state.SkipWithError(w.skip.c_str());
  const long before = peakRssKiB();
  for (auto _ : state) w.client->putFromFile("bench/object", w.file);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * w.size));
  state.counters["peak_rss_growth_MiB"] = double(peakRssKiB() - before) / 1024.0;
  state.counters["peak_rss_MiB"] = double(peakRssKiB()) / 1024.0;
}

void BM_Get(benchmark::State& state) {
  World& w = world();
  if (!w.skip.empty()) return state.SkipWithError(w.skip.c_str());
  w.client->putFromFile("bench/object", w.file);
  const long before = peakRssKiB();
  for (auto _ : state) {
    const S3GetResult got = w.client->getToFile("bench/object", w.fetched);
    if (got.length != w.size) state.SkipWithError("the download has another size");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * w.size));
  state.counters["peak_rss_growth_MiB"] = double(peakRssKiB() - before) / 1024.0;
  state.counters["peak_rss_MiB"] = double(peakRssKiB()) / 1024.0;
  fs::remove(w.fetched);
}

// Small requests, one at a time on a reused connection: what a listing
// folder's worth of HEADs or small files costs.
void BM_SmallPut(benchmark::State& state) {
  World& w = world();
  if (!w.skip.empty()) return state.SkipWithError(w.skip.c_str());
  const std::string bytes(1024, 'x');
  for (auto _ : state) w.client->putBytes("bench/small", bytes);
}

void BM_Head(benchmark::State& state) {
  World& w = world();
  if (!w.skip.empty()) return state.SkipWithError(w.skip.c_str());
  w.client->putBytes("bench/small", std::string(1024, 'x'));
  for (auto _ : state) benchmark::DoNotOptimize(w.client->head("bench/small"));
}

void BM_SmallGet(benchmark::State& state) {
  World& w = world();
  if (!w.skip.empty()) return state.SkipWithError(w.skip.c_str());
  w.client->putBytes("bench/small", std::string(1024, 'x'));
  for (auto _ : state) w.client->getToFile("bench/small", w.fetched);
  fs::remove(w.fetched);
}

BENCHMARK(BM_SmallPut)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Head)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SmallGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One transfer per run; bench/s3_transfer.sh asks for repetitions and takes
// the best, as it does for curl.
BENCHMARK(BM_Put)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Get)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
