#include "platform/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "platform/folders.h"
#include "platform/iso8601.h"
#include "platform/queue.h"
#include "platform/unique_fd.h"

namespace corvane::Log {
namespace {

struct State {
  std::optional<std::filesystem::path> file;  // none when no temporary folder could be had
  platform::SerialQueue queue;
};

// Made once, on first use; never destroyed, so that lines queued by threads
// still running at exit find the queue alive.
State& state() {
  static State* s = [] {
    auto* st = new State;
    try {
      st->file = platform::temporaryFolder() / "corvane-sync.log";
    } catch (...) {
      st->file.reset();
    }
    return st;
  }();
  return *s;
}

void append(const std::optional<std::filesystem::path>& file, const std::string& message) {
  if (!file) return;
  auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  std::string line = platform::formatInternetDateTime(now);
  line += ' ';
  line += message;
  line += '\n';
  // O_APPEND makes each line one write at the end of the file, so lines of
  // several processes sharing the file never overwrite each other; O_NOFOLLOW
  // keeps a planted link from redirecting the log.
  platform::UniqueFd fd(
      ::open(file->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return;
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void write(std::string message) {
  State& s = state();
  s.queue.async([file = s.file, message = std::move(message)] { append(file, message); });
}

std::filesystem::path file() {
  const auto& f = state().file;
  return f ? *f : std::filesystem::path();
}

void flush() {
  state().queue.sync([] {});
}

}  // namespace corvane::Log
