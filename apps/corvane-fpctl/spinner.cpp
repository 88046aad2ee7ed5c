#include "spinner.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace corvane::fpctl {
namespace {

constexpr auto kDelay = std::chrono::seconds(1);
constexpr auto kFrameTime = std::chrono::milliseconds(100);
constexpr char kFrames[] = {'|', '/', '-', '\\'};

std::string elapsedText(Spinner::Clock::duration elapsed) {
  const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
  const long long seconds = tenths / 10;
  if (seconds < 60) return std::to_string(seconds) + "." + std::to_string(tenths % 10) + "s";
  std::string text = std::to_string(seconds / 60) + "m";
  if (seconds % 60 < 10) text += "0";
  return text + std::to_string(seconds % 60) + "s";
}

// A longer line would wrap, and the next drawing could not erase it.
std::string fitted(std::string text) {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) return text;
  std::size_t keep = size.ws_col - 1u;
  if (text.size() <= keep) return text;
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  text.resize(keep);
  return text;
}

void writeError(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

Spinner::Spinner(bool enabled) : enabled_(enabled) {
  if (enabled_) thread_ = std::thread([this] { loop(); });
}

Spinner::~Spinner() {
  if (!enabled_) return;
  end();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Spinner::begin(std::string label, Clock::time_point since) {
  begin(Label([label = std::move(label)](Clock::duration) { return label; }), since);
}

void Spinner::begin(Label label, Clock::time_point since) {
  if (!enabled_) return;
  {
    std::lock_guard lock(mutex_);
    active_ = true;
    label_ = std::move(label);
    since_ = since;
  }
  changed_.notify_all();
}

void Spinner::end() {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  active_ = false;
  if (drawn_) {
    writeError("\r\033[K");
    drawn_ = false;
  }
}

void Spinner::loop() {
  std::unique_lock lock(mutex_);
  std::size_t frame = 0;
  while (!stopping_) {
    if (!active_) {
      changed_.wait(lock, [this] { return active_ || stopping_; });
      continue;
    }
    const auto elapsed = Clock::now() - since_;
    if (elapsed >= kDelay) {
      writeError("\r\033[K" + fitted(std::string(1, kFrames[frame++ % sizeof kFrames]) + " " +
                                      label_(elapsed) + " " + elapsedText(elapsed)));
      drawn_ = true;
    }
    changed_.wait_for(lock, kFrameTime);
  }
}

}  // namespace corvane::fpctl
