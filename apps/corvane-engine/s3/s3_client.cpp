#include "s3/s3_client.h"

#include <utility>

#include "s3/s3_addressing.h"
#include "s3/s3_answer.h"
#include "s3/s3_xml.h"

namespace corvane::s3 {
namespace {

constexpr std::size_t kDeleteBatch = 1000;
constexpr std::chrono::milliseconds kBucketCheckBudget{5000};

// Reading an answer's XML; a shape we do not understand is the store's
// protocol failure, not ours.
template <typename Read>
auto readAnswer(const std::string& operation, Read read) {
  try {
    return read();
  } catch (const S3XmlError& e) {
    throw S3Error::protocol(operation, e.what());
  }
}

}  // namespace

S3Client::S3Client(S3Config config, std::string bucket, S3ClientOptions options)
    : bucket_(std::move(bucket)),
      options_(options),
      connection_(std::move(config), options.connection) {}

S3Client::~S3Client() = default;

S3Request S3Client::request(std::string method, const std::string& key,
                            std::string operation) const {
  S3Request r;
  r.method = std::move(method);
  r.bucket = bucket_;
  r.key = key;
  r.operation = std::move(operation);
  return r;
}

bool S3Client::versioned() const { return versionedWithin(std::nullopt); }

bool S3Client::versionedWithin(std::optional<std::chrono::milliseconds> budget) const {
  S3Request r = request("GET", "", "GET versioning of bucket " + bucket_);
  r.query = {{"versioning", ""}};
  r.retryBudget = budget;
  S3Response answer;
  try {
    answer = connection_.send(r);
  } catch (const S3Error& e) {
    // Some stores do not implement versioning and say so: their buckets
    // hold one version of each object, as an unversioned bucket does.
    if (e.kind() == S3Error::Kind::kStatus && e.httpStatus() == 501) return false;
    throw;
  }
  return readAnswer(r.operation, [&] { return readVersioningStatus(answer.body); }) == "Enabled";
}

std::string S3Client::regionNamed() const {
  S3Request r = request("HEAD", "", "HEAD bucket " + bucket_);
  r.retryBudget = kBucketCheckBudget;
  try {
    return connection_.send(r).header("x-amz-bucket-region");
  } catch (const S3Error& e) {
    return e.bucketRegion();
  }
}

S3BucketInfo S3Client::checkBucket() const {
  const std::string& endpoint = config().endpoint;
  const std::string named = "the bucket \"" + bucket_ + "\"";
  try {
    // An engine that cannot serve its buckets says so soon; its service
    // manager starts it again a little later.
    return S3BucketInfo{versionedWithin(kBucketCheckBudget)};
  } catch (const S3Error& e) {
    using Problem = S3Error::Problem;
    if (e.kind() == S3Error::Kind::kConnection) {
      throw e.withText("cannot reach the S3 endpoint " + endpoint + ": " + e.detail());
    }
    if (e.kind() == S3Error::Kind::kProtocol) {
      throw e.withText("the endpoint " + endpoint + " does not answer as an S3 store does (" +
                       e.detail() + "): check the endpoint");
    }
    // Why a store may not know the bucket or take our signature: a name
    // outside the rules (a virtual-hosted name in upper case is signed for
    // one host and read as another).
    const std::string nameHint =
        validBucketName(bucket_)
            ? std::string()
            : "; \"" + bucket_ +
                  "\" is not a valid bucket name (3 to 63 lower-case letters, digits, dots and "
                  "hyphens)";
    const std::string& code = e.code();
    if (e.problem() == Problem::kWrongRegion) {
      throw e.withText(named + " is not in the region " + config().region + " at " + endpoint +
                       (e.detail().empty() ? std::string() : " " + e.detail()) +
                       (e.bucketRegion().empty() || e.bucketRegion() == config().region
                            ? "; give its region with --s3-region"
                            : "; start the engine with --s3-region " + e.bucketRegion()));
    }
    if (e.problem() == Problem::kSkewedClock) {
      throw e.withText("the S3 store at " + endpoint + " refuses the time of this machine: " +
                       e.what());
    }
    if (e.problem() == Problem::kInvalidBucketName) {
      throw e.withText("the S3 store at " + endpoint + " does not take \"" + bucket_ +
                       "\" as a bucket name (" + code + ")" + nameHint);
    }
    if (e.httpStatus() == 404) {
      throw e.withText(named + " does not exist at " + endpoint + " (" + code + ")" + nameHint);
    }
    if (code == "InvalidAccessKeyId" || code == "SignatureDoesNotMatch" || code == "InvalidToken" ||
        code == "ExpiredToken" || code == "InvalidClientTokenId" ||
        code == "AuthorizationHeaderMalformed") {
      std::string text = "the S3 store at " + endpoint + " refused the credentials (" + code;
      if (!e.detail().empty()) text += ": " + e.detail();
      throw e.withText(text + ")" + nameHint);
    }
    if (e.httpStatus() == 403) {
      // A user may be allowed to list and read without being allowed to read
      // the bucket's settings: such a bucket is served as unversioned.
      try {
        listPage("", "", "", 1);
        return S3BucketInfo{false};
      } catch (const S3Error&) {
      }
      throw e.withText("access to " + named + " at " + endpoint + " is denied (" + code + ")");
    }
    throw e.withText("the S3 store at " + endpoint + " cannot serve " + named + ": " + e.what());
  }
}

S3ListPage S3Client::listPage(std::string_view prefix, std::string_view delimiter,
                              std::string_view continuationToken, int maxKeys,
                              std::string_view startAfter) const {
  S3Request r = request("GET", "", "LIST " + bucket_ + "/" + std::string(prefix));
  r.query = {{"list-type", "2"},
             {"encoding-type", "url"},
             {"max-keys", std::to_string(maxKeys)},
             {"prefix", std::string(prefix)}};
  if (!delimiter.empty()) r.query.emplace_back("delimiter", std::string(delimiter));
  if (!continuationToken.empty()) {
    r.query.emplace_back("continuation-token", std::string(continuationToken));
  }
  if (!startAfter.empty()) r.query.emplace_back("start-after", std::string(startAfter));
  const S3Response answer = connection_.send(r);
  return readAnswer(r.operation, [&] { return readListPage(answer.body); });
}

void S3Client::listAll(std::string_view prefix, std::string_view delimiter,
                       const std::function<bool(S3ListPage& page)>& onPage, int maxKeys) const {
  std::string token;
  do {
    S3ListPage page = listPage(prefix, delimiter, token, maxKeys);
    token = page.nextContinuationToken;
    if (!onPage(page)) return;
  } while (!token.empty());
}

S3ObjectInfo S3Client::head(const std::string& key, const std::string& versionId) const {
  S3Request r = request("HEAD", key, "HEAD " + key);
  if (!versionId.empty()) r.query = {{"versionId", versionId}};
  return objectFromHeaders(key, connection_.send(r));
}

std::string S3Client::ifMatchLine(const std::string& etag, bool quoted) const {
  const std::string bare = bareEtag(etag);
  return "If-Match: " + (quoted ? "\"" + bare + "\"" : bare);
}

std::optional<S3ObjectInfo> S3Client::holding(const std::string& key,
                                               const std::string& expectedEtag) const {
  if (expectedEtag.empty()) return std::nullopt;
  try {
    S3ObjectInfo object = head(key);
    if (bareEtag(object.etag) == bareEtag(expectedEtag)) return object;
  } catch (const S3Error&) {
  }
  return std::nullopt;
}

// The quoted form of If-Match is the standard one, but some stores compare
// the header with the ETag stripped of its quotes and refuse the quoted form
// with 412 although the ETag matches (while others may want the quotes). The
// first 412 is checked with a HEAD: when the object does have the ETag, the
// write is sent again with the bare form, and the form that worked is kept
// for the client's lifetime.
S3Client::WriteOutcome S3Client::sendWrite(S3Request r, const std::string& key,
                                           const S3PutOptions& options,
                                           const std::string& expectedEtag) const {
  if (options.ifNoneMatch) r.headers.push_back("If-None-Match: *");
  const Quoting known = ifMatchQuoting_.load();
  if (!options.ifMatch.empty()) {
    r.headers.push_back(ifMatchLine(options.ifMatch, known != Quoting::kBare));
  }
  try {
    WriteOutcome outcome{connection_.send(r), std::nullopt};
    if (!options.ifMatch.empty() && known == Quoting::kUnknown) {
      ifMatchQuoting_.store(Quoting::kQuoted);
    }
    return outcome;
  } catch (const S3Error& e) {
    // A try whose answer was lost may have written the object: the refusal
    // of a later try is then the store telling us so.
    if (e.afterLostAnswer() && (e.isPreconditionFailed() || e.code() == "NoSuchUpload")) {
      if (auto object = holding(key, expectedEtag)) return {S3Response{}, std::move(object)};
    }
    if (!e.isPreconditionFailed() || options.ifMatch.empty() || known != Quoting::kUnknown) {
      throw;
    }
    S3ObjectInfo current;
    try {
      current = head(key);
    } catch (const S3Error&) {
      throw e;
    }
    if (bareEtag(current.etag) != bareEtag(options.ifMatch)) throw;
    r.headers.back() = ifMatchLine(options.ifMatch, false);
    WriteOutcome outcome{connection_.send(r), std::nullopt};
    ifMatchQuoting_.store(Quoting::kBare);
    return outcome;
  }
}

S3ObjectInfo S3Client::putBytes(const std::string& key, std::string_view bytes,
                                const S3PutOptions& options) const {
  return putSingle(key, -1, bytes, bytes.size(), options);
}

void S3Client::remove(const std::string& key, const std::string& versionId) const {
  S3Request r = request("DELETE", key, "DELETE " + key);
  if (!versionId.empty()) r.query = {{"versionId", versionId}};
  connection_.send(r);
}

std::vector<S3ObjectVersion> S3Client::listVersions(std::string_view prefix) const {
  std::vector<S3ObjectVersion> versions;
  std::string keyMarker;
  std::string versionIdMarker;
  for (;;) {
    S3Request r = request("GET", "", "LIST versions " + bucket_ + "/" + std::string(prefix));
    r.query = {{"versions", ""}, {"encoding-type", "url"}, {"prefix", std::string(prefix)}};
    if (!keyMarker.empty()) r.query.emplace_back("key-marker", keyMarker);
    if (!versionIdMarker.empty()) r.query.emplace_back("version-id-marker", versionIdMarker);
    const S3Response answer = connection_.send(r);
    XmlVersionsPage page = readAnswer(r.operation, [&] { return readVersionsPage(answer.body); });
    versions.insert(versions.end(), page.versions.begin(), page.versions.end());
    if (!page.truncated) return versions;
    keyMarker = std::move(page.nextKeyMarker);
    versionIdMarker = std::move(page.nextVersionIdMarker);
  }
}

std::vector<S3DeleteFailure> S3Client::removeMany(const std::vector<std::string>& keys) const {
  std::vector<S3DeleteFailure> failures;
  std::vector<std::string> batch;
  auto flush = [&] {
    if (batch.empty()) return;
    S3Request r =
        request("POST", "", "DELETE " + std::to_string(batch.size()) + " keys from " + bucket_);
    r.query = {{"delete", ""}};
    r.bodyText = writeDeleteBody(batch);
    // Stores demand a checksum of the list of keys.
    r.headers = {"Content-Type: application/xml", "Content-MD5: " + contentMd5(r.bodyText)};
    const S3Response answer = connection_.send(r);
    auto refused = readAnswer(r.operation, [&] { return readDeleteFailures(answer.body); });
    failures.insert(failures.end(), refused.begin(), refused.end());
    batch.clear();
  };
  for (const std::string& key : keys) {
    if (!xmlCanCarry(key)) {
      // Such a key cannot be written in the XML list; it goes on its own.
      try {
        remove(key);
      } catch (const S3Error& e) {
        failures.push_back({key, e.code(), e.detail()});
      }
      continue;
    }
    batch.push_back(key);
    if (batch.size() == kDeleteBatch) flush();
  }
  flush();
  return failures;
}

std::vector<S3MultipartUpload> S3Client::listMultipartUploads(std::string_view prefix) const {
  std::vector<S3MultipartUpload> uploads;
  std::string keyMarker;
  std::string uploadIdMarker;
  for (;;) {
    S3Request r = request("GET", "", "LIST uploads " + bucket_ + "/" + std::string(prefix));
    r.query = {{"uploads", ""}, {"encoding-type", "url"}, {"prefix", std::string(prefix)}};
    if (!keyMarker.empty()) r.query.emplace_back("key-marker", keyMarker);
    if (!uploadIdMarker.empty()) r.query.emplace_back("upload-id-marker", uploadIdMarker);
    const S3Response answer = connection_.send(r);
    XmlUploadsPage page = readAnswer(r.operation, [&] { return readUploadsPage(answer.body); });
    uploads.insert(uploads.end(), page.uploads.begin(), page.uploads.end());
    if (!page.truncated) return uploads;
    keyMarker = std::move(page.nextKeyMarker);
    uploadIdMarker = std::move(page.nextUploadIdMarker);
  }
}

void S3Client::abortMultipartUpload(const std::string& key, const std::string& uploadId) const {
  S3Request r = request("DELETE", key, "ABORT upload of " + key);
  r.query = {{"uploadId", uploadId}};
  connection_.send(r);
}

void S3Client::createBucket() const {
  S3Request r = request("PUT", "", "CREATE bucket " + bucket_);
  // Outside us-east-1 the public stores want the region in the body.
  if (config().region != "us-east-1") {
    r.bodyText =
        "<CreateBucketConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
        "<LocationConstraint>" +
        config().region + "</LocationConstraint></CreateBucketConfiguration>";
  }
  connection_.send(r);
}

void S3Client::deleteBucket() const {
  connection_.send(request("DELETE", "", "DELETE bucket " + bucket_));
}

void S3Client::setVersioning(bool enabled) const {
  S3Request r = request("PUT", "", "PUT versioning of bucket " + bucket_);
  r.query = {{"versioning", ""}};
  r.bodyText = std::string(
                   "<VersioningConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
                   "<Status>") +
               (enabled ? "Enabled" : "Suspended") + "</Status></VersioningConfiguration>";
  r.headers = {"Content-Type: application/xml", "Content-MD5: " + contentMd5(r.bodyText)};
  connection_.send(r);
}

void S3Client::setPolicy(const std::string& policy) const {
  S3Request r = request("PUT", "", "PUT policy of bucket " + bucket_);
  r.query = {{"policy", ""}};
  r.bodyText = policy;
  r.headers = {"Content-Type: application/json"};
  connection_.send(r);
}

}  // namespace corvane::s3
