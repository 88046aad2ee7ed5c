#include "support/two_machine_exerciser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sstream>
#include <thread>

#include "host/item_names.h"

namespace corvane::testing {
namespace fs = std::filesystem;
namespace {

const char* const kFiles[] = {"a.txt", "b.txt", "c.md", "d"};
const char* const kFolders[] = {"f1", "f2", "f3"};
constexpr std::size_t kHistory = 40;

std::string errnoText(int e) { return std::string(std::strerror(e)); }

// The machine a conflict copy's name tells, or nothing when the last
// component of `path` is no conflict copy's name.
std::optional<std::string> conflictHost(const std::string& path) {
  const auto slash = path.rfind('/');
  auto parsed = host::parseConflictName(slash == std::string::npos ? path : path.substr(slash + 1));
  if (!parsed) return std::nullopt;
  return parsed->machine;
}

}  // namespace

TwoMachineExerciser::TwoMachineExerciser(TwoMachines& machines, std::uint64_t seed)
    : machines_(machines), seed_(seed), rng_(seed) {}

std::string TwoMachineExerciser::filePath() {
  const std::string name = kFiles[pick(std::size(kFiles))];
  if (chance(0.5)) return name;
  return std::string(kFolders[pick(std::size(kFolders))]) + "/" + name;
}

std::string TwoMachineExerciser::folderPath() { return kFolders[pick(std::size(kFolders))]; }

void TwoMachineExerciser::note(std::string step) {
  if (trace_) *trace_ << step << "\n";
  history_.push_back(std::move(step));
  if (history_.size() > kHistory) history_.pop_front();
}

std::string TwoMachineExerciser::mismatch(const std::string& what) const {
  std::ostringstream out;
  out << what << "\n  seed " << seed_ << ", after " << figures_.operations
      << " operations; the last steps:\n";
  for (const auto& step : history_) out << "    " << step << "\n";
  return out.str();
}

bool TwoMachineExerciser::known(const std::string& bytes) const {
  return bytes.empty() || writes_.count(bytes) || pending_.count(bytes);
}

void TwoMachineExerciser::replaced(const std::string& bytes) {
  if (writes_.count(bytes) && replaced_.insert(bytes).second) figures_.replaced++;
}

std::optional<std::string> TwoMachineExerciser::readFile(Machine& m, const std::string& path,
                                                         Result& failure) {
  const int fd = ::open((m.mountpoint() / path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != EISDIR && errno != ENOTDIR) {
      failure = mismatch(m.name() + ": open " + path + ": " + errnoText(errno));
    }
    return std::nullopt;
  }
  std::string bytes;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, got);
  const int e = errno;
  ::close(fd);
  if (got < 0) {
    if (e != EISDIR) failure = mismatch(m.name() + ": read " + path + ": " + errnoText(e));
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::string> TwoMachineExerciser::run(std::size_t operations,
                                                    Clock::time_point deadline) {
  for (std::size_t i = 0; i < operations && Clock::now() < deadline; ++i) {
    Machine& m = chance(0.5) ? machines_.a() : machines_.b();
    const std::size_t roll = pick(100);
    struct Step {
      std::size_t below;  // of 100
      const char* kind;
      Result (TwoMachineExerciser::*run)(Machine&);
    };
    static const Step kSteps[] = {
        {40, "write", &TwoMachineExerciser::write},
        {52, "delete", &TwoMachineExerciser::remove},
        {62, "rename", &TwoMachineExerciser::renameFile},
        {69, "mkdir", &TwoMachineExerciser::makeFolder},
        {73, "rmdir", &TwoMachineExerciser::removeFolder},
        {76, "rename folder", &TwoMachineExerciser::renameFolder},
        {100, "read", &TwoMachineExerciser::readSome},
    };
    const Step* step = kSteps;
    while (roll >= step->below) ++step;
    const Result r = (this->*step->run)(m);
    counts_[step->kind]++;
    figures_.operations++;
    if (r) return r;
    // Now and then both machines pause long enough for a poll, so that
    // most changes meet a view that has caught up and some do not.
    if (chance(0.05)) std::this_thread::sleep_for(std::chrono::milliseconds(600));
  }
  return std::nullopt;
}

TwoMachineExerciser::Result TwoMachineExerciser::write(Machine& m) {
  const std::string path = filePath();
  const std::string bytes = "write " + std::to_string(++next_) + " by " + m.name() + " at " + path +
                            "\n" + std::string(pick(3000), 'x');
  const int fd = ::open((m.mountpoint() / path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    // The folder is gone or the name is a folder in this machine's view.
    if (errno == ENOENT || errno == EISDIR || errno == ENOTDIR) return std::nullopt;
    return mismatch(m.name() + ": open " + path + " to write: " + errnoText(errno));
  }
  std::string seen;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) seen.append(buffer, got);
  if (got < 0) {
    const int e = errno;
    ::close(fd);
    return mismatch(m.name() + ": read " + path + " before writing: " + errnoText(e));
  }
  if (!known(seen)) {
    ::close(fd);
    return mismatch(m.name() + ": " + path + " holds bytes no write made: " + seen.substr(0, 60));
  }
  pending_.insert(bytes);
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    const int e = errno;
    ::close(fd);
    return mismatch(m.name() + ": write " + path + ": " + errnoText(e));
  }
  if (::close(fd) != 0) return mismatch(m.name() + ": close " + path + ": " + errnoText(errno));
  pending_.erase(bytes);
  replaced(seen);
  const std::string shown = bytes.substr(0, bytes.find('\n'));
  note(m.name() + ": " + shown +
       (seen.empty() ? " (new)" : " over " + seen.substr(0, seen.find('\n'))));
  writes_[bytes] = Write{m.name(), path, bytes, seen.empty(), Clock::now()};
  figures_.writes++;
  figures_.acknowledged++;
  return std::nullopt;
}

TwoMachineExerciser::Result TwoMachineExerciser::remove(Machine& m) {
  const std::string path = filePath();
  Result failure;
  auto seen = readFile(m, path, failure);
  if (failure || !seen) return failure;
  if (::unlink((m.mountpoint() / path).c_str()) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return mismatch(m.name() + ": unlink " + path + ": " + errnoText(errno));
  }
  replaced(*seen);
  removals_.push_back({m.name(), path, Clock::now()});
  note(m.name() + ": delete " + path + " holding " + seen->substr(0, seen->find('\n')));
  figures_.acknowledged++;
  return std::nullopt;
}

TwoMachineExerciser::Result TwoMachineExerciser::renameFile(Machine& m) {
  const std::string from = filePath(), to = filePath();
  if (from == to) return std::nullopt;
  Result failure;
  auto moving = readFile(m, from, failure);
  if (failure || !moving) return failure;
  auto over = readFile(m, to, failure);
  if (failure) return failure;
  if (::rename((m.mountpoint() / from).c_str(), (m.mountpoint() / to).c_str()) != 0) {
    // EEXIST: the other machine made the name meanwhile, and this one has not
    // seen it yet.
    if (errno == ENOENT || errno == EISDIR || errno == ENOTDIR || errno == EEXIST) {
      return std::nullopt;
    }
    return mismatch(m.name() + ": rename " + from + " to " + to + ": " + errnoText(errno));
  }
  if (over) replaced(*over);
  removals_.push_back({m.name(), to, Clock::now()});
  // The write moves with its file: a removal at the new path may take it.
  if (auto w = writes_.find(*moving); w != writes_.end()) w->second.path = to;
  note(m.name() + ": rename " + from + " to " + to + (over ? " (over a file)" : ""));
  figures_.acknowledged++;
  return std::nullopt;
}

TwoMachineExerciser::Result TwoMachineExerciser::makeFolder(Machine& m) {
  const std::string path = folderPath();
  if (::mkdir((m.mountpoint() / path).c_str(), 0755) != 0) {
    if (errno == EEXIST) return std::nullopt;
    return mismatch(m.name() + ": mkdir " + path + ": " + errnoText(errno));
  }
  note(m.name() + ": mkdir " + path);
  return std::nullopt;
}

TwoMachineExerciser::Result TwoMachineExerciser::removeFolder(Machine& m) {
  const std::string path = folderPath();
  if (::rmdir((m.mountpoint() / path).c_str()) != 0) {
    if (errno == ENOENT || errno == ENOTEMPTY || errno == ENOTDIR) return std::nullopt;
    return mismatch(m.name() + ": rmdir " + path + ": " + errnoText(errno));
  }
  removals_.push_back({m.name(), path + "/", Clock::now()});
  note(m.name() + ": rmdir " + path);
  return std::nullopt;
}

TwoMachineExerciser::Result TwoMachineExerciser::renameFolder(Machine& m) {
  const std::string from = folderPath(), to = folderPath();
  if (from == to) return std::nullopt;
  std::error_code ec;
  if (fs::exists(m.mountpoint() / to, ec)) return std::nullopt;
  if (::renameat2(AT_FDCWD, (m.mountpoint() / from).c_str(), AT_FDCWD,
                  (m.mountpoint() / to).c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == ENOENT || errno == EEXIST || errno == ENOTDIR) return std::nullopt;
    return mismatch(m.name() + ": rename folder " + from + " to " + to + ": " + errnoText(errno));
  }
  note(m.name() + ": rename folder " + from + " to " + to);
  for (auto& [bytes, w] : writes_) {
    if (w.path.starts_with(from + "/")) w.path = to + w.path.substr(from.size());
  }
  figures_.acknowledged++;
  return std::nullopt;
}

TwoMachineExerciser::Result TwoMachineExerciser::readSome(Machine& m) {
  Result failure;
  if (chance(0.5)) {
    const std::string path = filePath();
    auto bytes = readFile(m, path, failure);
    if (!failure && bytes && !known(*bytes)) {
      failure =
          mismatch(m.name() + ": " + path + " holds bytes no write made: " + bytes->substr(0, 60));
    }
    return failure;
  }
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(m.mountpoint(), ec); !ec && it != fs::end(it);
       it.increment(ec)) {
  }
  if (ec && ec != std::errc::no_such_file_or_directory) {
    return mismatch(m.name() + ": listing: " + ec.message());
  }
  return std::nullopt;
}

std::optional<std::string> TwoMachineExerciser::finish(std::chrono::milliseconds settle) {
  if (auto left = machines_.converge(settle)) return mismatch(*left);
  const Tree bucket = machines_.bucketTree();
  std::map<std::string, std::vector<std::string>> holders;  // bytes -> paths
  for (const auto& [path, bytes] : bucket) {
    if (!bytes) continue;
    figures_.files++;
    if (!known(*bytes)) return mismatch("the bucket's " + path + " holds bytes no write made");
    holders[*bytes].push_back(path);
    auto host = conflictHost(path);
    if (!host) continue;
    auto w = writes_.find(*bytes);
    const std::string kind = w == writes_.end() ? "other"
                             : w->second.wasNew ? "new/new"
                                                : "edit/edit";
    figures_.conflictCopies[kind + " by " + *host]++;
    if (w != writes_.end() && w->second.machine != *host) {
      return mismatch(path + " names " + *host + " but holds a write of " + w->second.machine);
    }
  }
  for (const auto& [bytes, paths] : holders) {
    if (!bytes.empty() && paths.size() > 1) {
      return mismatch("one write's bytes are in " + std::to_string(paths.size()) + " files, e.g. " +
                      paths[0] + " and " + paths[1]);
    }
  }
  for (const auto& [bytes, w] : writes_) {
    if (replaced_.count(bytes) || holders.count(bytes)) continue;
    // A machine that deleted the path (or its folder), or renamed a file
    // over it, after this write was acknowledged, removed it on the version
    // it showed.
    bool removed = false;
    for (const auto& r : removals_) {
      if (r.at < w.acknowledged) continue;
      if (r.path == w.path || (r.path.back() == '/' && w.path.starts_with(r.path))) removed = true;
    }
    if (removed) {
      figures_.removedUnseen++;
      continue;
    }
    return mismatch("the acknowledged write \"" + bytes.substr(0, bytes.find('\n')) +
                    "\" is nowhere in the bucket, and no machine removed it");
  }
  return std::nullopt;
}

std::string TwoMachineExerciser::describeFigures() const {
  std::ostringstream out;
  out << figures_.operations << " operations, " << figures_.acknowledged << " acknowledged ("
      << figures_.writes << " writes, " << figures_.replaced << " of them replaced by a machine "
      << "that saw them), " << figures_.files << " files at the end; conflict copies:";
  if (figures_.conflictCopies.empty()) out << " none";
  for (const auto& [kind, n] : figures_.conflictCopies) out << " " << kind << " " << n << ";";
  out << " writes removed by a machine that had not seen them: " << figures_.removedUnseen;
  return out.str();
}

}  // namespace corvane::testing
