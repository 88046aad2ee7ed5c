// Where a connection gets the credentials it signs each request with, and
// how they are renewed while the engine runs.
//
// A source wraps one way of fetching credentials (fixed keys, a helper
// process, STS, the instance metadata service). Credentials that expire are
// fetched anew ahead of time: 5 minutes before they expire, or at half their
// lifetime when that is under 10 minutes. One thread fetches; the others go
// on with the credentials in hand while those are still valid, and wait only
// when they are not. A store that refuses a token as expired or invalid
// makes the connection call invalidate() with what it used, and the next
// current() fetches anew (once, however many requests saw the refusal).
//
// Shared by every connection of a scope (std::shared_ptr); any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "s3/s3_config.h"

namespace corvane::s3 {

using WallClock = std::chrono::system_clock;

struct TimedCredentials {
  S3Credentials credentials;
  std::optional<WallClock::time_point> expiration;  // none: they do not expire
};

// No credentials could be had from a source: one line for the user (never
// with a secret in it).
class CredentialError : public S3ConfigError {
 public:
  using S3ConfigError::S3ConfigError;
};

class CredentialSource {
 public:
  using Fetch = std::function<TimedCredentials()>;
  using Now = std::function<WallClock::time_point()>;

  // `description` says where the credentials come from ("the environment",
  // "credential_process of the profile work"); `fetch` throws
  // CredentialError when it cannot deliver.
  CredentialSource(std::string description, Fetch fetch, Now now = WallClock::now);

  // Keys that never change.
  static std::shared_ptr<CredentialSource> fixed(S3Credentials credentials,
                                                 std::string description);
  // No credentials: requests go unsigned.
  static std::shared_ptr<CredentialSource> anonymous();

  bool isAnonymous() const { return anonymous_; }
  const std::string& description() const { return description_; }

  // The credentials to sign the next request with; fetches them when there
  // are none yet or they are due. Throws CredentialError when a fetch fails
  // and no valid credentials are in hand.
  S3Credentials current();

  // The store refused `used` as expired or invalid: unless they were
  // replaced already, they are no longer handed out.
  void invalidate(const S3Credentials& used);

  // When the credentials in hand will be fetched anew; nothing when they do
  // not expire (or none were fetched yet).
  std::optional<WallClock::time_point> renewal() const;

 private:
  CredentialSource(std::string description, bool anonymous);

  const std::string description_;
  const Fetch fetch_;
  const Now now_;
  const bool anonymous_ = false;

  mutable std::mutex mutex_;
  std::condition_variable fetched_;
  bool have_ = false;           // guarded by mutex_, as are the rest
  bool refused_ = false;        // the store refused the credentials in hand
  bool fetching_ = false;       // a thread is fetching
  std::uint64_t fetches_ = 0;   // fetches finished, failed ones too
  std::exception_ptr failure_;  // of the last fetch, when it failed
  TimedCredentials held_;
  std::optional<WallClock::time_point> renewal_;
  WallClock::time_point retryAfter_{};  // a failed renewal is not repeated before
};

// When credentials fetched at `now` and valid until `expiration` are due to
// be fetched anew: 5 minutes before they expire, or at half their lifetime
// when that is shorter than 10 minutes.
WallClock::time_point renewalTime(WallClock::time_point now, WallClock::time_point expiration);

}  // namespace corvane::s3
