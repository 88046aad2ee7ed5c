// The S3 client against a real store (Ceph's RADOS Gateway, started by the
// test run's fixture): names that need encoding, listings over many pages,
// ranged and parallel downloads, multipart uploads and their clean-up,
// conditional writes, copies, batch deletes, versions, and the bucket check's
// answers for the ways a start can fail.
#include "s3/s3_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/s3_test_store.h"
#include "support/test_env.h"

namespace corvane::s3 {
namespace {

namespace fs = std::filesystem;
using testing::randomBytes;
using testing::S3TestStore;
using testing::TestBucket;
using testing::TestEnvironment;

const auto* const kStore = ::testing::AddGlobalTestEnvironment(new S3TestStore);

constexpr std::uint64_t kMiB = 1 << 20;

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes of an object, fetched whole into a file of the test.
std::string fetch(const S3Client& client, const std::string& key, const fs::path& folder,
                  const S3GetOptions& options = {}) {
  const fs::path file = folder / "fetched";
  client.getToFile(key, file, options);
  return readFile(file);
}

std::vector<std::string> allKeys(const S3Client& client, std::string_view prefix) {
  std::vector<std::string> keys;
  client.listAll(prefix, "", [&](S3ListPage& page) {
    for (const auto& object : page.objects) keys.push_back(object.key);
    return true;
  });
  return keys;
}

// Puts small objects from several threads: listings need many keys.
void putMany(const S3Client& client, const std::vector<std::string>& keys) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i = next++; i < keys.size(); i = next++) {
        try {
          client.putBytes(keys[i], "x");
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(failures.load(), 0);
}

S3Error errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const S3Error& e) {
    return e;
  }
  ADD_FAILURE() << "no S3Error was thrown";
  return S3Error::protocol("none", "none");
}

class S3ClientTest : public ::testing::Test {
 protected:
  TestEnvironment env_;
  TestBucket bucket_;
  const S3Client& client_ = bucket_.client();
};

// Every operation on keys whose bytes need encoding in the path, the query
// (listing prefixes, copy source) and the XML (listings, batch delete).
TEST_F(S3ClientTest, KeysThatNeedEncodingRoundTrip) {
  const std::vector<std::string> keys = {
      "with space.txt",
      "plus+sign",
      "100% sure",
      "tilde~and-dot._",
      "\xC3\xA9t\xC3\xA9/na\xC3\xAFve \xE2\x98\x83.txt",  // été/naïve ☃.txt
      "a/b c/d+e%f~g",
      "query?a=1&b=2#frag;x,y",
      "quote\"apos'<lt>&amp",
      "%2F already encoded",
  };
  for (const std::string& key : keys) {
    SCOPED_TRACE(key);
    const std::string bytes = "content of " + key;
    const S3ObjectInfo put = client_.putBytes(key, bytes);

    const S3ObjectInfo head = client_.head(key);
    EXPECT_EQ(head.size, bytes.size());
    EXPECT_EQ(head.etag, put.etag);

    const S3ListPage page = client_.listPage(key, "/");
    ASSERT_EQ(page.objects.size(), 1u);
    EXPECT_EQ(page.objects[0].key, key);
    EXPECT_EQ(page.objects[0].etag, put.etag);

    EXPECT_EQ(fetch(client_, key, env_.root()), bytes);

    const std::string copyKey = key + " (copy)";
    client_.copy(key, copyKey);
    EXPECT_EQ(fetch(client_, copyKey, env_.root()), bytes);

    client_.remove(key);
    EXPECT_TRUE(errorOf([&] { client_.head(key); }).isNotFound());
  }
  // The copies go in one batch delete, which carries them in XML.
  std::vector<std::string> copies;
  for (const std::string& key : keys) copies.push_back(key + " (copy)");
  EXPECT_TRUE(client_.removeMany(copies).empty());
  EXPECT_TRUE(allKeys(client_, "").empty());
}

TEST_F(S3ClientTest, ListingsGoPastOneThousandKeysWithAndWithoutDelimiter) {
  std::vector<std::string> keys;
  for (int i = 0; i < 1205; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "many/k%04d", i);
    keys.push_back(name);
  }
  keys.push_back("deep/a/b/c.txt");  // "deep/" and "deep/a/" exist only through it
  keys.push_back("top.txt");
  putMany(client_, keys);

  // No delimiter: every key once, in order, over more than one page.
  int pages = 0;
  std::vector<std::string> listed;
  client_.listAll("", "", [&](S3ListPage& page) {
    ++pages;
    EXPECT_TRUE(page.commonPrefixes.empty());
    for (const auto& object : page.objects) listed.push_back(object.key);
    return true;
  });
  std::vector<std::string> expected = keys;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  EXPECT_GE(pages, 2);

  // With the delimiter, the many keys of one folder still span pages.
  std::set<std::string> inFolder;
  client_.listAll("many/", "/", [&](S3ListPage& page) {
    for (const auto& object : page.objects) EXPECT_TRUE(inFolder.insert(object.key).second);
    EXPECT_TRUE(page.commonPrefixes.empty());
    return true;
  });
  EXPECT_EQ(inFolder.size(), 1205u);

  // Folders that hold only deeper keys are common prefixes.
  const S3ListPage root = client_.listPage("", "/");
  EXPECT_EQ(root.commonPrefixes, (std::vector<std::string>{"deep/", "many/"}));
  ASSERT_EQ(root.objects.size(), 1u);
  EXPECT_EQ(root.objects[0].key, "top.txt");
  EXPECT_EQ(client_.listPage("deep/", "/").commonPrefixes, std::vector<std::string>{"deep/a/"});

  EXPECT_TRUE(client_.removeMany(keys).empty());
  EXPECT_TRUE(allKeys(client_, "").empty());
}

// Small pages with a delimiter: markers and prefixes interleave across page
// boundaries, and each must come exactly once.
TEST_F(S3ClientTest, SmallPagesWithDelimiterMergeWithoutDuplicates) {
  std::vector<std::string> keys;
  std::set<std::string> files, folders;
  for (int i = 0; i < 12; ++i) {
    const std::string n = std::to_string(100 + i);
    keys.push_back("f" + n);
    files.insert("f" + n);
    keys.push_back("d" + n + "/x");
    keys.push_back("d" + n + "/y/z");
    folders.insert("d" + n + "/");
  }
  keys.push_back("marker/");  // a folder's marker object is a prefix too
  folders.insert("marker/");
  putMany(client_, keys);

  std::set<std::string> seenFiles, seenFolders;
  int pages = 0;
  client_.listAll(
      "", "/",
      [&](S3ListPage& page) {
        ++pages;
        for (const auto& o : page.objects) EXPECT_TRUE(seenFiles.insert(o.key).second) << o.key;
        for (const auto& p : page.commonPrefixes) EXPECT_TRUE(seenFolders.insert(p).second) << p;
        return true;
      },
      5);
  EXPECT_EQ(seenFiles, files);
  EXPECT_EQ(seenFolders, folders);
  EXPECT_GE(pages, 5);
}

TEST_F(S3ClientTest, ListObjectsCarryTheirDescription) {
  const S3ObjectInfo put = client_.putBytes("dir/file", "12345");
  const S3ListPage page = client_.listPage("dir/", "/");
  ASSERT_EQ(page.objects.size(), 1u);
  const S3ObjectInfo& listed = page.objects[0];
  EXPECT_EQ(listed.size, 5u);
  EXPECT_EQ(listed.etag, put.etag);
  // The listing's time (milliseconds) and HEAD's (seconds) name the same
  // moment, within the second.
  const S3ObjectInfo head = client_.head("dir/file");
  EXPECT_LT(std::chrono::abs(listed.lastModified - head.lastModified), std::chrono::seconds(1));
  EXPECT_LT(std::chrono::abs(listed.lastModified -
                             platform::SysNanoseconds(std::chrono::system_clock::now())),
            std::chrono::minutes(5));
}

TEST_F(S3ClientTest, RangedGetsWriteExactlyTheBytesAskedFor) {
  const std::string bytes = randomBytes(1000, 1);
  client_.putBytes("r", bytes);
  struct Case {
    const char* name;
    S3Range range;
    std::uint64_t offset;
    std::uint64_t length;
  };
  const Case cases[] = {
      {"middle", S3Range::between(10, 19), 10, 10},
      {"from an offset to the end", S3Range::from(990), 990, 10},
      {"to beyond the end", S3Range::between(995, 5000), 995, 5},
      {"first byte", S3Range::between(0, 0), 0, 1},
      {"suffix", S3Range::suffix(15), 985, 15},
      {"suffix longer than the object", S3Range::suffix(5000), 0, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S3GetOptions options;
    options.range = c.range;
    const fs::path file = env_.root() / "range";
    const S3GetResult result = client_.getToFile("r", file, options);
    EXPECT_EQ(result.offset, c.offset);
    EXPECT_EQ(result.length, c.length);
    EXPECT_EQ(result.object.size, 1000u);
    EXPECT_EQ(readFile(file), bytes.substr(c.offset, c.length));
  }
  S3GetOptions backwards;
  backwards.range = S3Range::between(20, 10);
  EXPECT_THROW(client_.getToFile("r", env_.root() / "backwards", backwards), std::invalid_argument);

  S3GetOptions beyond;
  beyond.range = S3Range::from(1000);
  const fs::path file = env_.root() / "beyond";
  EXPECT_EQ(errorOf([&] { client_.getToFile("r", file, beyond); }).httpStatus(), 416);
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(S3ClientTest, EmptyObjectsDownloadAsEmptyFiles) {
  client_.putBytes("folder/", "");
  const fs::path file = env_.root() / "empty";
  writeFile(file, "stale bytes");
  const S3GetResult result = client_.getToFile("folder/", file);
  EXPECT_EQ(result.length, 0u);
  EXPECT_EQ(result.object.size, 0u);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), 0u);

  // A range from byte 0 of an empty object is all of it.
  S3GetOptions firstBytes;
  firstBytes.range = S3Range::between(0, 99);
  EXPECT_EQ(client_.getToFile("folder/", file, firstBytes).length, 0u);
}

// Large objects come in parallel parts; the thresholds are small here so
// that a few MiB exercise the path, with a tail that is not a whole part.
TEST_F(S3ClientTest, LargeObjectsDownloadInParallelParts) {
  S3ClientOptions options;
  options.parallelDownloadThreshold = 1 * kMiB;
  options.downloadPartSize = 256 * 1024;
  const auto client = bucket_.clientWith(options);
  const std::string bytes = randomBytes(5 * kMiB + 123, 2);
  client->putBytes("big", bytes);

  std::uint64_t lastDone = 0;
  bool monotonic = true;
  S3GetOptions get;
  get.progress = [&](std::uint64_t done, std::uint64_t total) {
    monotonic = monotonic && done >= lastDone && total == bytes.size();
    lastDone = done;
    return true;
  };
  const fs::path file = env_.root() / "big";
  // Old, longer content must not survive in the file.
  writeFile(file, std::string(8 * kMiB, 'o'));
  const S3GetResult result = client->getToFile("big", file, get);
  EXPECT_EQ(result.length, bytes.size());
  EXPECT_TRUE(readFile(file) == bytes);
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(lastDone, bytes.size());

  // A range that is itself large goes in parts too, placed from byte 0.
  get = {};
  get.range = S3Range::from(700'001);
  client->getToFile("big", file, get);
  EXPECT_TRUE(readFile(file) == bytes.substr(700'001));
}

// A download that fails part-way leaves no bytes behind: the named file is
// removed, a caller's descriptor is truncated.
TEST_F(S3ClientTest, AFailedDownloadLeavesNoPartialFile) {
  S3ClientOptions options;
  options.parallelDownloadThreshold = 1 * kMiB;
  options.downloadPartSize = 256 * 1024;
  const auto client = bucket_.clientWith(options);
  client->putBytes("big", randomBytes(3 * kMiB, 3));

  S3GetOptions stopHalfWay;
  stopHalfWay.progress = [](std::uint64_t done, std::uint64_t) { return done < kMiB; };
  const fs::path file = env_.root() / "partial";
  const S3Error canceled = errorOf([&] { client->getToFile("big", file, stopHalfWay); });
  EXPECT_EQ(canceled.kind(), S3Error::Kind::kCanceled);
  EXPECT_FALSE(fs::exists(file));

  const fs::path held = env_.root() / "held";
  writeFile(held, "old content");
  const int fd = ::open(held.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(errorOf([&] { client->getToFd("missing", fd); }).isNotFound());
  EXPECT_EQ(errorOf([&] { client->getToFd("big", fd, stopHalfWay); }).kind(),
            S3Error::Kind::kCanceled);
  ::close(fd);
  EXPECT_EQ(fs::file_size(held), 0u);

  // A version that is gone is refused before any byte is written.
  S3GetOptions stale;
  stale.ifMatch = "\"0123456789abcdef0123456789abcdef\"";
  EXPECT_TRUE(errorOf([&] { client->getToFile("big", file, stale); }).isPreconditionFailed());
  EXPECT_FALSE(fs::exists(file));
}

// The store refuses parts under 5 MiB (but the last), so the thresholds are
// at that floor; 12 MiB and a few bytes make three parts.
S3ClientOptions smallMultipart() {
  S3ClientOptions options;
  options.multipartThreshold = 5 * kMiB;
  options.uploadPartSize = 5 * kMiB;
  return options;
}

TEST_F(S3ClientTest, LargeFilesUploadAsMultipartInParallel) {
  const auto client = bucket_.clientWith(smallMultipart());
  const std::string bytes = randomBytes(12 * kMiB + 7, 4);
  const fs::path file = env_.root() / "upload";
  writeFile(file, bytes);

  const S3ObjectInfo put = client->putFromFile("dir/upload.bin", file);
  EXPECT_EQ(put.size, bytes.size());
  EXPECT_FALSE(put.etag.empty());
  EXPECT_NE(put.etag.find("-3"), std::string::npos) << put.etag;
  EXPECT_EQ(client->head("dir/upload.bin").etag, put.etag);
  EXPECT_TRUE(fetch(*client, "dir/upload.bin", env_.root()) == bytes);
  EXPECT_TRUE(client->listMultipartUploads().empty());

  // Below the threshold: one PUT, whose ETag has no part count.
  writeFile(file, "small");
  const S3ObjectInfo small = client->putFromFile("dir/small", file);
  EXPECT_EQ(small.etag.find('-'), std::string::npos);
  EXPECT_EQ(fetch(*client, "dir/small", env_.root()), "small");
}

TEST_F(S3ClientTest, AFailedMultipartUploadLeavesNothingBehind) {
  const auto client = bucket_.clientWith(smallMultipart());
  const fs::path file = env_.root() / "upload";
  writeFile(file, randomBytes(16 * kMiB, 5));

  S3PutOptions stopAfterAPart;
  stopAfterAPart.progress = [](std::uint64_t done, std::uint64_t) { return done < 6 * kMiB; };
  EXPECT_EQ(errorOf([&] { client->putFromFile("cancelled", file, stopAfterAPart); }).kind(),
            S3Error::Kind::kCanceled);
  EXPECT_TRUE(client->listMultipartUploads().empty());
  EXPECT_TRUE(errorOf([&] { client->head("cancelled"); }).isNotFound());

  // Refused at completion: the existing object stays as it was.
  const S3ObjectInfo existing = client->putBytes("taken", "first");
  S3PutOptions onlyNew;
  onlyNew.ifNoneMatch = true;
  EXPECT_TRUE(errorOf([&] { client->putFromFile("taken", file, onlyNew); }).isPreconditionFailed());
  EXPECT_TRUE(client->listMultipartUploads().empty());
  EXPECT_EQ(client->head("taken").etag, existing.etag);

  // The file shrinks while it is sent.
  const int fd = ::open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  S3PutOptions shrink;
  std::atomic<bool> truncated{false};
  shrink.progress = [&](std::uint64_t done, std::uint64_t) {
    if (done >= 4 * kMiB && !truncated.exchange(true)) {
      EXPECT_EQ(::ftruncate(fd, 7 * kMiB), 0);
    }
    return true;
  };
  EXPECT_THROW(client->putFromFd("shrunk", fd, shrink), std::system_error);
  ::close(fd);
  EXPECT_TRUE(client->listMultipartUploads().empty());
  EXPECT_TRUE(errorOf([&] { client->head("shrunk"); }).isNotFound());
}

TEST_F(S3ClientTest, ConditionalWritesRefuseAStaleBase) {
  const S3ObjectInfo first = client_.putBytes("doc", "one");

  // The ETag as HEAD and listings report it (quoted), and without quotes.
  S3PutOptions onFirst;
  onFirst.ifMatch = first.etag;
  const S3ObjectInfo second = client_.putBytes("doc", "two", onFirst);
  EXPECT_NE(second.etag, first.etag);
  S3PutOptions onSecondBare;
  onSecondBare.ifMatch = second.etag.substr(1, second.etag.size() - 2);
  const S3ObjectInfo third = client_.putBytes("doc", "three", onSecondBare);

  // Writes based on an older version are refused, and change nothing.
  for (const S3ObjectInfo* stale : {&first, &second}) {
    S3PutOptions onStale;
    onStale.ifMatch = stale->etag;
    const S3Error refused = errorOf([&] { client_.putBytes("doc", "lost", onStale); });
    EXPECT_TRUE(refused.isPreconditionFailed()) << refused.what();
    EXPECT_EQ(refused.code(), "PreconditionFailed");
  }
  EXPECT_EQ(client_.head("doc").etag, third.etag);

  S3PutOptions onlyNew;
  onlyNew.ifNoneMatch = true;
  EXPECT_TRUE(errorOf([&] { client_.putBytes("doc", "new", onlyNew); }).isPreconditionFailed());
  EXPECT_EQ(fetch(client_, "doc", env_.root()), "three");
  client_.putBytes("fresh", "new", onlyNew);
  EXPECT_EQ(fetch(client_, "fresh", env_.root()), "new");

  // A conditional write on a key that has no object is refused as well.
  EXPECT_TRUE(errorOf([&] { client_.putBytes("nothing", "x", onFirst); }).isPreconditionFailed());
}

// A fresh client meets a stale base first: the refusal must stand although
// the client does not know yet which If-Match form the store takes.
TEST_F(S3ClientTest, AFirstConditionalWriteThatIsStaleIsRefused) {
  const S3ObjectInfo first = client_.putBytes("doc", "one");
  client_.putBytes("doc", "two");
  const auto fresh = bucket_.clientWith({});
  S3PutOptions onFirst;
  onFirst.ifMatch = first.etag;
  EXPECT_TRUE(errorOf([&] { fresh->putBytes("doc", "lost", onFirst); }).isPreconditionFailed());
  EXPECT_EQ(fetch(client_, "doc", env_.root()), "two");
}

TEST_F(S3ClientTest, CopiesSmallAndMultipart) {
  S3ClientOptions options;
  options.multipartCopyThreshold = 5 * kMiB;
  options.copyPartSize = 5 * kMiB;
  options.uploadPartSize = 5 * kMiB;  // parts that go through the client
  const auto client = bucket_.clientWith(options);
  const std::string bytes = randomBytes(11 * kMiB + 5, 6);
  const S3ObjectInfo source = client->putBytes("src", bytes);

  const S3ObjectInfo copied = client->copy("src", "dst/copy");
  EXPECT_EQ(copied.size, bytes.size());
  EXPECT_NE(copied.etag.find("-3"), std::string::npos) << copied.etag;
  EXPECT_TRUE(fetch(*client, "dst/copy", env_.root()) == bytes);
  EXPECT_TRUE(client->listMultipartUploads().empty());

  const S3ObjectInfo small = client->putBytes("small", "tiny");
  const S3ObjectInfo smallCopy = client->copy("small", "small copy");
  EXPECT_EQ(smallCopy.etag, small.etag);
  EXPECT_EQ(smallCopy.size, 4u);

  // From a listing's size and ETag, without a HEAD; stale means refused.
  S3CopyOptions known;
  known.sourceSize = source.size;
  known.sourceIfMatch = source.etag;
  EXPECT_EQ(client->copy("src", "dst/again", known).size, bytes.size());
  client->putBytes("small", "changed");
  S3CopyOptions stale;
  stale.sourceIfMatch = small.etag;
  EXPECT_TRUE(errorOf([&] { client->copy("small", "x", stale); }).isPreconditionFailed());
  stale.sourceSize = 4;
  EXPECT_TRUE(errorOf([&] { client->copy("small", "x", stale); }).isPreconditionFailed());
  EXPECT_TRUE(errorOf([&] { client->head("x"); }).isNotFound());
  EXPECT_TRUE(errorOf([&] { client->copy("missing", "x"); }).isNotFound());

  // A large source that changed since it was listed (in its bytes, or also
  // in its size): refused as well, and nothing of the part-wise copy stays.
  for (const std::size_t size : {bytes.size(), 6 * kMiB}) {
    SCOPED_TRACE(size);
    client->putBytes("src", randomBytes(size, static_cast<unsigned>(size)));
    EXPECT_TRUE(errorOf([&] { client->copy("src", "big", known); }).isPreconditionFailed());
    EXPECT_TRUE(errorOf([&] { client->head("big"); }).isNotFound());
    EXPECT_TRUE(client->listMultipartUploads().empty());
  }
}

TEST_F(S3ClientTest, BatchDeletesGoInThousands) {
  std::vector<std::string> keys;
  for (int i = 0; i < 1050; ++i) keys.push_back("d/" + std::to_string(i));
  keys.push_back("d/control\x01key");  // XML cannot carry it; deleted on its own
  putMany(client_, keys);
  keys.push_back("d/never existed");
  EXPECT_TRUE(client_.removeMany(keys).empty());
  EXPECT_TRUE(allKeys(client_, "d/").empty());
}

TEST_F(S3ClientTest, VersionedBucketsReportVersionIds) {
  EXPECT_FALSE(client_.checkBucket().versioned);
  client_.setVersioning(true);
  EXPECT_TRUE(client_.checkBucket().versioned);

  const S3ObjectInfo one = client_.putBytes("v", "one");
  const S3ObjectInfo two = client_.putBytes("v", "two");
  ASSERT_FALSE(one.versionId.empty());
  EXPECT_NE(one.versionId, two.versionId);
  EXPECT_EQ(client_.head("v").versionId, two.versionId);

  S3GetOptions old;
  old.versionId = one.versionId;
  const fs::path file = env_.root() / "old";
  EXPECT_EQ(client_.getToFile("v", file, old).object.versionId, one.versionId);
  EXPECT_EQ(readFile(file), "one");

  client_.remove("v");
  EXPECT_TRUE(errorOf([&] { client_.head("v"); }).isNotFound());
  int markers = 0, versions = 0;
  for (const auto& v : client_.listVersions("v")) (v.deleteMarker ? markers : versions)++;
  EXPECT_EQ(markers, 1);
  EXPECT_EQ(versions, 2);
}

TEST(S3BucketCheckTest, NamesTheReasonAStartFails) {
  TestBucket bucket;
  const S3Config good = S3TestStore::config();
  S3ConnectionOptions quick;
  quick.firstBackoff = std::chrono::milliseconds(1);
  // An unreachable endpoint is a passing failure: without a cap, the last
  // request would keep trying for the whole default budget.
  quick.maxAttempts = 2;
  S3ClientOptions options;
  options.connection = quick;

  EXPECT_FALSE(S3Client(good, bucket.name(), options).checkBucket().versioned);

  struct Case {
    const char* name;
    S3Config config;
    std::string bucket;
    long status;
    std::string says;
  };
  S3Config wrongSecret = good;
  wrongSecret.credentials.secretAccessKey = "not-the-secret-0123456789";
  S3Config wrongKey = good;
  wrongKey.credentials.accessKeyId = "AKIDNOTKNOWNHERE0000";
  S3Config nowhere = good;
  nowhere.endpoint = "http://127.0.0.1:1";
  const Case cases[] = {
      {"missing bucket", good, bucket.name() + "-missing", 404, "does not exist"},
      {"wrong secret", wrongSecret, bucket.name(), 403, "refused the credentials"},
      {"unknown access key", wrongKey, bucket.name(), 403, "refused the credentials"},
      {"unreachable endpoint", nowhere, bucket.name(), 0, "cannot reach the S3 endpoint"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const S3Error e = errorOf([&] { S3Client(c.config, c.bucket, options).checkBucket(); });
    const std::string text = e.what();
    EXPECT_EQ(e.httpStatus(), c.status);
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_EQ(text.find(c.config.credentials.secretAccessKey), std::string::npos) << text;
    EXPECT_EQ(text.find(good.credentials.secretAccessKey), std::string::npos) << text;
  }
  const S3Error unreachable = errorOf([&] { S3Client(nowhere, "b", options).head("k"); });
  EXPECT_EQ(unreachable.kind(), S3Error::Kind::kConnection);
  EXPECT_TRUE(unreachable.isServerSide());
}

// Virtual-hosted addressing against the gateway under its DNS name: every
// kind of request names the bucket in the host, and the objects are the
// ones a path-style client sees.
TEST(S3AddressingTest, VirtualHostedRequestsReachTheBucket) {
  TestEnvironment env;
  TestBucket bucket;
  S3Config config = S3TestStore::config();
  const std::string port = config.endpoint.substr(config.endpoint.rfind(':') + 1);
  ASSERT_FALSE(S3TestStore::dnsName().empty());
  config.endpoint = "http://" + S3TestStore::dnsName() + ":" + port;
  config.addressing = S3Addressing::virtualHosted;
  S3ClientOptions options;
  options.connection.resolve = {bucket.name() + "." + S3TestStore::dnsName() + ":" + port +
                                ":127.0.0.1"};
  options.multipartThreshold = 5 * kMiB;
  options.uploadPartSize = 5 * kMiB;
  const S3Client client(config, bucket.name(), options);

  EXPECT_FALSE(client.checkBucket().versioned);
  client.putBytes("dir/a b+c", "small");
  const std::string large = randomBytes(6 * kMiB, 9);
  const fs::path file = env.root() / "large";
  writeFile(file, large);
  client.putFromFile("dir/large", file);
  client.copy("dir/a b+c", "copied");
  EXPECT_EQ(allKeys(client, ""), (std::vector<std::string>{"copied", "dir/a b+c", "dir/large"}));
  EXPECT_EQ(fetch(client, "copied", env.root()), "small");
  EXPECT_TRUE(fetch(bucket.client(), "dir/large", env.root()) == large);
  client.remove("copied");
  EXPECT_EQ(client.removeMany({"dir/a b+c", "dir/large"}).size(), 0u);
  EXPECT_TRUE(allKeys(bucket.client(), "").empty());
}

// A store that refuses a write on its headers may leave the body unread on
// the connection; the next requests of the same client must not meet it.
TEST(S3RefusalTest, ARefusedUploadLeavesTheNextRequestsWhole) {
  TestEnvironment env;
  TestBucket bucket;
  bucket.client().setPolicy(
      R"({"Version":"2012-10-17","Statement":[{"Effect":"Allow",)"
      R"("Principal":{"AWS":["arn:aws:iam:::user/other"]},)"
      R"("Action":["s3:GetObject","s3:ListBucket","s3:DeleteObject"],)"
      R"("Resource":["arn:aws:s3:::)" +
      bucket.name() + R"(","arn:aws:s3:::)" + bucket.name() + R"(/*"]}]})");
  bucket.client().putBytes("kept", "kept");
  const S3Client reader(S3TestStore::otherUserConfig(), bucket.name());
  const fs::path file = env.root() / "body";
  writeFile(file, randomBytes(100000, 3));
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    EXPECT_TRUE(errorOf([&] { reader.putBytes("x", "x"); }).isForbidden());
    EXPECT_EQ(allKeys(reader, ""), std::vector<std::string>{"kept"});
    EXPECT_TRUE(errorOf([&] { reader.putFromFile("y", file); }).isForbidden());
    EXPECT_NO_THROW(reader.remove("never-there"));
  }
}

// Over TLS the store's certificate is trusted only through the bundle that
// AWS_CA_BUNDLE names; the configuration is resolved as the engine will.
TEST(S3TlsTest, TheCaBundleOfTheEnvironmentIsTrusted) {
  TestEnvironment env;
  TestBucket bucket;
  const S3Config& store = S3TestStore::config();
  std::map<std::string, std::string> variables = {
      {"AWS_ENDPOINT_URL", S3TestStore::tlsEndpoint()},
      {"AWS_CA_BUNDLE", S3TestStore::tlsCaBundle()},
      {"AWS_ACCESS_KEY_ID", store.credentials.accessKeyId},
      {"AWS_SECRET_ACCESS_KEY", store.credentials.secretAccessKey},
      {"AWS_REGION", store.region},
      {"HOME", env.root().string()}};
  auto lookup = [&variables](const std::string& name) -> std::optional<std::string> {
    auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  };
  const S3Config tls = resolveS3Config({}, lookup);
  ASSERT_EQ(tls.endpoint.rfind("https://", 0), 0u) << tls.endpoint;

  const S3Client client(tls, bucket.name());
  EXPECT_FALSE(client.checkBucket().versioned);
  client.putBytes("over tls", "secret bytes");
  const fs::path file = env.root() / "got";
  client.getToFile("over tls", file);
  EXPECT_EQ(readFile(file), "secret bytes");

  // Without the bundle the system's store does not know the certificate.
  variables.erase("AWS_CA_BUNDLE");
  const S3Error untrusted =
      errorOf([&] { S3Client(resolveS3Config({}, lookup), bucket.name()).checkBucket(); });
  EXPECT_EQ(untrusted.kind(), S3Error::Kind::kConnection);
  EXPECT_NE(std::string(untrusted.what()).find("certificate"), std::string::npos)
      << untrusted.what();
}

}  // namespace
}  // namespace corvane::s3

namespace corvane::testing {
namespace {

// A credential_process helper hands out the store's keys with an
// Expiration two seconds ahead: the client fetches anew about every second
// while requests keep flowing, and none of them fails.
TEST(S3CredentialRenewalTest, AHelpersShortLivedKeysAreRenewedWithoutAFailedRequest) {
  TestEnvironment env;
  TestBucket bucket;
  const s3::S3Config& store = S3TestStore::config();
  const std::filesystem::path calls = env.root() / "calls";
  const std::filesystem::path helper = env.root() / "helper";
  std::ofstream(helper) << "#!/bin/sh\necho x >> '" << calls.string()
                        << "'\nprintf '{\"Version\":1,\"AccessKeyId\":\"%s\",\"SecretAccessKey\":"
                           "\"%s\",\"Expiration\":\"%s\"}' '"
                        << store.credentials.accessKeyId << "' '"
                        << store.credentials.secretAccessKey
                        << "' \"$(date -u -d '+2 seconds' +%Y-%m-%dT%H:%M:%SZ)\"\n";
  std::filesystem::permissions(helper, std::filesystem::perms::owner_all);
  std::ofstream(env.root() / "config")
      << "[default]\ncredential_process = " << helper.string() << "\n";
  const std::map<std::string, std::string> variables = {
      {"HOME", env.root().string()},
      {"AWS_CONFIG_FILE", (env.root() / "config").string()},
      {"AWS_ENDPOINT_URL", store.endpoint},
      {"AWS_REGION", store.region},
      {"AWS_EC2_METADATA_DISABLED", "true"}};
  const s3::S3Config config =
      s3::resolveS3Config({}, [&variables](const std::string& name) -> std::optional<std::string> {
        auto it = variables.find(name);
        if (it == variables.end()) return std::nullopt;
        return it->second;
      });
  const s3::S3Client client(config, bucket.name());
  auto helperCalls = [&] {
    std::ifstream in(calls);
    return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int requests = 0;
  while (helperCalls() < 4 && std::chrono::steady_clock::now() < deadline) {
    client.putBytes("k", "v");
    EXPECT_EQ(client.listPage("", "").objects.size(), 1u);
    ++requests;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(helperCalls(), 4) << "after " << requests << " rounds of requests";
  // Renewed ahead of expiry, not at every request.
  EXPECT_LT(helperCalls(), requests);
}

}  // namespace
}  // namespace corvane::testing
