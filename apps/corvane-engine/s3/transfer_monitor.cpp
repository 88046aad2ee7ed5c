#include "s3/transfer_monitor.h"

#include <algorithm>

namespace corvane::s3 {

void TransferMonitor::setTotal(std::uint64_t total) {
  std::lock_guard lock(mutex_);
  total_ = total;
}

void TransferMonitor::add(std::uint64_t bytes) {
  if (!callback_) return;
  std::lock_guard lock(mutex_);
  // A part sent again after a failure counts twice; the caller is shown at
  // most the total.
  done_ += bytes;
  if (total_ == 0) return;
  done_ = std::min(done_, total_);
  if (done_ - lastReported_ >= kReportEvery) report(done_);
}

void TransferMonitor::finish() {
  if (!callback_ || canceled()) return;
  std::lock_guard lock(mutex_);
  done_ = total_;
  report(total_);
}

void TransferMonitor::report(std::uint64_t done) {
  lastReported_ = done;
  if (!callback_(done, total_)) canceled_.store(true);
}

}  // namespace corvane::s3
