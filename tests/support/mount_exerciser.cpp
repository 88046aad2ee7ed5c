#include "support/mount_exerciser.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

namespace corvane::testing {
namespace fs = std::filesystem;
namespace {

const char* const kFileNames[] = {"a", "b", "c.txt", "d.bin", ".e.tmp"};
const char* const kFolderNames[] = {"p", "q", "r"};
constexpr std::size_t kMaxDepth = 3;

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

std::size_t depthOf(const std::string& path) {
  return path.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
}

bool below(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

std::string errnoText(int err) { return err == 0 ? "success" : std::strerror(err); }

// -1 with errno, as the system calls answer, turned into an errno (0: success).
int outcome(long rc) { return rc < 0 ? errno : 0; }

std::string slurp(const fs::path& path, int& err) {
  err = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return {};
  }
  std::string out;
  char buffer[65536];
  while (true) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (got == 0) break;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return out;
}

// Where two byte strings first differ, for messages.
std::string difference(const std::string& got, const std::string& want) {
  std::size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return "got " + std::to_string(got.size()) + " bytes, want " + std::to_string(want.size()) +
         ", first difference at " + std::to_string(at);
}

}  // namespace

MountExerciser::MountExerciser(fs::path mountpoint, fs::path backing, std::uint64_t seed)
    : mountpoint_(std::move(mountpoint)), backing_(std::move(backing)), seed_(seed), rng_(seed) {}

MountExerciser::~MountExerciser() {
  for (auto& o : open_) ::close(o.fd);
}

// ---- the model

std::vector<std::string> MountExerciser::folders() const {
  std::vector<std::string> out{""};
  for (const auto& [path, node] : tree_) {
    if (node.dir) out.push_back(path);
  }
  return out;
}

std::vector<std::string> MountExerciser::files() const {
  std::vector<std::string> out;
  for (const auto& [path, node] : tree_) {
    if (!node.dir) out.push_back(path);
  }
  return out;
}

std::vector<std::string> MountExerciser::childrenOf(const std::string& folder) const {
  std::vector<std::string> out;
  for (const auto& [path, node] : tree_) {
    if (parentOf(path) == folder) out.push_back(path.substr(folder.empty() ? 0 : folder.size() + 1));
  }
  return out;
}

std::string MountExerciser::newPath(bool folder) {
  auto candidates = folders();
  if (folder) {
    std::erase_if(candidates, [](const std::string& f) { return depthOf(f) + 1 > kMaxDepth; });
  }
  const std::string parent = candidates[pick(candidates.size())];
  const std::string name = folder ? kFolderNames[pick(std::size(kFolderNames))]
                                  : kFileNames[pick(std::size(kFileNames))];
  return join(parent, name);
}

std::string MountExerciser::bytes(std::size_t n) {
  std::string out(n, '\0');
  const char letter = static_cast<char>('a' + pick(26));
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<char>(letter + static_cast<char>(i % 7));
  }
  return out;
}

void MountExerciser::note(std::string step) {
  if (trace_) *trace_ << done_ << ": " << step << "\n";
  history_.push_back(std::to_string(done_) + ": " + std::move(step));
  if (history_.size() > 40) history_.pop_front();
}

std::string MountExerciser::mismatch(const std::string& what) const {
  std::string out = "seed " + std::to_string(seed_) + ", step " + std::to_string(done_) + ": " +
                    what + "\nthe steps before it:\n";
  for (const auto& step : history_) out += "  " + step + "\n";
  return out;
}

// ---- the run

std::optional<std::string> MountExerciser::run(std::size_t operations,
                                               Clock::time_point deadline) {
  using Step = Result (MountExerciser::*)();
  struct Kind {
    const char* name;
    int weight;
    Step step;
  };
  static const Kind kinds[] = {
      {"open", 14, &MountExerciser::openFile}, {"write", 20, &MountExerciser::write},
      {"read", 8, &MountExerciser::read},      {"read whole", 6, &MountExerciser::readWhole},
      {"truncate", 5, &MountExerciser::truncate}, {"stat", 5, &MountExerciser::stat},
      {"list", 4, &MountExerciser::list},      {"fsync", 2, &MountExerciser::fsync},
      {"close", 12, &MountExerciser::close},   {"rename", 9, &MountExerciser::rename},
      {"unlink", 5, &MountExerciser::unlink},  {"mkdir", 5, &MountExerciser::mkdir},
      {"rmdir", 3, &MountExerciser::rmdir},
  };
  int total = 0;
  for (const auto& k : kinds) total += k.weight;
  for (std::size_t i = 0; i < operations && Clock::now() < deadline; ++i) {
    int roll = static_cast<int>(pick(static_cast<std::size_t>(total)));
    const Kind* kind = kinds;
    while (roll >= kind->weight) roll -= (kind++)->weight;
    if (auto failure = (this->*kind->step)()) return failure;
    ++done_;
    ++counts_[kind->name];
  }
  return std::nullopt;
}

std::optional<std::string> MountExerciser::finish(std::chrono::milliseconds settle) {
  while (!open_.empty()) {
    if (auto failure = close()) return failure;
  }
  note("all closed");
  if (auto failure = compareTree(mountpoint_, "the mount")) return failure;
  const auto deadline = Clock::now() + settle;
  Result failure;
  while ((failure = compareTree(backing_, "the engine's folder"))) {
    if (Clock::now() >= deadline) return failure;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return compareTree(mountpoint_, "the mount");
}

MountExerciser::Result MountExerciser::compareTree(const fs::path& root,
                                                   const std::string& what) const {
  std::map<std::string, bool> seen;  // path -> folder
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    // Lexically: the engine's own work files come and go while the walk runs,
    // and a path resolved on disk would throw once one has gone.
    std::error_code kind;
    seen[it->path().lexically_relative(root).string()] = it->is_directory(kind);
  }
  if (ec) return mismatch(what + " cannot be walked: " + ec.message());
  for (const auto& [path, node] : tree_) {
    auto found = seen.find(path);
    if (found == seen.end()) return mismatch(what + " lacks " + path);
    if (found->second != node.dir) return mismatch(what + " has the wrong kind at " + path);
    if (!node.dir) {
      int err = 0;
      const std::string got = slurp(root / path, err);
      if (err) return mismatch(what + ": reading " + path + ": " + errnoText(err));
      if (got != node.data->bytes) {
        return mismatch(what + " holds other bytes at " + path + ": " +
                        difference(got, node.data->bytes));
      }
    }
  }
  std::string extra;
  for (const auto& [path, folder] : seen) {
    if (!tree_.count(path)) extra += (extra.empty() ? "" : ", ") + path;
  }
  if (!extra.empty()) return mismatch(what + " has what the model lacks: " + extra);
  return std::nullopt;
}

// ---- the steps

MountExerciser::Result MountExerciser::openFile() {
  std::string path;
  int flags = O_CLOEXEC;
  auto existing = files();
  const int how = static_cast<int>(pick(10));
  if (how < 3 && !existing.empty()) {
    path = existing[pick(existing.size())];
    flags |= O_RDONLY;
  } else {
    path = newPath(false);
    flags |= (chance(0.8) ? O_RDWR : O_WRONLY) | O_CREAT;
    if (chance(0.25)) flags |= O_TRUNC;
    if (chance(0.15)) flags |= O_APPEND;
  }
  note("open " + path + ((flags & O_ACCMODE) == O_RDONLY ? " read-only" : "") +
       (flags & O_TRUNC ? " truncating" : "") + (flags & O_APPEND ? " appending" : ""));
  auto node = tree_.find(path);
  const int expected = node != tree_.end() && node->second.dir ? EISDIR : 0;
  const int fd = ::open(real(path).c_str(), flags, 0644);
  const int err = outcome(fd);
  history_.back() += " -> fd " + std::to_string(fd);
  if (trace_) *trace_ << "  -> fd " << fd << "\n";
  if (err != expected) {
    if (fd >= 0) ::close(fd);
    return mismatch("open " + path + ": " + errnoText(err) + ", want " + errnoText(expected));
  }
  if (fd < 0) return std::nullopt;
  if (node == tree_.end()) {
    node = tree_.emplace(path, Node{false, std::make_shared<Data>()}).first;
  }
  if (flags & O_TRUNC) node->second.data->bytes.clear();
  Open o;
  o.fd = fd;
  o.data = node->second.data;
  o.readable = (flags & O_ACCMODE) != O_WRONLY;
  o.writable = (flags & O_ACCMODE) != O_RDONLY;
  o.append = flags & O_APPEND;
  o.path = path;
  open_.push_back(std::move(o));
  return std::nullopt;
}

MountExerciser::Result MountExerciser::write() {
  std::vector<Open*> writers;
  for (auto& o : open_) {
    if (o.writable) writers.push_back(&o);
  }
  if (writers.empty()) return openFile();
  Open& o = *writers[pick(writers.size())];
  std::string& model = o.data->bytes;
  const std::size_t length = chance(0.1) ? 1 + pick(70000) : 1 + pick(5000);
  const std::size_t offset = o.append ? model.size() : pick(model.size() + 3000);
  const std::string data = bytes(length);
  note("write " + std::to_string(length) + " at " + (o.append ? "the end" : std::to_string(offset)) +
       " of " + o.path + " (fd " + std::to_string(o.fd) + ")");
  const ssize_t put = o.append ? ::write(o.fd, data.data(), data.size())
                               : ::pwrite(o.fd, data.data(), data.size(), static_cast<off_t>(offset));
  if (put != static_cast<ssize_t>(data.size())) {
    return mismatch("write to " + o.path + ": " + std::to_string(put) + " (" + errnoText(errno) +
                    ")");
  }
  if (model.size() < offset + length) model.resize(offset + length, '\0');
  model.replace(offset, length, data);
  return std::nullopt;
}

MountExerciser::Result MountExerciser::read() {
  std::vector<Open*> readers;
  for (auto& o : open_) {
    if (o.readable) readers.push_back(&o);
  }
  if (readers.empty()) return readWhole();
  Open& o = *readers[pick(readers.size())];
  const std::string& model = o.data->bytes;
  const std::size_t offset = pick(model.size() + 100);
  const std::size_t length = 1 + pick(12000);
  note("read " + std::to_string(length) + " at " + std::to_string(offset) + " of " + o.path +
       " (fd " + std::to_string(o.fd) + ")");
  std::string got(length, '\0');
  const ssize_t n = ::pread(o.fd, got.data(), length, static_cast<off_t>(offset));
  if (n < 0) return mismatch("read of " + o.path + ": " + errnoText(errno));
  got.resize(static_cast<std::size_t>(n));
  const std::string want = offset >= model.size() ? std::string() : model.substr(offset, length);
  if (got != want) return mismatch("read of " + o.path + ": " + difference(got, want));
  return std::nullopt;
}

MountExerciser::Result MountExerciser::readWhole() {
  auto existing = files();
  if (existing.empty()) return openFile();
  const std::string path = existing[pick(existing.size())];
  note("read whole " + path);
  int err = 0;
  const std::string got = slurp(real(path), err);
  if (err) return mismatch("reading " + path + ": " + errnoText(err));
  const std::string& want = tree_.at(path).data->bytes;
  if (got != want) return mismatch("reading " + path + ": " + difference(got, want));
  return std::nullopt;
}

MountExerciser::Result MountExerciser::truncate() {
  std::vector<Open*> writers;
  for (auto& o : open_) {
    if (o.writable) writers.push_back(&o);
  }
  auto existing = files();
  const bool byHandle = !writers.empty() && (existing.empty() || chance(0.5));
  if (!byHandle && existing.empty()) return openFile();
  const std::string path = byHandle ? std::string() : existing[pick(existing.size())];
  std::shared_ptr<Data> data = byHandle ? nullptr : tree_.at(path).data;
  Open* o = byHandle ? writers[pick(writers.size())] : nullptr;
  if (o) data = o->data;
  const std::size_t size = chance(0.3) ? 0 : pick(data->bytes.size() + 3000);
  note("truncate " + (o ? o->path + " (fd " + std::to_string(o->fd) + ")" : path) + " to " +
       std::to_string(size));
  const int err = outcome(o ? ::ftruncate(o->fd, static_cast<off_t>(size))
                            : ::truncate(real(path).c_str(), static_cast<off_t>(size)));
  if (err) return mismatch("truncate: " + errnoText(err));
  data->bytes.resize(size, '\0');
  return std::nullopt;
}

MountExerciser::Result MountExerciser::stat() {
  const bool missing = chance(0.15);
  const std::string path = missing || tree_.empty() ? newPath(chance(0.3))
                                                    : std::next(tree_.begin(), static_cast<long>(pick(tree_.size())))->first;
  note("stat " + path);
  struct stat st;
  const int err = outcome(::stat(real(path).c_str(), &st));
  auto node = tree_.find(path);
  const int expected = node == tree_.end() ? ENOENT : 0;
  if (err != expected) {
    return mismatch("stat " + path + ": " + errnoText(err) + ", want " + errnoText(expected));
  }
  if (err) return std::nullopt;
  if (S_ISDIR(st.st_mode) != node->second.dir) return mismatch("stat " + path + ": wrong kind");
  if (!node->second.dir && static_cast<std::size_t>(st.st_size) != node->second.data->bytes.size()) {
    return mismatch("stat " + path + ": size " + std::to_string(st.st_size) + ", want " +
                    std::to_string(node->second.data->bytes.size()));
  }
  return std::nullopt;
}

MountExerciser::Result MountExerciser::list() {
  auto all = folders();
  const std::string folder = all[pick(all.size())];
  note("list " + (folder.empty() ? std::string("/") : folder));
  std::set<std::string> got;
  DIR* dir = ::opendir(real(folder).c_str());
  if (!dir) return mismatch("opendir " + folder + ": " + errnoText(errno));
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") got.insert(name);
  }
  ::closedir(dir);
  auto children = childrenOf(folder);
  const std::set<std::string> want(children.begin(), children.end());
  if (got != want) {
    std::string text;
    for (const auto& n : got) text += " " + n;
    text += " | want";
    for (const auto& n : want) text += " " + n;
    return mismatch("list " + folder + ":" + text);
  }
  return std::nullopt;
}

MountExerciser::Result MountExerciser::fsync() {
  std::vector<Open*> writers;
  for (auto& o : open_) {
    if (o.writable) writers.push_back(&o);
  }
  if (writers.empty()) return openFile();
  Open& o = *writers[pick(writers.size())];
  note("fsync " + o.path + " (fd " + std::to_string(o.fd) + ")");
  if (const int err = outcome(::fsync(o.fd))) return mismatch("fsync " + o.path + ": " + errnoText(err));
  return std::nullopt;
}

MountExerciser::Result MountExerciser::close() {
  if (open_.empty()) return openFile();
  const std::size_t i = pick(open_.size());
  const Open o = open_[i];
  open_.erase(open_.begin() + static_cast<long>(i));
  note("close " + o.path + " (fd " + std::to_string(o.fd) + ")");
  if (const int err = outcome(::close(o.fd))) return mismatch("close " + o.path + ": " + errnoText(err));
  return std::nullopt;
}

MountExerciser::Result MountExerciser::rename() {
  if (tree_.empty()) return mkdir();
  const std::string from = std::next(tree_.begin(), static_cast<long>(pick(tree_.size())))->first;
  const bool dir = tree_.at(from).dir;
  // Mostly a name of the same kind; now and then the other, to be refused.
  std::string to = newPath(chance(0.85) ? dir : !dir);
  if (dir && depthOf(to) + [&] {
        std::size_t deepest = 0;
        for (const auto& [path, node] : tree_) {
          if (below(path, from)) deepest = std::max(deepest, depthOf(path) - depthOf(from));
        }
        return deepest;
      }() > kMaxDepth) {
    return list();  // it would grow too deep
  }
  note("rename " + from + " to " + to);
  int expected = 0;
  auto target = tree_.find(to);
  if (to == from) {
    expected = 0;
  } else if (dir && below(to, from)) {
    expected = EINVAL;  // into itself
  } else if (below(from, to)) {
    expected = ENOTEMPTY;  // over a folder it is in
  } else if (target != tree_.end()) {
    if (!dir && target->second.dir) expected = EISDIR;
    if (dir && !target->second.dir) expected = ENOTDIR;
    if (dir && target->second.dir && !childrenOf(to).empty()) expected = ENOTEMPTY;
  }
  const int err = outcome(::rename(real(from).c_str(), real(to).c_str()));
  if (err != expected) {
    return mismatch("rename " + from + " to " + to + ": " + errnoText(err) + ", want " +
                    errnoText(expected));
  }
  if (err || to == from) return std::nullopt;
  if (target != tree_.end()) tree_.erase(target);
  std::vector<std::pair<std::string, Node>> moved;
  for (auto it = tree_.begin(); it != tree_.end();) {
    if (it->first == from || below(it->first, from)) {
      moved.emplace_back(to + it->first.substr(from.size()), it->second);
      it = tree_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [path, node] : moved) tree_[path] = node;
  return std::nullopt;
}

MountExerciser::Result MountExerciser::unlink() {
  if (tree_.empty()) return openFile();
  const std::string path = std::next(tree_.begin(), static_cast<long>(pick(tree_.size())))->first;
  note("unlink " + path);
  const int expected = tree_.at(path).dir ? EISDIR : 0;
  const int err = outcome(::unlink(real(path).c_str()));
  if (err != expected) {
    return mismatch("unlink " + path + ": " + errnoText(err) + ", want " + errnoText(expected));
  }
  if (!err) tree_.erase(path);
  return std::nullopt;
}

MountExerciser::Result MountExerciser::mkdir() {
  const std::string path = newPath(true);
  note("mkdir " + path);
  const int expected = exists(path) ? EEXIST : 0;
  const int err = outcome(::mkdir(real(path).c_str(), 0755));
  if (err != expected) {
    return mismatch("mkdir " + path + ": " + errnoText(err) + ", want " + errnoText(expected));
  }
  if (!err) tree_[path] = Node{true, nullptr};
  return std::nullopt;
}

MountExerciser::Result MountExerciser::rmdir() {
  auto all = folders();
  all.erase(all.begin());  // not the root
  if (all.empty()) return mkdir();
  const std::string path = all[pick(all.size())];
  note("rmdir " + path);
  const int expected = childrenOf(path).empty() ? 0 : ENOTEMPTY;
  const int err = outcome(::rmdir(real(path).c_str()));
  if (err != expected) {
    return mismatch("rmdir " + path + ": " + errnoText(err) + ", want " + errnoText(expected));
  }
  if (!err) tree_.erase(path);
  return std::nullopt;
}

}  // namespace corvane::testing
