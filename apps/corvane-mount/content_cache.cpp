#include "corvane-mount/content_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <system_error>

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

std::optional<std::string> unhex(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

// A decimal count or time; nothing when the text is not one.
std::optional<std::int64_t> number(const std::string& text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// One "key value" a line; the values are hex, so names with any bytes fit.
constexpr std::string_view kRecordHeader = "corvane-work 1";
constexpr std::string_view kRecordSuffix = ".rec";

std::optional<WorkRecord> parseRecord(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || line != kRecordHeader) return std::nullopt;
  WorkRecord record;
  bool havePath = false;
  while (std::getline(in, line)) {
    auto space = line.find(' ');
    if (space == std::string::npos) return std::nullopt;
    const std::string key = line.substr(0, space);
    auto value = unhex(std::string_view(line).substr(space + 1));
    if (!value) return std::nullopt;
    if (key == "path") {
      record.path = *value;
      havePath = true;
    } else if (key == "new") {
      record.isNew = *value == "1";
    } else if (key == "content") {
      record.base.contentVersion = *value;
    } else if (key == "metadata") {
      record.base.metadataVersion = *value;
    } else if (key == "since") {
      if (auto seconds = number(*value)) {
        record.since = std::chrono::system_clock::time_point(std::chrono::seconds(*seconds));
      }
    } else if (key == "attempts") {
      record.attempts = static_cast<unsigned>(number(*value).value_or(0));
    } else if (key == "failure") {
      record.lastFailure = *value;
    }
  }
  if (!havePath) return std::nullopt;
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
  std::string text(kRecordHeader);
  text += "\npath " + hex(record.path);
  text += "\nnew " + hex(record.isNew ? "1" : "0");
  text += "\ncontent " + hex(record.base.contentVersion);
  text += "\nmetadata " + hex(record.base.metadataVersion);
  const auto since =
      std::chrono::duration_cast<std::chrono::seconds>(record.since.time_since_epoch()).count();
  text += "\nsince " + hex(std::to_string(since));
  text += "\nattempts " + hex(std::to_string(record.attempts));
  text += "\nfailure " + hex(record.lastFailure);
  text += "\n";
  // tmp/ is emptied at start, so a half-written record never counts.
  const auto temp = temporaryFolder() / (work.filename().string() + std::string(kRecordSuffix) + "." +
                                         platform::newUUID().substr(0, 8));
  int fd = ::open(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    throw fs::filesystem_error("cannot write a working copy's record", temp,
                               std::error_code(errno, std::generic_category()));
  }
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      throw fs::filesystem_error("cannot write a working copy's record", temp,
                                 std::error_code(err, std::generic_category()));
    }
    done += static_cast<std::size_t>(put);
  }
  // No fsync: the working copy it describes is not synced either, and a
  // record that a power loss leaves unreadable only keeps the copy unsent.
  ::close(fd);
  std::error_code ec;
  fs::rename(temp, recordOf(work), ec);
  if (ec) {
    ::unlink(temp.c_str());
    throw fs::filesystem_error("cannot write a working copy's record", recordOf(work), ec);
  }
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
