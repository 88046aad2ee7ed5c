// The calls to STS (the security token service) that turn one identity into
// temporary credentials: AssumeRoleWithWebIdentity (unsigned: the token is
// the proof) and AssumeRole (signed with the credentials of the source
// profile). AWS serves STS at https://sts.REGION.amazonaws.com; the RADOS
// Gateway and other stores serve it at their own endpoint.
//
// Pure functions; any thread. Every failure is a CredentialError in one line
// that names the endpoint and the role, never a secret or token.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "s3/credential_http.h"
#include "s3/credential_source.h"

namespace corvane::s3 {

struct StsEndpoint {
  std::string url;     // "https://sts.eu-west-1.amazonaws.com", no trailing "/"
  std::string region;  // the region its signatures name
  std::string caBundle;
};

struct RoleRequest {
  std::string roleArn;
  std::string sessionName;
  std::optional<int> durationSeconds;
  std::string externalId;  // AssumeRole only; empty: none
};

// Signs an STS call with `credentials` for `region` (service "sts").
using StsSigner = std::function<void(HttpCall& call, const S3Credentials& credentials,
                                     const std::string& region)>;

TimedCredentials assumeRoleWithWebIdentity(const StsEndpoint& sts, const RoleRequest& role,
                                           const std::string& webIdentityToken);

TimedCredentials assumeRole(const StsEndpoint& sts, const RoleRequest& role,
                            const S3Credentials& source, const StsSigner& sign);

// The signer of STS calls: the same Signature V4 that S3 requests carry.
void signStsCall(HttpCall& call, const S3Credentials& credentials, const std::string& region);

// A session name when none is configured: "corvane-engine-" and the time in
// seconds, as STS wants one per session.
std::string defaultSessionName();

}  // namespace corvane::s3
