#include "corvane-mount/content_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <system_error>

#include "corvane-mount/record_file.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/uuid.h"

namespace corvane::mount {
namespace fs = std::filesystem;

namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string hex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

// The record's header; its fields are those of a WorkRecord.
constexpr std::string_view kRecordHeader = "corvane-work 1";
constexpr std::string_view kRecordSuffix = ".rec";

std::optional<WorkRecord> parseRecord(const fs::path& file) {
  auto fields = records::read(file, kRecordHeader);
  if (!fields || !fields->count("path")) return std::nullopt;
  auto field = [&](const char* key) {
    auto it = fields->find(key);
    return it == fields->end() ? std::string() : it->second;
  };
  WorkRecord record;
  record.path = field("path");
  record.isNew = field("new") == "1";
  record.base.contentVersion = field("content");
  record.base.metadataVersion = field("metadata");
  if (auto seconds = records::number(field("since"))) {
    record.since = std::chrono::system_clock::time_point(std::chrono::seconds(*seconds));
  }
  record.attempts = static_cast<unsigned>(records::number(field("attempts")).value_or(0));
  record.lastFailure = field("failure");
  return record;
}

bool isRecordName(const std::string& name) {
  return name.size() > kRecordSuffix.size() &&
         name.compare(name.size() - kRecordSuffix.size(), kRecordSuffix.size(), kRecordSuffix) == 0;
}

std::uint64_t fnv1a(std::string_view bytes, std::uint64_t h = 0xcbf29ce484222325ull) {
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

std::string hex64(std::uint64_t v) {
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) out[i] = kHex[v & 15];
  return out;
}

}  // namespace

ContentCache::ContentCache(fs::path root, std::uint64_t limit)
    : root_(std::move(root)), limit_(limit) {
  fs::create_directories(root_);
  platform::ensurePrivateFolder(root_);
  platform::ensurePrivateFolder(temporaryFolder());
  platform::ensurePrivateFolder(workFolder());
  // Downloads that a previous run left half-way are of no use.
  std::error_code ec;
  for (auto it = fs::directory_iterator(temporaryFolder(), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    fs::remove_all(it->path(), ec);
  }
  takeStock();
}

std::string ContentCache::hashOf(const std::string& identifier) {
  return hex64(fnv1a(identifier));
}

fs::path ContentCache::fileFor(const std::string& identifier,
                               const std::string& contentVersion) const {
  std::string version = hex(contentVersion);
  // File names stop at 255 bytes; long versions are hashed too.
  if (version.size() > 160) version = "h" + hex64(fnv1a(contentVersion)) + hex64(fnv1a(contentVersion, 7));
  return root_ / (hashOf(identifier) + "-" + version);
}

fs::path ContentCache::newWorkingCopy(platform::UniqueFd* opened) const {
  auto path = workFolder() / platform::newUUID();
  platform::UniqueFd fd(
      ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    throw fs::filesystem_error("cannot create a working copy", path,
                               std::error_code(errno, std::generic_category()));
  }
  if (opened) *opened = std::move(fd);
  return path;
}

void ContentCache::discard(const fs::path& file) {
  if (file.empty()) return;
  std::error_code ec;
  fs::remove(file, ec);
  // The record goes after the bytes: a run that ends between the two leaves
  // a record without a copy, which the next run drops.
  fs::remove(recordOf(file), ec);
}

fs::path ContentCache::recordOf(const fs::path& work) {
  fs::path record = work;
  record += kRecordSuffix;
  return record;
}

void ContentCache::dropRecord(const fs::path& work) {
  if (work.empty()) return;
  std::error_code ec;
  fs::remove(recordOf(work), ec);
}

void ContentCache::writeRecord(const fs::path& work, const WorkRecord& record) const {
  const auto since =
      std::chrono::duration_cast<std::chrono::seconds>(record.since.time_since_epoch()).count();
  // Through tmp/, which is emptied at start, so a half-written record never
  // counts. Not synced: the working copy it describes is not synced either,
  // and a record that a power loss leaves unreadable only keeps the copy
  // unsent.
  records::write(recordOf(work), temporaryFolder(), kRecordHeader,
                 {{"path", record.path},
                  {"new", record.isNew ? "1" : "0"},
                  {"content", record.base.contentVersion},
                  {"metadata", record.base.metadataVersion},
                  {"since", std::to_string(since)},
                  {"attempts", std::to_string(record.attempts)},
                  {"failure", record.lastFailure}},
                 /*durable=*/false);
}

// ---- cached versions

namespace {

// Whether a name in the root is a cached version's data file.
bool isKey(const std::string& name) {
  if (name.size() < 18 || name[16] != '-') return false;
  for (int i = 0; i < 16; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return name.find('.') == std::string::npos;
}

// Bytes for the log, in MiB with one decimal.
std::string megabytes(std::uint64_t bytes) {
  const std::uint64_t tenths = (bytes * 10 + (1 << 19)) >> 20;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MiB";
}

}  // namespace

// Unpins its contents when the last handle lets go.
class ContentCache::Pin {
 public:
  Pin(ContentCache& cache, std::shared_ptr<SparseContents> contents)
      : cache_(cache), contents_(std::move(contents)) {}
  ~Pin() { cache_.unpin(*contents_); }

 private:
  ContentCache& cache_;
  const std::shared_ptr<SparseContents> contents_;
};

void ContentCache::takeStock() {
  struct Found {
    std::string key;
    std::int64_t bytes;
    fs::file_time_type used;
  };
  std::vector<Found> found;
  std::error_code ec;
  for (auto it = fs::directory_iterator(root_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const fs::path& path = it->path();
    const std::string name = path.filename().string();
    std::error_code e;
    if (!it->is_regular_file(e)) continue;
    if (path.extension() == ".blocks") {
      // A record whose data file is gone vouches for nothing.
      auto data = path;
      data.replace_extension();
      if (!fs::exists(data, e)) fs::remove(path, e);
      continue;
    }
    if (!isKey(name)) continue;
    const auto size = static_cast<std::int64_t>(it->file_size(e));
    std::int64_t bytes = size;
    if (fs::exists(SparseContents::recordOf(path), e)) {
      auto present = SparseContents::readRecord(path, size);
      if (!present) {
        fs::remove(path, e);
        fs::remove(SparseContents::recordOf(path), e);
        continue;
      }
      bytes = 0;
      for (std::size_t b = 0; b < present->size(); ++b) {
        if ((*present)[b]) {
          bytes += std::min<std::int64_t>(SparseContents::kBlockSize,
                                          size - static_cast<std::int64_t>(b) *
                                                     SparseContents::kBlockSize);
        }
      }
    }
    found.push_back({name, bytes, it->last_write_time(e)});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.used < b.used; });
  std::lock_guard lock(mutex_);
  for (const auto& f : found) enter(f.key, f.bytes);
  Log::write("content cache " + root_.string() + ": " + std::to_string(entries_.size()) +
             " cached versions, " + megabytes(total_) + " of " + megabytes(limit_));
  evictOverLimit();
}

ContentCache::Entry& ContentCache::enter(const std::string& key, std::int64_t bytes) {
  auto [it, added] = entries_.try_emplace(key);
  Entry& entry = it->second;
  if (added) {
    entry.used = used_.insert(used_.end(), key);
  } else {
    total_ -= static_cast<std::uint64_t>(entry.bytes);
    touch(entry, key);
  }
  entry.bytes = bytes;
  total_ += static_cast<std::uint64_t>(bytes);
  return entry;
}

void ContentCache::touch(Entry& entry, const std::string& key) {
  used_.erase(entry.used);
  entry.used = used_.insert(used_.end(), key);
}

void ContentCache::erase(std::map<std::string, Entry>::iterator it, const char* why) {
  const fs::path file = root_ / it->first;
  if (auto live = it->second.live.lock()) live->retire();
  std::error_code ec;
  fs::remove(file, ec);
  fs::remove(SparseContents::recordOf(file), ec);
  total_ -= static_cast<std::uint64_t>(it->second.bytes);
  if (why) {
    Log::write(std::string("content cache: ") + why + " " + it->first + " (" +
               megabytes(static_cast<std::uint64_t>(it->second.bytes)) + "); " +
               megabytes(total_) + " of " + megabytes(limit_) + " cached");
  }
  used_.erase(it->second.used);
  entries_.erase(it);
}

std::map<std::string, ContentCache::Entry>::iterator ContentCache::entryOf(
    const SparseContents& contents) {
  auto it = entries_.find(contents.file().filename().string());
  if (it == entries_.end() || it->second.live.lock().get() != &contents) return entries_.end();
  return it;
}

void ContentCache::evictOverLimit() {
  for (auto key = used_.begin(); total_ > limit_ && key != used_.end();) {
    auto it = entries_.find(*key);
    ++key;
    if (it->second.pins > 0) continue;
    erase(it, "evicted");
  }
}

std::shared_ptr<SparseContents> ContentCache::load(const fs::path& file,
                                                   const std::string& identifier,
                                                   const std::string& contentVersion,
                                                   std::int64_t size) {
  std::error_code ec;
  const fs::path record = SparseContents::recordOf(file);
  const bool partial = fs::exists(record, ec);
  int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) {
    struct stat st {};
    std::optional<std::vector<bool>> present;
    if (partial) present = SparseContents::readRecord(file, size);
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size && (!partial || present)) {
      // Read through the file's time, so that the order survives a restart.
      ::futimens(fd, nullptr);
      return std::make_shared<SparseContents>(file, temporaryFolder(), identifier, contentVersion,
                                              size, fd, !partial, present.value_or(std::vector<bool>{}));
    }
    ::close(fd);
  }
  // Nothing usable: a new sparse file, its (empty) record first so that the
  // zeros never pass for contents.
  fs::remove(file, ec);
  if (size > 0) SparseContents::writeRecord(file, temporaryFolder(), size, {});
  fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 || ::ftruncate(fd, size) != 0) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    throw fs::filesystem_error("cannot make a cache file", file,
                               std::error_code(err, std::generic_category()));
  }
  return std::make_shared<SparseContents>(file, temporaryFolder(), identifier, contentVersion,
                                          size, fd, size == 0, std::vector<bool>{});
}

std::shared_ptr<SparseContents> ContentCache::open(const std::string& identifier,
                                                   const std::string& contentVersion,
                                                   std::int64_t size) {
  size = std::max<std::int64_t>(size, 0);
  const fs::path file = fileFor(identifier, contentVersion);
  const std::string key = file.filename().string();
  std::lock_guard lock(mutex_);
  // The file's other versions are not current any more.
  const std::string prefix = hashOf(identifier) + "-";
  for (auto it = entries_.lower_bound(prefix);
       it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    auto next = std::next(it);
    if (it->first != key) {
      if (it->second.pins > 0) {
        it->second.dropWhenUnpinned = true;
      } else {
        erase(it, "dropped the old version");
      }
    }
    it = next;
  }
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    if (auto live = it->second.live.lock(); live && live->size() == size) {
      touch(it->second, key);
      return live;
    }
    if (auto live = it->second.live.lock()) {
      // The engine gave the same version another size: the open handles keep
      // what they have, and the cache starts over with the new size.
      live->retire();
      it->second.live.reset();
      it->second.pins = 0;
      it->second.dropWhenUnpinned = false;
    }
  }
  auto contents = load(file, identifier, contentVersion, size);
  Entry& entry = enter(key, contents->heldBytes());
  entry.live = contents;
  entry.dropWhenUnpinned = false;
  return contents;
}

std::shared_ptr<void> ContentCache::pin(const std::shared_ptr<SparseContents>& contents) {
  std::lock_guard lock(mutex_);
  auto it = entryOf(*contents);
  if (it == entries_.end()) return nullptr;
  it->second.pins++;
  return std::make_shared<Pin>(*this, contents);
}

void ContentCache::unpin(const SparseContents& contents) {
  std::lock_guard lock(mutex_);
  auto it = entryOf(contents);
  if (it == entries_.end()) return;
  if (--it->second.pins > 0) return;
  if (it->second.dropWhenUnpinned) {
    erase(it, "dropped the old version");
  } else {
    evictOverLimit();
  }
}

bool ContentCache::has(const std::string& identifier, const std::string& contentVersion,
                       std::int64_t offset, std::int64_t length) const {
  const fs::path file = fileFor(identifier, contentVersion);
  std::lock_guard lock(mutex_);
  auto it = entries_.find(file.filename().string());
  if (it == entries_.end()) return false;
  if (auto live = it->second.live.lock()) return live->has(offset, length);
  std::error_code ec;
  const auto size = static_cast<std::int64_t>(fs::file_size(file, ec));
  if (ec) return false;
  if (!fs::exists(SparseContents::recordOf(file), ec)) return true;
  auto present = SparseContents::readRecord(file, size);
  if (!present) return false;
  const std::int64_t end = std::min(size, offset + length);
  for (std::int64_t b = offset / SparseContents::kBlockSize;
       b * SparseContents::kBlockSize < end; ++b) {
    if (!(*present)[static_cast<std::size_t>(b)]) return false;
  }
  return true;
}

void ContentCache::grew(const SparseContents& contents, std::int64_t bytes) {
  if (bytes <= 0) return;
  std::lock_guard lock(mutex_);
  auto it = entryOf(contents);
  if (it == entries_.end()) return;
  it->second.bytes += bytes;
  total_ += static_cast<std::uint64_t>(bytes);
  touch(it->second, it->first);
  evictOverLimit();
}

void ContentCache::drop(const SparseContents& contents) {
  std::lock_guard lock(mutex_);
  auto it = entryOf(contents);
  if (it == entries_.end()) return;
  if (it->second.pins > 0) {
    it->second.dropWhenUnpinned = true;
  } else {
    erase(it, "dropped the old version");
  }
}

fs::path ContentCache::toWork(const std::shared_ptr<SparseContents>& contents) {
  return toWork(contents->file());
}

fs::path ContentCache::toWork(const fs::path& file) {
  auto path = workFolder() / platform::newUUID();
  std::lock_guard lock(mutex_);
  if (file.parent_path() == root_) {
    if (auto it = entries_.find(file.filename().string()); it != entries_.end()) {
      if (auto live = it->second.live.lock()) live->retire();
      total_ -= static_cast<std::uint64_t>(it->second.bytes);
      used_.erase(it->second.used);
      entries_.erase(it);
    }
    std::error_code ec;
    fs::remove(SparseContents::recordOf(file), ec);
  }
  fs::rename(file, path);
  return path;
}

fs::path ContentCache::adopt(const fs::path& file, const std::string& identifier,
                             const std::string& contentVersion) {
  auto target = fileFor(identifier, contentVersion);
  const std::string key = target.filename().string();
  std::lock_guard lock(mutex_);
  if (auto it = entries_.find(key); it != entries_.end()) {
    if (auto live = it->second.live.lock()) live->retire();
    // Handles on the old file keep reading it; it no longer counts here.
    it->second.live.reset();
    it->second.pins = 0;
    it->second.dropWhenUnpinned = false;
  }
  std::error_code ec;
  fs::remove(SparseContents::recordOf(target), ec);
  fs::rename(file, target);
  // A working copy taken into the cache has been accepted: its record goes.
  fs::remove(recordOf(file), ec);
  const auto bytes = static_cast<std::int64_t>(fs::file_size(target, ec));
  enter(key, ec ? 0 : bytes);
  evictOverLimit();
  return target;
}

fs::path ContentCache::move(const fs::path& file, const std::string& identifier,
                            const std::string& contentVersion) {
  auto target = fileFor(identifier, contentVersion);
  const std::string key = target.filename().string();
  std::lock_guard lock(mutex_);
  auto from = entries_.find(file.filename().string());
  if (from == entries_.end() || file.parent_path() != root_) return file;
  if (auto it = entries_.find(key); it != entries_.end() && it != from) erase(it, nullptr);
  std::error_code ec;
  fs::rename(file, target, ec);
  if (ec) return file;
  if (fs::exists(SparseContents::recordOf(file), ec)) {
    fs::rename(SparseContents::recordOf(file), SparseContents::recordOf(target), ec);
  }
  Entry moved = from->second;
  used_.erase(moved.used);
  entries_.erase(from);
  Entry& entry = enter(key, moved.bytes);
  total_ -= static_cast<std::uint64_t>(moved.bytes);  // enter counted them again
  entry.live = moved.live;
  entry.pins = moved.pins;
  entry.dropWhenUnpinned = moved.dropWhenUnpinned;
  if (auto live = entry.live.lock()) live->renamed(target);
  return target;
}

void ContentCache::remove(const fs::path& file) {
  if (file.empty()) return;
  {
    std::lock_guard lock(mutex_);
    if (file.parent_path() == root_) {
      auto it = entries_.find(file.filename().string());
      if (it != entries_.end()) {
        if (it->second.pins > 0) {
          // Read through an open handle: its bytes go with the last one.
          it->second.dropWhenUnpinned = true;
        } else {
          erase(it, nullptr);
        }
        return;
      }
    }
  }
  discard(file);
}

std::uint64_t ContentCache::size() const {
  std::lock_guard lock(mutex_);
  return total_;
}

std::vector<std::pair<fs::path, WorkRecord>> ContentCache::recorded(const fs::path& root) {
  std::vector<std::pair<fs::path, WorkRecord>> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(root / "work", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const auto& copy = it->path();
    if (isRecordName(copy.filename().string())) continue;
    if (auto record = parseRecord(recordOf(copy))) out.emplace_back(copy, std::move(*record));
  }
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return a.second.path < b.second.path; });
  return out;
}

std::vector<std::pair<fs::path, WorkRecord>> ContentCache::leftovers(std::size_t& unrecorded) const {
  std::vector<std::pair<fs::path, WorkRecord>> out;
  std::vector<fs::path> copies;
  std::error_code ec;
  for (auto it = fs::directory_iterator(workFolder(), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const auto& path = it->path();
    if (isRecordName(path.filename().string())) continue;
    copies.push_back(path);
  }
  std::sort(copies.begin(), copies.end());
  unrecorded = 0;
  for (const auto& copy : copies) {
    auto record = parseRecord(recordOf(copy));
    if (record) {
      out.emplace_back(copy, std::move(*record));
    } else {
      ++unrecorded;
    }
  }
  // Records whose copy is gone were left between the two removals.
  for (auto it = fs::directory_iterator(workFolder(), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!isRecordName(name)) continue;
    std::error_code missing;
    if (!fs::exists(workFolder() / name.substr(0, name.size() - kRecordSuffix.size()), missing)) {
      fs::remove(it->path(), missing);
    }
  }
  return out;
}

}  // namespace corvane::mount
