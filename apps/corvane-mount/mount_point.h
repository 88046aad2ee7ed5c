// The checks a folder passes before the mount goes on it: it must be a
// folder that nothing is mounted on yet (a mount left by a process that has
// ended included), and empty unless the user consents to hiding its files
// for as long as the mount lasts. The kernel would accept all of these, so
// without the checks a second mount stacks on the first and files vanish
// from sight. Stateless; callable from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane::mount {

// What is mounted on `folder` ("SOURCE (TYPE)"), from the process's mount
// table; nothing when `folder` is not a mount point. `folder` is compared as
// given: pass an absolute path without "." or ".." parts.
std::optional<std::string> mountedOn(const std::filesystem::path& folder);

// Why the mount cannot go on `folder`, as a message that starts with the
// folder's name and says what to do; nothing when it can.
std::optional<std::string> mountPointProblem(const std::filesystem::path& folder,
                                             bool allowNonEmpty);

}  // namespace corvane::mount
