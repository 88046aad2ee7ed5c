// The XML of the S3 API: reading the store's answers and writing the few
// request bodies. Elements are matched by local name, since stores differ in
// the namespace (and prefix) they put on them.
//
// Pure functions; any thread. Readers throw S3XmlError when an answer does
// not have the expected shape.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "s3/s3_types.h"

namespace corvane::s3 {

class S3XmlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The Code and Message of an <Error> answer; nothing when `body` is not one
// (an empty body, another document, not XML at all); STS wraps the same
// element in an <ErrorResponse>. Some errors say more:
// the bucket's region after a wrong one, the store's clock after a skewed
// request.
struct XmlErrorAnswer {
  std::string code;
  std::string message;
  std::string region;                   // <Region>, empty without one
  std::optional<Timestamp> serverTime;  // <ServerTime>
  std::string storageClass;             // <StorageClass> of an archived object
};
std::optional<XmlErrorAnswer> readErrorAnswer(std::string_view body);

// The <Credentials> of an STS answer: `resultName` is the action's result
// element ("AssumeRoleResult"), within the matching "...Response" root. The
// four fields as written.
struct XmlStsCredentials {
  std::string accessKeyId;
  std::string secretAccessKey;
  std::string sessionToken;
  std::string expiration;
};
XmlStsCredentials readStsCredentials(std::string_view body, std::string_view resultName);

// A ListObjectsV2 page. Names are decoded when the answer says it used
// encoding-type=url.
S3ListPage readListPage(std::string_view body);

// The Status of a versioning configuration ("Enabled", "Suspended"), empty
// for a bucket that never had versioning.
std::string readVersioningStatus(std::string_view body);

// The UploadId of an InitiateMultipartUploadResult.
std::string readUploadId(std::string_view body);

// The ETag of a CompleteMultipartUploadResult, CopyObjectResult or
// CopyPartResult (possibly empty: some stores leave it out), and the
// LastModified of the copy results when present.
struct XmlResultTag {
  std::string etag;
  std::optional<Timestamp> lastModified;
};
XmlResultTag readResultTag(std::string_view body, std::string_view rootName);

// The failures of a DeleteResult (the deleted keys are not needed).
std::vector<S3DeleteFailure> readDeleteFailures(std::string_view body);

// One page of ListObjectVersions.
struct XmlVersionsPage {
  std::vector<S3ObjectVersion> versions;  // versions and delete markers in key order
  bool truncated = false;
  std::string nextKeyMarker;
  std::string nextVersionIdMarker;
};
XmlVersionsPage readVersionsPage(std::string_view body);

// One page of ListMultipartUploads.
struct XmlUploadsPage {
  std::vector<S3MultipartUpload> uploads;
  bool truncated = false;
  std::string nextKeyMarker;
  std::string nextUploadIdMarker;
};
XmlUploadsPage readUploadsPage(std::string_view body);

// The body of CompleteMultipartUpload: (part number, ETag) in order.
std::string writeCompleteBody(const std::vector<std::pair<int, std::string>>& parts);

// The body of DeleteObjects in quiet mode (only failures are answered).
std::string writeDeleteBody(const std::vector<std::string>& keys);

// Whether XML 1.0 can carry `text` at all: control characters other than tab
// and line ends cannot appear in a document, escaped or not.
bool xmlCanCarry(std::string_view text);

// "2026-12-10T13:49:24.010Z", with or without fractional seconds.
std::optional<Timestamp> parseIsoTime(std::string_view text);

}  // namespace corvane::s3
