// The engine's client of one bucket on an S3-compatible store: the bucket
// check at start, listings, HEAD, streamed and parallel downloads, single and
// multipart uploads, copies, deletes and the conditional writes that detect
// conflicts. Every failure of the store is an S3Error (see s3_error.h); local
// file failures are std::system_error.
//
// Immutable after construction (its connection pools idle handles
// internally), so one client serves any number of threads at once. Large
// transfers run their parts on threads of their own, at most
// S3ClientOptions::concurrency per call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "s3/s3_config.h"
#include "s3/s3_connection.h"
#include "s3/s3_error.h"
#include "s3/s3_types.h"
#include "s3/transfer_monitor.h"

namespace corvane::s3 {

struct S3ClientOptions {
  S3ConnectionOptions connection;
  // Parts in flight at once for one large transfer.
  int concurrency = 4;
  // Downloads: objects (or ranges) of this size and more are fetched as
  // parallel ranged GETs of downloadPartSize bytes.
  std::uint64_t parallelDownloadThreshold = 64ull << 20;
  std::uint64_t downloadPartSize = 8ull << 20;
  // Uploads: files of this size and more go as multipart uploads of
  // uploadPartSize bytes (grown when a file would need more than 10,000).
  std::uint64_t multipartThreshold = 16ull << 20;
  std::uint64_t uploadPartSize = 16ull << 20;
  // Copies: objects larger than this are copied part by part (the store
  // refuses a single copy above 5 GiB).
  std::uint64_t multipartCopyThreshold = 5ull << 30;
  std::uint64_t copyPartSize = 512ull << 20;
};

// The bytes of an object to fetch: from `first` to `last` inclusive (to the
// end without `last`), or the final `suffixLength` bytes.
struct S3Range {
  std::uint64_t first = 0;
  std::optional<std::uint64_t> last;
  std::optional<std::uint64_t> suffixLength;

  static S3Range from(std::uint64_t first) { return {first, std::nullopt, std::nullopt}; }
  static S3Range between(std::uint64_t first, std::uint64_t last) { return {first, last, {}}; }
  static S3Range suffix(std::uint64_t length) { return {0, std::nullopt, length}; }
};

struct S3GetOptions {
  std::optional<S3Range> range;
  // Fetch only this version (in a versioned bucket).
  std::string versionId;
  // Fetch only while the object's ETag is this one; else 412.
  std::string ifMatch;
  ProgressCallback progress;
};

struct S3GetResult {
  // The object as the store described it: `size` is the whole object's.
  S3ObjectInfo object;
  // The bytes written: the object's from `offset` on, `length` of them.
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct S3PutOptions {
  // Write only over the object with this ETag (as the store reports it,
  // quoted or not); a stale ETag is refused with 412.
  std::string ifMatch;
  // Write only when no object has the key; else 412.
  bool ifNoneMatch = false;
  std::string contentType = "application/octet-stream";
  // User metadata to store with the object: x-amz-meta-NAME for each NAME
  // (lower case, ASCII).
  std::map<std::string, std::string> metadata;
  ProgressCallback progress;
};

struct S3CopyOptions {
  // Copy only while the source's ETag is this one; else 412.
  std::string sourceIfMatch;
  // The source's size, when known from a listing: together with
  // sourceIfMatch it spares the HEAD that otherwise tells size and ETag;
  // the store checks the ETag itself.
  std::optional<std::uint64_t> sourceSize;
  std::string sourceVersionId;
  // With it, the copy gets this user metadata and these content headers
  // ("Name: value") instead of the source's (x-amz-metadata-directive
  // REPLACE); only so may an object be copied onto itself.
  std::optional<std::map<std::string, std::string>> replaceMetadata;
  std::vector<std::string> replaceContentHeaders;
  ProgressCallback progress;  // multipart copies only, per finished part
};

struct S3BucketInfo {
  bool versioned = false;  // versioning is Enabled
};

class S3Client {
 public:
  S3Client(S3Config config, std::string bucket, S3ClientOptions options = {});
  ~S3Client();
  S3Client(const S3Client&) = delete;
  S3Client& operator=(const S3Client&) = delete;

  const std::string& bucket() const { return bucket_; }
  const S3Config& config() const { return connection_.config(); }
  // Ends every request of the client, now and later (see S3Connection::stop).
  void stop() const { connection_.stop(); }
  // Whether the store answers the client's requests (see store_health.h).
  StoreState storeState() const { return connection_.storeState(); }

  // One cheap request at start: the bucket's versioning, tried for a few
  // seconds at most. Its S3Error says in one line whether the bucket is
  // missing, the credentials were refused or the endpoint cannot be reached.
  S3BucketInfo checkBucket() const;
  // Whether the bucket's versioning is Enabled.
  bool versioned() const;
  // The bucket's region as the store names it in answer to one HEAD of the
  // bucket: its x-amz-bucket-region header, also on a refusal or a
  // redirect, else the region a refusal's XML names (a 400
  // AuthorizationHeaderMalformed). Empty when it names none or does not
  // answer within a few seconds: the bucket check then tells why.
  std::string regionNamed() const;

  // One page of ListObjectsV2 (at most `maxKeys`, the store may send fewer).
  // An empty delimiter lists every key below the prefix.
  // With `startAfter`, the listing begins past that key (where a listing
  // kept on its own resumes).
  S3ListPage listPage(std::string_view prefix, std::string_view delimiter,
                      std::string_view continuationToken = {}, int maxKeys = 1000,
                      std::string_view startAfter = {}) const;
  // Every page in turn, each handed to `onPage` before the next is fetched,
  // so a whole listing is never held at once. Stops when onPage returns false.
  void listAll(std::string_view prefix, std::string_view delimiter,
               const std::function<bool(S3ListPage& page)>& onPage, int maxKeys = 1000) const;

  // The object's size, ETag, LastModified and version id. 404: no object.
  S3ObjectInfo head(const std::string& key, const std::string& versionId = {}) const;

  // Streams the object (or range) into `fd` from the descriptor's byte 0 on,
  // with parallel ranged GETs for large ones; memory does not grow with the
  // object. `fd` is a regular file opened for writing without O_APPEND. On
  // success the file holds exactly the received bytes (it is truncated to
  // them); on any failure it is truncated to 0 bytes and the error thrown.
  S3GetResult getToFd(const std::string& key, int fd, const S3GetOptions& options = {}) const;
  // The same into a new file at `path` (replaced when it exists), which is
  // removed again on any failure.
  S3GetResult getToFile(const std::string& key, const std::filesystem::path& path,
                        const S3GetOptions& options = {}) const;

  // Uploads the whole of `fd` (a regular file, read with pread from byte 0
  // to its size at the call): one PUT below multipartThreshold, else a
  // multipart upload whose parts go in parallel; a failed multipart upload
  // is aborted so that nothing is left in the bucket. Returns the new
  // object's size, ETag and version id (and a LastModified: the store's time
  // of the answer, or the object's after a multipart upload).
  S3ObjectInfo putFromFd(const std::string& key, int fd, const S3PutOptions& options = {}) const;
  S3ObjectInfo putFromFile(const std::string& key, const std::filesystem::path& path,
                           const S3PutOptions& options = {}) const;
  // A small object from memory (a folder's marker "dir/" is empty).
  S3ObjectInfo putBytes(const std::string& key, std::string_view bytes,
                        const S3PutOptions& options = {}) const;

  // Copies an object within the bucket; part by part above
  // multipartCopyThreshold. Returns the new object's ETag, LastModified,
  // version id and size.
  S3ObjectInfo copy(const std::string& sourceKey, const std::string& destinationKey,
                    const S3CopyOptions& options = {}) const;

  // Deletes the object (in a versioned bucket: adds a delete marker, or
  // deletes the one version named); a missing key is no error.
  void remove(const std::string& key, const std::string& versionId = {}) const;
  // Deletes many keys with DeleteObjects, 1,000 per request; returns the keys
  // the store refused with its reasons (empty when all went).
  std::vector<S3DeleteFailure> removeMany(const std::vector<std::string>& keys) const;

  // Every version and delete marker below a prefix, all pages.
  std::vector<S3ObjectVersion> listVersions(std::string_view prefix = {}) const;

  // Unfinished multipart uploads below a prefix, and their removal.
  std::vector<S3MultipartUpload> listMultipartUploads(std::string_view prefix = {}) const;
  void abortMultipartUpload(const std::string& key, const std::string& uploadId) const;

  // The bucket itself: for tests and tools, not for serving.
  void createBucket() const;
  void deleteBucket() const;
  void setVersioning(bool enabled) const;
  // The bucket policy (a JSON document).
  void setPolicy(const std::string& policy) const;

 private:
  class Download;
  class Upload;

  S3Request request(std::string method, const std::string& key, std::string operation) const;
  bool versionedWithin(std::optional<std::chrono::milliseconds> budget) const;
  S3ObjectInfo putSingle(const std::string& key, int fd, std::string_view bytes, std::uint64_t size,
                         const S3PutOptions& options) const;
  S3ObjectInfo copyMultipart(const std::string& sourceKey, const std::string& destinationKey,
                             const S3ObjectInfo& source, const S3CopyOptions& options) const;
  // Takes back a copy that may not be of the version `source` names (see
  // the definition; no `copiedEtag`: nothing is written yet); throws 412 then.
  void checkCopiedVersion(const std::string& sourceKey, const std::string& destinationKey,
                          const S3ObjectInfo& source, const std::optional<std::string>& copiedEtag,
                          const std::string& sourceVersionId) const;
  // The If-Match header line for `etag` in the form this store accepts.
  std::string ifMatchLine(const std::string& etag, bool quoted) const;
  // The answer to a write, or, when a try's answer was lost and the write
  // is refused afterwards (412 for a condition the lost try changed,
  // NoSuchUpload for an upload it completed), the object the store holds
  // when that is the one the write made (its ETag is `expectedEtag`).
  struct WriteOutcome {
    S3Response answer;
    std::optional<S3ObjectInfo> landed;
  };
  // Runs a write with the conditions of `options`, learning which form of
  // If-Match the store understands (see the definition).
  WriteOutcome sendWrite(S3Request request, const std::string& key, const S3PutOptions& options,
                         const std::string& expectedEtag) const;
  // The object at `key` when its ETag is `expectedEtag`.
  std::optional<S3ObjectInfo> holding(const std::string& key,
                                      const std::string& expectedEtag) const;

  const std::string bucket_;
  const S3ClientOptions options_;
  S3Connection connection_;
  // Whether this store takes If-Match values with their quotes: unknown at
  // first, learned from the first conditional write that meets a 412.
  enum class Quoting { kUnknown, kQuoted, kBare };
  mutable std::atomic<Quoting> ifMatchQuoting_{Quoting::kUnknown};
};

}  // namespace corvane::s3
