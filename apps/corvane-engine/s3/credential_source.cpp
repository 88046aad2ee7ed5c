#include "s3/credential_source.h"

#include <utility>

#include "host_log.h"

namespace corvane::s3 {
namespace {

using namespace std::chrono_literals;

// A renewal that failed while the credentials in hand still work is tried
// again after this long, not by every request in between.
constexpr auto kRetryRenewal = 10s;

bool same(const S3Credentials& a, const S3Credentials& b) {
  return a.accessKeyId == b.accessKeyId && a.secretAccessKey == b.secretAccessKey &&
         a.sessionToken == b.sessionToken;
}

}  // namespace

WallClock::time_point renewalTime(WallClock::time_point now, WallClock::time_point expiration) {
  const auto lifetime = expiration - now;
  if (lifetime <= 0s) return now;
  if (lifetime < 10min) return now + lifetime / 2;
  return expiration - 5min;
}

CredentialSource::CredentialSource(std::string description, Fetch fetch, Now now)
    : description_(std::move(description)), fetch_(std::move(fetch)), now_(std::move(now)) {}

CredentialSource::CredentialSource(std::string description, bool anonymous)
    : description_(std::move(description)), now_(WallClock::now), anonymous_(anonymous) {}

std::shared_ptr<CredentialSource> CredentialSource::fixed(S3Credentials credentials,
                                                          std::string description) {
  return std::make_shared<CredentialSource>(std::move(description),
                                            [credentials = std::move(credentials)] {
                                              return TimedCredentials{credentials, {}};
                                            });
}

std::shared_ptr<CredentialSource> CredentialSource::anonymous() {
  return std::shared_ptr<CredentialSource>(
      new CredentialSource("no credentials (anonymous)", true));
}

S3Credentials CredentialSource::current() {
  if (anonymous_) return {};
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto now = now_();
    const bool valid = have_ && !refused_ && (!held_.expiration || now < *held_.expiration);
    if (valid && (!renewal_ || now < *renewal_)) return held_.credentials;
    if (fetching_) {
      if (valid) return held_.credentials;
      // Wait for the fetch under way; should it fail, its failure is ours.
      const std::uint64_t before = fetches_;
      fetched_.wait(lock, [&] { return fetches_ != before; });
      if (failure_) std::rethrow_exception(failure_);
      continue;
    }
    if (valid && now < retryAfter_) return held_.credentials;

    fetching_ = true;
    lock.unlock();
    TimedCredentials fresh;
    std::exception_ptr failure;
    try {
      fresh = fetch_();
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    fetching_ = false;
    ++fetches_;
    failure_ = failure;
    fetched_.notify_all();
    if (failure) {
      if (!valid) std::rethrow_exception(failure);
      retryAfter_ = now + kRetryRenewal;
      try {
        std::rethrow_exception(failure);
      } catch (const std::exception& e) {
        hostlog::warning("renewing the S3 credentials from " + description_ + " failed (" +
                         e.what() + "); the current ones are used until they expire");
      }
      return held_.credentials;
    }
    held_ = std::move(fresh);
    have_ = true;
    refused_ = false;
    renewal_.reset();
    if (held_.expiration) renewal_ = renewalTime(now_(), *held_.expiration);
    return held_.credentials;
  }
}

void CredentialSource::invalidate(const S3Credentials& used) {
  if (anonymous_) return;
  std::lock_guard lock(mutex_);
  if (have_ && same(used, held_.credentials)) refused_ = true;
}

std::optional<WallClock::time_point> CredentialSource::renewal() const {
  std::lock_guard lock(mutex_);
  return renewal_;
}

}  // namespace corvane::s3
