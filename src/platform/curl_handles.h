// The libcurl plumbing both of our HTTP clients stand on (the extension's
// engine client and the engine's S3 client): libcurl set up once per
// process, pools of idle easy handles that keep their connections, header
// lists, the guard against libcurl's silent second send of a request, and
// the rule that a connection whose request body may be half read by the
// other side never serves another request.
//
// A pool may be used by any number of threads at once; a handle is used by
// one exchange at a time. Failures to allocate are std::bad_alloc.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform {

// Sets libcurl up for the process (once, from any thread). Throws
// std::runtime_error when it cannot be.
void initialiseCurl();

// Idle easy handles. Each handle keeps its own cache of open connections,
// so a handle taken from here usually finds a connection still open from an
// earlier request. libcurl's shared connection cache is avoided on purpose:
// libcurl does not support sharing connections between threads that
// transfer at the same time.
class CurlHandlePool {
 public:
  // Keeps at most `maxIdle` idle handles; more are closed when given back.
  explicit CurlHandlePool(std::size_t maxIdle);
  ~CurlHandlePool();
  CurlHandlePool(const CurlHandlePool&) = delete;
  CurlHandlePool& operator=(const CurlHandlePool&) = delete;

  // A handle with every option at its default. The most recently used
  // handle comes first: its connection is the likeliest to be still open.
  CURL* take();
  // Back for the next request: its options are dropped, its connections stay.
  void give(CURL* handle);
  // Closed with its connections, which must not be used again.
  void discard(CURL* handle);

 private:
  const std::size_t maxIdle_;
  std::mutex mutex_;
  std::vector<CURL*> idle_;  // guarded by mutex_
};

// One exchange's handle: back to its pool when the lease ends, or closed
// when the exchange said its connection must not be reused.
class CurlLease {
 public:
  explicit CurlLease(CurlHandlePool& pool) : pool_(pool), handle_(pool.take()) {}
  ~CurlLease();
  CurlLease(const CurlLease&) = delete;
  CurlLease& operator=(const CurlLease&) = delete;

  CURL* get() const { return handle_; }
  void forbidReuse() { reusable_ = false; }

 private:
  CurlHandlePool& pool_;
  CURL* handle_;
  bool reusable_ = true;
};

// A curl_slist of header lines, freed with the object.
class CurlHeaders {
 public:
  CurlHeaders() = default;
  ~CurlHeaders();
  CurlHeaders(const CurlHeaders&) = delete;
  CurlHeaders& operator=(const CurlHeaders&) = delete;

  void add(const std::string& line);
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// libcurl sends a request again, silently, when a connection it reused
// closes before any answer. The other side may already have acted on the
// first copy, so the second send is stopped and the exchange fails like any
// lost connection; whether to send again is the caller's decision. Install
// on a handle before each exchange; the guard must outlive it.
class ResendGuard {
 public:
  void install(CURL* handle);
  // Whether libcurl tried to send the request a second time.
  bool stoppedResend() const { return sends_ > 1; }

 private:
  int sends_ = 0;
};

// Whether the connection of a finished exchange may serve another request.
// Not when the answer came before the body was handed over whole, nor after
// a refusal of a request with a body: the other side may not have read the
// body (a store that refuses a write on its headers leaves the rest unread),
// and the bytes left would be taken for the start of the next request.
bool connectionReusable(CURL* handle, std::uint64_t bodyLength, long status);

// One line of an answer's header as a lower-case name and its value without
// the blanks around it; false for a line that is no "Name: value" (the
// status line, the blank line that ends the header).
bool headerField(std::string_view line, std::string& name, std::string& value);

}  // namespace corvane::platform
