// S3Client's uploads and copies: a single request for small objects, a
// multipart upload (or copy) with parts in parallel for large ones, which is
// aborted whenever it cannot be completed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <system_error>
#include <utility>

#include "host_log.h"
#include "s3/parallel_parts.h"
#include "s3/s3_answer.h"
#include "s3/s3_client.h"
#include "s3/s3_xml.h"
#include "s3/sigv4.h"

namespace corvane::s3 {
namespace {

constexpr std::uint64_t kMaxParts = 10000;
constexpr std::uint64_t kMiB = 1 << 20;

// The configured part size, grown (in whole MiB) when the object would need
// more parts than a multipart upload may have.
std::uint64_t partSizeFor(std::uint64_t size, std::uint64_t configured) {
  const std::uint64_t least = (size + kMaxParts - 1) / kMaxParts;
  if (configured >= least) return configured;
  return (least + kMiB - 1) / kMiB * kMiB;
}

template <typename Read>
auto readAnswer(const std::string& operation, Read read) {
  try {
    return read();
  } catch (const S3XmlError& e) {
    throw S3Error::protocol(operation, e.what());
  }
}

// Whether the store encrypts the object with a key of its own or of ours
// (SSE-KMS, SSE-C): its ETag is then no MD5 of the bytes.
bool encryptedWithKey(const S3Response& answer) {
  const std::string sse = answer.header("x-amz-server-side-encryption");
  return sse.rfind("aws:kms", 0) == 0 ||
         !answer.header("x-amz-server-side-encryption-customer-algorithm").empty();
}

// The bytes the store took must be the bytes sent: its ETag of a single
// upload (or part) is their MD5, which Content-MD5 asked it to check. A
// store that ignores Content-MD5 is caught here.
void checkTaken(const S3Response& answer, const std::string& sentMd5Hex,
                const std::string& operation) {
  const std::string etag = bareEtag(answer.header("etag"));
  if (etag.empty() || encryptedWithKey(answer) || etag == sentMd5Hex) return;
  throw S3Error::protocol(operation, "the store's ETag " + etag +
                                         " is not the MD5 of the bytes sent (" + sentMd5Hex +
                                         "): they were changed on the way");
}

// The headers that store user metadata with an object.
std::vector<std::string> metadataLines(const std::map<std::string, std::string>& metadata) {
  std::vector<std::string> lines;
  for (const auto& [name, value] : metadata) lines.push_back("x-amz-meta-" + name + ": " + value);
  return lines;
}

// What a write says of the object besides its bytes: its content type and
// user metadata.
std::vector<std::string> describingHeaders(const S3PutOptions& options) {
  std::vector<std::string> lines = metadataLines(options.metadata);
  lines.insert(lines.begin(), "Content-Type: " + options.contentType);
  return lines;
}

// The copy source header's value: the bucket and encoded key (and version).
std::string copySource(const std::string& bucket, const std::string& key,
                       const std::string& versionId) {
  std::string value = "/" + bucket + "/" + uriEncode(key, true);
  if (!versionId.empty()) value += "?versionId=" + uriEncode(versionId, false);
  return value;
}

}  // namespace

// One multipart upload (or multipart copy) from creation to completion; the
// destructor aborts it unless it completed, so that no unfinished upload is
// left in the bucket whatever went wrong.
class S3Client::Upload {
 public:
  // `headers` describe the object to be (its content type, its metadata).
  Upload(const S3Client& client, const std::string& key, std::vector<std::string> headers,
         std::size_t partCount)
      : client_(client), key_(key), etags_(partCount) {
    S3Request r = client_.request("POST", key_, "CREATE upload of " + key_);
    r.query = {{"uploads", ""}};
    r.headers = std::move(headers);
    const S3Response answer = client_.connection_.send(r);
    uploadId_ = readAnswer(r.operation, [&] { return readUploadId(answer.body); });
  }

  ~Upload() {
    if (completed_) return;
    if (outcomeUnknown_) {
      // The completion may have landed, or may still be under way at the
      // store: an abort could destroy the object just made. The upload is
      // left for the clean-up of unfinished uploads.
      hostlog::warning("S3 upload " + uploadId_ + " of " + key_ +
                       " is left in the bucket: its completion went without a clear answer");
      return;
    }
    try {
      client_.abortMultipartUpload(key_, uploadId_);
    } catch (const std::exception&) {
      // The failure that got us here is the one to report; a store keeps an
      // upload it could not abort until its lifecycle rules remove it.
    }
  }

  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  // A request for part `index` (numbered from 1 on the wire). Sending a part
  // again replaces it, so parts may be retried.
  S3Request partRequest(std::size_t index) const {
    S3Request r =
        client_.request("PUT", key_, "PUT part " + std::to_string(index + 1) + " of " + key_);
    r.query = {{"partNumber", std::to_string(index + 1)}, {"uploadId", uploadId_}};
    return r;
  }

  void setPartEtag(std::size_t index, std::string etag) {
    std::lock_guard lock(mutex_);
    etags_[index] = std::move(etag);
  }

  // Completes the upload. A completion that the store refuses for good
  // leaves the upload to the destructor's abort; one whose outcome stays
  // unknown after every try (no answer, the store failing) does not.
  void complete(const S3PutOptions& conditions) {
    std::vector<std::pair<int, std::string>> parts;
    std::vector<std::string> etags;
    {
      std::lock_guard lock(mutex_);
      for (std::size_t i = 0; i < etags_.size(); ++i) {
        if (etags_[i].empty()) {
          throw S3Error::protocol("PUT " + key_, "part " + std::to_string(i + 1) + " has no ETag");
        }
        parts.emplace_back(static_cast<int>(i + 1), etags_[i]);
      }
      etags = etags_;
    }
    S3Request r = client_.request("POST", key_, "COMPLETE upload of " + key_);
    r.query = {{"uploadId", uploadId_}};
    r.bodyText = writeCompleteBody(parts);
    r.headers = {"Content-Type: application/xml"};
    // The store may begin its answer with 200 and still fail.
    r.errorsInBody = true;
    const std::string expected = multipartEtag(etags);
    try {
      client_.sendWrite(r, key_, conditions, expected);
    } catch (const S3Error& e) {
      if (e.isServerSide()) {
        if (client_.holding(key_, expected)) {
          completed_ = true;
          return;
        }
        outcomeUnknown_ = true;
      }
      throw;
    }
    completed_ = true;
  }

 private:
  const S3Client& client_;
  const std::string& key_;
  std::string uploadId_;
  bool completed_ = false;
  bool outcomeUnknown_ = false;
  std::mutex mutex_;
  std::vector<std::string> etags_;  // guarded by mutex_, by part index
};

S3ObjectInfo S3Client::putSingle(const std::string& key, int fd, std::string_view bytes,
                                 std::uint64_t size, const S3PutOptions& options) const {
  TransferMonitor monitor(options.progress, size);
  S3Request r = request("PUT", key, "PUT " + key);
  std::string md5;
  if (fd >= 0) {
    r.bodyFd = fd;
    r.bodyLength = size;
    md5 = md5OfFile(fd, 0, size);
  } else {
    r.bodyText.assign(bytes);
    md5 = md5Of(bytes);
  }
  r.headers = describingHeaders(options);
  r.headers.push_back("Content-MD5: " + base64Of(md5));
  r.monitor = &monitor;
  const std::string operation = r.operation;
  const WriteOutcome outcome = sendWrite(std::move(r), key, options, hexOf(md5));
  if (outcome.landed) {
    monitor.finish();
    return *outcome.landed;
  }
  const S3Response& answer = outcome.answer;
  checkTaken(answer, hexOf(md5), operation);
  S3ObjectInfo info;
  info.key = key;
  info.size = size;
  info.etag = quotedEtag(answer.header("etag"));
  info.versionId = answer.header("x-amz-version-id");
  if (auto time = parseHttpDate(answer.header("date"))) info.lastModified = *time;
  monitor.finish();
  return info;
}

S3ObjectInfo S3Client::putFromFd(const std::string& key, int fd,
                                 const S3PutOptions& options) const {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    throw std::system_error(errno, std::generic_category(), "upload of " + key);
  }
  if (!S_ISREG(st.st_mode)) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                            "upload of " + key + ": not a regular file");
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size < options_.multipartThreshold) return putSingle(key, fd, {}, size, options);

  const std::uint64_t partSize = partSizeFor(size, options_.uploadPartSize);
  const std::size_t count = static_cast<std::size_t>((size + partSize - 1) / partSize);
  TransferMonitor monitor(options.progress, size);
  Upload upload(*this, key, describingHeaders(options), count);
  runParts("PUT " + key, count, options_.concurrency, monitor, [&](std::size_t index) {
    S3Request r = upload.partRequest(index);
    r.bodyFd = fd;
    r.bodyOffset = index * partSize;
    r.bodyLength = std::min(partSize, size - r.bodyOffset);
    r.monitor = &monitor;
    // The part is read once more for its digest before it is sent.
    const std::string md5 = md5OfFile(fd, r.bodyOffset, r.bodyLength);
    r.headers = {"Content-MD5: " + base64Of(md5)};
    const S3Response answer = connection_.send(r);
    const std::string etag = answer.header("etag");
    if (etag.empty()) throw S3Error::protocol(r.operation, "the answer has no ETag");
    checkTaken(answer, hexOf(md5), r.operation);
    upload.setPartEtag(index, etag);
  });

  // Conditions are checked once more right before completing: stores may
  // not evaluate them on completion, and the upload took a while.
  if (!options.ifMatch.empty() || options.ifNoneMatch) {
    std::optional<S3ObjectInfo> current;
    try {
      current = head(key);
    } catch (const S3Error& e) {
      if (!e.isNotFound()) throw;
    }
    const bool holds = options.ifNoneMatch
                           ? !current
                           : current && bareEtag(current->etag) == bareEtag(options.ifMatch);
    if (!holds) {
      throw S3Error::status("PUT " + key, 412, "PreconditionFailed",
                            options.ifNoneMatch ? "an object with this key exists"
                                                : "the object is not the version the write "
                                                  "was based on");
    }
  }
  upload.complete(options);
  // The completion's ETag may be missing (some stores leave it empty); the
  // object's own description is asked for instead, and its size checked.
  S3ObjectInfo info = head(key);
  if (info.size != size) {
    throw S3Error::protocol("PUT " + key, "the store holds " + std::to_string(info.size) +
                                              " bytes after uploading " + std::to_string(size));
  }
  monitor.finish();
  return info;
}

S3ObjectInfo S3Client::putFromFile(const std::string& key, const std::filesystem::path& path,
                                   const S3PutOptions& options) const {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
  }
  try {
    S3ObjectInfo info = putFromFd(key, fd, options);
    ::close(fd);
    return info;
  } catch (...) {
    ::close(fd);
    throw;
  }
}

S3ObjectInfo S3Client::copy(const std::string& sourceKey, const std::string& destinationKey,
                            const S3CopyOptions& options) const {
  S3ObjectInfo source;
  // With the source's size and ETag known no HEAD is needed: the copy is
  // pinned to that ETag, and checked afterwards (see checkCopiedVersion).
  if (options.sourceSize && !options.sourceIfMatch.empty()) {
    source.key = sourceKey;
    source.size = *options.sourceSize;
    source.etag = options.sourceIfMatch;
  } else {
    source = head(sourceKey, options.sourceVersionId);
  }
  if (!options.sourceIfMatch.empty() && bareEtag(options.sourceIfMatch) != bareEtag(source.etag)) {
    throw S3Error::status("COPY " + sourceKey, 412, "PreconditionFailed",
                          "the source is not the version the copy was based on");
  }
  if (source.size > options_.multipartCopyThreshold) {
    return copyMultipart(sourceKey, destinationKey, source, options);
  }
  const std::string operation = "COPY " + sourceKey + " to " + destinationKey;
  S3Request r = request("PUT", destinationKey, operation);
  r.headers = {"x-amz-copy-source: " + copySource(bucket_, sourceKey, options.sourceVersionId)};
  // Pinned to the version just seen, so that the size reported is the copy's.
  r.headers.push_back("x-amz-copy-source-if-match: \"" + bareEtag(source.etag) + "\"");
  if (options.replaceMetadata) {
    r.headers.push_back("x-amz-metadata-directive: REPLACE");
    for (auto& line : metadataLines(*options.replaceMetadata)) r.headers.push_back(std::move(line));
    for (const auto& line : options.replaceContentHeaders) r.headers.push_back(line);
  }
  // A copy can fail after the store has begun to answer 200; the error then
  // comes in the body.
  r.errorsInBody = true;
  const S3Response answer = connection_.send(r);
  const XmlResultTag result =
      readAnswer(operation, [&] { return readResultTag(answer.body, "CopyObjectResult"); });
  S3ObjectInfo info;
  info.key = destinationKey;
  info.size = source.size;
  info.etag = result.etag;
  if (result.lastModified) info.lastModified = *result.lastModified;
  info.versionId = answer.header("x-amz-version-id");
  checkCopiedVersion(sourceKey, destinationKey, source, info.etag, options.sourceVersionId);
  return info;
}

// Some stores (the RADOS Gateway among them) ignore
// x-amz-copy-source-if-match and copy whatever the source holds. A copy
// whose ETag is the pinned one holds the pinned bytes; any other ETag may be
// the store's own way of writing it (a multipart source, encryption), so
// the source is asked: when it no longer has the pinned ETag, the copy may
// be of another version and is taken back.
void S3Client::checkCopiedVersion(const std::string& sourceKey, const std::string& destinationKey,
                                  const S3ObjectInfo& source,
                                  const std::optional<std::string>& copiedEtag,
                                  const std::string& sourceVersionId) const {
  if (!sourceVersionId.empty()) return;
  if (copiedEtag && bareEtag(*copiedEtag) == bareEtag(source.etag)) return;
  S3ObjectInfo now;
  try {
    now = head(sourceKey);
  } catch (const S3Error& e) {
    if (!e.isNotFound()) throw;
  }
  if (bareEtag(now.etag) == bareEtag(source.etag)) return;
  if (copiedEtag) remove(destinationKey);
  throw S3Error::status("COPY " + sourceKey, 412, "PreconditionFailed",
                        "the source changed while it was copied");
}

// The store copies each part itself (UploadPartCopy), pinned to the
// source's ETag, at most `concurrency` parts at a time.
S3ObjectInfo S3Client::copyMultipart(const std::string& sourceKey,
                                     const std::string& destinationKey, const S3ObjectInfo& source,
                                     const S3CopyOptions& options) const {
  const std::uint64_t partSize = partSizeFor(source.size, options_.copyPartSize);
  const std::size_t count = static_cast<std::size_t>((source.size + partSize - 1) / partSize);
  TransferMonitor monitor(options.progress, source.size);
  const std::string sourceHeader =
      "x-amz-copy-source: " + copySource(bucket_, sourceKey, options.sourceVersionId);
  const std::string pinned = "\"" + bareEtag(source.etag) + "\"";

  // A multipart upload takes nothing from its source but bytes: the
  // source's description is given again, unless the caller replaces it.
  std::vector<std::string> describing;
  if (options.replaceMetadata) {
    describing = metadataLines(*options.replaceMetadata);
    describing.insert(describing.end(), options.replaceContentHeaders.begin(),
                      options.replaceContentHeaders.end());
  } else {
    const S3ObjectInfo described =
        source.metadata ? source : head(sourceKey, options.sourceVersionId);
    describing = metadataLines(*described.metadata);
    describing.insert(describing.end(), described.contentHeaders.begin(),
                      described.contentHeaders.end());
  }
  Upload upload(*this, destinationKey, std::move(describing), count);
  auto copyPart = [&](std::size_t index) {
    const std::uint64_t first = index * partSize;
    const std::uint64_t last = std::min(source.size, first + partSize) - 1;
    const std::string range = "bytes=" + std::to_string(first) + "-" + std::to_string(last);
    S3Request r = upload.partRequest(index);
    r.headers = {sourceHeader, "x-amz-copy-source-if-match: " + pinned,
                 "x-amz-copy-source-range: " + range};
    r.errorsInBody = true;
    const S3Response answer = connection_.send(r);
    const XmlResultTag result =
        readAnswer(r.operation, [&] { return readResultTag(answer.body, "CopyPartResult"); });
    if (result.etag.empty()) throw S3Error::protocol(r.operation, "the answer has no ETag");
    upload.setPartEtag(index, result.etag);
    monitor.add(last - first + 1);
  };
  try {
    runParts("COPY " + sourceKey, count, options_.concurrency, monitor, copyPart);
  } catch (const S3Error& e) {
    // A source that shrank meanwhile fails with a range past its end: a
    // stale source is the failure to report.
    if (e.kind() == S3Error::Kind::kStatus) {
      checkCopiedVersion(sourceKey, destinationKey, source, std::nullopt, options.sourceVersionId);
    }
    throw;
  }
  // The parts' ETags cannot tell which version they came from.
  checkCopiedVersion(sourceKey, destinationKey, source, std::nullopt, options.sourceVersionId);
  upload.complete({});
  S3ObjectInfo info = head(destinationKey);
  if (info.size != source.size) {
    throw S3Error::protocol("COPY " + sourceKey, "the copy holds " + std::to_string(info.size) +
                                                     " bytes of " + std::to_string(source.size));
  }
  monitor.finish();
  return info;
}

}  // namespace corvane::s3
