// S3Client's downloads: one ranged GET for the first part, which tells the
// object's size, then the rest in one GET or, for large objects, in parallel
// ranged GETs pinned to the same version of the object.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "s3/parallel_parts.h"
#include "s3/s3_answer.h"
#include "s3/s3_client.h"

namespace corvane::s3 {

class S3Client::Download {
 public:
  Download(const S3Client& client, const std::string& key, int fd, const S3GetOptions& options,
           TransferMonitor& monitor)
      : client_(client), key_(key), fd_(fd), options_(options), monitor_(monitor) {}

  S3GetResult run() {
    const std::optional<S3Range>& range = options_.range;
    if (range && range->suffixLength) return runSuffix(*range->suffixLength);

    const std::uint64_t first = range ? range->first : 0;
    std::uint64_t probeLast = first + client_.options_.downloadPartSize - 1;
    if (range && range->last) probeLast = std::min(probeLast, *range->last);

    S3Response answer;
    try {
      answer = get("bytes=" + std::to_string(first) + "-" + std::to_string(probeLast), 0, {});
    } catch (const S3Error& e) {
      // An empty object has no byte 0 to ask for; it is fetched whole.
      if (e.httpStatus() != 416 || first != 0) throw;
      answer = get("", 0, {});
    }
    S3GetResult result;
    result.object = objectFromHeaders(key_, answer);
    if (answer.status == 200) {
      // The whole object came: the empty one asked for again without a
      // range, or a store that ignores Range. It fits the caller's file only
      // when all of it was asked for.
      checkLength(answer, result.object.size);
      if (first != 0 || (range && range->last && *range->last + 1 < result.object.size)) {
        throw S3Error::protocol(operation(), "the store ignored the Range header");
      }
      result.length = answer.received;
      monitor_.setTotal(result.length);
      return result;
    }
    const auto got = parseContentRange(answer.header("content-range"));
    if (!got || got->first != first) {
      throw S3Error::protocol(operation(), "the answer's Content-Range \"" +
                                               answer.header("content-range") +
                                               "\" is not the one asked for");
    }
    checkLength(answer, got->last - got->first + 1);
    result.object.size = got->total;
    const std::uint64_t last =
        range && range->last ? std::min(*range->last, got->total - 1) : got->total - 1;
    result.offset = first;
    result.length = last - first + 1;
    monitor_.setTotal(result.length);
    if (got->last < last) fetchRest(got->last + 1, last, result.object, first);
    return result;
  }

 private:
  std::string operation() const { return "GET " + key_; }

  // One GET written into the file at `fileOffset`; the conditions pin it to
  // the object the first answer described.
  S3Response get(const std::string& rangeHeader, std::uint64_t fileOffset,
                 const S3ObjectInfo& pinned) const {
    S3Request r = client_.request("GET", key_, operation());
    const std::string& versionId =
        !pinned.versionId.empty() ? pinned.versionId : options_.versionId;
    if (!versionId.empty()) r.query = {{"versionId", versionId}};
    if (!rangeHeader.empty()) r.headers.push_back("Range: " + rangeHeader);
    const std::string& etag = options_.ifMatch.empty() ? pinned.etag : options_.ifMatch;
    // Quoted, as HEAD and GET report it: reads accept that form everywhere.
    if (!etag.empty()) r.headers.push_back("If-Match: \"" + bareEtag(etag) + "\"");
    r.sinkFd = fd_;
    r.sinkOffset = fileOffset;
    r.monitor = &monitor_;
    return client_.connection_.send(r);
  }

  void checkLength(const S3Response& answer, std::uint64_t expected) const {
    if (answer.received != expected) {
      throw S3Error::protocol(operation(), "received " + std::to_string(answer.received) +
                                               " bytes instead of " + std::to_string(expected));
    }
  }

  S3GetResult runSuffix(std::uint64_t length) {
    S3GetResult result;
    if (length == 0) {
      // "bytes=-0" is not a range a store accepts; nothing is asked for.
      result.object = client_.head(key_, options_.versionId);
      result.offset = result.object.size;
      return result;
    }
    const S3Response answer = get("bytes=-" + std::to_string(length), 0, {});
    result.object = objectFromHeaders(key_, answer);
    if (answer.status == 200) {
      // Some stores answer a suffix longer than the object with all of it.
      checkLength(answer, result.object.size);
      result.length = answer.received;
      return result;
    }
    const auto got = parseContentRange(answer.header("content-range"));
    if (!got) throw S3Error::protocol(operation(), "a partial answer without Content-Range");
    checkLength(answer, got->last - got->first + 1);
    result.object.size = got->total;
    result.offset = got->first;
    result.length = answer.received;
    return result;
  }

  // Bytes [from, to] of the object, into the file at (from - base).
  void fetchRest(std::uint64_t from, std::uint64_t to, const S3ObjectInfo& object,
                 std::uint64_t base) {
    auto fetch = [&](std::uint64_t a, std::uint64_t b) {
      const S3Response answer =
          get("bytes=" + std::to_string(a) + "-" + std::to_string(b), a - base, object);
      const auto got = parseContentRange(answer.header("content-range"));
      if (answer.status != 206 || !got || got->first != a || got->last != b) {
        throw S3Error::protocol(operation(), "a part came back with Content-Range \"" +
                                                 answer.header("content-range") + "\"");
      }
      checkLength(answer, b - a + 1);
    };
    const std::uint64_t total = to - base + 1;
    if (total < client_.options_.parallelDownloadThreshold) {
      fetch(from, to);
      return;
    }
    const std::uint64_t part = client_.options_.downloadPartSize;
    const std::size_t count = static_cast<std::size_t>((to - from) / part + 1);
    runParts(operation(), count, client_.options_.concurrency, monitor_, [&](std::size_t index) {
      const std::uint64_t a = from + index * part;
      fetch(a, std::min(to, a + part - 1));
    });
  }

  const S3Client& client_;
  const std::string& key_;
  const int fd_;
  const S3GetOptions& options_;
  TransferMonitor& monitor_;
};

S3GetResult S3Client::getToFd(const std::string& key, int fd, const S3GetOptions& options) const {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    throw std::system_error(errno, std::generic_category(), "download of " + key);
  }
  const int flags = ::fcntl(fd, F_GETFL);
  // Parts are written at their offsets; appending would scramble them.
  if (!S_ISREG(st.st_mode) || flags < 0 || (flags & O_APPEND)) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                            "download of " + key + ": not a regular file open for writing");
  }
  if (options.range && options.range->last && *options.range->last < options.range->first) {
    throw std::invalid_argument("download of " + key + ": a range that ends before it begins");
  }
  TransferMonitor monitor(options.progress, 0);
  try {
    S3GetResult result = Download(*this, key, fd, options, monitor).run();
    if (::ftruncate(fd, static_cast<off_t>(result.length)) != 0) {
      throw std::system_error(errno, std::generic_category(), "download of " + key);
    }
    monitor.finish();
    return result;
  } catch (...) {
    // Half an object must never pass for the whole one.
    (void)::ftruncate(fd, 0);
    throw;
  }
}

S3GetResult S3Client::getToFile(const std::string& key, const std::filesystem::path& path,
                                const S3GetOptions& options) const {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot create " + path.string());
  }
  S3GetResult result;
  try {
    result = getToFd(key, fd, options);
  } catch (...) {
    ::close(fd);
    ::unlink(path.c_str());
    throw;
  }
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(path.c_str());
    throw std::system_error(err, std::generic_category(), "cannot write " + path.string());
  }
  return result;
}

}  // namespace corvane::s3
