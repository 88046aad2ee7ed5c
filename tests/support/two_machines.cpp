#include "support/two_machines.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "s3/s3_encoding.h"
#include "support/s3_test_store.h"

namespace corvane::testing {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

fs::path besideExecutable() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the running executable");
  return self.parent_path();
}

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string readFd(int fd) {
  std::string out;
  char buffer[65536];
  ssize_t got;
  while ((got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(out.size()))) > 0) {
    out.append(buffer, static_cast<std::size_t>(got));
  }
  return out;
}

// The parents of `path` ("a/b/c" -> "a", "a/b"), each a folder of `tree`.
void addParents(Tree& tree, const std::string& path) {
  for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    tree[path.substr(0, slash)] = std::nullopt;
  }
}

std::string describe(const std::optional<std::string>& entry) {
  if (!entry) return "a folder";
  return "a file of " + std::to_string(entry->size()) + " bytes";
}

}  // namespace

Tree treeOf(const fs::path& folder) {
  Tree tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string path = it->path().lexically_relative(folder).string();
    std::error_code kind;
    if (it->is_directory(kind)) {
      tree[path] = std::nullopt;
    } else {
      tree[path] = slurp(it->path());
    }
  }
  if (ec) throw std::runtime_error("cannot walk " + folder.string() + ": " + ec.message());
  return tree;
}

Tree treeOfBucket(const s3::S3Client& client, const std::string& prefix) {
  std::vector<std::string> keys;
  client.listAll(prefix, "", [&](s3::S3ListPage& page) {
    for (const auto& object : page.objects) keys.push_back(object.key);
    return true;
  });
  Tree tree;
  for (const std::string& key : keys) {
    std::string path = key.substr(prefix.size());
    if (path.empty()) continue;
    if (path.back() == '/') {
      path.pop_back();
      addParents(tree, path);
      tree[path] = std::nullopt;
      continue;
    }
    addParents(tree, path);
    const int fd = ::open(fs::temp_directory_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot make a temporary file");
    try {
      client.getToFd(key, fd);
      tree[path] = readFd(fd);
    } catch (const s3::S3Error& e) {
      // Gone between the listing and the read: not part of this tree.
      if (!e.isNotFound()) {
        ::close(fd);
        throw;
      }
    }
    ::close(fd);
  }
  return tree;
}

std::string treeDifference(const Tree& a, const std::string& aName, const Tree& b,
                           const std::string& bName) {
  std::string out;
  int shown = 0;
  auto add = [&](const std::string& line) {
    if (++shown <= 8) out += "  " + line + "\n";
  };
  for (const auto& [path, entry] : a) {
    auto other = b.find(path);
    if (other == b.end()) {
      add(aName + " has " + describe(entry) + " at " + path + ", " + bName + " nothing");
    } else if (entry.has_value() != other->second.has_value()) {
      add(aName + " has " + describe(entry) + " at " + path + ", " + bName + " " +
          describe(other->second));
    } else if (entry && *entry != *other->second) {
      add(path + " differs: " + describe(entry) + " in " + aName + ", " +
          describe(other->second) + " in " + bName);
    }
  }
  for (const auto& [path, entry] : b) {
    if (!a.count(path)) add(bName + " has " + describe(entry) + " at " + path + ", " + aName + " nothing");
  }
  if (shown > 8) out += "  and " + std::to_string(shown - 8) + " more\n";
  return out;
}

// ---- one machine

Machine::Machine(const fs::path& root, Options options)
    : root_(root), options_(std::move(options)) {
  binaries_ = options_.binaries.empty() ? besideExecutable() : options_.binaries;
  mountpoint_ = root_ / "mnt";
  for (const char* folder : {"data", "cache", "state", "run", "config", "tmp", "mnt"}) {
    fs::create_directories(root_ / folder);
  }
  fs::permissions(root_ / "run", fs::perms::owner_all, fs::perm_options::replace);
  const s3::S3Config& store = S3TestStore::config();
  environment_ = {
      {"XDG_DATA_HOME", (root_ / "data").string()},
      {"XDG_CACHE_HOME", (root_ / "cache").string()},
      {"XDG_STATE_HOME", (root_ / "state").string()},
      {"XDG_RUNTIME_DIR", (root_ / "run").string()},
      {"XDG_CONFIG_HOME", (root_ / "config").string()},
      {"TMPDIR", (root_ / "tmp").string()},
      {"CORVANE_MACHINE_NAME", options_.name},
      {"AWS_ACCESS_KEY_ID", store.credentials.accessKeyId},
      {"AWS_SECRET_ACCESS_KEY", store.credentials.secretAccessKey},
  };

  EngineProcess::Options engine;
  engine.binary = binaries_ / "corvane-engine";
  engine.dataHome = root_ / "data";
  engine.environment = environment_;
  engine.extraArguments = engineArguments();
  engine_ = std::make_unique<EngineProcess>(engine);

  MountProcess::Options mount;
  mount.binary = binaries_ / "corvane-mount";
  mount.domain = "s3-1";
  mount.cache = root_ / "mount-cache";
  mount.mountpoint = mountpoint_;
  mount.log = root_ / "mount.log";
  mount.poll = options_.poll;
  mount.extraArguments = {"--write-back-delay", std::to_string(options_.writeBackDelay)};
  mount.extraArguments.insert(mount.extraArguments.end(), options_.mountArguments.begin(),
                              options_.mountArguments.end());
  mount.environment = environment_;
  mount_ = std::make_unique<MountProcess>(mount);
  mount_->start();
}

Machine::~Machine() {
  resumeEngine();
  mount_.reset();  // unmounts before the engine goes
  engine_.reset();
}

std::vector<std::string> Machine::engineArguments() const {
  const s3::S3Config& store = S3TestStore::config();
  std::string scope = "--scope=b=s3://" + options_.bucket;
  if (!options_.prefix.empty()) {
    scope += "/" + options_.prefix.substr(0, options_.prefix.size() - 1);
  }
  const std::string endpoint =
      options_.storeEndpoint.empty() ? store.endpoint : options_.storeEndpoint;
  return {scope, "--s3-endpoint=" + endpoint, "--s3-region=" + store.region,
          "--s3-poll=" + std::to_string(options_.storePoll)};
}

void Machine::pauseEngine() {
  const pid_t pid = engine_->pid();
  if (pid <= 0 || ::kill(pid, SIGSTOP) != 0) throw std::runtime_error("cannot stop the engine");
  paused_ = pid;
}

void Machine::resumeEngine() {
  const pid_t pid = paused_.exchange(-1);
  if (pid > 0) ::kill(pid, SIGCONT);
}

void Machine::restartEngine() {
  resumeEngine();
  engine_->stop();
  engine_->start();
}

std::map<std::string, std::string> Machine::snapshot() const {
  const fs::path file = root_ / "data" / "CorvaneSync" / "changes-b.sqlite";
  sqlite3* db = nullptr;
  std::map<std::string, std::string> out;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot open the change log " + file.string());
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* query = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT path, dir, version FROM snapshot", -1, &query, nullptr) !=
      SQLITE_OK) {
    const std::string why = sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error("cannot read the snapshot: " + why);
  }
  while (sqlite3_step(query) == SQLITE_ROW) {
    const auto* path = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
    const auto* version = reinterpret_cast<const char*>(sqlite3_column_text(query, 2));
    out[path ? path : ""] = sqlite3_column_int(query, 1) ? "dir" : (version ? version : "");
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  out.erase("");
  return out;
}

std::string Machine::status(bool json) const {
  std::string command;
  for (const auto& [name, value] : environment_) command += name + "='" + value + "' ";
  command += "'" + (binaries_ / "corvane-mount").string() + "' --status";
  if (json) command += " --json";
  command += " 2>&1";
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

std::string Machine::logs() const {
  return "---- " + name() + ": mount\n" + mount_->log() + "---- " + name() + ": extension\n" +
         slurp(root_ / "tmp" / "corvane-sync.log") + "---- " + name() + ": engine\n" +
         engine_->output();
}

// ---- the pair

TwoMachines::TwoMachines(const fs::path& root, const s3::S3Client& bucket, Machine::Options a,
                         std::optional<Machine::Options> b)
    : bucket_(bucket), prefix_(a.prefix) {
  if (!b) b = a;
  a.bucket = b->bucket = bucket.bucket();
  b->prefix = a.prefix;
  a.name = "alpha";
  b->name = "beta";
  a_ = std::make_unique<Machine>(root / "alpha", a);
  b_ = std::make_unique<Machine>(root / "beta", *b);
}

std::string TwoMachines::differences() {
  const Tree bucket = bucketTree();
  std::map<std::string, std::string> etags;
  bucket_.listAll(prefix_, "", [&](s3::S3ListPage& page) {
    for (const auto& object : page.objects) {
      etags[object.key.substr(prefix_.size())] = s3::bareEtag(object.etag);
    }
    return true;
  });
  std::string out;
  for (Machine* m : {a_.get(), b_.get()}) {
    out += treeDifference(treeOf(m->mountpoint()), m->name() + "'s mount", bucket, "the bucket");
    std::map<std::string, std::string> want;
    for (const auto& [path, entry] : bucket) want[path] = entry ? std::string() : "dir";
    auto snapshot = m->snapshot();
    for (const auto& [path, version] : snapshot) {
      auto it = want.find(path);
      if (it == want.end()) {
        out += "  " + m->name() + "'s engine lists " + path + ", the bucket has nothing there\n";
      } else if ((version == "dir") != (it->second == "dir")) {
        out += "  " + m->name() + "'s engine takes " + path + " for the other kind\n";
      } else if (version != "dir" && etags.count(path) && etags[path] != version) {
        out += "  " + m->name() + "'s engine lists " + path + " at version " + version +
               ", the bucket has " + etags[path] + "\n";
      }
    }
    for (const auto& [path, kind] : want) {
      if (!snapshot.count(path)) {
        out += "  " + m->name() + "'s engine does not list " + path + "\n";
      }
    }
  }
  return out;
}

std::optional<std::string> TwoMachines::converge(std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  std::string left;
  while (true) {
    try {
      left = differences();
    } catch (const std::exception& e) {
      left = std::string("  ") + e.what() + "\n";
    }
    if (left.empty()) return std::nullopt;
    if (Clock::now() >= deadline) return "not converged:\n" + left;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace corvane::testing
