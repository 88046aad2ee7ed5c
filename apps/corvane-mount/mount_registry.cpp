#include "corvane-mount/mount_registry.h"

#include <signal.h>

#include <errno.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "corvane-mount/record_file.h"
#include "platform/folders.h"
#include "platform/log.h"

namespace corvane::mount {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

constexpr std::string_view kHeader = "corvane-mount running 1";
constexpr std::string_view kSuffix = ".mount";

std::string number(std::uint64_t n) { return std::to_string(n); }

std::uint64_t unsignedField(const std::map<std::string, std::string>& fields, const char* key) {
  auto it = fields.find(key);
  if (it == fields.end()) return 0;
  auto n = records::number(it->second);
  return n && *n > 0 ? static_cast<std::uint64_t>(*n) : 0;
}

std::string textField(const std::map<std::string, std::string>& fields, const char* key) {
  auto it = fields.find(key);
  return it == fields.end() ? std::string() : it->second;
}

}  // namespace

fs::path registryFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return fs::path(runtime) / "CorvaneSync" / "mounts";
  return platform::temporaryFolder() / "mounts";
}

MountRegistration::MountRegistration(fs::path folder, MountEntry entry, Sample sample,
                                     std::chrono::milliseconds interval)
    : folder_(std::move(folder)),
      file_(folder_ / (std::to_string(entry.pid) + std::string(kSuffix))),
      entry_(std::move(entry)),
      sample_(std::move(sample)),
      interval_(interval) {
  platform::ensurePrivateFolder(folder_.parent_path());
  platform::ensurePrivateFolder(folder_);
  // The files of mounts whose process ended without removing them.
  for (const auto& e : registeredMounts(folder_)) {
    if (processRuns(e.pid, program_invocation_short_name)) continue;
    std::error_code ec;
    fs::remove(folder_ / (std::to_string(e.pid) + std::string(kSuffix)), ec);
  }
  write();
  thread_ = std::thread([this] { run(); });
}

MountRegistration::~MountRegistration() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::error_code ec;
  fs::remove(file_, ec);
}

void MountRegistration::write() {
  if (sample_) sample_(entry_);
  entry_.updated = Clock::now();
  const auto updated =
      std::chrono::duration_cast<std::chrono::milliseconds>(entry_.updated.time_since_epoch());
  records::write(file_, folder_, kHeader,
                 {{"pid", std::to_string(entry_.pid)},
                  {"domain", entry_.domain},
                  {"displayName", entry_.displayName},
                  {"mountpoint", entry_.mountpoint.string()},
                  {"cache", entry_.cacheFolder.string()},
                  {"engine", entry_.engine},
                  {"cacheBytes", number(entry_.cacheBytes)},
                  {"cacheLimit", number(entry_.cacheLimit)},
                  {"updated", std::to_string(updated.count())}},
                 false);
}

void MountRegistration::run() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
    lock.unlock();
    try {
      write();
    } catch (const std::exception& e) {
      // The status shows the file growing old; the mount itself goes on.
      Log::write(std::string("cannot update the mount's status file: ") + e.what());
    }
    lock.lock();
  }
}

std::vector<MountEntry> registeredMounts(const fs::path& folder) {
  std::vector<MountEntry> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (it->path().extension() != kSuffix) continue;
    auto fields = records::read(it->path(), kHeader);
    if (!fields) continue;
    MountEntry e;
    e.pid = static_cast<pid_t>(unsignedField(*fields, "pid"));
    e.domain = textField(*fields, "domain");
    e.displayName = textField(*fields, "displayName");
    e.mountpoint = textField(*fields, "mountpoint");
    e.cacheFolder = textField(*fields, "cache");
    e.engine = textField(*fields, "engine");
    e.cacheBytes = unsignedField(*fields, "cacheBytes");
    e.cacheLimit = unsignedField(*fields, "cacheLimit");
    e.updated = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::milliseconds(unsignedField(*fields, "updated"))));
    if (e.pid <= 0) continue;
    out.push_back(std::move(e));
  }
  std::sort(out.begin(), out.end(),
            [](const MountEntry& a, const MountEntry& b) { return a.mountpoint < b.mountpoint; });
  return out;
}

bool processRuns(pid_t pid, const std::string& name) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  // /proc/PID/stat: "PID (NAME) STATE ..."; a process that has ended but was
  // not waited for yet still answers kill(), as a zombie.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return name.empty();
  const auto open = line.find('(');
  const auto close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 2 >= line.size()) {
    return name.empty();
  }
  if (line[close + 2] == 'Z') return false;
  // The kernel keeps the first 15 bytes of a name.
  return name.empty() || line.substr(open + 1, close - open - 1) == name.substr(0, 15);
}

}  // namespace corvane::mount
