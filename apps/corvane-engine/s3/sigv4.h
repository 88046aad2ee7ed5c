// AWS Signature Version 4, computed by us with OpenSSL's SHA-256 and HMAC,
// so that what is signed is exactly what is sent whatever libcurl does, and
// any header (a copy source's conditions, Content-MD5) can be signed.
//
// Pure functions of their inputs (the time included); any thread. The
// secret and the session token appear only in the values handed back for
// the request, never in a text meant for people.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "s3/s3_config.h"

namespace corvane::s3 {

// One HTTP request as the signature sees it.
struct SigV4Message {
  std::string method;  // "GET", "PUT", ...
  // The path exactly as it goes out, already percent-encoded ("/b/a%20b").
  std::string path;
  // The query in canonical form ("a=1&b=", see canonicalQuery()), no "?".
  std::string query;
  // Every header that is signed, names in any case ("Host" included).
  std::vector<std::pair<std::string, std::string>> headers;
  // Hex SHA-256 of the body, or "UNSIGNED-PAYLOAD".
  std::string payloadHash;
};

// Signs `message` for `service` in `region` at `now`: adds x-amz-date (and
// x-amz-security-token when the credentials carry a session token) to its
// headers and returns the value of the Authorization header. Anonymous
// credentials (an empty access key id) sign nothing: the message is left
// as it is and the result is empty, so no Authorization is sent.
std::string signV4(SigV4Message& message, const S3Credentials& credentials,
                   std::string_view region, std::string_view service,
                   std::chrono::system_clock::time_point now);

// The steps, each checkable on its own against published examples.

// Method, path, query, the canonical headers, the signed header names and
// the payload hash, one per line. `signedHeaders` receives "host;range;...".
std::string canonicalRequest(const SigV4Message& message, std::string* signedHeaders = nullptr);
// "AWS4-HMAC-SHA256\n<amzDate>\n<scope>\n<hex SHA-256 of the canonical request>".
std::string stringToSign(std::string_view amzDate, std::string_view scope,
                         std::string_view canonicalRequest);
// The key derived from the secret for one day, region and service (32 raw bytes).
std::string signingKey(std::string_view secret, std::string_view day, std::string_view region,
                       std::string_view service);

// "20130524T000000Z" for the time, in UTC.
std::string amzDate(std::chrono::system_clock::time_point time);

// Lower-case hex SHA-256 of `data`, and the raw HMAC-SHA256 of `data` under `key`.
std::string sha256Hex(std::string_view data);
std::string hmacSha256(std::string_view key, std::string_view data);
std::string hexOf(std::string_view bytes);

}  // namespace corvane::s3
