#include "corvane-mount/mount_point.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace corvane::mount {
namespace {

namespace fs = std::filesystem;

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// The mount table writes space, tab, newline and backslash as \ooo.
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
        isOctal(field[i + 2]) && isOctal(field[i + 3])) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> mountedOn(const fs::path& folder) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  std::optional<std::string> found;
  while (std::getline(table, line)) {
    // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (unescapeMountField(point) != folder.string()) continue;
    std::string word, type, source;
    while (fields >> word && word != "-") {
    }
    fields >> type >> source;
    // The last one listed is the one on top.
    found = unescapeMountField(source) + " (" + type + ")";
  }
  return found;
}

std::optional<std::string> mountPointProblem(const fs::path& folder, bool allowNonEmpty) {
  const std::string name = folder.string();
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOTCONN) {
      return name + " is still mounted by a process that has ended; clear it with `fusermount3 -u " +
             name + "` and mount again";
    }
    if (err == ENOENT) return name + " does not exist; create it first (mkdir -p " + name + ")";
    return name + ": " + std::strerror(err);
  }
  if (!S_ISDIR(st.st_mode)) return name + " is not a folder; mount on a folder";
  // The mount table holds the folder's real path: a link on the way to it
  // would hide a mount.
  std::error_code real;
  const fs::path resolved = fs::canonical(folder, real);
  if (auto what = mountedOn(real ? folder : resolved)) {
    return name + " is already a mount point of " + *what + "; unmount it first (fusermount3 -u " +
           name + ") or choose another folder";
  }
  if (!allowNonEmpty) {
    std::error_code ec;
    std::size_t entries = 0;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      ++entries;
    }
    if (ec) return name + ": " + ec.message();
    if (entries > 0) {
      return name + " is not empty (" + std::to_string(entries) +
             (entries == 1 ? " entry, which" : " entries, which") +
             " the mount would hide until it ends); choose an empty folder, or pass "
             "--allow-non-empty";
    }
  }
  return std::nullopt;
}

}  // namespace corvane::mount
