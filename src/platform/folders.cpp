#include "platform/folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "platform/unique_fd.h"

namespace corvane::platform {
namespace fs = std::filesystem;
namespace {

constexpr const char* kAppFolderName = "CorvaneSync";

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// An XDG base folder: the variable when it holds an absolute path (relative
// ones are ignored, as the XDG rules ask), else `fallback` below $HOME.
std::optional<fs::path> xdgFolder(const char* variable, const char* fallback) {
  if (auto value = environment(variable); value && fs::path(*value).is_absolute()) {
    return fs::path(*value);
  }
  if (auto home = environment("HOME")) return fs::path(*home) / fallback;
  return std::nullopt;
}

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

}  // namespace

std::optional<fs::path> applicationSupportFolder() {
  auto base = xdgFolder("XDG_DATA_HOME", ".local/share");
  if (!base) return std::nullopt;
  return *base / kAppFolderName;
}

std::optional<fs::path> cacheFolder() {
  auto base = xdgFolder("XDG_CACHE_HOME", ".cache");
  if (!base) return std::nullopt;
  return *base / kAppFolderName;
}

void ensurePrivateFolder(const fs::path& folder) {
  const bool created = ::mkdir(folder.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) {
    fail("cannot create the private temporary folder", folder, errno);
  }
  struct stat link {};
  if (::lstat(folder.c_str(), &link) != 0) {
    fail("cannot inspect the private temporary folder", folder, errno);
  }
  if (S_ISLNK(link.st_mode)) {
    fail("refusing the private temporary folder: it is a symbolic link", folder, ELOOP);
  }
  if (!S_ISDIR(link.st_mode)) {
    fail("refusing the private temporary folder: it is not a folder", folder, ENOTDIR);
  }
  if (link.st_uid != ::geteuid()) {
    fail("refusing the private temporary folder: it belongs to another user", folder, EPERM);
  }
  // Checked again through a descriptor that cannot follow a link, so a swap
  // after lstat() cannot make us change the mode of someone else's folder.
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) fail("cannot open the private temporary folder", folder, errno);
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) {
    fail("cannot inspect the private temporary folder", folder, errno);
  }
  if (opened.st_dev != link.st_dev || opened.st_ino != link.st_ino) {
    fail("refusing the private temporary folder: it changed while being checked", folder, EPERM);
  }
  // Also repairs a folder made under a umask that removed the owner's bits.
  if ((opened.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) {
    fail("cannot make the private temporary folder private", folder, errno);
  }
}

void makePrivateDataFolder(const fs::path& folder) {
  // Missing folders above it are made private too, as the XDG rules ask for
  // the base folders.
  std::vector<fs::path> missing;
  for (fs::path p = folder.parent_path(); !p.empty() && p != p.root_path(); p = p.parent_path()) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0) break;
    missing.push_back(p);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
      fail("cannot create the folder", *it, errno);
    }
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    fail("cannot create the folder", folder, errno);
  }
  struct stat link {};
  if (::lstat(folder.c_str(), &link) != 0) fail("cannot inspect the folder", folder, errno);
  if (S_ISLNK(link.st_mode)) return;
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) fail("cannot open the folder", folder, errno);
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) fail("cannot inspect the folder", folder, errno);
  // Only a folder of this user is this user's to narrow; the umask may also
  // have taken the owner's own bits from a new one.
  if (opened.st_uid == ::geteuid() && (opened.st_mode & 07777) != 0700 &&
      ::fchmod(fd.get(), 0700) != 0) {
    fail("cannot make the folder private", folder, errno);
  }
}

std::optional<fs::path> makeApplicationSupportFolder() {
  auto folder = applicationSupportFolder();
  if (folder) makePrivateDataFolder(*folder);
  return folder;
}

fs::path temporaryFolder() {
  if (auto tmpdir = environment("TMPDIR")) return fs::path(*tmpdir);
  const fs::path folder = fs::path("/tmp") / ("corvane-" + std::to_string(::geteuid()));
  ensurePrivateFolder(folder);
  return folder;
}

fs::path hostTemporaryFolder(const std::string& domain) {
  if (domain.empty() || domain == "." || domain == ".." ||
      domain.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    fail("not a usable domain name for a temporary folder", fs::path(domain), EINVAL);
  }
  const auto base = cacheFolder();
  if (!base) {
    fail("no cache folder: neither XDG_CACHE_HOME nor HOME is set", fs::path(), ENOENT);
  }
  fs::path folder = *base / domain / "tmp";
  fs::create_directories(folder);
  return folder;
}

}  // namespace corvane::platform
