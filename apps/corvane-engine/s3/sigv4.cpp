#include "s3/sigv4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace corvane::s3 {
namespace {

constexpr std::string_view kAlgorithm = "AWS4-HMAC-SHA256";

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The value without leading and trailing blanks and with each run of
// blanks inside written as one space, as the store canonicalises it.
std::string squeezed(std::string_view value) {
  std::string out;
  bool blank = false;
  for (const char c : value) {
    if (c == ' ' || c == '\t') {
      blank = !out.empty();
      continue;
    }
    if (blank) out.push_back(' ');
    blank = false;
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::string hexOf(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xf]);
  }
  return out;
}

std::string sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
  return hexOf(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string hmacSha256(std::string_view key, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length)) {
    throw std::runtime_error("HMAC-SHA256 is not available");
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string amzDate(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(time);
  const auto day = floor<days>(seconds);
  const year_month_day date(day);
  const hh_mm_ss clock(seconds - day);
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02dZ",
                              static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                              static_cast<unsigned>(date.day()),
                              static_cast<int>(clock.hours().count()),
                              static_cast<int>(clock.minutes().count()),
                              static_cast<int>(clock.seconds().count()));
  return std::string(text, static_cast<std::size_t>(n));
}

std::string canonicalRequest(const SigV4Message& message, std::string* signedHeaders) {
  std::vector<std::pair<std::string, std::string>> headers;
  headers.reserve(message.headers.size());
  for (const auto& [name, value] : message.headers) {
    headers.emplace_back(lower(name), squeezed(value));
  }
  // Stable: the values of a header given twice keep their order.
  std::stable_sort(headers.begin(), headers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  std::string out;
  out.append(message.method).append("\n");
  out.append(message.path.empty() ? "/" : message.path).append("\n");
  out.append(message.query).append("\n");
  std::string names;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    if (i > 0 && headers[i].first == headers[i - 1].first) {
      out.pop_back();  // the newline of the same name's line
      out.append(",").append(headers[i].second).append("\n");
      continue;
    }
    out.append(headers[i].first).append(":").append(headers[i].second).append("\n");
    if (!names.empty()) names.push_back(';');
    names.append(headers[i].first);
  }
  out.append("\n").append(names).append("\n").append(message.payloadHash);
  if (signedHeaders) *signedHeaders = std::move(names);
  return out;
}

std::string stringToSign(std::string_view amzDate, std::string_view scope,
                         std::string_view canonicalRequest) {
  std::string out(kAlgorithm);
  out.append("\n").append(amzDate).append("\n").append(scope).append("\n");
  out.append(sha256Hex(canonicalRequest));
  return out;
}

std::string signingKey(std::string_view secret, std::string_view day, std::string_view region,
                       std::string_view service) {
  std::string key = "AWS4";
  key.append(secret);
  key = hmacSha256(key, day);
  key = hmacSha256(key, region);
  key = hmacSha256(key, service);
  return hmacSha256(key, "aws4_request");
}

std::string signV4(SigV4Message& message, const S3Credentials& credentials,
                   std::string_view region, std::string_view service,
                   std::chrono::system_clock::time_point now) {
  if (credentials.accessKeyId.empty()) return {};
  const std::string date = amzDate(now);
  message.headers.emplace_back("x-amz-date", date);
  if (!credentials.sessionToken.empty()) {
    message.headers.emplace_back("x-amz-security-token", credentials.sessionToken);
  }
  const std::string_view day = std::string_view(date).substr(0, 8);
  std::string scope(day);
  scope.append("/").append(region).append("/").append(service).append("/aws4_request");

  std::string names;
  const std::string canonical = canonicalRequest(message, &names);
  const std::string signature = hexOf(
      hmacSha256(signingKey(credentials.secretAccessKey, day, region, service),
                 stringToSign(date, scope, canonical)));
  std::string authorization(kAlgorithm);
  authorization.append(" Credential=").append(credentials.accessKeyId).append("/").append(scope);
  authorization.append(",SignedHeaders=").append(names);
  authorization.append(",Signature=").append(signature);
  return authorization;
}

}  // namespace corvane::s3
