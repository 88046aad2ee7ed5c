// The one failure type of the S3 client: what went wrong with one request to
// the store, in a form the engine can map onto its own errors (404, 403,
// 409/412, 5xx, no connection) and show to the user.
//
// A value type; copies are independent and may cross threads. The text never
// holds a credential: it is made from the operation, the object's key and what
// the store or libcurl said.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::s3 {

class S3Error : public std::runtime_error {
 public:
  enum class Kind {
    kStatus,      // the store answered with an error status
    kConnection,  // no answer: the endpoint could not be reached, TLS failed, the
                  // connection broke or went silent
    kProtocol,    // an answer that does not fit: unreadable XML, a short body
    kCanceled,    // the caller's progress callback asked to stop
  };

  // `operation` names the request, e.g. "GET notes/a.txt" or "check bucket b".
  static S3Error status(const std::string& operation, long httpStatus, std::string code,
                        std::string message);
  static S3Error connection(const std::string& operation, std::string detail);
  static S3Error protocol(const std::string& operation, std::string detail);
  static S3Error canceled(const std::string& operation);
  // The same failure told with another sentence, e.g. the one line the engine
  // prints when a bucket cannot be served.
  S3Error withText(std::string text) const;
  // The same failure, knowing the bucket's region from the answer.
  S3Error withBucketRegion(std::string region) const;

  Kind kind() const { return kind_; }
  // The HTTP status; 0 unless kind() is kStatus.
  long httpStatus() const { return httpStatus_; }
  // The store's error code ("NoSuchKey", "PreconditionFailed"), or empty when
  // the answer carried none (a HEAD has no body).
  const std::string& code() const { return code_; }
  // The store's message (often empty), or libcurl's / our description of
  // what failed for the other kinds.
  const std::string& detail() const { return detail_; }
  // The bucket's region as the refusal named it (the x-amz-bucket-region
  // header, or the Region of the XML error); empty when it named none.
  const std::string& bucketRegion() const { return bucketRegion_; }

  bool isNotFound() const { return httpStatus_ == 404; }
  bool isForbidden() const { return httpStatus_ == 403; }
  bool isConflict() const { return httpStatus_ == 409; }
  bool isPreconditionFailed() const { return httpStatus_ == 412; }
  // The store or the way to it failed, not the request: 5xx and every
  // connection or protocol failure.
  bool isServerSide() const {
    return kind_ == Kind::kConnection || kind_ == Kind::kProtocol || httpStatus_ >= 500;
  }

 private:
  S3Error(Kind kind, long httpStatus, std::string code, std::string detail, std::string text);

  Kind kind_;
  long httpStatus_;
  std::string code_;
  std::string detail_;
  std::string bucketRegion_;
};

}  // namespace corvane::s3
