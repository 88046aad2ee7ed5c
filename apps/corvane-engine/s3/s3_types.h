// The records the S3 client hands out: objects, listing pages, multipart
// uploads in progress and the keys a batch delete could not delete.
//
// Plain values; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/iso8601.h"

namespace corvane::s3 {

using Timestamp = platform::SysNanoseconds;

struct S3ObjectInfo {
  std::string key;
  std::uint64_t size = 0;
  // Always within quotes ("\"9b2cf5...\""), as HEAD reports it, whatever form
  // the store used in a listing or a copy's answer. Multipart objects end
  // in "-N" (their part count).
  std::string etag;
  // Milliseconds in listings, whole seconds from HEAD and GET (the HTTP date),
  // the time of the store's answer for an upload.
  Timestamp lastModified{};
  // The version id in a versioned bucket ("null" for objects written while
  // versioning was suspended); empty otherwise and in listings.
  std::string versionId;
  // What HEAD and GET tell beside: the user metadata (x-amz-meta-NAME, by
  // NAME in lower case) and the headers that describe the contents
  // (Content-Type, Cache-Control...), as "Name: value" lines. None from
  // listings, uploads and copies, which do not carry them.
  std::optional<std::map<std::string, std::string>> metadata;
  std::vector<std::string> contentHeaders;
};

// The user metadata name under which S3 tools keep a file's modification
// time: seconds since the epoch, with a fraction ("981158400.123456789").
inline constexpr const char* kMtimeMetadata = "mtime";

struct S3ListPage {
  std::vector<S3ObjectInfo> objects;        // in key order
  std::vector<std::string> commonPrefixes;  // each ends with the delimiter
  std::string nextContinuationToken;        // empty on the last page
};

// One version of a key in a versioned bucket, or a delete marker.
struct S3ObjectVersion {
  S3ObjectInfo object;  // versionId set; size and etag empty for a delete marker
  bool deleteMarker = false;
  bool latest = false;
};

struct S3MultipartUpload {
  std::string key;
  std::string uploadId;
};

// A key that a batch delete left in place, with the store's reason.
struct S3DeleteFailure {
  std::string key;
  std::string code;
  std::string message;
};

}  // namespace corvane::s3
