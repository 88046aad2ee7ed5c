#include "corvane-mount/content_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <system_error>

#include "corvane-mount/record_file.h"
#include "platform/folders.h"
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

ContentCache::ContentCache(fs::path root) : root_(std::move(root)) {
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

std::optional<fs::path> ContentCache::find(const std::string& identifier,
                                           const std::string& contentVersion) const {
  auto path = fileFor(identifier, contentVersion);
  std::error_code ec;
  if (fs::is_regular_file(fs::symlink_status(path, ec))) return path;
  return std::nullopt;
}

fs::path ContentCache::adopt(const fs::path& file, const std::string& identifier,
                             const std::string& contentVersion) const {
  auto target = fileFor(identifier, contentVersion);
  fs::rename(file, target);
  // A working copy taken into the cache has been accepted: its record goes.
  std::error_code ec;
  fs::remove(recordOf(file), ec);
  return target;
}

fs::path ContentCache::newWorkingCopy() const {
  auto path = workFolder() / platform::newUUID();
  int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    throw fs::filesystem_error("cannot create a working copy", path,
                               std::error_code(errno, std::generic_category()));
  }
  ::close(fd);
  return path;
}

fs::path ContentCache::toWork(const fs::path& file) const {
  auto path = workFolder() / platform::newUUID();
  fs::rename(file, path);
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
