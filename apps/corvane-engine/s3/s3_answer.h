// Reading what the store's answers carry in their headers: the object's
// description and the byte range of a partial answer.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "s3/s3_connection.h"
#include "s3/s3_digest.h"
#include "s3/s3_types.h"

namespace corvane::s3 {

// Size (Content-Length), ETag, Last-Modified, x-amz-version-id, the user
// metadata and the content headers of a HEAD or GET answer.
S3ObjectInfo objectFromHeaders(const std::string& key, const S3Response& response);

// "bytes FIRST-LAST/TOTAL" of a 206 answer.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t total = 0;
};
std::optional<ContentRange> parseContentRange(const std::string& value);

// The HTTP date of a header ("Thu, 10 Dec 2026 13:49:24 GMT").
std::optional<Timestamp> parseHttpDate(const std::string& value);

}  // namespace corvane::s3
