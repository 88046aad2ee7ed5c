#include "s3/s3_answer.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "s3/s3_encoding.h"

namespace corvane::s3 {
namespace {

bool parseNumber(std::string_view text, std::uint64_t& out) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::optional<Timestamp> parseHttpDate(const std::string& value) {
  if (value.empty()) return std::nullopt;
  const time_t seconds = curl_getdate(value.c_str(), nullptr);
  if (seconds < 0) return std::nullopt;
  return Timestamp(std::chrono::seconds(seconds));
}

S3ObjectInfo objectFromHeaders(const std::string& key, const S3Response& response) {
  S3ObjectInfo info;
  info.key = key;
  std::uint64_t size = 0;
  if (parseNumber(response.header("content-length"), size)) info.size = size;
  info.etag = quotedEtag(response.header("etag"));
  if (auto time = parseHttpDate(response.header("last-modified"))) info.lastModified = *time;
  info.versionId = response.header("x-amz-version-id");
  // Kept so that a copy onto the object itself, which has to name all of
  // them again, changes nothing but what it means to.
  static constexpr std::string_view kContentHeaders[] = {"content-type",     "content-encoding",
                                                         "content-language", "content-disposition",
                                                         "cache-control",    "expires"};
  constexpr std::string_view kMetaPrefix = "x-amz-meta-";
  info.metadata.emplace();
  for (const auto& [name, value] : response.headers) {
    if (name.starts_with(kMetaPrefix)) {
      (*info.metadata)[name.substr(kMetaPrefix.size())] = value;
    } else if (std::find(std::begin(kContentHeaders), std::end(kContentHeaders), name) !=
               std::end(kContentHeaders)) {
      info.contentHeaders.push_back(name + ": " + value);
    }
  }
  return info;
}

std::optional<ContentRange> parseContentRange(const std::string& value) {
  std::string_view text(value);
  if (text.rfind("bytes ", 0) != 0) return std::nullopt;
  text.remove_prefix(6);
  const auto dash = text.find('-');
  const auto slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return std::nullopt;
  }
  ContentRange range;
  if (!parseNumber(text.substr(0, dash), range.first) ||
      !parseNumber(text.substr(dash + 1, slash - dash - 1), range.last) ||
      !parseNumber(text.substr(slash + 1), range.total) || range.last < range.first ||
      range.last >= range.total) {
    return std::nullopt;
  }
  return range;
}

}  // namespace corvane::s3
