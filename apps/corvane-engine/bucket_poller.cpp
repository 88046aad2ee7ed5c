#include "bucket_poller.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <memory>
#include <vector>

#include "bucket_storage.h"
#include "host_log.h"

namespace corvane::syncengine {
namespace {

// What the change log keeps of the comparison of the whole prefix.
constexpr const char* kScanAfter = "bucket_scan.after";      // the order key reached
constexpr const char* kScanStarted = "bucket_scan.started";  // seconds since 1970
constexpr const char* kScanPages = "bucket_scan.pages";      // pages of the last whole one

std::optional<std::int64_t> number(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

BucketPoller::BucketPoller(const BucketStorage& storage, BucketWatch watch, Callback onChanges)
    : storage_(storage),
      watch_(watch),
      onChanges_(std::move(onChanges)),
      name_(storage.identity()) {}

BucketPoller::~BucketPoller() { stop(); }

void BucketPoller::start() {
  std::lock_guard lock(mutex_);
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void BucketPoller::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BucketPoller::interestIn(const std::string& path) {
  std::lock_guard lock(mutex_);
  watched_.insert_or_assign(path, Clock::now());
}

std::optional<std::string> BucketPoller::kept(const std::string& name) {
  ChangeLog* log = storage_.log();
  return log ? log->note(name) : std::nullopt;
}

void BucketPoller::keep(const std::string& name, const std::optional<std::string>& value) {
  ChangeLog* log = storage_.log();
  if (!log) return;
  try {
    log->setNote(name, value);
  } catch (const std::exception& e) {
    // Only a restart's resumption suffers: it starts that comparison over.
    hostlog::warning(name_ + ": cannot keep how far the comparison went: " + e.what());
  }
}

BucketPoller::Clock::time_point BucketPoller::firstScan() {
  scanAfter_ = kept(kScanAfter);
  lastScanPages_ = number(kept(kScanPages)).value_or(0);
  scanPages_ = 0;
  const auto started = number(kept(kScanStarted));
  if (scanAfter_ || !started) return Clock::now();  // one to go on with, or none yet
  const auto since = std::chrono::seconds(nowSeconds() - *started);
  if (since < std::chrono::seconds(0) || since >= watch_.fullScan) return Clock::now();
  return Clock::now() + (watch_.fullScan - since);
}

bool BucketPoller::attempt(const std::vector<ChangeTarget>& targets) {
  try {
    onChanges_(targets);
    if (failing_) hostlog::info(name_ + ": listing works again");
    failing_ = false;
    return true;
  } catch (const std::exception& e) {
    if (!failing_) {
      hostlog::warning(name_ + ": cannot look for changes: " + e.what() + "; trying again");
    }
    failing_ = true;
    return false;
  }
}

void BucketPoller::pollWatched() {
  std::vector<ChangeTarget> targets;
  {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto it = watched_.begin(); it != watched_.end();) {
      if (now - it->second >= watch_.watchFor) {
        it = watched_.erase(it);
        continue;
      }
      targets.push_back(ChangeTarget::children(it->first, [this](ChangeTarget& target) {
        target.below = storage_.listForChanges(target.path);
      }));
      ++it;
    }
  }
  if (!targets.empty()) attempt(targets);
}

BucketPoller::Clock::time_point BucketPoller::scanStep() {
  if (!scanAfter_) {
    scanAfter_ = "";
    scanPages_ = 0;
    keep(kScanStarted, std::to_string(nowSeconds()));
    keep(kScanAfter, "");
  }
  // Until one comparison went all the way, the snapshot only holds what
  // hosts looked at: the rest was there before the log began.
  const bool first = lastScanPages_ == 0;
  auto reached = std::make_shared<std::optional<std::string>>();
  ChangeTarget page =
      ChangeTarget::range(*scanAfter_, [this, reached](ChangeTarget& target) {
        BucketStorage::ScanPage listed = storage_.scanPage(target.after, watch_.pageKeys);
        target.below = std::move(listed.items);
        target.through = listed.through;
        *reached = std::move(listed.through);
      });
  page.quietAdditions = first;
  if (!attempt({page})) return Clock::now() + watch_.poll;
  ++scanPages_;
  if (*reached) {
    scanAfter_ = **reached;
    keep(kScanAfter, scanAfter_);
    // Spread over the interval as the last comparison's pages tell; the
    // first goes as fast as the store answers.
    if (lastScanPages_ == 0) return Clock::now();
    return Clock::now() + watch_.fullScan / (lastScanPages_ + 1);
  }
  lastScanPages_ = scanPages_;
  scanAfter_.reset();
  keep(kScanPages, std::to_string(lastScanPages_));
  keep(kScanAfter, std::nullopt);
  const auto started = number(kept(kScanStarted)).value_or(nowSeconds());
  const auto took = std::chrono::seconds(nowSeconds() - started);
  if (took >= watch_.fullScan) return Clock::now();
  return Clock::now() + (watch_.fullScan - took);
}

void BucketPoller::run() {
  auto nextScan = firstScan();
  auto nextPoll = Clock::now() + watch_.poll;
  std::unique_lock lock(mutex_);
  while (true) {
    if (wake_.wait_until(lock, std::min(nextPoll, nextScan), [this] { return stopping_; })) {
      return;
    }
    lock.unlock();
    if (Clock::now() >= nextPoll) {
      pollWatched();
      // Measured from the end of the last poll: a slow listing never makes
      // the polls pile up.
      nextPoll = Clock::now() + watch_.poll;
    }
    if (Clock::now() >= nextScan) nextScan = scanStep();
    lock.lock();
  }
}

}  // namespace corvane::syncengine
