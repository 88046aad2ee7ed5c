// The request primitive of the S3 client: one HTTP exchange with the store
// through libcurl, signed by us (Signature Version 4, see sigv4.h) with the
// credentials of the moment, and tried again with backoff within a budget
// of time when the failure is passing (no connection, 5xx, SlowDown).
// The request target goes out byte for byte as it was signed: libcurl
// neither normalises the path nor signs anything.
//
// Immutable after construction apart from a pool of idle libcurl handles and
// the clock offset learnt from the store, so one connection may be used by
// any number of threads at once. Each handle keeps its own open
// connections: libcurl cannot share one connection cache between threads
// that transfer at the same time, and a handle taken from the pool usually
// finds a connection to the store still open.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "s3/s3_config.h"
#include "s3/s3_encoding.h"
#include "s3/s3_error.h"
#include "s3/store_health.h"
#include "s3/transfer_monitor.h"

namespace corvane::platform {
class CurlHandlePool;
class CurlHeaders;
}  // namespace corvane::platform

namespace corvane::s3 {

struct S3ConnectionOptions {
  // The deadlines of one try, each a passing failure when it strikes. A
  // connection must be made within connectTimeout; the answer must begin
  // within firstByteTimeout of the request being sent whole (some stores
  // think long before a copy or a completion answers); and no byte may stop
  // moving for idleTimeout. There is no overall deadline: a large transfer
  // that keeps moving never times out.
  std::chrono::seconds connectTimeout{10};
  std::chrono::seconds firstByteTimeout{60};
  std::chrono::seconds idleTimeout{120};
  // When requests wait this long without a byte from the store, it is told
  // as not answering (see store_health.h), and told to `storeState`.
  std::chrono::milliseconds silenceLimit{std::chrono::seconds(5)};
  std::function<void(const StoreState&)> storeState;
  // How long a request may keep trying through passing failures (a busy or
  // failing store, a lost connection): tries and the waits between them end
  // within this time after the first try began. Background work outlasts
  // an outage of minutes; a request may ask for less (S3Request::retryBudget).
  std::chrono::milliseconds retryBudget{std::chrono::minutes(3)};
  // At most this many tries of one request; 0: as many as the budget allows.
  int maxAttempts = 0;
  // The wait before the second try is drawn at random from [0, firstBackoff],
  // the range doubling with each further try up to maxBackoff ("full
  // jitter": transfers that failed together do not come back together). A
  // longer Retry-After of the store's is honoured.
  std::chrono::milliseconds firstBackoff{100};
  std::chrono::milliseconds maxBackoff{std::chrono::seconds(20)};

  // Host names resolved without asking DNS, "HOST:PORT:ADDRESS" as libcurl
  // takes them (tests reach virtual-hosted names on 127.0.0.1 this way).
  std::vector<std::string> resolve;

  // Where each try's credentials come from; without it, the config's
  // credential source, else its keys.
  // Asked at every try, so a source that renews temporary credentials is
  // followed at once. An empty access key id means anonymous: unsigned.
  std::function<S3Credentials()> credentials;
  // Told when the store refused the credentials as expired or invalid
  // (ExpiredToken, InvalidToken, TokenRefreshRequired) before the request is
  // tried once more with what `credentials` gives then.
  std::function<void(const S3Credentials& refused)> credentialsRefused;
};

// One request. The key is sent encoded (S3's canonical form), the query
// sorted: the signature covers both exactly as they are written, and every
// header given here.
struct S3Request {
  std::string method;  // GET, HEAD, PUT, POST, DELETE
  std::string bucket;
  std::string key;  // empty for the bucket itself
  QueryParameters query;
  std::vector<std::string> headers;  // "Name: value"

  // The body: `bodyText`, or `bodyLength` bytes of `bodyFd` from
  // `bodyOffset` (read with pread, so the descriptor's offset is untouched).
  // x-amz-content-sha256 is the hash of a text body and UNSIGNED-PAYLOAD for
  // a file body.
  std::string bodyText;
  int bodyFd = -1;
  std::uint64_t bodyOffset = 0;
  std::uint64_t bodyLength = 0;

  // Where the body of a successful answer goes: into the response, or
  // written into `sinkFd` from `sinkOffset` on (pwrite). Error answers are
  // always read into the response.
  int sinkFd = -1;
  std::uint64_t sinkOffset = 0;

  // Every request is tried again through passing failures, writes too:
  // each has the same effect when repeated with the same bytes, and a
  // condition that an earlier try itself made fail is told by
  // S3Error::afterLostAnswer(). This request's own budget, when it is to
  // give up sooner than the connection's (see S3ConnectionOptions).
  std::optional<std::chrono::milliseconds> retryBudget;

  // Whether a 2xx answer may still carry an <Error> document (a copy, a
  // multipart completion: the store answers 200 at once and fails later);
  // such an answer is the failure it names.
  bool errorsInBody = false;

  // Counts the bytes sent from bodyFd or written to sinkFd; its cancel()
  // stops the exchange. May be null.
  TransferMonitor* monitor = nullptr;

  // Names the request in messages and the log: "GET notes/a.txt".
  std::string operation;
};

struct S3Response {
  long status = 0;
  std::string body;                            // unless it went to sinkFd
  std::map<std::string, std::string> headers;  // of the final answer, names lower-case
  std::uint64_t received = 0;                  // bytes written to sinkFd
  // An earlier try went without answer: the store may have acted on it.
  bool afterLostAnswer = false;

  // The header's value, or empty.
  std::string header(const std::string& lowerCaseName) const;
};

class S3Connection {
 public:
  S3Connection(S3Config config, S3ConnectionOptions options = {});
  ~S3Connection();
  S3Connection(const S3Connection&) = delete;
  S3Connection& operator=(const S3Connection&) = delete;

  // Sends the request and returns a 2xx answer. Throws S3Error for any other
  // answer (the store's Code and Message read from its XML), for no answer
  // and when canceled; std::system_error when the local file fails.
  S3Response send(const S3Request& request) const;

  const S3Config& config() const { return config_; }

  // Ends every request of the connection, now and from now on, as canceled:
  // transfers stop within a second, waits between tries at once. For an
  // engine that stops.
  void stop() const;
  bool stopped() const { return stopped_.load(); }
  // Whether the store answers as far as the connection's requests know.
  StoreState storeState() const { return health_->state(); }

  // The request's URL without query, e.g. "http://127.0.0.1:8000/bucket/a%20b".
  std::string url(const std::string& bucket, const std::string& key) const;

 private:
  struct Attempt;
  // Where a request goes: the Host and the encoded path.
  struct Address {
    std::string authority;
    std::string path;
  };

  Address address(const std::string& bucket, const std::string& key) const;

  S3Response sendOnce(const S3Request& request, Attempt& attempt) const;
  // The credentials of the next try: the options' function, else the
  // config's source, else its keys. A source that cannot deliver is a
  // passing failure (S3Error of kind kConnection).
  S3Credentials credentials(const std::string& operation) const;
  // Tells whoever gave `used` that the store refused them as expired.
  void refused(const S3Credentials& used) const;
  // Waits before the next try; false when stopped or canceled meanwhile.
  bool pause(std::chrono::milliseconds wait, const TransferMonitor* monitor) const;
  // Our clock as the store reads it: corrected once the store said ours is off.
  std::chrono::system_clock::time_point storeNow() const;
  // Learns the store's time from an answer that refused our clock; false
  // when the answer does not tell it.
  bool learnClockOffset(const S3Response& answer) const;
  // The refusal `e` of `request` as the problem its code tells, with advice.
  S3Error classified(const S3Error& e, const S3Request& request,
                     const std::string& storageClass) const;

  const S3Config config_;
  const S3ConnectionOptions options_;
  std::string scheme_;     // "http" or "https"
  std::string authority_;  // "host[:port]" as the endpoint names it
  std::string host_;       // the same without the port
  std::unique_ptr<platform::CurlHeaders> resolve_;  // options_.resolve for libcurl
  std::unique_ptr<platform::CurlHandlePool> pool_;
  // The store's clock minus ours, in milliseconds.
  mutable std::atomic<std::int64_t> clockOffset_{0};
  std::unique_ptr<StoreHealth> health_;
  mutable std::atomic<bool> stopped_{false};
  mutable std::mutex stopMutex_;  // with stopWake_, wakes waits between tries
  mutable std::condition_variable stopWake_;
};

}  // namespace corvane::s3
