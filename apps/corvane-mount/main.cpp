// corvane-mount: mounts one domain's scope as a folder, playing the
// file-provider host for it over FUSE.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/domain_choice.h"
#include "cli/value_checks.h"
#include "corvane-mount/change_poller.h"
#include "corvane-mount/errno_map.h"
#include "corvane-mount/fuse_adapter.h"
#include "corvane-mount/mount_file_system.h"
#include "corvane-mount/mount_point.h"
#include "corvane-mount/mount_registry.h"
#include "corvane-mount/mount_status.h"
#include "corvane-mount/second_signal.h"
#include "corvane-mount/size_text.h"
#include "host_log.h"
#include "log_options.h"
#include "platform/log.h"
#include "host/domains.h"
#include "platform/folders.h"
#include "platform/byte_count.h"
#include "platform/iso8601.h"
#include "service/service_manager.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane;

struct Settings {
  bool status = false;
  bool json = false;
  bool allowNonEmpty = false;
  std::string domain;
  double poll = 2.0;
  double writeBackDelay = 5.0;
  std::string cache;
  std::uint64_t cacheSize = 10ull << 30;
  bool foreground = false;
  std::vector<std::string> fuseOptions;
  std::string mountpoint;
  hostlog::Level logLevel = hostlog::Level::info;
};

// The host's manager for our domain: its temporary folder lies in the
// content cache, so a finished download is taken over with a rename.
class CacheManager final : public host::Manager {
 public:
  explicit CacheManager(fs::path folder) : folder_(std::move(folder)) {}
  fs::path temporaryDirectoryURL() override {
    fs::create_directories(folder_);
    return folder_;
  }

 private:
  fs::path folder_;
};

int fail(const std::string& message) {
  std::cerr << "corvane-mount: " << message << "\n";
  hostlog::error(message, hostlog::Reach::fileOnly);
  return 1;
}

// Detaches into the background before any thread exists; the parent waits
// until the child reports the mount (or its failure) and exits with it.
// Returns the pipe end the child writes its "ready" byte to.
int backgroundOrExit() {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid > 0) {
    ::close(fds[1]);
    char ready = 0;
    ssize_t n = ::read(fds[0], &ready, 1);
    if (n == 1 && ready == 'k') ::_exit(0);
    // The child ended without mounting: its status (a failure or a usage
    // error) is the answer.
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
    ::_exit(1);
  }
  ::close(fds[0]);
  ::setsid();
  return fds[1];
}

void becomeDaemon(int readyPipe) {
  if (readyPipe < 0) return;
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
  }
  if (::chdir("/") != 0) {
    // Staying in the start folder only keeps it busy.
  }
  char ready = 'k';
  if (::write(readyPipe, &ready, 1) != 1) {
    // The parent has gone; nothing to tell.
  }
  ::close(readyPipe);
}

// The domain to mount and its cache folder, from the settings or the
// engine; a message when they cannot be had.
struct Place {
  std::string domain;
  std::string displayName;
  std::string keyPrefix;  // of the scope in its bucket
  fs::path cacheFolder;
  std::string problem;
};

// What the user reads when the engine could not be asked: what to do when
// none answers, else what went wrong.
std::string engineProblem(std::exception_ptr failure, const std::string& asking) {
  try {
    std::rethrow_exception(failure);
  } catch (const host::Error& e) {
    if (cli::isUnreachable(e)) return cli::engineAdvice();
  } catch (...) {
  }
  return asking + ": " + mount::describe(failure);
}

Place placeOf(const Settings& settings) {
  Place place;
  const auto given = settings.domain.empty() ? std::nullopt : std::optional(settings.domain);
  try {
    // By id or by name; without --domain, the first domain the engine serves.
    const host::ServedDomain chosen = cli::chooseDomain(host::servedDomains(), given);
    place.domain = chosen.domain.identifier;
    place.displayName = chosen.domain.displayName;
    place.keyPrefix = chosen.prefix;
  } catch (const cli::DomainChoiceError& e) {
    return Place{{}, {}, {}, {}, e.what()};
  } catch (...) {
    if (!given || !settings.status) {
      return Place{{}, {}, {}, {},
                   engineProblem(std::current_exception(), "cannot ask the engine for its scopes")};
    }
    // Unsent changes matter most while the engine is away: the status takes
    // what was given as the domain's id.
    place.domain = place.displayName = *given;
  }
  if (!settings.cache.empty()) {
    place.cacheFolder = fs::absolute(settings.cache);
  } else if (auto base = platform::cacheFolder()) {
    place.cacheFolder = *base / place.domain;
  } else {
    place.problem = "no cache folder: set XDG_CACHE_HOME or HOME, or pass --cache";
  }
  return place;
}

// Prints the running mounts and the changes they have not sent, from the
// files they keep; asks no mount and no engine, so it answers even when
// they hang.
int printStatus(const Settings& settings) {
  std::string domain = settings.domain;
  if (!domain.empty()) {
    // A scope's name means its id, when the engine can say which; without
    // the engine what was given is taken as the id.
    try {
      domain = cli::chooseDomain(host::servedDomains(), domain).domain.identifier;
    } catch (const cli::DomainChoiceError& e) {
      return fail(e.what());
    } catch (...) {
    }
  }
  mount::StatusFilter filter{domain, settings.cache};
  std::optional<fs::path> registry;
  try {
    registry = mount::registryFolder();
  } catch (const std::exception& e) {
    return fail(std::string("cannot find the running mounts: ") + e.what());
  }
  std::optional<fs::path> storeStatus;
  if (const auto folder = platform::applicationSupportFolder()) {
    storeStatus = stores::storeStatusPath(*folder);
  }
  const auto mounts =
      mount::collectStatus(*registry, platform::cacheFolder(), filter, storeStatus);
  const auto now = std::chrono::system_clock::now();
  std::cout << (settings.json ? mount::statusJson(mounts, now) : mount::statusText(mounts, now));
  return 0;
}

// What the mount's end says when changes wait to be sent, so that a user
// who does not want to wait knows how to stop at once.
std::string unsentSummary(const fs::path& cacheFolder) {
  const auto unsent = mount::unsentIn(cacheFolder);
  const std::size_t count = unsent.records.size();
  if (count == 0) return {};
  return std::to_string(count) + (count == 1 ? " change (" : " changes (") +
         platform::byteCountText(unsent.bytes) + ")";
}

// The signals that end the mount. libfuse's loop notices them only in the
// thread that waits for its workers (the main one) or in a worker; a signal
// taken by any other thread of ours would leave the loop running. So every
// thread is made with them blocked, and the main thread takes them again once
// the loop is about to run; one that came during start-up ends it then.
sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, sig);
  return set;
}

int run(const Settings& settings, int readyPipe) {
  const sigset_t stops = stopSignals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  const Place place = placeOf(settings);
  if (!place.problem.empty()) return fail(place.problem);
  const std::string& domain = place.domain;
  const std::string& displayName = place.displayName;
  const fs::path& cacheFolder = place.cacheFolder;
  const fs::path mountpoint = fs::absolute(settings.mountpoint).lexically_normal();
  if (auto problem = mount::mountPointProblem(mountpoint, settings.allowNonEmpty)) {
    return fail(*problem);
  }

  std::unique_ptr<mount::MountFileSystem> fileSystem;
  try {
    auto manager = std::make_shared<CacheManager>(cacheFolder / "tmp");
    auto extension = host::makeExtension(
        host::Domain{domain, displayName},
        [manager](const host::Domain&) -> std::shared_ptr<host::Manager> { return manager; });
    mount::MountOptions options;
    options.uid = ::getuid();
    options.gid = ::getgid();
    options.keyPrefix = place.keyPrefix;
    options.cacheSize = settings.cacheSize;
    options.writeBackDelay =
        std::chrono::milliseconds(static_cast<long>(settings.writeBackDelay * 1000));
    fileSystem = std::make_unique<mount::MountFileSystem>(extension, cacheFolder, options);
  } catch (const host::Error& e) {
    if (mount::isNoSuchItem(e)) return fail("the engine has no scope " + domain + " (see its --scope)");
    if (cli::isUnreachable(e)) return fail(cli::engineAdvice());
    return fail("cannot open domain " + domain + ": " + e.what());
  } catch (...) {
    return fail("cannot open domain " + domain + ": " + mount::describe(std::current_exception()));
  }

  const double timeout = std::max(0.5, std::min(settings.poll, 60.0));
  mount::FuseAdapter adapter(*fileSystem, mount::AdapterOptions{timeout, timeout});

  std::string options = "fsname=corvane:" + domain + ",subtype=corvane,default_permissions";
  for (const auto& o : settings.fuseOptions) options += "," + o;
  std::vector<std::string> argStrings = {"corvane-mount", "-o", options};
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());

  fuse_session* session =
      fuse_session_new(&args, &mount::FuseAdapter::operations(), sizeof(fuse_lowlevel_ops), &adapter);
  if (!session) {
    fuse_opt_free_args(&args);
    if (settings.fuseOptions.empty()) {
      return fail("cannot start a FUSE session (see the message above)");
    }
    // libfuse refuses options it does not know, and has named them above.
    std::string given;
    for (const auto& o : settings.fuseOptions) given += (given.empty() ? "" : ",") + o;
    cli::printUsageError("corvane-mount", "-o " + given +
                                              ": libfuse does not take these mount options (see "
                                              "its message above, and mount.fuse3(8))");
    return cli::kUsage;
  }
  adapter.setSession(session);
  // libfuse leaves alone a signal that is ignored; a mount started from a
  // script's background job would then not end on Ctrl-C or SIGTERM.
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  if (fuse_set_signal_handlers(session) != 0) {
    fuse_session_destroy(session);
    fuse_opt_free_args(&args);
    return fail("cannot install signal handlers");
  }
  if (fuse_session_mount(session, mountpoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session);
    fuse_session_destroy(session);
    fuse_opt_free_args(&args);
    return fail("cannot mount at " + mountpoint.string());
  }
  Log::write("mounted domain " + domain + " at " + mountpoint.string());
  becomeDaemon(readyPipe);
  service::notifyReady("mounted " + domain + " at " + mountpoint.string());
  // After detaching: a mount in the background says nothing on the
  // terminal when all is well.
  hostlog::info("mounted domain " + domain + " at " + mountpoint.string());
  // In the background standard error is gone; the log file still hears it.
  fileSystem->presence().setListener([](const std::string& message) {
    hostlog::write(message.starts_with("lost") ? hostlog::Level::warning : hostlog::Level::info,
                   message);
  });

  std::unique_ptr<mount::MountRegistration> registration;
  try {
    mount::MountEntry entry;
    entry.pid = ::getpid();
    entry.domain = domain;
    entry.displayName = displayName;
    entry.mountpoint = mountpoint;
    entry.cacheFolder = cacheFolder;
    mount::MountFileSystem* fsPtr = fileSystem.get();
    registration = std::make_unique<mount::MountRegistration>(
        mount::registryFolder(), std::move(entry),
        [fsPtr](mount::MountEntry& e) {
          using State = mount::EnginePresence::State;
          const State state = fsPtr->presence().state();
          e.engine = state == State::present  ? "reachable"
                     : state == State::stalled ? "not answering"
                                               : "unreachable";
          e.cacheBytes = fsPtr->contents().size();
          e.cacheLimit = fsPtr->contents().limit();
        },
        std::chrono::seconds(2));
  } catch (const std::exception& e) {
    // The mount works without; only --status will not list it.
    Log::write(std::string("cannot write the mount's status file: ") + e.what());
  }

  mount::ChangePoller poller(
      *fileSystem, std::chrono::milliseconds(static_cast<long>(settings.poll * 1000)),
      [&adapter](const mount::Invalidation& i) { adapter.notify(i); });
  poller.start();

  fuse_loop_config config;
  config.clone_fd = 0;
  config.max_idle_threads = 10;
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
  int rc = fuse_session_loop_mt(session, &config);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  service::notifyStopping("sending unsent changes and unmounting");

  // Said before anything else: stopping the poller can take a few seconds
  // when the engine has stopped answering.
  const std::string unsent = unsentSummary(cacheFolder);
  if (!unsent.empty()) {
    std::cerr << "corvane-mount: sending " << unsent
              << "... (Ctrl-C again stops at once; what is unsent stays recorded and the next "
                 "mount sends it)"
              << std::endl;
    Log::write("sending " + unsent + " before the mount ends");
  }
  poller.stop();
  adapter.setSession(nullptr);
  fuse_session_unmount(session);
  {
    // From here on nothing is lost by ending at once: the folder is
    // unmounted, and every unsent change has its record.
    const fs::path statusFile = registration ? registration->file() : fs::path();
    mount::SecondSignal impatient(stops, [&cacheFolder, &domain, &statusFile](int) {
      const std::string left = unsentSummary(cacheFolder);
      const std::string what = left.empty() ? std::string("nothing") : left;
      std::cerr << "corvane-mount: stopped without waiting; " << what
                << " left unsent, kept for the next mount of " << domain << std::endl;
      Log::write("stopped without waiting; " + what + " left unsent");
      Log::flush();
      std::error_code ec;
      if (!statusFile.empty()) fs::remove(statusFile, ec);
    });
    // Whatever the kernel could not close any more is closed and sent now.
    adapter.closeAll();
    fileSystem->shutdown();
  }
  registration.reset();
  fileSystem->presence().setListener({});
  fuse_remove_signal_handlers(session);
  fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  Log::write("unmounted domain " + domain);
  hostlog::info("unmounted domain " + domain);
  Log::flush();
  // A signal that ended the loop comes back as its number: a clean end too.
  return rc < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Listing a large folder allocates and frees big transient buffers (the
  // answer, its decoding). With the allocator's sliding thresholds those
  // end up in a heap that never shrinks: tens of MB kept for nothing.
  // Fixed thresholds give them back to the system when they are freed.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  Settings settings;
  CLI::App app{"Mounts a scope of the sync engine as a folder (FUSE)."};
  cli::setUpTool(app, "corvane-mount", "mount.conf");
  auto* status = app.add_flag("--status", settings.status,
               "show each running mount (domain, mount point, engine, pending uploads, failed "
               "changes, cache) and unsent changes left by mounts that ended; with --domain or "
               "--cache only that one; mounts nothing");
  app.add_option("--domain", settings.domain,
                 "the scope to mount, by id (local-2) or name (docs); default: the first scope "
                 "the engine lists")
      ->type_name("ID|NAME");
  app.add_option("--poll", settings.poll, "seconds between change checks, 0.1 to 3600")
      ->type_name("SECONDS")
      ->check(cli::decimalNumber(0.1, 3600.0, "2"))
      ->capture_default_str();
  app.add_option("--write-back-delay", settings.writeBackDelay,
                 "seconds a closed file waits before it is sent (a rename, removal, fsync or "
                 "the unmount sends it at once); a file saved again meanwhile is sent once; "
                 "0 to 3600")
      ->type_name("SECONDS")
      ->check(cli::decimalNumber(0.0, 3600.0, "5"))
      ->capture_default_str();
  app.add_option("--cache", settings.cache,
                 "content cache folder; default: $XDG_CACHE_HOME/CorvaneSync/<domain>")
      ->type_name("DIR");
  app.add_option_function<std::string>(
         "--cache-size",
         [&settings](const std::string& text) {
           auto size = mount::parseSize(text);
           if (!size) {
             throw CLI::ValidationError("--cache-size", "'" + text +
                                                            "' is not a size; write bytes or a "
                                                            "number with K, M or G, such as 10G");
           }
           settings.cacheSize = *size;
         },
         "how much fetched contents the cache keeps besides open files and unsent changes "
         "(bytes, or with K, M, G); default 10G")
      ->type_name("SIZE");
  app.add_flag("--json", settings.json, "with --status: print JSON for scripts")->needs(status);
  app.add_flag("--allow-non-empty", settings.allowNonEmpty,
               "mount on a folder that is not empty (its files are hidden while mounted)");
  app.add_flag("-f,--foreground", settings.foreground, "stay in the foreground");
  // One value per -o (repeatable), as mount(8) takes it: "-o nonempty DIR"
  // and "-o ro DIR" leave DIR to be the mount point.
  app.add_option("-o", settings.fuseOptions, "FUSE mount options (comma-separated; repeatable)")
      ->type_name("OPTIONS")
      ->delimiter(',')
      ->allow_extra_args(false);
  app.add_option("mountpoint", settings.mountpoint, "the folder to mount on")->type_name("DIR");
  hostlog::addLogLevelOption(app, settings.logLevel, "corvane-mount");
  if (auto exitCode = cli::parse(app, argc, argv)) return *exitCode;
  hostlog::start("corvane-mount", settings.logLevel);
  if (settings.status) return printStatus(settings);
  // libfuse 3 mounts over a non-empty folder without asking; its old option
  // for that consent is taken as ours.
  auto nonempty = std::find(settings.fuseOptions.begin(), settings.fuseOptions.end(), "nonempty");
  if (nonempty != settings.fuseOptions.end()) {
    settings.fuseOptions.erase(nonempty);
    settings.allowNonEmpty = true;
  }
  if (settings.mountpoint.empty()) {
    cli::printUsageError(app.get_name(), "no mount point given; write corvane-mount [OPTIONS] DIR");
    return cli::kUsage;
  }

  int readyPipe = -1;
  if (!settings.foreground) {
    readyPipe = backgroundOrExit();
    if (readyPipe < 0) return fail("cannot go to the background");
  }
  return run(settings, readyPipe);
}
