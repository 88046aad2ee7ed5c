#include "s3/credential_http.h"

#include <curl/curl.h>

#include <memory>
#include <string_view>

#include "s3/credential_source.h"

namespace corvane::s3 {
namespace {

constexpr std::size_t kMaxAnswer = 1 << 20;

struct Received {
  HttpAnswer answer;
  bool tooLong = false;
};

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

HttpAnswer httpExchange(const HttpCall& call, const std::string& what) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) throw CredentialError("libcurl could not be initialised");
  std::unique_ptr<CURL, void (*)(CURL*)> handle(curl_easy_init(), curl_easy_cleanup);
  if (!handle) throw std::bad_alloc();
  CURL* h = handle.get();
  curl_slist* list = nullptr;
  for (const std::string& line : call.headers) list = curl_slist_append(list, line.c_str());
  if (!call.sigv4.empty() && !call.signer.sessionToken.empty()) {
    list = curl_slist_append(list, ("x-amz-security-token: " + call.signer.sessionToken).c_str());
  }
  // libcurl would otherwise wait for "100 Continue" before sending a body.
  // Its signing before 8.3 covers a removed header as if it were sent, so a
  // signed call keeps the header and only stops the wait.
  if (call.sigv4.empty()) list = curl_slist_append(list, "Expect:");
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(list, curl_slist_free_all);

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
  if (!call.sigv4.empty()) {
    curl_easy_setopt(h, CURLOPT_EXPECT_100_TIMEOUT_MS, 0L);
    curl_easy_setopt(h, CURLOPT_AWS_SIGV4, call.sigv4.c_str());
    curl_easy_setopt(h, CURLOPT_USERNAME, call.signer.accessKeyId.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, call.signer.secretAccessKey.c_str());
  }
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
        std::string_view line(data, n);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) return n;
        std::string value(line.substr(colon + 1));
        const auto first = value.find_first_not_of(" \t");
        const auto last = value.find_last_not_of(" \t\r\n");
        value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
        r->answer.headers[lower(std::string(line.substr(0, colon)))] = std::move(value);
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
