#include "s3/s3_digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "s3/s3_encoding.h"
#include "s3/sigv4.h"

namespace corvane::s3 {
namespace {

struct DigestContext {
  DigestContext() : context(EVP_MD_CTX_new()) {
    if (!context || EVP_DigestInit_ex(context, EVP_md5(), nullptr) != 1) {
      EVP_MD_CTX_free(context);
      throw std::runtime_error("MD5 is not available");
    }
  }
  ~DigestContext() { EVP_MD_CTX_free(context); }
  void add(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(context, data, size) != 1) throw std::runtime_error("MD5 failed");
  }
  std::string finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1) throw std::runtime_error("MD5 failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
  }
  EVP_MD_CTX* context;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string md5Of(std::string_view data) {
  DigestContext md5;
  md5.add(data.data(), data.size());
  return md5.finish();
}

std::string md5OfFile(int fd, std::uint64_t offset, std::uint64_t length) {
  DigestContext md5;
  constexpr std::size_t kBuffer = 1 << 20;
  const auto buffer = std::make_unique<char[]>(kBuffer);
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBuffer, length));
    const ssize_t got = ::pread(fd, buffer.get(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::system_error(errno, std::generic_category(), "reading for MD5");
    if (got == 0) {
      throw std::system_error(std::make_error_code(std::errc::io_error),
                              "the file became shorter while it was read");
    }
    md5.add(buffer.get(), static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::uint64_t>(got);
  }
  return md5.finish();
}

std::string base64Of(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(n));
  return text;
}

std::string contentMd5(std::string_view data) { return base64Of(md5Of(data)); }

std::string multipartEtag(const std::vector<std::string>& partEtags) {
  std::string digests;
  for (const std::string& quoted : partEtags) {
    const std::string etag = bareEtag(quoted);
    if (etag.size() != 32) return {};
    for (std::size_t i = 0; i < 32; i += 2) {
      const int high = hexValue(etag[i]);
      const int low = hexValue(etag[i + 1]);
      if (high < 0 || low < 0) return {};
      digests.push_back(static_cast<char>(high * 16 + low));
    }
  }
  return hexOf(md5Of(digests)) + "-" + std::to_string(partEtags.size());
}

}  // namespace corvane::s3
