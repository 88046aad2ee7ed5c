// The platform's folders on Linux.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane::platform {

// The extension's Application Support folder: $XDG_DATA_HOME/CorvaneSync, else
// $HOME/.local/share/CorvaneSync; none when neither variable is set (or empty).
// Not created.
std::optional<std::filesystem::path> applicationSupportFolder();

// Makes `folder` a folder of the user's own data: created with mode 0700 when
// missing (and so are missing folders above it), and an existing one of this
// user narrowed to 0700. Unlike ensurePrivateFolder, which guards folders in
// shared places, a symbolic link in its place is the user's arrangement and
// is left as it is, and so is a folder of another user. Throws
// std::filesystem::filesystem_error when it cannot be made or is not a folder.
void makePrivateDataFolder(const std::filesystem::path& folder);

// The Application Support folder made ready for writing with
// makePrivateDataFolder(): the names of its files tell of the user's scopes.
// None when there is no such folder (see above).
std::optional<std::filesystem::path> makeApplicationSupportFolder();

// The process's temporary folder: $TMPDIR when set and not empty; else
// /tmp/corvane-<uid>, created with mode 0700 when missing and refused (throws
// std::filesystem::filesystem_error) when it is a symbolic link, not a folder,
// or not owned by this user. Read anew on every call.
std::filesystem::path temporaryFolder();

// Makes `folder` a folder private to this user, the check temporaryFolder()
// applies to /tmp/corvane-<uid>: created with mode 0700 when missing; refused
// (filesystem_error) when it is a symbolic link, not a folder, or not owned by
// this user; an existing one that others may enter is narrowed to mode 0700.
void ensurePrivateFolder(const std::filesystem::path& folder);

// The host's per-domain temporary folder used by our apps:
// $XDG_CACHE_HOME/CorvaneSync/<domain>/tmp, else $HOME/.cache/CorvaneSync/<domain>/tmp.
// Created on demand; throws filesystem_error when it cannot be, or when
// neither variable is set.
std::filesystem::path hostTemporaryFolder(const std::string& domain);

// $XDG_CACHE_HOME/CorvaneSync, else $HOME/.cache/CorvaneSync; none without either.
std::optional<std::filesystem::path> cacheFolder();

}  // namespace corvane::platform
