#include "s3/s3_error.h"

#include <utility>

namespace corvane::s3 {

S3Error::S3Error(Kind kind, long httpStatus, std::string code, std::string detail, std::string text)
    : std::runtime_error(std::move(text)),
      kind_(kind),
      httpStatus_(httpStatus),
      code_(std::move(code)),
      detail_(std::move(detail)) {}

S3Error S3Error::status(const std::string& operation, long httpStatus, std::string code,
                        std::string message) {
  std::string text = "S3 " + operation + ": " + std::to_string(httpStatus);
  if (!code.empty()) text += " " + code;
  if (!message.empty()) text += ": " + message;
  return S3Error(Kind::kStatus, httpStatus, std::move(code), std::move(message), std::move(text));
}

S3Error S3Error::connection(const std::string& operation, std::string detail) {
  std::string text = "S3 " + operation + ": no answer from the store: " + detail;
  return S3Error(Kind::kConnection, 0, {}, std::move(detail), std::move(text));
}

S3Error S3Error::protocol(const std::string& operation, std::string detail) {
  std::string text = "S3 " + operation + ": unexpected answer from the store: " + detail;
  return S3Error(Kind::kProtocol, 0, {}, std::move(detail), std::move(text));
}

S3Error S3Error::canceled(const std::string& operation) {
  return S3Error(Kind::kCanceled, 0, {}, "canceled", "S3 " + operation + ": canceled");
}

S3Error S3Error::withText(std::string text) const {
  S3Error copy(kind_, httpStatus_, code_, detail_, std::move(text));
  copy.bucketRegion_ = bucketRegion_;
  return copy;
}

S3Error S3Error::withBucketRegion(std::string region) const {
  S3Error copy = *this;
  copy.bucketRegion_ = std::move(region);
  return copy;
}

}  // namespace corvane::s3
