#include "s3/parallel_parts.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "s3/s3_error.h"

namespace corvane::s3 {

void runParts(const std::string& operation, std::size_t count, int concurrency,
              TransferMonitor& monitor, const std::function<void(std::size_t index)>& work) {
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::exception_ptr failure;  // guarded by mutex: the first one

  auto worker = [&] {
    for (;;) {
      if (monitor.canceled()) return;
      const std::size_t index = next.fetch_add(1);
      if (index >= count) return;
      try {
        work(index);
      } catch (...) {
        {
          std::lock_guard lock(mutex);
          if (!failure) failure = std::current_exception();
        }
        monitor.cancel();
        return;
      }
    }
  };

  const std::size_t threads =
      std::min<std::size_t>(count, static_cast<std::size_t>(std::max(concurrency, 1)));
  std::vector<std::thread> helpers;
  helpers.reserve(threads > 0 ? threads - 1 : 0);
  try {
    for (std::size_t i = 1; i < threads; ++i) helpers.emplace_back(worker);
  } catch (...) {
    // No thread to be had: the parts run on the threads already started.
  }
  worker();
  for (std::thread& t : helpers) t.join();
  if (failure) std::rethrow_exception(failure);
  if (monitor.canceled()) throw S3Error::canceled(operation);
}

}  // namespace corvane::s3
