// The byte-exact texts that requests to the store are made of: encoded
// paths and queries as the signature covers them, and the decoding of the
// percent-encoded names in listings.
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::s3 {

// Every byte outside A-Za-z0-9-._~ as upper-case %XX; "/" stays as it is when
// `keepSlash` (an object key in a path), so the text is already canonical and
// a signer that takes the path as written signs what the store recomputes.
std::string uriEncode(std::string_view text, bool keepSlash);

using QueryParameters = std::vector<std::pair<std::string, std::string>>;

// "a=1&b=&c=x%2Fy": names and values encoded, sorted by encoded name (then
// value), a parameter without value written "name=". Empty for no parameters.
std::string canonicalQuery(const QueryParameters& parameters);

// Reverses the percent-encoding of names in listings asked for with
// encoding-type=url: %XX becomes its byte and "+" a space (stores encode a
// literal "+" as %2B). Nothing for a broken escape.
std::optional<std::string> decodeListedName(std::string_view text);

// An ETag in one form whichever way the store wrote it: within quotes
// ("\"9b2c...\""), as HEAD reports it. Stores differ (some answer a copy with
// a bare ETag); empty stays empty.
std::string quotedEtag(std::string_view etag);
// The ETag without its quotes, as stores compare it.
std::string bareEtag(std::string_view etag);

}  // namespace corvane::s3
