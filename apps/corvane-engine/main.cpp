// corvane-engine: the reference sync engine. Serves local folders and
// buckets of S3-compatible stores as scopes over the engine's HTTP API on 127.0.0.1 and publishes
// its port and token in engine.json. Runs in the foreground until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "bucket_storage.h"
#include "cli/command_line.h"
#include "cli/config_sections.h"
#include "cli/value_checks.h"
#include "discovery_file.h"
#include "engine_options.h"
#include "engine_server.h"
#include "host_log.h"
#include "local_storage.h"
#include "log_options.h"
#include "open_files.h"
#include "platform/folders.h"
#include "random_hex.h"
#include "s3/region_discovery.h"
#include "s3/s3_client.h"
#include "scope_service.h"
#include "store_status_writer.h"
#include "service/service_manager.h"

using namespace corvane::syncengine;

namespace {

// The last word of an engine that gives up: its own line on standard error,
// and a timed line in the log file.
int refuse(const std::string& message) {
  std::cerr << "corvane-engine: " << message << "\n";
  corvane::hostlog::error(message, corvane::hostlog::Reach::fileOnly);
  return 1;
}

// The clients of the bucket scopes, in the order of `setups` (null for
// local scopes), while their buckets are checked: a stop signal stops every
// one, also one made afterwards to follow a bucket into its region.
class BucketClients {
 public:
  explicit BucketClients(std::size_t count) : clients_(count) {}

  // Puts a client for `config` in place of scope `i`'s and returns it.
  const corvane::s3::S3Client& make(std::size_t i, corvane::s3::S3Config config,
                                    const std::string& bucket, StoreStatusWriter& status,
                                    const std::string& scopeId) {
    corvane::s3::S3ClientOptions clientOptions;
    clientOptions.connection.storeState = [&status, scopeId,
                                           store = config.endpoint](const auto& state) {
      status.set(scopeId, store, state);
    };
    auto fresh = std::make_unique<corvane::s3::S3Client>(std::move(config), bucket, clientOptions);
    std::lock_guard lock(mutex_);
    if (stopped_) fresh->stop();
    // The one replaced is destroyed outside the lock, and stop() no longer
    // sees it.
    std::swap(clients_[i], fresh);
    return *clients_[i];
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (const auto& client : clients_) {
      if (client) client->stop();
    }
  }

  // Scope `i`'s client; null for a local scope.
  const corvane::s3::S3Client* get(std::size_t i) {
    std::lock_guard lock(mutex_);
    return clients_[i].get();
  }

  // Once the checks are over.
  std::vector<std::unique_ptr<corvane::s3::S3Client>> take() {
    std::lock_guard lock(mutex_);
    return std::move(clients_);
  }

 private:
  std::mutex mutex_;
  bool stopped_ = false;
  std::vector<std::unique_ptr<corvane::s3::S3Client>> clients_;
};

// A client for each bucket scope, with its own endpoint, region and
// credentials; each tells `status` whether its store answers. Throws
// OptionError with one line for the user.
void makeBucketClients(const std::vector<ScopeSetup>& setups, BucketClients& clients,
                       StoreStatusWriter& status) {
  for (std::size_t i = 0; i < setups.size(); ++i) {
    if (!setups[i].isBucket()) continue;
    const corvane::Scope& record = setups[i].record;
    corvane::s3::S3Config config;
    try {
      config = corvane::s3::resolveS3Config(setups[i].s3);
    } catch (const corvane::s3::S3ConfigError& e) {
      throw OptionError("scope " + record.name + ": " + e.what());
    }
    corvane::hostlog::debug("scope " + record.name + ": S3 " + config.describe());
    clients.make(i, std::move(config), record.bucket, status, record.id());
  }
}

// The check of every bucket at start, in its own region; its outcome fills
// in the records. Throws OptionError with one line for the user.
void checkBuckets(BucketClients& clients, std::vector<ScopeSetup>& setups,
                  StoreStatusWriter& status) {
  for (std::size_t i = 0; i < setups.size(); ++i) {
    const corvane::s3::S3Client* client = clients.get(i);
    if (!client) continue;
    corvane::Scope& record = setups[i].record;
    auto follow = [&](corvane::s3::S3Config config) -> const corvane::s3::S3Client& {
      client = &clients.make(i, std::move(config), record.bucket, status, record.id());
      return *client;
    };
    try {
      record.versioned = corvane::s3::openBucket(*client, follow).versioned;
    } catch (const corvane::s3::S3Error& e) {
      throw OptionError("scope " + record.name + ": " + e.what());
    }
    record.region = client->config().region;
  }
}

// Runs `work` on a thread of its own while this one waits for one of
// `signals`. On a signal `interrupt` is called and the work awaited (it is
// to end soon then); returns the signal, or 0 when the work ended first.
// The work's exception is rethrown unless a signal came.
int runUntilSignal(const sigset_t& signals, const std::function<void()>& work,
                   const std::function<void()>& interrupt) {
  auto done = std::async(std::launch::async, work);
  for (;;) {
    if (done.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      done.get();
      return 0;
    }
    const timespec tick{0, 100'000'000};
    const int signal = sigtimedwait(&signals, nullptr, &tick);
    if (signal > 0) {
      interrupt();
      done.wait();
      return signal;
    }
  }
}

int serve(const EngineOptions& options) {
  const auto applicationSupport = corvane::platform::applicationSupportFolder();
  if (!applicationSupport)
    return refuse("neither XDG_DATA_HOME nor HOME is set; cannot place engine.json");

  // Signals are taken by sigwait() below; every thread started from here on
  // inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Options first: a command line that cannot work leaves nothing behind.
  std::vector<ScopeSetup> setups = setUpScopes(options, *applicationSupport);
  StoreStatusWriter storeStatus(*applicationSupport);
  BucketClients checking(setups.size());
  makeBucketClients(setups, checking, storeStatus);
  // A store that does not answer may hold the checks for a while; a stop
  // signal ends them at once.
  const int stopped = runUntilSignal(
      stopSignals, [&] { checkBuckets(checking, setups, storeStatus); },
      [&] { checking.stop(); });
  if (stopped != 0) {
    corvane::hostlog::info("stopped before serving");
    return 0;
  }
  auto bucketClients = checking.take();
  corvane::platform::makePrivateDataFolder(*applicationSupport);

  DiscoveryFile discovery(*applicationSupport);
  try {
    discovery.claim();
  } catch (const DiscoveryFile::AlreadyRunning& e) {
    return refuse(e.what());
  }
  storeStatus.enable();
  std::vector<const corvane::s3::S3Client*> stores;
  for (const auto& client : bucketClients) {
    if (client) stores.push_back(client.get());
  }

  std::vector<std::unique_ptr<ScopeService>> scopes;
  const auto milliseconds = [](double seconds) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
  };
  BucketWatch watch;
  watch.poll = milliseconds(options.s3PollSeconds);
  watch.watchFor = milliseconds(options.s3WatchSeconds);
  watch.fullScan = milliseconds(options.s3FullScanSeconds);
  watch.pageKeys = options.s3FullScanPage;
  for (std::size_t i = 0; i < setups.size(); ++i) {
    const ScopeSetup& setup = setups[i];
    const auto logFile = changeLogFile(*applicationSupport, setup.record.name);
    std::unique_ptr<ChangeLog> log;
    std::unique_ptr<ScopeStorage> storage;
    if (setup.isBucket()) {
      auto bucket = std::make_unique<BucketStorage>(
          std::move(bucketClients[i]), setup.record.prefix, setup.record.name, watch);
      log = std::make_unique<ChangeLog>(logFile, bucket->identity(), options.logRetention);
      bucket->keepTimesIn(*log);
      storage = std::move(bucket);
    } else {
      log = std::make_unique<ChangeLog>(logFile, setup.folder.string(), options.logRetention);
      storage = std::make_unique<LocalStorage>(setup.folder, *log);
    }
    scopes.push_back(
        std::make_unique<ScopeService>(setup.record, std::move(log), std::move(storage)));
    scopes.back()->start();
  }

  std::vector<ScopeService*> served;
  for (auto& scope : scopes) served.push_back(scope.get());
  const std::string token = randomHex(32);
  ServerLimits limits;
  limits.maxConnections = std::min(limits.maxConnections, connectionsFor(raiseOpenFilesLimit()));
  EngineServer server(served, token, corvane::hostlog::enabled(corvane::hostlog::Level::debug),
                      limits);
  const int port = server.bind(options.port);

  std::atomic<bool> servedOk = true;
  std::thread listener([&] {
    servedOk = server.run();
    if (!servedOk) ::kill(::getpid(), SIGTERM);  // wakes sigwait below
  });
  try {
    server.selfCheck(port);
    discovery.publish(port, token);
    corvane::hostlog::info(
        "serving " + std::to_string(scopes.size()) + (scopes.size() == 1 ? " scope" : " scopes") +
        " on 127.0.0.1:" + std::to_string(port) + "; discovery file " + discovery.path().string());
    corvane::service::notifyReady("serving on 127.0.0.1:" + std::to_string(port));
  } catch (const std::exception& e) {
    corvane::hostlog::error(std::string("cannot start: ") + e.what());
    servedOk = false;
    ::kill(::getpid(), SIGTERM);
  }
  int signal = 0;
  sigwait(&stopSignals, &signal);
  corvane::service::notifyStopping("stopping");

  // Withdraw first: a client that reads engine.json from now on learns that
  // the engine is gone instead of connecting to a closing port.
  discovery.withdraw();
  // Requests that wait for a store (its retries may last minutes) end now.
  for (const auto* store : stores) store->stop();
  server.stop();
  server.drain();
  for (auto& scope : scopes) scope->stop();
  scopes.clear();  // closes the change logs
  storeStatus.withdraw();
  corvane::hostlog::info("stopped");
  const int code = servedOk ? 0 : 1;

  // Idle keep-alive connections end on their own within seconds; nothing of
  // ours is left for them to touch, so do not wait for them long.
  auto joined = std::async(std::launch::async, [&] { listener.join(); });
  if (joined.wait_for(std::chrono::seconds(1)) != std::future_status::ready) std::_Exit(code);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  EngineOptions options;
  CLI::App app("corvane-engine: serves local folders and S3 buckets to the Corvane Sync extension");
  corvane::cli::setUpTool(app, "corvane-engine", "engine.conf");
  app.add_option("--scope", options.scopes,
                 "Serve folder DIR, or the bucket BUCKET below PREFIX, as scope NAME "
                 "(repeatable; default: the embedded scope)")
      ->type_name("NAME=DIR|NAME=s3://BUCKET[/PREFIX]");
  // Sections "[scope.NAME]" of engine.conf describe one scope each.
  auto config = std::make_shared<corvane::cli::SectionedConfig>("scope", kScopeSectionKeys);
  app.config_formatter(config);
  app.add_option("--s3-endpoint", options.s3Endpoint,
                 "The S3 store's URL for scope NAME, or without NAME= for every bucket scope "
                 "(default: AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL, else the region's public "
                 "endpoint; repeatable)")
      ->type_name("[NAME=]URL");
  app.add_option("--s3-region", options.s3Region,
                 "The region of scope NAME's bucket, or without NAME= of every bucket (default: "
                 "AWS_REGION, AWS_DEFAULT_REGION, the profile's, the endpoint's, else the one the "
                 "store names; repeatable)")
      ->type_name("[NAME=]REGION");
  app.add_option("--s3-profile", options.s3Profile,
                 "The profile of the shared AWS files whose credentials scope NAME uses, or "
                 "without NAME= every bucket scope (default: AWS_PROFILE, else the environment's "
                 "keys, else \"default\"; repeatable)")
      ->type_name("[NAME=]PROFILE");
  app.add_option("--s3-anonymous", options.s3Anonymous,
                 "Read the public bucket of scope NAME without credentials (read-only; "
                 "repeatable)")
      ->type_name("NAME");
  app.add_option("--s3-addressing", options.s3Addressing,
                 "How scope NAME's bucket, or without NAME= every bucket, is named in requests: "
                 "in the host name (virtual), in the path (path), or by host name at the public "
                 "store where the name allows (auto, the default; repeatable)")
      ->type_name("[NAME=]auto|path|virtual");
  app.add_option("--s3-poll", options.s3PollSeconds,
                 "How often buckets are listed for changes made by others, 0.05 to 86400 "
                 "(default 10)")
      ->type_name("SECONDS")
      ->check(corvane::cli::decimalNumber(0.05, 86400.0, "10"));
  app.add_option("--s3-watch", options.s3WatchSeconds,
                 "How long a bucket's folder is listed at every --s3-poll after a host listed "
                 "or changed something in it, 0.05 to 86400 (default 600)")
      ->type_name("SECONDS")
      ->check(corvane::cli::decimalNumber(0.05, 86400.0, "600"));
  app.add_option("--s3-full-scan", options.s3FullScanSeconds,
                 "How often the whole of each bucket scope is compared with what the engine "
                 "last saw, page by page over that time, 0.05 to 604800 (default 3600)")
      ->type_name("SECONDS")
      ->check(corvane::cli::decimalNumber(0.05, 604800.0, "3600"));
  app.add_option("--s3-full-scan-page", options.s3FullScanPage,
                 "Keys per request of that comparison, 1 to 1000 (default 1000)")
      ->type_name("KEYS")
      ->check(corvane::cli::wholeNumber(1, 1000, "1000"));
  app.add_option("--read-only", options.readOnly,
                 "Serve scope NAME without write and delete (repeatable)")
      ->type_name("NAME");
  app.add_option("--port", options.port,
                 "Listen on this port of 127.0.0.1, 0 to 65535 (default 0: any free port)")
      ->type_name("PORT")
      ->check(corvane::cli::wholeNumber(0, 65535, "8080"));
  // Service managers and scripts written for daemons pass it; there is
  // nothing for it to change.
  app.add_flag("--foreground", options.foreground,
               "Accepted and ignored: the engine never detaches from its terminal");
  app.add_flag("--verbose", options.verbose, "Log every request (the same as --log-level debug)");
  corvane::hostlog::Level logLevel = corvane::hostlog::Level::info;
  corvane::hostlog::addLogLevelOption(app, logLevel, "corvane-engine");
  app.add_option("--log-retention", options.logRetention,
                 "Number of changes each scope's log keeps (default 100000)")
      ->type_name("COUNT")
      ->check(corvane::cli::wholeNumber(1, std::numeric_limits<std::int64_t>::max(), "100000"));
  if (auto status = corvane::cli::parse(app, argc, argv)) return *status;
  // Scopes named on the command line replace the file's, its sections too.
  if (options.scopes == config->topLevel("scope").value_or(std::vector<std::string>{})) {
    for (const corvane::cli::NamedSection& section : config->sections()) {
      options.sections.push_back({section.name, section.values});
    }
  }
  corvane::hostlog::start("corvane-engine",
                          options.verbose ? corvane::hostlog::Level::debug : logLevel);
  try {
    return serve(options);
  } catch (const UsageError& e) {
    corvane::cli::printUsageError("corvane-engine", e.what());
    return corvane::cli::kUsage;
  } catch (const OptionError& e) {
    return refuse(e.what());
  } catch (const std::exception& e) {
    return refuse(std::string("cannot start: ") + e.what());
  }
}
