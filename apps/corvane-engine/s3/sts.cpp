#include "s3/sts.h"

#include "s3/s3_encoding.h"
#include "s3/s3_xml.h"
#include "s3/sigv4.h"

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
  // The signature covers the Host and the path exactly as they go out.
  const auto schemeEnd = call.url.find("://");
  const auto authorityStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
  const auto pathStart = call.url.find('/', authorityStart);
  SigV4Message message;
  message.method = call.method;
  message.path = pathStart == std::string::npos ? "/" : call.url.substr(pathStart);
  message.headers.emplace_back("Host", call.url.substr(authorityStart, pathStart - authorityStart));
  for (const std::string& line : call.headers) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    message.headers.emplace_back(line.substr(0, colon), std::move(value));
  }
  message.payloadHash = sha256Hex(call.body);
  const std::string authorization =
      signV4(message, credentials, region, "sts", std::chrono::system_clock::now());
  call.headers.clear();
  for (const auto& [name, value] : message.headers) call.headers.push_back(name + ": " + value);
  if (!authorization.empty()) call.headers.push_back("Authorization: " + authorization);
}

std::string defaultSessionName() {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(WallClock::now().time_since_epoch());
  return "corvane-engine-" + std::to_string(seconds.count());
}

}  // namespace corvane::s3
