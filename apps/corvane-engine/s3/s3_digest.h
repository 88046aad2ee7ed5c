// The digests that vouch for the bytes of a request: MD5 for Content-MD5
// and for comparing with the ETag the store answers, of memory or of a
// stretch of a file.
//
// Pure functions (apart from reading the file); any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::s3 {

// The raw 16 bytes of the MD5 of `data`.
std::string md5Of(std::string_view data);
// The same of `length` bytes of `fd` from `offset` (read with pread, so the
// descriptor's offset is untouched). Throws std::system_error when the file
// cannot be read or ends early.
std::string md5OfFile(int fd, std::uint64_t offset, std::uint64_t length);

// base64 of a raw digest, as Content-MD5 carries it.
std::string base64Of(std::string_view bytes);
// base64 of the MD5 of `data`, for Content-MD5.
std::string contentMd5(std::string_view data);

// The ETag the store gives an object made of parts whose (hex MD5) ETags
// are `partEtags`: the MD5 of their raw digests, "-" and their count.
// Nothing when an ETag is not a hex MD5 (the store encrypts, say).
std::string multipartEtag(const std::vector<std::string>& partEtags);

}  // namespace corvane::s3
