// The progress of one transfer that may run as several exchanges on several
// threads (the parts of a large upload or download): counts the bytes moved,
// tells the caller now and then, and carries the caller's wish to stop.
//
// Owned by the operation that runs the transfer; add(), cancel() and
// canceled() may be called from any thread. The callback is called with the
// monitor's mutex held (so never twice at once), about every MiB and once
// at the end; it returns false to cancel the transfer. Nothing is reported
// while the total is not known yet (0).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace corvane::s3 {

// Bytes moved so far and the transfer's total; return false to stop it.
using ProgressCallback = std::function<bool(std::uint64_t done, std::uint64_t total)>;

class TransferMonitor {
 public:
  TransferMonitor(ProgressCallback callback, std::uint64_t total)
      : callback_(std::move(callback)), total_(total) {}

  // The total, once it is known (a download learns it from the first answer).
  void setTotal(std::uint64_t total);
  void add(std::uint64_t bytes);
  // Reports the end (done == total) once, unless canceled.
  void finish();
  void cancel() { canceled_.store(true); }
  bool canceled() const { return canceled_.load(); }

 private:
  static constexpr std::uint64_t kReportEvery = 1 << 20;

  void report(std::uint64_t done);  // with mutex_ held

  const ProgressCallback callback_;
  std::atomic<bool> canceled_{false};
  std::mutex mutex_;
  std::uint64_t total_;             // guarded by mutex_
  std::uint64_t done_ = 0;          // guarded by mutex_
  std::uint64_t lastReported_ = 0;  // guarded by mutex_
};

}  // namespace corvane::s3
