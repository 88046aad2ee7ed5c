#include "s3/s3_connection.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "host_log.h"
#include "platform/curl_handles.h"
#include "s3/s3_answer.h"
#include "s3/credential_source.h"
#include "s3/s3_xml.h"
#include "s3/sigv4.h"

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
constexpr std::size_t kMaxIdleHandles = 32;


std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Answers that the same request may not meet again: the store is busy or
// failing, or another request to the same key was in its way.
bool retryableStatus(long status, const std::string& code) {
  return status == 500 || status == 502 || status == 503 || status == 504 || status == 429 ||
         code == "SlowDown" || code == "RequestTimeout" || code == "InternalError" ||
         code == "ConditionalRequestConflict";
}

// Failures that leave the request unsent: no connection was ever made.
bool neverSent(CURLcode rc) {
  return rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_COULDNT_RESOLVE_PROXY ||
         rc == CURLE_COULDNT_CONNECT;
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

// A refusal that fresh credentials may cure: the codes for a token the store
// no longer takes, or a plain 403 whose message says the token expired (some
// stores answer so).
bool credentialsExpired(long status, const std::string& code, const std::string& message) {
  if (code == "ExpiredToken" || code == "InvalidToken" || code == "TokenRefreshRequired") {
    return true;
  }
  const std::string text = lower(message);
  return status == 403 && text.find("token") != std::string::npos &&
         text.find("expired") != std::string::npos;
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

// The wait before try `attempt` + 1: "full jitter", anywhere between
// nothing and the doubled wait, so that many clients that failed at once do
// not come back at once.
std::chrono::milliseconds backoff(const S3ConnectionOptions& options, int attempt) {
  auto ceiling = options.firstBackoff;
  for (int i = 1; i < attempt && ceiling < options.maxBackoff; ++i) ceiling *= 2;
  ceiling = std::min(ceiling, options.maxBackoff);
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<long long> pick(0, ceiling.count());
  return std::chrono::milliseconds(pick(random));
}

// What a Retry-After header asks for: seconds, or an HTTP date.
std::optional<std::chrono::milliseconds> retryAfter(const std::string& value) {
  if (value.empty()) return std::nullopt;
  std::uint64_t seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (error == std::errc() && end == value.data() + value.size()) {
    return std::chrono::milliseconds(std::min<std::uint64_t>(seconds, 86400) * 1000);
  }
  if (const auto when = parseHttpDate(value)) {
    const auto left = *when - std::chrono::system_clock::now();
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(left));
  }
  return std::nullopt;
}

}  // namespace

// The state of one try of a request, shared with libcurl's callbacks.
struct S3Connection::Attempt {
  const S3Connection* connection = nullptr;
  const S3Request* request = nullptr;
  CURL* handle = nullptr;
  S3Response response;
  std::uint64_t sent = 0;  // body bytes handed to libcurl
  bool statusKnown = false;
  bool toSink = false;
  platform::ResendGuard resends;
  S3Credentials credentials;   // what the try was signed with
  std::exception_ptr failure;  // a local failure inside a callback
  bool mendable = true;        // whether trying again may succeed
  bool maybeSent = false;      // whether a failed try may have reached the store
  // The first-byte deadline: when the request was sent whole, and how long
  // the answer may take from then.
  std::optional<std::chrono::steady_clock::time_point> sentWhole;
  std::chrono::steady_clock::duration firstByteTimeout{};
  bool answerBegan = false;
  bool answerLate = false;     // the first-byte deadline struck
};

std::string S3Response::header(const std::string& lowerCaseName) const {
  auto it = headers.find(lowerCaseName);
  return it == headers.end() ? std::string() : it->second;
}

S3Connection::S3Connection(S3Config config, S3ConnectionOptions options)
    : config_(std::move(config)),
      options_(std::move(options)),
      pool_(std::make_unique<platform::CurlHandlePool>(kMaxIdleHandles)) {
  if (!options_.resolve.empty()) {
    resolve_ = std::make_unique<platform::CurlHeaders>();
    for (const std::string& entry : options_.resolve) resolve_->add(entry);
  }
  const auto schemeEnd = config_.endpoint.find("://");
  if (schemeEnd == std::string::npos) {
    throw std::invalid_argument("the S3 endpoint \"" + config_.endpoint + "\" has no scheme");
  }
  scheme_ = lower(config_.endpoint.substr(0, schemeEnd));
  authority_ = config_.endpoint.substr(schemeEnd + 3);
  authority_ = authority_.substr(0, authority_.find('/'));
  health_ = std::make_unique<StoreHealth>(scheme_ + "://" + authority_, options_.silenceLimit,
                                          options_.storeState);
  // The host without its port; an IPv6 address keeps its brackets.
  host_ = authority_.substr(0, authority_.rfind(':') == std::string::npos ||
                                       authority_.back() == ']'
                                   ? std::string::npos
                                   : authority_.rfind(':'));
}

S3Credentials S3Connection::credentials(const std::string& operation) const {
  if (options_.credentials) return options_.credentials();
  if (!config_.credentialSource) return config_.credentials;
  try {
    return config_.credentialSource->current();
  } catch (const CredentialError& e) {
    // A helper or a service that does not deliver now may deliver on the
    // next try.
    throw S3Error::connection(operation, e.what());
  }
}

void S3Connection::refused(const S3Credentials& used) const {
  if (options_.credentialsRefused) {
    options_.credentialsRefused(used);
  } else if (config_.credentialSource) {
    config_.credentialSource->invalidate(used);
  }
}

std::chrono::system_clock::time_point S3Connection::storeNow() const {
  return std::chrono::system_clock::now() + std::chrono::milliseconds(clockOffset_.load());
}

bool S3Connection::learnClockOffset(const S3Response& answer) const {
  std::optional<Timestamp> theirs = parseHttpDate(answer.header("date"));
  if (!theirs) {
    if (auto error = readErrorAnswer(answer.body)) theirs = error->serverTime;
  }
  if (!theirs) return false;
  const auto offset = std::chrono::duration_cast<std::chrono::milliseconds>(
      *theirs - std::chrono::system_clock::now());
  clockOffset_.store(offset.count());
  hostlog::warning("the clock of this machine differs from the clock of the S3 store at " +
                   config_.endpoint + " by " + std::to_string(offset.count() / 1000) +
                   " s; requests are signed with the store's time");
  return true;
}

S3Connection::~S3Connection() = default;

S3Connection::Address S3Connection::address(const std::string& bucket,
                                            const std::string& key) const {
  const std::string encodedKey = uriEncode(key, true);
  if (pathStyle(config_.addressing, host_, bucket)) {
    return {authority_, "/" + bucket + (bucket.empty() ? "" : "/") + encodedKey};
  }
  // Virtual-hosted: the bucket becomes the first label of the host.
  return {bucket + "." + authority_, "/" + encodedKey};
}

std::string S3Connection::url(const std::string& bucket, const std::string& key) const {
  const Address where = address(bucket, key);
  return scheme_ + "://" + where.authority + where.path;
}

S3Response S3Connection::send(const S3Request& request) const {
  health_->begin();
  struct Waiting {
    StoreHealth& health;
    ~Waiting() { health.end(); }
  } waiting{*health_};
  const auto start = std::chrono::steady_clock::now();
  const auto budget = request.retryBudget.value_or(options_.retryBudget);
  // Tries that correct what our side got wrong are not passing failures and
  // are made once each, whatever the request.
  bool clockCorrected = false;
  bool credentialsRenewed = false;
  bool lost = false;  // an earlier try went without answer
  for (int attempt = 1;; ++attempt) {
    Attempt state;
    // A try waits for its answer no longer than the budget has left (but a
    // little in any case): a store that never answers fails the request
    // within its budget.
    state.firstByteTimeout = std::max<std::chrono::steady_clock::duration>(
        std::min<std::chrono::steady_clock::duration>(
            options_.firstByteTimeout, budget - (std::chrono::steady_clock::now() - start)),
        std::chrono::seconds(1));
    try {
      if (stopped()) throw S3Error::canceled(request.operation);
      if (request.monitor && request.monitor->canceled()) {
        throw S3Error::canceled(request.operation);
      }
      S3Response answer = sendOnce(request, state);
      answer.afterLostAnswer = lost;
      return answer;
    } catch (const S3Error& e) {
      if (e.kind() == S3Error::Kind::kStatus && e.code() == "RequestTimeTooSkewed" &&
          !clockCorrected) {
        clockCorrected = true;
        if (learnClockOffset(state.response)) {
          --attempt;
          continue;
        }
      }
      // The store refused the token before acting on the request, so even a
      // write may go again, once, with credentials fetched anew.
      if (e.kind() == S3Error::Kind::kStatus &&
          credentialsExpired(e.httpStatus(), e.code(), e.detail()) && !credentialsRenewed &&
          (options_.credentialsRefused || config_.credentialSource) &&
          !state.credentials.accessKeyId.empty()) {
        credentialsRenewed = true;
        hostlog::debug(std::string(e.what()) + "; renewing the credentials");
        refused(state.credentials);
        --attempt;
        continue;
      }
      const bool passing =
          e.kind() == S3Error::Kind::kConnection
              ? state.mendable
              : e.kind() == S3Error::Kind::kStatus && retryableStatus(e.httpStatus(), e.code());
      const S3Error failure = lost ? e.withLostAnswer() : e;
      if (e.kind() == S3Error::Kind::kConnection && state.maybeSent) lost = true;
      if (!passing || (options_.maxAttempts > 0 && attempt >= options_.maxAttempts)) {
        throw failure;
      }
      auto wait = backoff(options_, attempt);
      if (const auto asked = retryAfter(state.response.header("retry-after"))) {
        wait = std::max(wait, *asked);
      }
      // Within the budget, or not at all: a wait past it would only end in
      // the same failure later.
      if (std::chrono::steady_clock::now() + wait - start > budget) throw failure;
      // A try that fails for good is reported by its caller; the tries
      // before are detail.
      hostlog::debug(std::string(e.what()) + "; trying again in " +
                     std::to_string(wait.count()) + " ms");
      if (!pause(wait, request.monitor)) throw S3Error::canceled(request.operation);
    }
  }
}

bool S3Connection::pause(std::chrono::milliseconds wait, const TransferMonitor* monitor) const {
  const auto until = std::chrono::steady_clock::now() + wait;
  std::unique_lock lock(stopMutex_);
  while (!stopped()) {
    if (monitor && monitor->canceled()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return true;
    // A cancel of the transfer is not signalled and the store's silence
    // grows while we wait: both are looked at often.
    stopWake_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                 until - now, std::chrono::milliseconds(100)));
    lock.unlock();
    health_->check();
    lock.lock();
  }
  return false;
}

void S3Connection::stop() const {
  {
    std::lock_guard lock(stopMutex_);
    stopped_.store(true);
  }
  stopWake_.notify_all();
}

S3Response S3Connection::sendOnce(const S3Request& request, Attempt& state) const {
  platform::CurlLease lease(*pool_);
  CURL* h = lease.get();
  state.connection = this;
  state.request = &request;
  state.handle = h;

  const bool hasBody = request.bodyFd >= 0 || !request.bodyText.empty();
  const std::uint64_t bodyLength =
      request.bodyFd >= 0 ? request.bodyLength : request.bodyText.size();

  // What goes out is built here byte for byte and signed as it is: the
  // request target (sent verbatim, never normalised by libcurl) and every
  // header, Host included.
  const Address where = address(request.bucket, request.key);
  std::string target = where.path;
  SigV4Message signing;
  signing.method = request.method;
  signing.path = target;
  signing.query = canonicalQuery(request.query);
  if (!signing.query.empty()) target += "?" + signing.query;
  signing.headers.emplace_back("Host", where.authority);
  for (const std::string& line : request.headers) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    signing.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
  }
  signing.payloadHash =
      request.bodyFd >= 0 ? std::string("UNSIGNED-PAYLOAD") : sha256Hex(request.bodyText);
  signing.headers.emplace_back("x-amz-content-sha256", signing.payloadHash);
  state.credentials = credentials(request.operation);
  const std::string authorization =
      signV4(signing, state.credentials, config_.region, "s3", storeNow());

  platform::CurlHeaders headers;
  for (const auto& [name, value] : signing.headers) headers.add(name + ": " + value);
  if (!authorization.empty()) headers.add("Authorization: " + authorization);
  // libcurl would otherwise ask for "100 Continue" and wait for it before
  // sending a body.
  headers.add("Expect:");

  const std::string url = scheme_ + "://" + where.authority + "/";
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_REQUEST_TARGET, target.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  // Through a proxy the request target must stay the one signed, so even a
  // plain HTTP store is reached through a tunnel.
  curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "corvane-engine");
  if (!config_.caBundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, config_.caBundle.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options_.connectTimeout.count()));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.idleTimeout.count()));
  curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, kMaxIdleConnectionSeconds);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(CURL_MAX_READ_SIZE));
  curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, 1024L * 1024L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  if (resolve_) curl_easy_setopt(h, CURLOPT_RESOLVE, resolve_->get());

  curl_easy_setopt(
      h, CURLOPT_HEADERFUNCTION, +[](char* data, size_t size, size_t count, void* user) -> size_t {
        auto* s = static_cast<Attempt*>(user);
        const size_t n = size * count;
        std::string_view line(data, n);
        if (line.rfind("HTTP/", 0) == 0) {
          // A new answer (after an interim one): its headers only.
          s->answerBegan = true;
          s->connection->health_->answered();
          s->response.headers.clear();
          return n;
        }
        try {
          std::string name;
          std::string value;
          if (!platform::headerField(line, name, value)) return n;
          s->response.headers[std::move(name)] = std::move(value);
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
      +[](void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) -> int {
        auto* s = static_cast<Attempt*>(user);
        if (s->connection->stopped()) return 1;
        s->connection->health_->check();
        if (!s->answerBegan) {
          // Sent whole: the connection is made and every byte of the body
          // handed over; from then on the answer has its deadline.
          curl_off_t connected = 0;
          curl_easy_getinfo(s->handle, CURLINFO_PRETRANSFER_TIME_T, &connected);
          const std::uint64_t length =
              s->request->bodyFd >= 0 ? s->request->bodyLength : s->request->bodyText.size();
          const auto now = std::chrono::steady_clock::now();
          if (!s->sentWhole && connected > 0 && static_cast<std::uint64_t>(uploaded) >= length) {
            s->sentWhole = now;
          }
          if (s->sentWhole && now - *s->sentWhole > s->firstByteTimeout) {
            s->answerLate = true;
            return 1;
          }
        }
        return s->request->monitor && s->request->monitor->canceled() ? 1 : 0;
      });
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &state);

  if (request.method != "GET" && request.method != "HEAD") {
    // libcurl would send a write again on its own when a reused connection
    // closes before any answer, and no one would learn that the store may
    // have acted on the first copy. The try fails instead, and the retry
    // knows the answer was lost (see S3Error::afterLostAnswer).
    state.resends.install(h);
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
  if (stopped()) throw S3Error::canceled(request.operation);
  if (state.resends.stoppedResend()) {
    state.maybeSent = true;
    throw S3Error::connection(request.operation, "the connection closed before the store answered");
  }
  if (state.answerLate) {
    state.maybeSent = true;
    throw S3Error::connection(
        request.operation,
        "no answer within " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(state.firstByteTimeout).count()) +
            " s of the request");
  }
  if (rc != CURLE_OK) {
    std::string detail = errorText[0] ? std::string(errorText) : curl_easy_strerror(rc);
    state.mendable = retryableCode(rc);
    state.maybeSent = !neverSent(rc);
    throw S3Error::connection(request.operation, std::move(detail));
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &state.response.status);
  const long status = state.response.status;
  if (!platform::connectionReusable(h, hasBody ? bodyLength : 0, status)) lease.forbidReuse();
  if (status >= 200 && status < 300) {
    if (!request.errorsInBody) return std::move(state.response);
    auto answer = readErrorAnswer(state.response.body);
    if (!answer) return std::move(state.response);
    throw S3Error::status(request.operation, 500, std::move(answer->code),
                          std::move(answer->message));
  }

  const auto answer = readErrorAnswer(state.response.body);
  // A refusal that is no S3 error document (an HTML page for a path that a
  // web server or proxy does not know) is not the store's "no such key".
  // Busy answers (5xx, 429) of any shape stay passing failures.
  if (!answer && status >= 400 && status < 500 && status != 429 && !state.response.body.empty()) {
    const std::string type = state.response.header("content-type");
    throw S3Error::protocol(request.operation,
                            "the endpoint answered " + std::to_string(status) + " with " +
                                (type.empty() ? std::string("a body") : type) +
                                " that is no S3 error")
        .withProblem(S3Error::Problem::kNotAStore, "is the endpoint an S3 store?");
  }
  std::string code = answer ? answer->code : std::string();
  std::string message = answer ? answer->message : std::string();
  if (code.empty()) code = codeForStatus(status);
  std::string region = state.response.header("x-amz-bucket-region");
  if (region.empty() && answer) region = answer->region;
  if (!region.empty() && region != config_.region) {
    message += (message.empty() ? "" : " ");
    message += "(the bucket is in the region " + region + ")";
  }
  throw classified(S3Error::status(request.operation, status, std::move(code), std::move(message))
                       .withBucketRegion(std::move(region)),
                   request, answer ? answer->storageClass : std::string());
}

S3Error S3Connection::classified(const S3Error& e, const S3Request& request,
                                 const std::string& storageClass) const {
  using Problem = S3Error::Problem;
  const std::string& code = e.code();
  const std::string& region = e.bucketRegion();
  if (e.httpStatus() == 301 || code == "PermanentRedirect" ||
      code == "IllegalLocationConstraintException" ||
      (code == "AuthorizationHeaderMalformed" && !region.empty() && region != config_.region)) {
    return e.withProblem(Problem::kWrongRegion,
                         region.empty() || region == config_.region
                             ? "the bucket is not in the region " + config_.region +
                                   "; give its region with --s3-region"
                             : "give --s3-region " + region);
  }
  if (code == "RequestTimeTooSkewed") {
    const std::int64_t seconds = clockOffset_.load() / 1000;
    return e.withProblem(Problem::kSkewedClock,
                         "the clock of this machine is " +
                             (seconds == 0 ? std::string("off")
                                           : std::to_string(seconds < 0 ? -seconds : seconds) +
                                                 " s " + (seconds < 0 ? "ahead" : "behind")) +
                             " the store's: set it right, e.g. with time synchronisation");
  }
  if (credentialsExpired(e.httpStatus(), code, e.detail())) {
    return e.withProblem(Problem::kCredentials,
                         "the temporary credentials have expired: renew them with a new "
                         "session token and start the engine again");
  }
  if (code == "InvalidBucketName") {
    return e.withProblem(Problem::kInvalidBucketName,
                         "the store does not take \"" + request.bucket + "\" as a bucket name");
  }
  if (code == "InvalidObjectState") {
    return e.withProblem(Problem::kArchived,
                         "the object is in the archive storage class " +
                             (storageClass.empty() ? std::string("of the store") : storageClass) +
                             ": restore it first, and read it once the restore is done");
  }
  if (code == "ObjectLocked" || lower(e.detail()).find("object lock") != std::string::npos) {
    return e.withProblem(Problem::kObjectLock,
                         "the bucket's Object Lock keeps the object as it is until its "
                         "retention ends");
  }
  if (e.httpStatus() == 403 && code == "AccessDenied" && request.method != "GET" &&
      request.method != "HEAD") {
    return e.withProblem(Problem::kWriteRefused,
                         "the bucket's policy or the user's rights do not allow this write; "
                         "serve the scope with --read-only if it is meant to be read only");
  }
  return e;
}

}  // namespace corvane::s3
