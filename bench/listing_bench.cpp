// Folder listing and item lookup, end to end through the extension, against
// the floor of a bare libcurl GET (plus a bare simdjson parse for listings) of
// the same answers in the same run. The test engine serves from memory over
// loopback, from a child process of its own, so that the memory figures are
// the extension's and not the engine's.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <simdjson.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <iostream>

#include "engine/json_text.h"
#include "extension/file_provider_extension.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace {

using namespace corvane;
using namespace corvane::testing;

constexpr int kListingEntries = 100000;

// The engine's side: runs in a forked child until the parent goes away.
[[noreturn]] void serveEngine(int reportFd) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  TestEngine engine;
  engine.onScopes({makeScope("local", 1)});
  std::vector<Entry> big;
  big.reserve(kListingEntries);
  for (int i = 0; i < kListingEntries; ++i) {
    // About 210 bytes of JSON an entry, so the answer is about 21 MB.
    big.push_back(makeEntry("photos/2024/summer-holiday/IMG_" + std::to_string(100000 + i) + ".jpeg",
                            false, 1000000 + i,
                            "0123456789abcdef0123456789abcdef" + std::to_string(i)));
  }
  engine.onList("local-1", "photos/2024/summer-holiday", big);
  std::vector<Entry> small;
  for (int i = 0; i < 10; ++i) small.push_back(makeEntry("docs/file" + std::to_string(i) + ".txt"));
  engine.onList("local-1", "docs", small);
  const std::string hello = std::to_string(engine.port()) + " " + engine.token() + "\n";
  if (::write(reportFd, hello.data(), hello.size()) < 0) _exit(1);
  ::close(reportFd);
  for (;;) pause();
}

struct World {
  TestEnvironment env;
  pid_t child = -1;
  int port = 0;
  std::string token;
  std::shared_ptr<FileProviderExtension> extension;

  World() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    child = fork();
    if (child == 0) {
      ::close(fds[0]);
      serveEngine(fds[1]);
    }
    ::close(fds[1]);
    std::string hello;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') hello += c;
    ::close(fds[0]);
    auto blank = hello.find(' ');
    if (blank == std::string::npos) throw std::runtime_error("engine did not start");
    port = std::stoi(hello.substr(0, blank));
    token = hello.substr(blank + 1);
    env.writeDiscovery(port, token);
    extension = std::make_shared<FileProviderExtension>(host::Domain{"local-1", "Local"});
  }
  ~World() {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
};

World& world() {
  static World w;
  return w;
}

size_t collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

// A bare GET with one reused handle: the floor for one request.
struct BareClient {
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  std::string body;
  explicit BareClient(const std::string& token) {
    headers = curl_slist_append(headers, ("Authorization: Bearer " + token).c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  }
  ~BareClient() {
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
  void get(const std::string& url) {
    body.clear();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (curl_easy_perform(curl) != CURLE_OK) throw std::runtime_error("bare GET failed");
  }
};

class CountingObserver : public host::EnumerationObserver {
 public:
  std::size_t items = 0;
  bool failed = false;
  void didEnumerateItems(host::ItemList list) override { items += list.size(); }
  void finishEnumeratingUpToPage(std::optional<host::Page>) override {}
  void finishEnumeratingWithError(const host::Error&) override { failed = true; }
};

std::string url(const std::string& pathAndQuery) {
  return "http://127.0.0.1:" + std::to_string(world().port) + pathAndQuery;
}

void BM_ListingFloor(benchmark::State& state) {
  BareClient client(world().token);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    client.get(url("/v1/scopes/local-1/list?dir=photos/2024/summer-holiday"));
    auto doc = parser.parse(client.body);
    benchmark::DoNotOptimize(doc["entries"].get_array().size());
  }
  state.counters["bytes"] = static_cast<double>(client.body.size());
}

void BM_ListingEndToEnd(benchmark::State& state) {
  auto enumerator = world().extension->enumerator("photos/2024/summer-holiday", {});
  for (auto _ : state) {
    CountingObserver observer;
    enumerator->enumerateItems(observer, {});
    if (observer.failed || observer.items != kListingEntries) state.SkipWithError("listing failed");
  }
}

void BM_LookupFloor(benchmark::State& state) {
  BareClient client(world().token);
  for (auto _ : state) client.get(url("/v1/scopes/local-1/list?dir=docs"));
}

void BM_LookupEndToEnd(benchmark::State& state) {
  auto& ext = *world().extension;
  for (auto _ : state) {
    std::promise<bool> done;
    ext.item("docs/file7.txt", {}, [&](std::shared_ptr<const host::Item> item,
                                       std::optional<host::Error>) { done.set_value(bool(item)); });
    if (!done.get_future().get()) state.SkipWithError("lookup failed");
  }
}

BENCHMARK(BM_ListingFloor)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ListingEndToEnd)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_LookupFloor)->Unit(benchmark::kMicrosecond)->Repetitions(5)->UseRealTime()
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_LookupEndToEnd)->Unit(benchmark::kMicrosecond)->Repetitions(5)->UseRealTime()
    ->ReportAggregatesOnly(true);

// Prints the ratios the targets are stated in, from the runs above.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      const std::string name = r.benchmark_name();
      const bool median = r.aggregate_name == "median";
      if (r.run_type == Run::RT_Iteration || median) {
        times_[name.substr(0, name.find('/'))] = r.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto ratio = [&](const char* a, const char* b) {
      if (!times_.count(a) || !times_.count(b) || times_[b] == 0) return 0.0;
      return times_[a] / times_[b];
    };
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "listing end-to-end / floor: " << ratio("BM_ListingEndToEnd", "BM_ListingFloor")
              << " (target <= 2.0)\n"
              << "lookup median end-to-end / bare GET: "
              << ratio("BM_LookupEndToEnd", "BM_LookupFloor") << " (target <= 2.0)\n"
              << "peak RSS of the process: " << usage.ru_maxrss / 1024 << " MB (target < 250 MB)\n";
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  world();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
