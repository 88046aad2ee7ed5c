// Credentials of the role attached to the machine, from the instance
// metadata service (IMDSv2): a session token (PUT /latest/api/token), the
// role's name, then its credentials. Every exchange has a one-second
// deadline, so a machine without the service learns it quickly.
//
// Pure functions; any thread.
#pragma once

#include <chrono>
#include <string>

#include "s3/credential_source.h"

namespace corvane::s3 {

// The service's address: AWS_EC2_METADATA_SERVICE_ENDPOINT, else the IPv6
// one when AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE is "IPv6", else
// http://169.254.169.254. No trailing "/".
std::string instanceMetadataEndpoint(const EnvironmentLookup& environment);

// Whether AWS_EC2_METADATA_DISABLED turns the service off ("true", any case).
bool instanceMetadataDisabled(const EnvironmentLookup& environment);

// Fetches the credentials; throws CredentialError when the service does not
// answer, has no role, or answers something else.
TimedCredentials fetchInstanceCredentials(
    const std::string& endpoint,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));

}  // namespace corvane::s3
