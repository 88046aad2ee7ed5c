// The request primitive of the S3 client: one signed HTTP exchange with the
// store through libcurl (its built-in AWS Signature V4), retried with backoff
// when the request may be sent again and the failure is passing (no
// connection, 5xx, SlowDown). Each try is signed with the credentials the
// config's source holds at that moment; a token the store refuses as expired
// makes the source renew it and the request go once more, writes included
// (the store acted on nothing).
//
// Immutable after construction apart from a pool of idle libcurl handles, so
// one connection may be used by any number of threads at once. Each handle
// keeps its own open connections: libcurl cannot share one connection cache
// between threads that transfer at the same time, and a handle taken from the
// pool usually finds a connection to the store still open.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "s3/s3_config.h"
#include "s3/s3_encoding.h"
#include "s3/s3_error.h"
#include "s3/transfer_monitor.h"

namespace corvane::s3 {

struct S3ConnectionOptions {
  // Give up on a connection that is not made within this time.
  std::chrono::seconds connectTimeout{10};
  // Give up on an exchange that moved no byte for this long. There is no
  // overall deadline: a large transfer that keeps moving never times out.
  std::chrono::seconds idleTimeout{120};
  // Tries per request that may be sent again (the first one included).
  int maxAttempts = 4;
  // The wait before the second try; doubled for each further one up to
  // maxBackoff, and drawn at random from its upper half so that parallel
  // transfers do not come back at the same instant.
  std::chrono::milliseconds firstBackoff{100};
  std::chrono::milliseconds maxBackoff{3000};
};

// One request. The key is sent encoded (S3's canonical form), the query
// sorted: the signature covers both exactly as they are written.
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

  // Whether the request may be sent again: reads, and writes that have the
  // same effect when repeated (a part of a multipart upload). Others are sent
  // once, and never on a reused connection that turns out to be closed.
  bool idempotent = false;

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

  // The request's URL without query, e.g. "http://127.0.0.1:8000/bucket/a%20b".
  std::string url(const std::string& bucket, const std::string& key) const;

 private:
  class HandlePool;
  struct Attempt;

  S3Response sendOnce(const S3Request& request, Attempt& attempt) const;

  const S3Config config_;
  const S3ConnectionOptions options_;
  const std::string sigv4_;  // "aws:amz:REGION:s3"
  std::unique_ptr<HandlePool> pool_;
};

}  // namespace corvane::s3
