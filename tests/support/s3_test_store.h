// The S3 store that tests run against, and a fresh bucket per test.
//
// The store is the one the test run's fixture started (CORVANE_S3_ENV names
// its settings file, see tests/CMakeLists.txt). A test program run by hand
// without it starts a store of its own through scripts/s3-store for the life
// of the process; the store stops by itself should the process die. Register
// S3TestStore as a global test environment in every program that uses it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "s3/s3_client.h"
#include "s3/s3_config.h"

namespace corvane::testing {

class S3TestStore : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

  // The store's endpoint, region and credentials (valid after SetUp).
  static const s3::S3Config& config();
  // The same gateway over TLS, and the file with its (self-signed)
  // certificate, a CA bundle that makes clients trust it.
  static const std::string& tlsEndpoint();
  static const std::string& tlsCaBundle();
  // The host name under which the gateway takes virtual-hosted requests
  // (BUCKET.NAME:PORT), which only the client's own resolve list maps to
  // 127.0.0.1.
  static const std::string& dnsName();
  // Another setting of the store's env file (see scripts/s3-store), e.g.
  // S3_STORE_STS_ENDPOINT; empty when the file has none.
  static std::string setting(const std::string& name);
  // The store's second user (another account), with its own keys.
  static s3::S3Config otherUserConfig();

 private:
  std::string ownFolder_;  // the store this process started, if any
};

// A bucket with a name of its own for one test: created empty, and emptied
// (objects, versions, unfinished uploads) and removed when the test ends, so
// that tests can run in parallel against one store.
class TestBucket {
 public:
  explicit TestBucket(s3::S3ClientOptions options = {});
  // A bucket of the user whose keys `owner` holds.
  explicit TestBucket(const s3::S3Config& owner);
  ~TestBucket();
  TestBucket(const TestBucket&) = delete;
  TestBucket& operator=(const TestBucket&) = delete;

  const std::string& name() const { return name_; }
  const s3::S3Client& client() const { return *client_; }
  // Another client of the same bucket, e.g. with other part sizes.
  std::unique_ptr<s3::S3Client> clientWith(s3::S3ClientOptions options) const;

 private:
  std::string name_;
  std::unique_ptr<s3::S3Client> client_;
};

// `size` bytes that differ from part to part (a pattern seeded by `seed`).
std::string randomBytes(std::size_t size, unsigned seed);

}  // namespace corvane::testing
