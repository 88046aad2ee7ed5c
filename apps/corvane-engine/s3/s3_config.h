// Where the store is and who we are to it: the endpoint, region, credentials
// and CA bundle of a scope's S3 connection, resolved from the command line
// (or the scope's section of engine.conf), the environment and the shared
// profile files the way every S3 tool does.
//
//   endpoint     the scope's endpoint, --s3-endpoint, AWS_ENDPOINT_URL_S3,
//                AWS_ENDPOINT_URL, else the region's public endpoint
//   addressing   the scope's, --s3-addressing, else "auto" (see
//                s3_addressing.h)
//   region       the scope's region, --s3-region, AWS_REGION,
//                AWS_DEFAULT_REGION, the profile's "region", the region the
//                endpoint's host name names (s3.eu-west-1.amazonaws.com,
//                s3-eu-west-1..., s3.dualstack.eu-west-1...), else found
//                from the store's answer (see region_discovery.h), us-east-1
//                until then
//   credentials  see credential_chain.h; the scope's profile, else
//                AWS_PROFILE, else "default"
//   CA bundle    AWS_CA_BUNDLE, else the system's store
//   STS          where roles are assumed: AWS_ENDPOINT_URL_STS, else a
//                custom endpoint (stores serve STS where they serve S3), else
//                https://sts.REGION.amazonaws.com (https://sts.amazonaws.com
//                while the region is not known)
//
// An empty variable counts as unset. Values only; any thread. A resolved
// config holds a secret: describe() is the only text made from it, and it
// leaves the secret and the session token out.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "s3/s3_addressing.h"

namespace corvane::s3 {

class CredentialSource;

struct S3Credentials {
  std::string accessKeyId;
  std::string secretAccessKey;  // never logged or shown
  std::string sessionToken;     // empty without one; never logged or shown
};

struct S3Config {
  std::string endpoint;   // "scheme://host[:port]", no trailing "/"
  S3Addressing addressing = S3Addressing::automatic;
  std::string region;
  // False when `region` is only a first guess (nothing named one): the
  // store's answer then tells the bucket's region.
  bool regionKnown = true;
  // The endpoint is the region's public one, so it moves with the region.
  bool regionalEndpoint = false;
  // The credentials found when the config was resolved. The connection
  // signs with `credentialSource` when there is one (it renews temporary
  // credentials), else with these.
  S3Credentials credentials;
  std::shared_ptr<CredentialSource> credentialSource;
  std::string caBundle;  // empty: the system's CA store

  // Requests go unsigned (a public bucket).
  bool anonymous() const;

  // "endpoint https://..., region eu-west-1, access key AKIA... from the
  // environment" for --verbose output: never the secret or the session token.
  std::string describe() const;
};

// What the command line or the scope's section said; nothing when not given.
struct S3Options {
  std::optional<std::string> endpoint = {};
  std::optional<std::string> region = {};
  std::optional<std::string> profile = {};
  std::optional<std::string> addressing = {};  // "auto", "path" or "virtual"
  bool anonymous = false;
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

// Resolves the whole configuration and fetches the first credentials.
// Throws S3ConfigError when no credentials are found, only half of a key
// pair is given, a named profile does not exist, a helper or STS refuses,
// the endpoint is not an http(s) URL or the addressing style is unknown.
// Profile files that do not exist are skipped; one that exists but cannot be
// read is an error.
S3Config resolveS3Config(const S3Options& options,
                         const EnvironmentLookup& environment = processEnvironment);

// The same config for the bucket's region `region` (the endpoint follows
// when it is the public one).
S3Config withRegion(S3Config config, const std::string& region);

// The public endpoint of a region: "https://s3.REGION.amazonaws.com" (".com.cn"
// for the China regions).
std::string publicEndpoint(const std::string& region);

// The region an endpoint's host name names ("https://s3.eu-west-1.amazonaws.com",
// "https://s3-eu-west-1.amazonaws.com", "https://s3.dualstack.eu-west-1...",
// "https://s3.fr-par.example.cloud"); nothing for a host that names none
// (an address, "localhost", "s3.amazonaws.com").
std::optional<std::string> regionOfEndpoint(const std::string& url);

}  // namespace corvane::s3
