#include "s3/credential_http.h"

#include <curl/curl.h>

#include <string_view>

#include "platform/curl_handles.h"
#include "s3/credential_source.h"

namespace corvane::s3 {
namespace {

constexpr std::size_t kMaxAnswer = 1 << 20;

struct Received {
  HttpAnswer answer;
  bool tooLong = false;
};

}  // namespace

HttpAnswer httpExchange(const HttpCall& call, const std::string& what) {
  platform::initialiseCurl();
  // Credentials are fetched seldom: a handle per call, closed after it.
  platform::CurlHandlePool pool(0);
  platform::CurlLease lease(pool);
  CURL* h = lease.get();
  platform::CurlHeaders headers;
  for (const std::string& line : call.headers) headers.add(line);
  // libcurl would otherwise wait for "100 Continue" before sending a body.
  headers.add("Expect:");

  Received received;
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(h, CURLOPT_URL, call.url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "corvane-engine");
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(call.timeout.count()));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(call.timeout.count()));
  if (!call.caBundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, call.caBundle.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  if (call.method == "POST" || call.method == "PUT") {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, call.body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(call.body.size()));
    if (call.method == "PUT") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "PUT");
  } else if (call.method != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, call.method.c_str());
  }
  curl_easy_setopt(
      h, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* user) -> size_t {
        auto* r = static_cast<Received*>(user);
        const size_t n = size * count;
        if (r->answer.body.size() + n > kMaxAnswer) {
          r->tooLong = true;
          return 0;
        }
        r->answer.body.append(data, n);
        return n;
      });
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(
      h, CURLOPT_HEADERFUNCTION, +[](char* data, size_t size, size_t count, void* user) -> size_t {
        auto* r = static_cast<Received*>(user);
        const size_t n = size * count;
        std::string name;
        std::string value;
        if (platform::headerField(std::string_view(data, n), name, value)) {
          r->answer.headers[std::move(name)] = std::move(value);
        }
        return n;
      });
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &received);

  const CURLcode rc = curl_easy_perform(h);
  if (received.tooLong) throw CredentialError(what + " sent an answer longer than 1 MiB");
  if (rc != CURLE_OK) {
    throw CredentialError("no answer from " + what + ": " +
                          (errorText[0] ? std::string(errorText) : curl_easy_strerror(rc)));
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &received.answer.status);
  return std::move(received.answer);
}

}  // namespace corvane::s3
