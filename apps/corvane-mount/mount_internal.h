// Small helpers shared by the files that make up MountFileSystem.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

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

// A short random tag for names the mount uses for a moment.
inline std::string shortTag() { return platform::newUUID().substr(0, 8); }

}  // namespace corvane::mount::internal
