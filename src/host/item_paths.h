// The one rule that ties this system's item identifiers to paths: an item's
// identifier is its path in the domain ("docs/a.txt"), and the domain's root
// folder is the root container. The extension names its items by it, and a
// host that keeps its own tree of names (the mount) names an item by it
// before asking for it. Pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>

#include "host/identifiers.h"

namespace corvane::host::paths {

// The root container identifier for the empty path; the path itself otherwise.
ItemIdentifier identifier(std::string_view path);

// The empty path for the root container identifier (or a canonically
// equivalent text); the identifier's text otherwise.
std::string path(std::string_view identifier);

// The text before the last "/"; the empty path when there is none.
std::string parent(std::string_view path);

// The text after the last "/"; the whole path when there is none.
std::string name(std::string_view path);

// "<parent>/<name>", or the name alone in the root.
std::string child(std::string_view parentPath, std::string_view name);

}  // namespace corvane::host::paths
