// A rename that never replaces what is at its target: the engine's one way of
// putting an item at a name, so that a file another program made meanwhile
// is never lost.
#pragma once

#include <filesystem>

namespace corvane::syncengine {

// Renames `from` to `to` unless something exists at `to`; false then. Throws
// std::system_error on other failures (EXDEV included).
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace corvane::syncengine
