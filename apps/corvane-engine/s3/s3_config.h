// Where the store is and who we are to it: the endpoint, region, credentials
// and CA bundle of an S3 connection, resolved from the command line, the
// environment and the shared profile files the way every S3 tool does.
//
//   endpoint     --s3-endpoint, AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL, else
//                the region's public endpoint; how buckets are addressed
//                there is the addressing's choice (s3_addressing.h)
//   region       --s3-region, AWS_REGION, AWS_DEFAULT_REGION, the profile's
//                "region", else us-east-1
//   credentials  AWS_ACCESS_KEY_ID + AWS_SECRET_ACCESS_KEY (+
//                AWS_SESSION_TOKEN), else the profile AWS_PROFILE ("default")
//                in AWS_SHARED_CREDENTIALS_FILE (~/.aws/credentials), then in
//                AWS_CONFIG_FILE (~/.aws/config, sections "[profile NAME]",
//                the default one "[default]")
//   CA bundle    AWS_CA_BUNDLE, else the system's store
//
// An empty variable counts as unset. Values only; any thread. A resolved
// config holds a secret: describe() is the only text made from it, and it
// leaves the secret and the session token out.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "s3/s3_addressing.h"

namespace corvane::s3 {

struct S3Credentials {
  std::string accessKeyId;
  std::string secretAccessKey;  // never logged or shown
  std::string sessionToken;     // empty without one; never logged or shown
};

struct S3Config {
  std::string endpoint;   // "scheme://host[:port]", no trailing "/"
  S3Addressing addressing = S3Addressing::automatic;
  std::string region;
  S3Credentials credentials;
  std::string caBundle;  // empty: the system's CA store

  // "endpoint https://..., region eu-west-1, access key AKIA..." for --verbose
  // output: never the secret or the session token.
  std::string describe() const;
};

// What the command line said; nothing when the option was not given.
struct S3Options {
  std::optional<std::string> endpoint;
  std::optional<std::string> region;
};

// A configuration that cannot be used, in one line the user can act on.
class S3ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads one environment variable; nothing when it is unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The process's environment.
std::optional<std::string> processEnvironment(const std::string& name);

// Resolves the whole configuration. Throws S3ConfigError when no credentials
// are found, only half of a key pair is given, a named profile does not exist,
// or the endpoint is not an http(s) URL. Profile files that do not exist are
// skipped; one that exists but cannot be read is an error.
S3Config resolveS3Config(const S3Options& options,
                         const EnvironmentLookup& environment = processEnvironment);

// The public endpoint of a region: "https://s3.REGION.amazonaws.com" (".com.cn"
// for the China regions).
std::string publicEndpoint(const std::string& region);

}  // namespace corvane::s3
