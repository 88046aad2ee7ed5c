#include "s3/sts.h"

#include "s3/s3_encoding.h"
#include "s3/s3_xml.h"

namespace corvane::s3 {
namespace {

TimedCredentials call(const StsEndpoint& sts, const std::string& action, const RoleRequest& role,
                      QueryParameters parameters, const S3Credentials* source,
                      const StsSigner* sign) {
  parameters.emplace_back("Action", action);
  parameters.emplace_back("Version", "2011-06-15");
  parameters.emplace_back("RoleArn", role.roleArn);
  parameters.emplace_back("RoleSessionName", role.sessionName);
  if (role.durationSeconds) {
    parameters.emplace_back("DurationSeconds", std::to_string(*role.durationSeconds));
  }
  HttpCall http;
  http.method = "POST";
  http.url = sts.url + "/";
  http.body = canonicalQuery(parameters);
  http.headers = {"Content-Type: application/x-www-form-urlencoded; charset=utf-8"};
  http.caBundle = sts.caBundle;
  const std::string what = "STS at " + sts.url;
  if (sign) (*sign)(http, *source, sts.region);

  const HttpAnswer answer = httpExchange(http, what);
  const std::string refused = what + " did not let us assume the role " + role.roleArn;
  if (answer.status != 200) {
    std::string text = refused + " (HTTP " + std::to_string(answer.status);
    if (auto error = readErrorAnswer(answer.body)) {
      text += ", " + error->code;
      if (!error->message.empty()) text += ": " + error->message;
    }
    throw CredentialError(text + ")");
  }
  try {
    const XmlStsCredentials read = readStsCredentials(answer.body, action + "Result");
    TimedCredentials result{{read.accessKeyId, read.secretAccessKey, read.sessionToken}, {}};
    if (!read.expiration.empty()) {
      const auto time = parseIsoTime(read.expiration);
      if (!time) throw S3XmlError("the Expiration \"" + read.expiration + "\" is not a time");
      result.expiration = std::chrono::time_point_cast<WallClock::duration>(*time);
    }
    return result;
  } catch (const S3XmlError& e) {
    throw CredentialError(refused + ": " + e.what());
  }
}

}  // namespace

TimedCredentials assumeRoleWithWebIdentity(const StsEndpoint& sts, const RoleRequest& role,
                                           const std::string& webIdentityToken) {
  return call(sts, "AssumeRoleWithWebIdentity", role, {{"WebIdentityToken", webIdentityToken}},
              nullptr, nullptr);
}

TimedCredentials assumeRole(const StsEndpoint& sts, const RoleRequest& role,
                            const S3Credentials& source, const StsSigner& sign) {
  QueryParameters parameters;
  if (!role.externalId.empty()) parameters.emplace_back("ExternalId", role.externalId);
  return call(sts, "AssumeRole", role, std::move(parameters), &source, &sign);
}

void signStsCall(HttpCall& call, const S3Credentials& credentials, const std::string& region) {
  call.sigv4 = "aws:amz:" + region + ":sts";
  call.signer = credentials;
}

std::string defaultSessionName() {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(WallClock::now().time_since_epoch());
  return "corvane-engine-" + std::to_string(seconds.count());
}

}  // namespace corvane::s3
