// The refusals that the service and every storage word the same way, so
// that a client reads the same sentence whatever backs the scope.
#pragma once

#include <string>

#include "api_error.h"
#include "platform/quoted_text.h"

namespace corvane::syncengine {

inline ApiError noFileAt(const std::string& path) {
  return notFound("No file is at " + platform::quotedInput(path) +
                  "; it may have been moved or deleted.");
}

inline ApiError fetchOfFolder(const std::string& path) {
  return badRequest("The path " + platform::quotedInput(path) +
                    " names a folder; only files can be fetched.");
}

inline ApiError fileInTheWay(const std::string& at, const std::string& folder) {
  return conflict("A file is in the way at " + platform::quotedInput(at) + "; the folder " +
                  platform::quotedInput(folder) + " cannot be created.");
}

}  // namespace corvane::syncengine
