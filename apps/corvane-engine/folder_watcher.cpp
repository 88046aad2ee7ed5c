#include "folder_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <unordered_map>

#include "platform/unicode.h"
#include "scope_paths.h"
#include "host_log.h"

namespace corvane::syncengine {
namespace {

constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF |
                                IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

// Events are gathered until none has come for this long (a program writing a
// file produces a burst), but never longer than the second limit.
constexpr int kQuietMs = 100;
constexpr auto kMaxGather = std::chrono::milliseconds(700);

// How often a scope folder that vanished is looked for again.
constexpr int kRootRetryMs = 1000;

// Collects targets in order of arrival, one per path; a recursive request
// wins over a plain one.
class TargetSet {
 public:
  explicit TargetSet(std::vector<ChangeTarget>& targets) : targets_(targets) {
    for (std::size_t i = 0; i < targets_.size(); ++i) index_[targets_[i].path] = i;
  }
  void add(const std::string& path, bool recursive) {
    auto [it, inserted] = index_.try_emplace(path, targets_.size());
    if (inserted) {
      targets_.push_back({path, recursive});
    } else if (recursive) {
      targets_[it->second].recursive = true;
    }
  }

 private:
  std::vector<ChangeTarget>& targets_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace

FolderWatcher::FolderWatcher(std::filesystem::path root, Callback onChanges)
    : root_(std::move(root)), onChanges_(std::move(onChanges)) {}

FolderWatcher::~FolderWatcher() { stop(); }

void FolderWatcher::start() {
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  watchTree("");
  if (!watchOf_.contains("")) {
    throw std::system_error(errno, std::generic_category(), "cannot watch " + root_.string());
  }
  thread_ = std::thread([this] { run(); });
}

void FolderWatcher::stop() {
  if (thread_.joinable()) {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(wake_[1], &byte, 1);
    thread_.join();
  }
  for (int* fd : {&inotify_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void FolderWatcher::run() {
  while (true) {
    // While the scope's folder is gone there is nothing to wait on but its
    // return: look for it again every so often.
    const bool rootWatched = watchOf_.contains("");
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, rootWatched ? -1 : kRootRetryMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      hostlog::error("watching " + root_.string() + " failed: " + std::strerror(errno));
      return;
    }
    if (fds[1].revents) return;
    std::vector<ChangeTarget> targets;
    bool overflow = false;
    if (ready > 0) {
      drain(targets, overflow);
      const auto deadline = std::chrono::steady_clock::now() + kMaxGather;
      while (std::chrono::steady_clock::now() < deadline) {
        pollfd more[2] = {{inotify_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int next = ::poll(more, 2, kQuietMs);
        if (next == 0) break;
        if (next < 0 && errno != EINTR) break;
        if (more[1].revents) return;
        drain(targets, overflow);
      }
    }
    if (overflow) {
      // Events were lost: watch whatever folders exist now and compare all.
      watchTree("");
      targets.assign(1, {"", true});
    }
    if (!watchOf_.contains("")) {
      // The folder was removed or moved away (and may be back already).
      // Watching before comparing means nothing done in between is missed.
      watchTree("");
      if (watchOf_.contains("") || rootWatched) targets.assign(1, {"", true});
    }
    if (targets.empty()) continue;
    try {
      onChanges_(targets);
    } catch (const std::exception& e) {
      hostlog::error("cannot record changes in " + root_.string() + ": " + e.what());
    }
  }
}

void FolderWatcher::drain(std::vector<ChangeTarget>& targets, bool& overflow) {
  TargetSet set(targets);
  alignas(inotify_event) char buffer[64 * 1024];
  while (true) {
    const ssize_t length = ::read(inotify_, buffer, sizeof buffer);
    if (length <= 0) return;  // EAGAIN: drained
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        overflow = true;
        continue;
      }
      auto folder = pathOf_.find(event->wd);
      if (folder == pathOf_.end()) continue;  // a watch already given up
      if (event->mask & IN_IGNORED) {
        watchOf_.erase(folder->second);
        pathOf_.erase(folder);
        continue;
      }
      if (event->len == 0) {
        // The watched folder itself went away or moved; its parent's event
        // covers it, except for the root. A root moved elsewhere keeps its
        // watches, which would report a folder that is no longer the scope's.
        if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) && folder->second.empty()) {
          unwatchAll();
          set.add("", true);
        }
        continue;
      }
      const std::string_view name(event->name);
      if (!platform::isValidUTF8(name)) continue;
      const std::string path = joinPath(folder->second, name);
      if (event->mask & IN_ISDIR) {
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
          watchTree(path);
          set.add(path, true);
          continue;
        }
        if (event->mask & (IN_MOVED_FROM | IN_DELETE)) unwatchTree(path);
      }
      set.add(path, false);
    }
  }
}

void FolderWatcher::watchTree(const std::string& top) {
  std::vector<std::string> pending{top};
  while (!pending.empty()) {
    const std::string path = std::move(pending.back());
    pending.pop_back();
    const std::filesystem::path full = path.empty() ? root_ : root_ / path;
    const int wd = ::inotify_add_watch(inotify_, full.c_str(), kMask);
    if (wd < 0) {
      if (errno == ENOSPC && !warnedNoSpace_) {
        warnedNoSpace_ = true;
        hostlog::warning("out of inotify watches; changes below " + full.string() +
                         " made by other programs are not seen (raise "
                         "fs.inotify.max_user_watches)");
      }
      continue;
    }
    if (auto old = pathOf_.find(wd); old != pathOf_.end() && old->second != path)
      watchOf_.erase(old->second);
    pathOf_[wd] = path;
    watchOf_[path] = wd;
    DIR* dir = ::opendir(full.c_str());
    if (!dir) continue;
    while (const dirent* child = ::readdir(dir)) {
      const std::string_view name = child->d_name;
      if (name == "." || name == ".." || !platform::isValidUTF8(name)) continue;
      if (child->d_type == DT_DIR) {
        pending.push_back(joinPath(path, name));
      } else if (child->d_type == DT_UNKNOWN) {
        struct stat st {};
        if (::fstatat(::dirfd(dir), child->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode)) {
          pending.push_back(joinPath(path, name));
        }
      }
    }
    ::closedir(dir);
  }
}

void FolderWatcher::unwatchAll() {
  for (const auto& [path, wd] : watchOf_) ::inotify_rm_watch(inotify_, wd);
  watchOf_.clear();
  pathOf_.clear();
}

void FolderWatcher::unwatchTree(const std::string& path) {
  auto forget = [this](std::map<std::string, int>::iterator it) {
    ::inotify_rm_watch(inotify_, it->second);
    pathOf_.erase(it->second);
    return watchOf_.erase(it);
  };
  if (auto self = watchOf_.find(path); self != watchOf_.end()) forget(self);
  const std::string prefix = path + "/";
  for (auto it = watchOf_.lower_bound(prefix);
       it != watchOf_.end() && it->first.starts_with(prefix);) {
    it = forget(it);
  }
}

}  // namespace corvane::syncengine
