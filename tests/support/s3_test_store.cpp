#include "support/s3_test_store.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <stdexcept>

namespace corvane::testing {
namespace {

s3::S3Config storeConfig;
std::string storeTlsEndpoint;
std::string storeTlsCa;
std::string storeDnsName;
s3::S3Credentials storeOtherUser;
std::map<std::string, std::string> storeSettings;
bool storeReady = false;

std::map<std::string, std::string> readEnvFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read the S3 store's settings " + path);
  std::map<std::string, std::string> values;
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string script() { return std::string(CORVANE_SOURCE_DIR) + "/scripts/s3-store"; }

// The test's name as a bucket name may hold it: lower-case letters, digits
// and hyphens, with a random tail so that repeated runs never meet.
std::string bucketName() {
  std::string name = "t-";
  if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
    for (const char c : std::string(info->test_suite_name()) + "-" + info->name()) {
      if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        name.push_back(c);
      } else if (c >= 'A' && c <= 'Z') {
        name.push_back(static_cast<char>(c - 'A' + 'a'));
      } else if (name.back() != '-') {
        name.push_back('-');
      }
    }
  }
  name = name.substr(0, 50);
  if (name.back() != '-') name.push_back('-');
  std::random_device random;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) name.push_back(kHex[random() % 16]);
  return name;
}

}  // namespace

void S3TestStore::SetUp() {
  std::string envFile;
  if (const char* given = std::getenv("CORVANE_S3_ENV"); given && *given) {
    envFile = given;
  } else {
    std::string folder =
        (std::filesystem::temp_directory_path() / "corvane-s3-store-XXXXXX").string();
    if (!::mkdtemp(folder.data())) throw std::runtime_error("mkdtemp failed");
    ownFolder_ = folder;
    std::cerr << "No CORVANE_S3_ENV: starting an S3 store for this program in " << folder << "\n";
    if (run(script() + " start '" + folder + "' --owner " + std::to_string(::getpid())) != 0) {
      ownFolder_.clear();
      FAIL() << "scripts/s3-store could not start a store (see above)";
    }
    envFile = folder + "/env";
  }
  std::map<std::string, std::string> values;
  try {
    values = readEnvFile(envFile);
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }
  storeConfig.endpoint = values["AWS_ENDPOINT_URL"];
  storeConfig.addressing = s3::S3Addressing::path;
  storeConfig.region = values["AWS_REGION"];
  storeConfig.credentials.accessKeyId = values["AWS_ACCESS_KEY_ID"];
  storeConfig.credentials.secretAccessKey = values["AWS_SECRET_ACCESS_KEY"];
  storeSettings = values;
  storeTlsEndpoint = values["S3_STORE_TLS_ENDPOINT"];
  storeTlsCa = values["S3_STORE_TLS_CA"];
  storeDnsName = values["S3_STORE_DNS_NAME"];
  storeOtherUser = {values["S3_STORE_OTHER_ACCESS_KEY_ID"],
                    values["S3_STORE_OTHER_SECRET_ACCESS_KEY"], ""};
  if (storeConfig.endpoint.empty() || storeConfig.credentials.accessKeyId.empty()) {
    FAIL() << envFile << " does not name a store";
  }
  storeReady = true;
}

void S3TestStore::TearDown() {
  if (!ownFolder_.empty()) run(script() + " stop '" + ownFolder_ + "'");
  ownFolder_.clear();
}

const s3::S3Config& S3TestStore::config() {
  if (!storeReady) throw std::runtime_error("S3TestStore is not registered or did not start");
  return storeConfig;
}

const std::string& S3TestStore::tlsEndpoint() {
  config();
  return storeTlsEndpoint;
}

const std::string& S3TestStore::tlsCaBundle() {
  config();
  return storeTlsCa;
}

const std::string& S3TestStore::dnsName() {
  config();
  return storeDnsName;
}

std::string S3TestStore::setting(const std::string& name) {
  config();
  auto it = storeSettings.find(name);
  return it == storeSettings.end() ? std::string() : it->second;
}

s3::S3Config S3TestStore::otherUserConfig() {
  s3::S3Config other = config();
  other.credentials = storeOtherUser;
  return other;
}

TestBucket::TestBucket(s3::S3ClientOptions options)
    : name_(bucketName()),
      client_(std::make_unique<s3::S3Client>(S3TestStore::config(), name_, options)) {
  client_->createBucket();
}

TestBucket::TestBucket(const s3::S3Config& owner)
    : name_(bucketName()), client_(std::make_unique<s3::S3Client>(owner, name_)) {
  client_->createBucket();
}

TestBucket::~TestBucket() {
  try {
    for (const auto& upload : client_->listMultipartUploads()) {
      client_->abortMultipartUpload(upload.key, upload.uploadId);
    }
    for (const auto& version : client_->listVersions()) {
      client_->remove(version.object.key, version.object.versionId);
    }
    client_->deleteBucket();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "cleaning up the bucket " << name_ << ": " << e.what();
  }
}

std::unique_ptr<s3::S3Client> TestBucket::clientWith(s3::S3ClientOptions options) const {
  return std::make_unique<s3::S3Client>(S3TestStore::config(), name_, options);
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

}  // namespace corvane::testing
