#include "open_files.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

namespace corvane::syncengine {

std::size_t raiseOpenFilesLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024;
  if (files.rlim_cur < files.rlim_max) {
    rlimit raised = files;
    raised.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
  }
  if (files.rlim_cur == RLIM_INFINITY) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(files.rlim_cur);
}

std::size_t connectionsFor(std::size_t openFiles) {
  constexpr std::size_t kReserve = 64;
  return std::max<std::size_t>(16, openFiles > kReserve ? (openFiles - kReserve) / 2 : 0);
}

}  // namespace corvane::syncengine
