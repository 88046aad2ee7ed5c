#include "s3/instance_metadata.h"

#include <simdjson.h>

#include "s3/credential_http.h"
#include "s3/s3_xml.h"

namespace corvane::s3 {
namespace {

constexpr const char* kCredentialsPath = "/latest/meta-data/iam/security-credentials/";

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::string instanceMetadataEndpoint(const EnvironmentLookup& environment) {
  if (auto given = environment("AWS_EC2_METADATA_SERVICE_ENDPOINT")) {
    std::string url = *given;
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
  }
  if (lower(environment("AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE").value_or("")) == "ipv6") {
    return "http://[fd00:ec2::254]";
  }
  return "http://169.254.169.254";
}

bool instanceMetadataDisabled(const EnvironmentLookup& environment) {
  return lower(environment("AWS_EC2_METADATA_DISABLED").value_or("")) == "true";
}

TimedCredentials fetchInstanceCredentials(const std::string& endpoint,
                                          std::chrono::milliseconds timeout) {
  const std::string what = "the instance metadata service at " + endpoint;
  HttpCall call;
  call.method = "PUT";
  call.url = endpoint + "/latest/api/token";
  call.headers = {"X-aws-ec2-metadata-token-ttl-seconds: 21600"};
  call.timeout = timeout;
  HttpAnswer answer = httpExchange(call, what);
  if (answer.status != 200 || answer.body.empty()) {
    throw CredentialError(what + " gave no session token (HTTP " + std::to_string(answer.status) +
                          ")");
  }
  call.method = "GET";
  call.headers = {"X-aws-ec2-metadata-token: " + answer.body};

  call.url = endpoint + kCredentialsPath;
  answer = httpExchange(call, what);
  const std::string role = answer.body.substr(0, answer.body.find_first_of("\r\n"));
  if (answer.status != 200 || role.empty()) {
    throw CredentialError(what + " names no role for this machine (HTTP " +
                          std::to_string(answer.status) + ")");
  }

  call.url = endpoint + kCredentialsPath + role;
  answer = httpExchange(call, what);
  const std::string roleText = what + " for the role " + role;
  if (answer.status != 200) {
    throw CredentialError(roleText + " answered HTTP " + std::to_string(answer.status));
  }
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  if (parser.parse(answer.body).get(document) != simdjson::SUCCESS || !document.is_object()) {
    throw CredentialError(roleText + " did not answer with a JSON object");
  }
  auto field = [&](const char* name) {
    std::string_view value;
    if (document[name].get_string().get(value) != simdjson::SUCCESS || value.empty()) {
      throw CredentialError(roleText + " answered without " + std::string(name));
    }
    return std::string(value);
  };
  std::string_view code;
  if (document["Code"].get_string().get(code) == simdjson::SUCCESS && code != "Success") {
    throw CredentialError(roleText + " answered " + std::string(code));
  }
  TimedCredentials result{{field("AccessKeyId"), field("SecretAccessKey"), field("Token")}, {}};
  const auto time = parseIsoTime(field("Expiration"));
  if (!time) throw CredentialError(roleText + " answered an Expiration that is not a time");
  result.expiration = std::chrono::time_point_cast<WallClock::duration>(*time);
  return result;
}

}  // namespace corvane::s3
