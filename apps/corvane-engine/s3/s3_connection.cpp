#include "s3/s3_connection.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "host_log.h"
#include "s3/credential_source.h"
#include "s3/s3_xml.h"

namespace corvane::s3 {
namespace {

// The most of an error answer kept: enough for any store's XML error.
constexpr std::size_t kMaxErrorBody = 64 * 1024;
// A successful answer read into memory is XML of a listing or a result;
// anything beyond this is not an answer we asked for.
constexpr std::size_t kMaxMemoryBody = 64 * 1024 * 1024;
// Connections idle for longer are not reused: stores close idle connections
// after a while, and a write sent into one that is just closing would fail.
constexpr long kMaxIdleConnectionSeconds = 20;

class HeaderList {
 public:
  HeaderList() = default;
  ~HeaderList() { curl_slist_free_all(list_); }
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  void add(const std::string& line) {
    curl_slist* next = curl_slist_append(list_, line.c_str());
    if (!next) throw std::bad_alloc();
    list_ = next;
  }
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

std::string sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0xf]);
  }
  return out;
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Refusals of the credentials that fresh ones may mend.
bool tokenRefused(const S3Error& e) {
  const std::string& code = e.code();
  return e.kind() == S3Error::Kind::kStatus &&
         (code == "ExpiredToken" || code == "InvalidToken" || code == "TokenRefreshRequired");
}

bool retryableStatus(long status, const std::string& code) {
  return status == 500 || status == 502 || status == 503 || status == 504 || status == 429 ||
         code == "SlowDown" || code == "RequestTimeout" || code == "InternalError";
}

// Failures that the same request will meet again: a bad address or
// certificate, or our own callbacks stopping the exchange.
bool retryableCode(CURLcode rc) {
  switch (rc) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_WRITE_ERROR:
    case CURLE_READ_ERROR:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_SEND_FAIL_REWIND:
      return false;
    default:
      return true;
  }
}

// A code for answers without a body (HEAD), so that every error names one.
std::string codeForStatus(long status) {
  switch (status) {
    case 304:
      return "NotModified";
    case 400:
      return "BadRequest";
    case 403:
      return "Forbidden";
    case 404:
      return "NotFound";
    case 409:
      return "Conflict";
    case 412:
      return "PreconditionFailed";
    case 416:
      return "InvalidRange";
    default:
      return status >= 500 ? "ServerError" : "HTTP" + std::to_string(status);
  }
}

std::chrono::milliseconds backoff(const S3ConnectionOptions& options, int attempt) {
  auto wait = options.firstBackoff;
  for (int i = 1; i < attempt && wait < options.maxBackoff; ++i) wait *= 2;
  wait = std::min(wait, options.maxBackoff);
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<long long> pick(wait.count() / 2, wait.count());
  return std::chrono::milliseconds(pick(random));
}

}  // namespace

// Idle libcurl handles of one connection. The most recently used handle
// comes first: its connection is the likeliest to be still open.
class S3Connection::HandlePool {
 public:
  ~HandlePool() {
    for (CURL* h : idle_) curl_easy_cleanup(h);
  }

  CURL* take() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        CURL* h = idle_.back();
        idle_.pop_back();
        return h;
      }
    }
    CURL* h = curl_easy_init();
    if (!h) throw std::bad_alloc();
    return h;
  }

  void give(CURL* h) {
    // Drops the options, which point into the finished request; the open
    // connections stay.
    curl_easy_reset(h);
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdle) {
      idle_.push_back(h);
      return;
    }
    curl_easy_cleanup(h);
  }

 private:
  static constexpr std::size_t kMaxIdle = 32;
  std::mutex mutex_;
  std::vector<CURL*> idle_;  // guarded by mutex_
};

// The state of one try of a request, shared with libcurl's callbacks.
struct S3Connection::Attempt {
  const S3Request* request = nullptr;
  CURL* handle = nullptr;
  S3Response response;
  std::uint64_t sent = 0;  // body bytes handed to libcurl
  bool statusKnown = false;
  bool toSink = false;
  int sends = 0;
  S3Credentials credentials;   // what the request was signed with
  std::exception_ptr failure;  // a local failure inside a callback
  bool mendable = true;        // whether trying again may succeed
};

std::string S3Response::header(const std::string& lowerCaseName) const {
  auto it = headers.find(lowerCaseName);
  return it == headers.end() ? std::string() : it->second;
}

S3Connection::S3Connection(S3Config config, S3ConnectionOptions options)
    : config_(std::move(config)),
      options_(options),
      sigv4_("aws:amz:" + config_.region + ":s3"),
      pool_(std::make_unique<HandlePool>()) {
  static const bool initialised = [] {
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }();
  if (!initialised) throw std::runtime_error("libcurl could not be initialised");
}

S3Connection::~S3Connection() = default;

std::string S3Connection::url(const std::string& bucket, const std::string& key) const {
  const std::string encodedKey = uriEncode(key, true);
  // A bucket name with dots would make host names that the store's wildcard
  // certificate does not cover; such buckets are addressed path-style.
  if (config_.pathStyle || bucket.find('.') != std::string::npos) {
    return config_.endpoint + "/" + bucket + "/" + encodedKey;
  }
  // Virtual-hosted: the bucket becomes the first label of the host.
  const auto schemeEnd = config_.endpoint.find("://") + 3;
  return config_.endpoint.substr(0, schemeEnd) + bucket + "." + config_.endpoint.substr(schemeEnd) +
         "/" + encodedKey;
}

S3Response S3Connection::send(const S3Request& request) const {
  bool renewed = false;
  for (int attempt = 1;; ++attempt) {
    if (request.monitor && request.monitor->canceled()) throw S3Error::canceled(request.operation);
    Attempt state;
    try {
      return sendOnce(request, state);
    } catch (const S3Error& e) {
      // The store refused the token before acting on the request, so even a
      // write may go again, once, with credentials fetched anew.
      if (tokenRefused(e) && config_.credentialSource && !renewed) {
        hostlog::debug(std::string(e.what()) + "; renewing the credentials");
        config_.credentialSource->invalidate(state.credentials);
        renewed = true;
        --attempt;
        continue;
      }
      const bool passing =
          e.kind() == S3Error::Kind::kConnection
              ? state.mendable
              : e.kind() == S3Error::Kind::kStatus && retryableStatus(e.httpStatus(), e.code());
      if (!request.idempotent || !passing || attempt >= options_.maxAttempts) throw;
      const auto wait = backoff(options_, attempt);
      // A try that fails for good is reported by its caller; the tries
      // before are detail.
      hostlog::debug(std::string(e.what()) + "; trying again in " + std::to_string(wait.count()) +
                     " ms");
      std::this_thread::sleep_for(wait);
    }
  }
}

S3Response S3Connection::sendOnce(const S3Request& request, Attempt& state) const {
  struct Lease {
    HandlePool& pool;
    CURL* handle;
    ~Lease() { pool.give(handle); }
  } lease{*pool_, pool_->take()};
  CURL* h = lease.handle;
  state.request = &request;
  state.handle = h;

  const bool hasBody = request.bodyFd >= 0 || !request.bodyText.empty();
  const std::uint64_t bodyLength =
      request.bodyFd >= 0 ? request.bodyLength : request.bodyText.size();

  std::string url = this->url(request.bucket, request.key);
  const std::string query = canonicalQuery(request.query);
  if (!query.empty()) url += "?" + query;

  const bool anonymous = config_.anonymous();
  if (config_.credentialSource && !anonymous) {
    try {
      state.credentials = config_.credentialSource->current();
    } catch (const CredentialError& e) {
      throw S3Error::connection(request.operation, e.what());
    }
  } else {
    state.credentials = config_.credentials;
  }
  const S3Credentials& credentials = state.credentials;

  HeaderList headers;
  for (const std::string& line : request.headers) headers.add(line);
  headers.add("x-amz-content-sha256: " + (request.bodyFd >= 0 ? std::string("UNSIGNED-PAYLOAD")
                                                              : sha256Hex(request.bodyText)));
  if (!credentials.sessionToken.empty() && !anonymous) {
    headers.add("x-amz-security-token: " + credentials.sessionToken);
  }
  // libcurl asks for "100 Continue" before sending a body and waits for it.
  // Removing its Expect header ("Expect:") stops that, but libcurl before 8.3
  // signs the removed header as if it were sent, so the store computes
  // another signature. There the header stays and libcurl sends the body at
  // once instead of waiting for the interim answer.
  static const bool signsRemovedHeaders =
      curl_version_info(CURLVERSION_NOW)->version_num < 0x080300;
  if (signsRemovedHeaders) {
    curl_easy_setopt(h, CURLOPT_EXPECT_100_TIMEOUT_MS, 0L);
  } else {
    headers.add("Expect:");
  }

  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  // The path is canonical already; libcurl must not squash "." or "..".
  curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "corvane-engine");
  if (!anonymous) {
    curl_easy_setopt(h, CURLOPT_AWS_SIGV4, sigv4_.c_str());
    curl_easy_setopt(h, CURLOPT_USERNAME, credentials.accessKeyId.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, credentials.secretAccessKey.c_str());
  }
  if (!config_.caBundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, config_.caBundle.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options_.connectTimeout.count()));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.idleTimeout.count()));
  curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, kMaxIdleConnectionSeconds);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(CURL_MAX_READ_SIZE));
  curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, 1024L * 1024L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

  curl_easy_setopt(
      h, CURLOPT_HEADERFUNCTION, +[](char* data, size_t size, size_t count, void* user) -> size_t {
        auto* s = static_cast<Attempt*>(user);
        const size_t n = size * count;
        std::string_view line(data, n);
        if (line.rfind("HTTP/", 0) == 0) {
          // A new answer (after an interim one): its headers only.
          s->response.headers.clear();
          return n;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) return n;
        std::string value(line.substr(colon + 1));
        const auto first = value.find_first_not_of(" \t");
        const auto last = value.find_last_not_of(" \t\r\n");
        value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
        try {
          s->response.headers[lower(std::string(line.substr(0, colon)))] = std::move(value);
        } catch (...) {
          s->failure = std::current_exception();
          return 0;
        }
        return n;
      });
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &state);

  curl_easy_setopt(
      h, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* user) -> size_t {
        auto* s = static_cast<Attempt*>(user);
        const S3Request& r = *s->request;
        const size_t n = size * count;
        if (r.monitor && r.monitor->canceled()) return 0;
        if (!s->statusKnown) {
          s->statusKnown = true;
          long status = 0;
          curl_easy_getinfo(s->handle, CURLINFO_RESPONSE_CODE, &status);
          s->toSink = r.sinkFd >= 0 && status >= 200 && status < 300;
        }
        if (!s->toSink) {
          long status = 0;
          curl_easy_getinfo(s->handle, CURLINFO_RESPONSE_CODE, &status);
          const std::size_t cap = status >= 200 && status < 300 ? kMaxMemoryBody : kMaxErrorBody;
          if (s->response.body.size() + n > cap) {
            // An error answer is only read for its code; the rest is dropped.
            if (cap == kMaxErrorBody) return n;
            return 0;
          }
          try {
            s->response.body.append(data, n);
          } catch (...) {
            s->failure = std::current_exception();
            return 0;
          }
          return n;
        }
        std::size_t written = 0;
        while (written < n) {
          const ssize_t w = ::pwrite(r.sinkFd, data + written, n - written,
                                     static_cast<off_t>(r.sinkOffset + s->response.received));
          if (w < 0) {
            if (errno == EINTR) continue;
            s->failure = std::make_exception_ptr(std::system_error(
                errno, std::generic_category(), "writing the download of " + r.operation));
            return 0;
          }
          written += static_cast<std::size_t>(w);
          s->response.received += static_cast<std::uint64_t>(w);
        }
        if (r.monitor) r.monitor->add(n);
        return n;
      });
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &state);

  // Progress: only to notice a cancel while no byte moves.
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(
      h, CURLOPT_XFERINFOFUNCTION,
      +[](void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
        auto* s = static_cast<Attempt*>(user);
        return s->request->monitor && s->request->monitor->canceled() ? 1 : 0;
      });
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &state);

  if (!request.idempotent) {
    // libcurl sends a request again, silently, when a reused connection
    // closes before any answer. The store may have acted on the first copy,
    // so a request that must not be repeated fails instead.
    curl_easy_setopt(
        h, CURLOPT_PREREQFUNCTION, +[](void* user, char*, char*, int, int) -> int {
          auto* s = static_cast<Attempt*>(user);
          return ++s->sends > 1 ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
        });
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &state);
  }

  if (hasBody) {
    curl_easy_setopt(
        h, CURLOPT_READFUNCTION,
        +[](char* buffer, size_t size, size_t count, void* user) -> size_t {
          auto* s = static_cast<Attempt*>(user);
          const S3Request& r = *s->request;
          if (r.monitor && r.monitor->canceled()) return CURL_READFUNC_ABORT;
          const std::uint64_t length = r.bodyFd >= 0 ? r.bodyLength : r.bodyText.size();
          const std::size_t want =
              static_cast<std::size_t>(std::min<std::uint64_t>(size * count, length - s->sent));
          if (want == 0) return 0;
          if (r.bodyFd < 0) {
            std::memcpy(buffer, r.bodyText.data() + s->sent, want);
            s->sent += want;
            return want;
          }
          for (;;) {
            const ssize_t got =
                ::pread(r.bodyFd, buffer, want, static_cast<off_t>(r.bodyOffset + s->sent));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
              s->failure = std::make_exception_ptr(
                  got < 0 ? std::system_error(errno, std::generic_category(),
                                              "reading the upload of " + r.operation)
                          : std::system_error(std::make_error_code(std::errc::io_error),
                                              "the file of " + r.operation +
                                                  " became shorter while it was sent"));
              return CURL_READFUNC_ABORT;
            }
            s->sent += static_cast<std::uint64_t>(got);
            if (r.monitor) r.monitor->add(static_cast<std::uint64_t>(got));
            return static_cast<std::size_t>(got);
          }
        });
    curl_easy_setopt(h, CURLOPT_READDATA, &state);
    curl_easy_setopt(
        h, CURLOPT_SEEKFUNCTION, +[](void* user, curl_off_t offset, int origin) -> int {
          auto* s = static_cast<Attempt*>(user);
          const S3Request& r = *s->request;
          const std::uint64_t length = r.bodyFd >= 0 ? r.bodyLength : r.bodyText.size();
          if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > length) {
            return CURL_SEEKFUNC_FAIL;
          }
          s->sent = static_cast<std::uint64_t>(offset);
          return CURL_SEEKFUNC_OK;
        });
    curl_easy_setopt(h, CURLOPT_SEEKDATA, &state);
  }

  const std::string& method = request.method;
  if (method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else if (method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (method == "PUT") {
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    if (!hasBody) {
      curl_easy_setopt(
          h, CURLOPT_READFUNCTION, +[](char*, size_t, size_t, void*) -> size_t { return 0; });
    }
  } else if (method == "POST") {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
    if (!hasBody) curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  const CURLcode rc = curl_easy_perform(h);
  if (state.failure) std::rethrow_exception(state.failure);
  if (request.monitor && request.monitor->canceled()) throw S3Error::canceled(request.operation);
  if (state.sends > 1) {
    state.mendable = false;
    throw S3Error::connection(request.operation, "the connection closed before the store answered");
  }
  if (rc != CURLE_OK) {
    std::string detail = errorText[0] ? std::string(errorText) : curl_easy_strerror(rc);
    state.mendable = retryableCode(rc);
    throw S3Error::connection(request.operation, std::move(detail));
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &state.response.status);
  const long status = state.response.status;
  if (status >= 200 && status < 300) return std::move(state.response);

  std::string code;
  std::string message;
  std::string region = state.response.header("x-amz-bucket-region");
  if (auto answer = readErrorAnswer(state.response.body)) {
    code = std::move(answer->code);
    message = std::move(answer->message);
    if (region.empty()) region = std::move(answer->region);
  }
  if (code.empty()) code = codeForStatus(status);
  if (!region.empty() && region != config_.region) {
    message += (message.empty() ? "" : " ");
    message += "(the bucket is in the region " + region + ")";
  }
  throw S3Error::status(request.operation, status, std::move(code), std::move(message))
      .withBucketRegion(std::move(region));
}

}  // namespace corvane::s3
