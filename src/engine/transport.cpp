#include "engine/transport.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>

#include "engine/engine_error.h"
#include "platform/curl_handles.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/quoted_text.h"
#include "platform/unique_fd.h"

namespace corvane::transport {
namespace {

constexpr long kIdleSeconds = 300;
// libcurl counts a connection's idle time in whole seconds and reuses it
// while that count is not above this limit: 0 keeps reuse to connections
// idle for less than a second, well inside the engine's 2 s for a kept
// connection. At 2 a connection idle for 2.0 to 2.99 s was reused, and a
// request sent just as the engine closed it was lost (and, never resent,
// read as a missing engine).
constexpr long kMaxIdleConnectionSeconds = 0;
constexpr std::size_t kMaxIdleHandles = 64;
constexpr const char* kRefused = "The engine refused.";

// Idle libcurl handles of the process, each keeping its connections to the
// engine. Never destroyed: requests may still run on other threads at exit.
platform::CurlHandlePool& handlePool() {
  static auto* pool = new platform::CurlHandlePool(kMaxIdleHandles);
  return *pool;
}

// Where the answer's body is collected. The body is reserved once from
// Content-Length (with the decoder's padding) and then only appended to, so
// a large listing is neither copied nor regrown.
struct Sink {
  CURL* handle;
  std::string body;
  bool sized = false;
  std::exception_ptr failure;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  try {
    if (!sink->sized) {
      sink->sized = true;
      curl_off_t length = -1;
      if (curl_easy_getinfo(sink->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
              CURLE_OK &&
          length > 0 && static_cast<std::uint64_t>(length) < (std::uint64_t{1} << 40)) {
        sink->body.reserve(static_cast<size_t>(length) + simdjson::SIMDJSON_PADDING);
      }
    }
    sink->body.append(data, n);
  } catch (...) {
    // Nothing may unwind through libcurl; the failure is rethrown after it.
    sink->failure = std::current_exception();
    return 0;
  }
  return n;
}

std::string errnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

// The whole discovery file, or the reason it could not be read.
bool readFile(const std::filesystem::path& path, std::string& out, std::string& why) {
  // Non-blocking open and a regular-file check: a FIFO or a device planted as
  // engine.json must fail the request, not block it or fill memory.
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    why = "cannot open the file: " + errnoText(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
    return false;
  }
  constexpr off_t kMaxDiscoveryFile = 64 * 1024;
  if (st.st_size > kMaxDiscoveryFile) {
    why = "the file is larger than " + std::to_string(kMaxDiscoveryFile) + " bytes";
    return false;
  }
  out.reserve(static_cast<size_t>(st.st_size) + simdjson::SIMDJSON_PADDING);
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      why = "cannot read the file: " + errnoText(errno);
      return false;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
    if (out.size() > 64 * 1024) {
      why = "the file keeps growing";
      return false;
    }
  }
  return true;
}

}  // namespace

bool decodeInfo(const std::string& text, Info& info, std::string& why) {
  simdjson::dom::parser parser;
  simdjson::dom::element doc;
  if (auto err = parser.parse(text).get(doc)) {
    why = std::string("the data is not valid JSON: ") + simdjson::error_message(err);
    return false;
  }
  simdjson::dom::object object;
  if (doc.get_object().get(object)) {
    why = "the data is not a JSON object";
    return false;
  }
  simdjson::dom::element port;
  if (object.at_key("port").get(port)) {
    why = "the key \"port\" is missing";
    return false;
  }
  if (auto err = port.get_int64().get(info.port)) {
    why = err == simdjson::NUMBER_OUT_OF_RANGE ? "\"port\" is outside the signed 64-bit range"
                                               : "\"port\" is not an integer";
    return false;
  }
  simdjson::dom::element token;
  if (object.at_key("token").get(token)) {
    why = "the key \"token\" is missing";
    return false;
  }
  std::string_view tokenText;
  if (token.get_string().get(tokenText)) {
    why = "\"token\" is not a string";
    return false;
  }
  // The token goes into a header line; a control character would end the
  // line early and let the file smuggle headers into every request.
  for (unsigned char c : tokenText) {
    if (c < 0x20 || c == 0x7f) {
      why = "\"token\" holds a control character";
      return false;
    }
  }
  info.token.assign(tokenText);
  return true;
}

namespace {

[[noreturn]] void transportFailure(std::string_view method, std::string_view path,
                                   const std::string& description) {
  std::string line;
  line.append(method).append(" ").append(platform::shortenedInput(path)).append(": ");
  line.append(description);
  Log::write(std::move(line));
  throw EngineError::notRunning();
}

// What one exchange keeps alive while libcurl works: the options set on the
// handle point into it.
struct Exchange {
  Exchange(std::string_view method, std::string_view path, std::string url)
      : method(method), path(path), methodText(method), target(path), url(std::move(url)) {}

  std::string_view method;
  std::string_view path;
  std::string methodText;  // libcurl takes C strings
  std::string target;
  std::string url;
  platform::CurlHeaders headers;
  platform::ResendGuard resends;
  char errorText[CURL_ERROR_SIZE] = {};
  Sink sink{};
};

// The engine's address (the path goes out as the request target), after
// the checks that fail the request before anything is sent (one log line
// each).
std::string validatedAddress(std::string_view method, std::string_view path, const Info& engine) {
  if (engine.port < 1 || engine.port > 65535) {
    transportFailure(method, path,
                     "the port " + std::to_string(engine.port) + " is not a valid TCP port");
  }
  // libcurl takes the address as a C string: a NUL would cut the path short
  // and send the request somewhere else, so any control character fails it.
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) {
      std::string shown(path);
      for (char& ch : shown) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
      }
      transportFailure(method, shown, "the request path holds a control character");
    }
  }
  // The path is the request line's target as it stands; a blank in it would
  // split the request line.
  if (path.find(' ') != std::string_view::npos) {
    transportFailure(method, path, "the request path holds a blank");
  }
  return "http://127.0.0.1:" + std::to_string(engine.port) + "/";
}

// Sets every option of the exchange on the handle `h`.
void configure(CURL* h, Exchange& x, const std::string& token,
               const std::optional<std::string>& jsonBody) {
  try {
    x.headers.add("Authorization: Bearer " + token);
    if (jsonBody) x.headers.add("Content-Type: application/json");
    // Without this libcurl would wait for "100 Continue" before sending
    // larger bodies.
    x.headers.add("Expect:");
  } catch (const std::bad_alloc&) {
    transportFailure(x.method, x.path, "out of memory");
  }

  x.sink.handle = h;
  const CURLcode rc = curl_easy_setopt(h, CURLOPT_URL, x.url.c_str());
  if (rc != CURLE_OK) transportFailure(x.method, x.path, curl_easy_strerror(rc));
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, x.errorText);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
  // The engine is on the loopback interface: proxy settings of the
  // environment must not reroute the request. The path goes out as given,
  // byte for byte: libcurl would squash "." and ".." segments of a URL.
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_REQUEST_TARGET, x.target.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  // An idle limit, not a deadline: a long upload that keeps moving never
  // times out, a silent engine does after 300 s.
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kIdleSeconds);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kIdleSeconds);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, x.headers.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &x.sink);
  // The engine may already have acted on a first copy (an upload, a
  // rename): a request is sent once, never resent by libcurl on its own.
  x.resends.install(h);
  // Connections idle for longer are not reused: an engine closes idle
  // connections after a few seconds, and a request sent into a connection
  // the engine is just closing would fail (see ResendGuard and
  // kMaxIdleConnectionSeconds).
  curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, kMaxIdleConnectionSeconds);
  if (jsonBody) {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, jsonBody->data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(jsonBody->size()));
    if (x.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, x.methodText.c_str());
  } else if (x.method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, x.methodText.c_str());
  }
}

// Runs the exchange and returns the answer's status; a failure to get one
// fails the request.
long send(CURL* h, Exchange& x) {
  const CURLcode rc = curl_easy_perform(h);
  if (x.sink.failure) std::rethrow_exception(x.sink.failure);
  if (x.resends.stoppedResend()) {
    transportFailure(x.method, x.path, "the connection was closed before the engine answered");
  }
  if (rc != CURLE_OK) {
    transportFailure(x.method, x.path,
                     x.errorText[0] ? std::string(x.errorText) : curl_easy_strerror(rc));
  }
  long status = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status == 0) {
    throw EngineError::notRunning();
  }
  return status;
}

// The log line of an answer other than 200 whose message is `text`.
void logFailedAnswer(std::string_view method, std::string_view path, long status,
                     std::string_view text) {
  std::string line;
  line.append(method).append(" ").append(platform::shortenedInput(path)).append(": ");
  line.append(std::to_string(status)).append(" ").append(platform::shortenedInput(text));
  Log::write(std::move(line));
}

// The EngineError of an answer other than 200, after its log line.
[[noreturn]] void failForStatus(std::string_view method, std::string_view path, long status,
                                const std::string& body) {
  std::string text = message(body);
  logFailedAnswer(method, path, status, text);
  switch (status) {
    case 401:
      throw EngineError::unauthenticated();
    case 403:
      throw EngineError::forbidden(std::move(text));
    case 404:
      throw EngineError::notFound();
    case 409:
      throw EngineError::conflict();
    default:
      throw EngineError::server(status, std::move(text));
  }
}

}  // namespace

Info info() {
  std::optional<std::filesystem::path> folder = platform::applicationSupportFolder();
  if (!folder) throw EngineError::notRunning();
  const std::filesystem::path file = *folder / "engine.json";
  std::string text;
  std::string why;
  Info result;
  if (!readFile(file, text, why) || !decodeInfo(text, result, why)) {
    Log::write("engine.json at " + file.string() + ": " + why);
    throw EngineError::notRunning();
  }
  return result;
}

std::string message(std::string_view body) {
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  if (parser.parse(body.data(), body.size()).get_object().get(object)) return kRefused;
  std::optional<std::string_view> found;
  for (auto field : object) {
    std::string_view value;
    if (field.value.get_string().get(value)) return kRefused;
    if (field.key == "message") found = value;
  }
  return found ? std::string(*found) : std::string(kRefused);
}

namespace {

// One exchange; the body of a 200 answer, or with `notFoundMessage`, nothing
// for a 404 answer. Every other outcome throws.
std::optional<std::string> exchangeOnce(std::string_view method, std::string_view path,
                                        const std::optional<std::string>& jsonBody,
                                        std::string* notFoundMessage) {
  const Info engine = info();
  Exchange exchange(method, path, validatedAddress(method, path, engine));
  std::optional<platform::CurlLease> lease;
  try {
    lease.emplace(handlePool());
  } catch (const std::bad_alloc&) {
    transportFailure(method, path, "no HTTP handle could be made");
  }
  CURL* h = lease->get();
  configure(h, exchange, engine.token, jsonBody);
  const long status = send(h, exchange);
  if (!platform::connectionReusable(h, jsonBody ? jsonBody->size() : 0, status)) {
    lease->forbidReuse();
  }
  if (status == 404 && notFoundMessage) {
    *notFoundMessage = message(exchange.sink.body);
    logFailedAnswer(method, path, status, *notFoundMessage);
    return std::nullopt;
  }
  if (status != 200) failForStatus(method, path, status, exchange.sink.body);
  std::string& body = exchange.sink.body;
  if (body.capacity() < body.size() + simdjson::SIMDJSON_PADDING) {
    body.reserve(body.size() + simdjson::SIMDJSON_PADDING);
  }
  return std::move(body);
}

}  // namespace

std::string request(std::string_view method, std::string_view path,
                    const std::optional<std::string>& jsonBody) {
  return *exchangeOnce(method, path, jsonBody, nullptr);
}

std::optional<std::string> requestUnlessNotFound(std::string_view method, std::string_view path,
                                                 const std::optional<std::string>& jsonBody,
                                                 std::string& notFoundMessage) {
  return exchangeOnce(method, path, jsonBody, &notFoundMessage);
}

}  // namespace corvane::transport
