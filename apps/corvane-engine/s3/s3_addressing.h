// How a bucket is named in a request: in the path ("host/bucket/key",
// path-style) or in the host name ("bucket.host/key", virtual-hosted).
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string_view>

namespace corvane::s3 {

enum class S3Addressing {
  automatic,      // virtual-hosted at the public store where the name allows, else path
  path,           // always path-style
  virtualHosted,  // always virtual-hosted
};

// "auto", "path" or "virtual", as the command line writes them.
std::optional<S3Addressing> addressingNamed(std::string_view name);
const char* addressingName(S3Addressing addressing);

// Whether requests for `bucket` at the endpoint host `host` (no port) name
// the bucket in the path. Automatic addressing names it in the host only at
// the public store (*.amazonaws.com, *.amazonaws.com.cn), which requires it
// of new regions, and only for names that make a host label its wildcard
// certificate covers: lower-case letters, digits and inner hyphens, no dots.
bool pathStyle(S3Addressing addressing, std::string_view host, std::string_view bucket);

// Whether `bucket` follows the naming rules of the public store: 3 to 63
// lower-case letters, digits, dots and hyphens, beginning and ending with a
// letter or digit, no two dots in a row, not an IP address. Other stores
// may take more; a name outside the rules explains a refusal.
bool validBucketName(std::string_view bucket);

}  // namespace corvane::s3
