#include "support/mount_crasher.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace corvane::testing {
namespace fs = std::filesystem;
namespace {

const char* const kNames[] = {"f0", "f1", "f2", "f3.txt", "f4.doc"};

std::string slurp(const fs::path& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The regular files in `folder` by name, with their bytes.
std::map<std::string, std::string> filesIn(const fs::path& folder) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    bool ok = false;
    if (it->is_regular_file()) out[it->path().filename().string()] = slurp(it->path(), ok);
  }
  return out;
}

// The working copies and records a killed mount left in its cache, each with
// its size and, for a record, its text: what the next run will send.
std::string workFolderListing(const fs::path& cache) {
  std::string out;
  std::error_code ec;
  std::map<std::string, fs::path> names;
  for (auto it = fs::directory_iterator(cache / "work", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    names[it->path().filename().string()] = it->path();
  }
  for (const auto& [name, path] : names) {
    std::error_code sizeError;
    const auto size = fs::file_size(path, sizeError);
    out += "  " + name + " (" + (sizeError ? std::string("?") : std::to_string(size)) + " bytes)\n";
    if (name.find('.') == std::string::npos) continue;
    // A record's values are hex: shown as text, one field a line.
    bool ok = false;
    std::istringstream record(slurp(path, ok));
    for (std::string line; std::getline(record, line);) {
      const auto space = line.find(' ');
      std::string value = space == std::string::npos ? "" : line.substr(space + 1);
      const bool hex = value.size() % 2 == 0 && value.find_first_not_of("0123456789abcdef") ==
                                                    std::string::npos;
      if (hex && line.compare(0, space, "corvane-work") != 0) {
        std::string text;
        for (std::size_t i = 0; i < value.size(); i += 2) {
          text += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
        }
        value = text;
      }
      out += "    " + line.substr(0, space) + (space == std::string::npos ? "" : ": " + value) + "\n";
    }
  }
  return out.empty() ? "  (empty)\n" : out;
}

std::string shown(const std::optional<std::string>& bytes) {
  return bytes ? std::to_string(bytes->size()) + " bytes" : std::string("absent");
}

// Writes `data` to a new or emptied `path`; false as soon as a call fails.
// `synced` is set once fsync has returned success.
bool writeFile(const fs::path& path, const std::string& data, bool sync, bool& synced, int flags) {
  synced = false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0) return false;
  for (std::size_t done = 0; done < data.size();) {
    const std::size_t chunk = std::min<std::size_t>(data.size() - done, 65536);
    const ssize_t put = ::write(fd, data.data() + done, chunk);
    if (put <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  if (sync) {
    if (::fsync(fd) != 0) {
      ::close(fd);
      return false;
    }
    synced = true;
  }
  return ::close(fd) == 0;
}

}  // namespace

MountCrasher::MountCrasher(MountedScope& scope, std::uint64_t seed)
    : scope_(scope), seed_(seed), rng_(seed) {}

std::string MountCrasher::bytes(std::size_t n) {
  std::string out(n, '\0');
  const char letter = static_cast<char>('A' + pick(26));
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>(letter + static_cast<char>(i % 5));
  // A stamp up front, so two writes of one length still differ.
  const std::string stamp = std::to_string(rng_()) + ";";
  out.replace(0, std::min(n, stamp.size()), stamp.substr(0, std::min(n, stamp.size())));
  return out;
}

std::optional<std::string> MountCrasher::model(const std::string& path) const {
  auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

std::optional<MountCrasher::Underway> MountCrasher::work() {
  const fs::path m = scope_.mountpoint();
  auto size = [&] { return pick(4) == 0 ? 1 + pick(400000) : 1 + pick(20000); };
  while (true) {
    const std::size_t kind = pick(10);
    const std::string name = kNames[pick(std::size(kNames))];
    if (kind < 4) {
      const std::string data = bytes(size());
      const bool sync = pick(3) == 0;
      Underway u{"write " + name, {{name, model(name)}}, {{name, data}}, true};
      bool synced = false;
      const bool done = writeFile(m / name, data, sync, synced, O_TRUNC);
      if (synced || done) {
        files_[name] = data;
        ++figures_.acknowledged;
      }
      if (!done) return synced ? std::nullopt : std::optional<Underway>(u);
    } else if (kind < 7) {
      const std::string temp = "." + name + ".swp";
      const std::string data = bytes(size());
      Underway write{"write " + temp + " to save " + name, {{temp, model(temp)}}, {{temp, data}},
                     true};
      bool synced = false;
      const bool done = writeFile(m / temp, data, pick(2) == 0, synced, O_TRUNC);
      if (synced || done) {
        files_[temp] = data;
        ++figures_.acknowledged;
      }
      if (!done) return synced ? std::nullopt : std::optional<Underway>(write);
      Underway save{"save " + name + " by renaming " + temp,
                    {{temp, data}, {name, model(name)}},
                    {{temp, std::nullopt}, {name, data}},
                    false};
      if (::rename((m / temp).c_str(), (m / name).c_str()) != 0) return save;
      files_.erase(temp);
      files_[name] = data;
      ++figures_.acknowledged;
    } else if (kind < 8) {
      if (!files_.count(name)) continue;
      const std::string more = bytes(1 + pick(5000));
      Underway u{"append to " + name, {{name, model(name)}}, {{name, files_[name] + more}}, true};
      bool synced = false;
      const bool done = writeFile(m / name, more, pick(3) == 0, synced, O_APPEND);
      if (synced || done) {
        files_[name] += more;
        ++figures_.acknowledged;
      }
      if (!done) return synced ? std::nullopt : std::optional<Underway>(u);
    } else if (kind < 9) {
      if (!files_.count(name)) continue;
      const std::string to = kNames[pick(std::size(kNames))];
      if (to == name) continue;
      Underway u{"rename " + name + " to " + to,
                 {{name, model(name)}, {to, model(to)}},
                 {{name, std::nullopt}, {to, model(name)}},
                 false};
      if (::rename((m / name).c_str(), (m / to).c_str()) != 0) return u;
      files_[to] = files_[name];
      files_.erase(name);
      ++figures_.acknowledged;
    } else {
      if (!files_.count(name)) continue;
      Underway u{"unlink " + name, {{name, model(name)}}, {{name, std::nullopt}}, false};
      if (::unlink((m / name).c_str()) != 0) return u;
      files_.erase(name);
      ++figures_.acknowledged;
    }
  }
}

std::optional<std::string> MountCrasher::round(std::chrono::milliseconds maxWait) {
  const auto wait = std::chrono::milliseconds(pick(static_cast<std::size_t>(maxWait.count()) + 1));
  std::atomic<bool> killed{false};
  std::thread killer([&] {
    std::this_thread::sleep_for(wait);
    killed = true;
    scope_.mount().crash();
  });
  const auto underway = work();
  const int err = errno;
  const bool killedFirst = killed.load();
  killer.join();
  scope_.mount().reap();
  ++figures_.rounds;
  const std::string where = "seed " + std::to_string(seed_) + ", round " +
                            std::to_string(figures_.rounds) + ": ";
  // What the killed run left is taken before the new run sends and removes
  // it. Both logs are shared by every run of the scope's mount (the
  // extension's one, in the temporary folder the processes inherit, by the
  // engine too), so each part starts where the last one ended.
  const fs::path syncLog = fs::temp_directory_path() / "corvane-sync.log";
  auto since = [](const fs::path& file, std::size_t& start) {
    bool ok = false;
    const std::string text = slurp(file, ok);
    const std::string part = text.substr(std::min(start, text.size()));
    start = text.size();
    return part;
  };
  const std::string killedLog =
      since(scope_.mount().logFile(), runLogStart_) + since(syncLog, syncLogStart_);
  const std::string leftBehind = workFolderListing(scope_.cache());
  auto explained = [&](const std::string& failure) {
    std::string atEngine;
    for (const auto& [name, data] : filesIn(scope_.backing())) {
      atEngine += "  " + name + " (" + std::to_string(data.size()) + " bytes)\n";
    }
    return where + failure + "\nworking copies at the restart:\n" + leftBehind +
           "at the engine now:\n" + atEngine + "killed mount's log:\n" + killedLog +
           "\nnew mount's log:\n" + since(scope_.mount().logFile(), runLogStart_) +
           since(syncLog, syncLogStart_);
  };
  if (!killedFirst) {
    return explained("an operation failed while the mount ran: " +
                     (underway ? underway->what : std::string("?")) + ": " + std::strerror(err));
  }
  if (underway) ++figures_.killedDuring;
  try {
    scope_.mount().start();
  } catch (const std::exception& e) {
    return explained(std::string("the mount did not come back: ") + e.what());
  }
  if (auto failure = check(underway)) return explained(*failure);
  if (auto failure = compareMount()) return explained(*failure);
  return std::nullopt;
}

std::optional<std::string> MountCrasher::check(const std::optional<Underway>& underway) {
  const auto backing = filesIn(scope_.backing());
  auto at = [&](const std::string& path) -> std::optional<std::string> {
    auto it = backing.find(path);
    if (it == backing.end()) return std::nullopt;
    return it->second;
  };
  auto touched = [&](const std::string& path) { return underway && underway->before.count(path); };
  for (const auto& [path, data] : files_) {
    if (touched(path)) continue;
    if (at(path) != data) {
      return "acknowledged " + path + " (" + std::to_string(data.size()) +
             " bytes) is at the engine as " + shown(at(path)) +
             (underway ? " (under way at the kill: " + underway->what + ")" : "");
    }
  }
  if (underway && !underway->anyBytes) {
    bool asBefore = true, asAfter = true;
    for (const auto& [path, data] : underway->before) asBefore = asBefore && at(path) == data;
    for (const auto& [path, data] : underway->after) asAfter = asAfter && at(path) == data;
    if (!asBefore && !asAfter) {
      std::string state;
      for (const auto& [path, data] : underway->before) state += " " + path + ": " + shown(at(path));
      return underway->what + ", under way at the kill, was neither done nor undone:" + state;
    }
  }
  for (const auto& [name, data] : backing) {
    if (files_.count(name) || touched(name) || extras_.count(name)) continue;
    if (name.find(" (conflict ") != std::string::npos) {
      extras_.insert(name);
      ++figures_.conflictCopies;
      continue;
    }
    return "the engine has " + name + ", which nobody wrote" +
           (underway ? " (under way at the kill: " + underway->what + ")" : "");
  }
  // What the operation under way left is what the model goes on from.
  if (underway) {
    for (const auto& [path, data] : underway->before) {
      if (auto now = at(path)) {
        files_[path] = *now;
      } else {
        files_.erase(path);
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> MountCrasher::compareMount() const {
  const auto shownThere = filesIn(scope_.mountpoint());
  for (const auto& [path, data] : files_) {
    auto it = shownThere.find(path);
    if (it == shownThere.end()) return "the new mount does not show " + path;
    if (it->second != data) {
      return "the new mount shows " + path + " with " + std::to_string(it->second.size()) +
             " bytes, not the engine's " + std::to_string(data.size());
    }
  }
  for (const auto& [name, data] : shownThere) {
    if (!files_.count(name) && !extras_.count(name)) {
      return "the new mount shows " + name + ", which the engine does not have";
    }
  }
  return std::nullopt;
}

}  // namespace corvane::testing
