// The process's limit of open files. Each connection the engine serves takes
// a descriptor, and the usual soft limit of 1,024 would end a burst of
// clients long before the engine's own limits do.
#pragma once

#include <cstddef>

namespace corvane::syncengine {

// Raises the soft limit to the hard limit; returns the limit now in force.
std::size_t raiseOpenFilesLimit();

// How many connections fit in `openFiles` descriptors: half, after a reserve
// for the scopes' own files, so that a handler serving a connection can still
// open a file or two.
std::size_t connectionsFor(std::size_t openFiles);

}  // namespace corvane::syncengine
