#include "scope_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

#include "platform/unicode.h"
#include "scope_paths.h"
#include "work_files.h"

namespace corvane::syncengine {
namespace fs = std::filesystem;
namespace {

void appendHex(std::string& out, std::uint64_t value) {
  char buffer[17];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
  out.append(buffer, end);
}

// Owns an open folder stream.
class FolderStream {
 public:
  explicit FolderStream(int fd) : dir_(fd >= 0 ? ::fdopendir(fd) : nullptr) {
    if (fd >= 0 && dir_ == nullptr) ::close(fd);
  }
  ~FolderStream() {
    if (dir_) ::closedir(dir_);
  }
  FolderStream(const FolderStream&) = delete;
  FolderStream& operator=(const FolderStream&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Calls `visit(name, stat)` for each listable child of the open folder `fd`,
// the scope's folder `folder`; the engine's work files in `own` are skipped.
template <class Visit>
void forEachChild(int fd, std::string_view folder, const WorkFiles* own, Visit&& visit) {
  FolderStream stream(fd);
  if (!stream.get()) throw std::system_error(errno, std::generic_category(), "cannot read folder");
  const int dirFd = ::dirfd(stream.get());
  while (true) {
    errno = 0;
    const struct dirent* child = ::readdir(stream.get());
    if (!child) {
      if (errno != 0) throw std::system_error(errno, std::generic_category(), "cannot read folder");
      return;
    }
    const std::string_view name = child->d_name;
    if (name == "." || name == "..") continue;
    if (child->d_type != DT_UNKNOWN && child->d_type != DT_REG && child->d_type != DT_DIR) continue;
    if (!platform::isValidUTF8(name)) continue;
    if (own && own->contains(joinPath(folder, name))) continue;
    struct stat st {};
    if (::fstatat(dirFd, child->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (auto state = stateFromStat(st)) visit(name, *state);
  }
}

int openFolder(const fs::path& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

std::optional<ItemState> stateFromStat(const struct stat& st) {
  ItemState state;
  state.mtime_sec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  state.mtime_nsec = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
  if (S_ISDIR(st.st_mode)) {
    state.dir = true;
    state.version = kFolderVersion;
    return state;
  }
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  state.size = static_cast<std::int64_t>(st.st_size);
  state.version.reserve(48);
  appendHex(state.version, st.st_ino);
  state.version += '-';
  appendHex(state.version, static_cast<std::uint64_t>(st.st_size));
  state.version += '-';
  appendHex(state.version, static_cast<std::uint64_t>(state.mtime_sec));
  state.version += '.';
  appendHex(state.version, static_cast<std::uint64_t>(state.mtime_nsec));
  return state;
}

ScopeFolder::ScopeFolder(fs::path root, const WorkFiles* own) : root_(std::move(root)), own_(own) {}

fs::path ScopeFolder::full(std::string_view path) const {
  return path.empty() ? root_ : root_ / fs::path(std::string(path));
}

ScopeFolder::Kind ScopeFolder::kindOf(std::string_view path, struct stat* out) const {
  if (own_ && own_->contains(path)) return Kind::missing;
  struct stat st {};
  // Each parent must be a real folder: a symbolic link on the way could lead
  // out of the scope.
  std::size_t slash = path.find('/');
  while (slash != std::string_view::npos) {
    if (::lstat(full(path.substr(0, slash)).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return Kind::missing;
    }
    slash = path.find('/', slash + 1);
  }
  if (::lstat(full(path).c_str(), &st) != 0) return Kind::missing;
  if (out) *out = st;
  if (S_ISDIR(st.st_mode)) return Kind::folder;
  if (S_ISREG(st.st_mode)) return Kind::file;
  return Kind::other;
}

std::optional<ItemState> ScopeFolder::stateOf(std::string_view path) const {
  struct stat st {};
  const Kind kind = kindOf(path, &st);
  if (kind != Kind::file && kind != Kind::folder) return std::nullopt;
  return stateFromStat(st);
}

std::vector<ItemEntry> ScopeFolder::list(std::string_view path) const {
  const int fd = openFolder(full(path));
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open folder");
  std::vector<std::pair<std::string, ItemState>> children;
  forEachChild(fd, path, own_, [&](std::string_view name, const ItemState& state) {
    children.emplace_back(std::string(name), state);
  });
  // Sorting indices leaves the records where they are: large folders sort
  // several times faster than when whole entries are swapped.
  std::vector<std::uint32_t> order(children.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return children[a].first < children[b].first;
  });
  std::vector<ItemEntry> entries;
  entries.reserve(children.size());
  for (std::uint32_t i : order)
    entries.push_back(ItemEntry{joinPath(path, children[i].first), children[i].second});
  return entries;
}

void ScopeFolder::walk(std::string_view path, ItemList& out) const {
  std::vector<std::string> pending{std::string(path)};
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    const int fd = openFolder(full(folder));
    if (fd < 0) continue;
    try {
      forEachChild(fd, folder, own_, [&](std::string_view name, const ItemState& state) {
        std::string child = joinPath(folder, name);
        if (state.dir) pending.push_back(child);
        out.emplace_back(std::move(child), state);
      });
    } catch (const std::system_error&) {
      // A folder that vanished while being read simply has no more children.
    }
  }
}

}  // namespace corvane::syncengine
