// Small helpers shared by the parts of the mount's logic. Stateless.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/item_cache.h"
#include "host/error.h"
#include "host/item.h"
#include "platform/uniform_types.h"
#include "platform/uuid.h"

namespace corvane::mount::internal {

// The type a file of that name gets.
inline std::string typeFor(const std::string& name) {
  return platform::typeForFilenameExtension(platform::pathExtension(name));
}

inline bool isCollision(const host::Error& e) {
  return e.domain == host::kFileProviderErrorDomain && e.code == host::codes::kFilenameCollision;
}

inline bool isExpiredAnchor(const host::Error& e) {
  return e.domain == host::kFileProviderErrorDomain && e.code == host::codes::kSyncAnchorExpired;
}

inline bool isFolderItem(const host::Item& item) {
  auto type = item.contentType();
  return type && *type == platform::kFolderType;
}

[[noreturn]] inline void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// The node of `ino`; ENOENT when the cache has none.
inline NodeInfo nodeOf(const ItemCache& cache, Ino ino) {
  auto n = cache.get(ino);
  if (!n) throw Refusal(ENOENT, "no such inode");
  return *n;
}

// Logs a failure unless it reads as the one logged last for the same thing.
inline void reportOnce(std::string& last, const std::string& op, const std::string& path,
                       std::exception_ptr failure) {
  std::string text = describe(failure);
  if (text == last) return;
  last = text;
  logFailure(op, path, failure);
}

// Whether `path` names something inside the folder `folder` (not the folder
// itself).
inline bool isBelow(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

// A short random tag for names the mount uses for a moment.
inline std::string shortTag() { return platform::newUUID().substr(0, 8); }

}  // namespace corvane::mount::internal
