#include "corvane-mount/content_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
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
}

}  // namespace corvane::mount
