// The credentials of one scope, found in the order the AWS command line
// looks for them:
//
//   1. AWS_ACCESS_KEY_ID + AWS_SECRET_ACCESS_KEY (+ AWS_SESSION_TOKEN);
//   2. AWS_WEB_IDENTITY_TOKEN_FILE + AWS_ROLE_ARN (+ AWS_ROLE_SESSION_NAME):
//      STS AssumeRoleWithWebIdentity with the token in that file;
//   3. the profile (the scope's, else AWS_PROFILE, else "default") of the
//      shared credentials and config files:
//      - role_arn with source_profile: STS AssumeRole signed with the source
//        profile's credentials (external_id, role_session_name and
//        duration_seconds are passed on); a source_profile that names the
//        profile itself means its own keys;
//      - role_arn with web_identity_token_file: as in 2;
//      - aws_access_key_id + aws_secret_access_key (+ aws_session_token) of
//        the credentials file, then credential_process (see
//        credential_process.h), then keys in the config file;
//   4. the instance metadata service (see instance_metadata.h), unless
//      AWS_EC2_METADATA_DISABLED is "true".
//
// A profile chosen for the scope itself (not through AWS_PROFILE) skips 1
// and 2: a scope that names its account is served with that account even
// when the environment holds other keys. Anonymous scopes skip the chain
// and send requests unsigned.
//
// Temporary credentials (roles, helpers, the metadata service) are fetched
// anew before they expire; keys in a profile file are read again after the
// store refused them as expired. Pure functions; any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "s3/credential_source.h"
#include "s3/sts.h"

namespace corvane::s3 {

struct CredentialSettings {
  std::optional<std::string> profile;  // chosen for the scope
  bool anonymous = false;
  StsEndpoint sts;  // where roles are assumed
};

// The scope's source, its credentials not fetched yet. Throws
// S3ConfigError for settings that cannot work (half a key pair, a missing
// named profile, a role without its source, a loop of source profiles).
std::shared_ptr<CredentialSource> credentialChain(const CredentialSettings& settings,
                                                  const EnvironmentLookup& environment,
                                                  const StsSigner& sign);

}  // namespace corvane::s3
