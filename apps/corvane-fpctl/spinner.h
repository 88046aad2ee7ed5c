// Spinner: shows a person at a terminal that the tool is waiting on the
// engine. Once a wait has lasted a second, a turning bar, a label and the
// elapsed time are drawn on standard error and redrawn ten times a second (a
// label may be made anew for each drawing, to show a transfer's progress);
// end() erases them. Disabled (no thread, no output) unless standard error is
// a terminal and the output is not JSON. Owned by main; begin() and end() are
// called from one thread, drawing happens on the spinner's own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace corvane::fpctl {

class Spinner {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Spinner(bool enabled);
  ~Spinner();
  Spinner(const Spinner&) = delete;
  Spinner& operator=(const Spinner&) = delete;

  // Starts (or continues) a wait that began at `since`.
  void begin(std::string label, Clock::time_point since = Clock::now());
  // The same with a label made for each drawing from the time since `since`;
  // called on the spinner's thread.
  using Label = std::function<std::string(Clock::duration elapsed)>;
  void begin(Label label, Clock::time_point since = Clock::now());
  // Ends the wait and erases what was drawn.
  void end();
  bool enabled() const { return enabled_; }

 private:
  void loop();

  const bool enabled_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool active_ = false;
  bool drawn_ = false;
  bool stopping_ = false;
  Label label_;
  Clock::time_point since_;
  std::thread thread_;
};

// True when standard error is a terminal.
bool standardErrorIsTerminal();

}  // namespace corvane::fpctl
