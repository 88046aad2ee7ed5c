#include "s3/s3_config.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "s3/credential_chain.h"
#include "s3/profile_files.h"

namespace corvane::s3 {
namespace {

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string resolveEndpoint(const S3Options& options, const EnvironmentLookup& environment,
                            bool& custom) {
  std::optional<std::string> given = options.endpoint;
  std::string source = "the endpoint";
  for (const char* name : {"AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL"}) {
    if (given) break;
    given = environment(name);
    source = name;
  }
  custom = given.has_value();
  if (!given) return {};
  std::string url = *given;
  const auto scheme = lower(url.substr(0, url.find("://")));
  const auto rest = url.find("://") == std::string::npos ? std::string::npos : url.find("://") + 3;
  if ((scheme != "http" && scheme != "https") || rest == std::string::npos || rest >= url.size() ||
      url[rest] == '/') {
    throw S3ConfigError(source + " \"" + url + "\" is not an http:// or https:// URL");
  }
  if (url.find_first_of("?#") != std::string::npos) {
    throw S3ConfigError(source + " \"" + url + "\" has a query or fragment");
  }
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
      throw S3ConfigError(source + " holds a space or control character");
    }
  }
  while (url.back() == '/') url.pop_back();
  return url;
}

// Letters, digits and hyphens, with at least one hyphen: "eu-west-1", "fr-par".
bool looksLikeRegion(const std::string& label) {
  if (label.empty() || label.find('-') == std::string::npos ||
      !(label[0] >= 'a' && label[0] <= 'z')) {
    return false;
  }
  for (const char c : label) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

std::string stsEndpointFor(const std::string& region, bool known) {
  if (!known) return "https://sts.amazonaws.com";
  std::string url = "https://sts." + region + ".amazonaws.com";
  if (region.rfind("cn-", 0) == 0) url += ".cn";
  return url;
}

}  // namespace

std::optional<std::string> processEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string publicEndpoint(const std::string& region) {
  std::string host = "https://s3." + region + ".amazonaws.com";
  if (region.rfind("cn-", 0) == 0) host += ".cn";
  return host;
}

std::optional<std::string> regionOfEndpoint(const std::string& url) {
  const auto schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) return std::nullopt;
  const std::string host =
      lower(url.substr(schemeEnd + 3, url.find_first_of(":/", schemeEnd + 3) - schemeEnd - 3));
  std::vector<std::string> labels;
  for (std::size_t at = 0;;) {
    const auto dot = host.find('.', at);
    labels.push_back(host.substr(at, dot - at));
    if (dot == std::string::npos) break;
    at = dot + 1;
  }
  if (labels.size() < 3) return std::nullopt;
  std::size_t i = 0;
  if (labels[0] == "s3" || labels[0] == "s3-fips") {
    i = 1;
  } else if (labels[0].rfind("s3-", 0) == 0) {
    const std::string rest = labels[0].substr(3);
    if (rest == "external-1") return "us-east-1";
    return looksLikeRegion(rest) ? std::optional<std::string>(rest) : std::nullopt;
  } else {
    return std::nullopt;
  }
  while (i < labels.size() && (labels[i] == "dualstack" || labels[i] == "fips")) ++i;
  // The last two labels are the provider's domain, never a region.
  if (i + 2 >= labels.size() || !looksLikeRegion(labels[i])) return std::nullopt;
  return labels[i];
}

bool S3Config::anonymous() const { return credentialSource && credentialSource->isAnonymous(); }

std::string S3Config::describe() const {
  std::string text = "endpoint " + endpoint + ", addressing " + addressingName(addressing) +
                     ", region " + region +
                     (regionKnown ? "" : " (until the store names the bucket's)");
  if (anonymous()) return text + ", anonymous";
  text += ", access key " + credentials.accessKeyId;
  if (!credentials.sessionToken.empty()) text += " with a session token";
  if (credentialSource) text += " from " + credentialSource->description();
  if (!caBundle.empty()) text += ", CA bundle " + caBundle;
  return text;
}

S3Config withRegion(S3Config config, const std::string& region) {
  config.region = region;
  config.regionKnown = true;
  if (config.regionalEndpoint) config.endpoint = publicEndpoint(region);
  return config;
}

S3Config resolveS3Config(const S3Options& options, const EnvironmentLookup& lookup) {
  // Every empty variable counts as unset, as the usual tools treat them. The
  // lookup is kept by the credential sources, so it holds its own copy.
  const EnvironmentLookup environment = [lookup](const std::string& name) {
    auto value = lookup(name);
    if (value && value->empty()) value.reset();
    return value;
  };
  S3Config config;

  bool custom = false;
  config.endpoint = resolveEndpoint(options, environment, custom);

  const std::string profileName =
      options.profile.value_or(environment("AWS_PROFILE").value_or("default"));
  std::optional<std::string> region;
  if (options.region && !options.region->empty()) region = options.region;
  for (const char* name : {"AWS_REGION", "AWS_DEFAULT_REGION"}) {
    if (!region) region = environment(name);
  }
  if (!region) region = ProfileFiles(environment).profile(profileName).setting("region");
  if (!region && custom) region = regionOfEndpoint(config.endpoint);
  config.regionKnown = region.has_value();
  config.region = region.value_or("us-east-1");
  for (const char c : config.region) {
    // The region is a field of the signature's scope, which ":" and "/" separate.
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == ':' || c == '/') {
      throw S3ConfigError("the region \"" + config.region + "\" is not a region name");
    }
  }

  if (!custom) {
    config.endpoint = publicEndpoint(config.region);
    config.regionalEndpoint = true;
  }
  const std::string addressing = options.addressing.value_or("auto");
  if (auto style = addressingNamed(addressing)) {
    config.addressing = *style;
  } else {
    throw S3ConfigError("the addressing style \"" + addressing +
                        "\" is not one of auto, path, virtual");
  }
  config.caBundle = environment("AWS_CA_BUNDLE").value_or("");

  CredentialSettings credentials;
  credentials.profile = options.profile;
  credentials.anonymous = options.anonymous;
  if (auto sts = environment("AWS_ENDPOINT_URL_STS")) {
    credentials.sts.url = *sts;
    while (!credentials.sts.url.empty() && credentials.sts.url.back() == '/') {
      credentials.sts.url.pop_back();
    }
  } else {
    credentials.sts.url =
        custom ? config.endpoint : stsEndpointFor(config.region, config.regionKnown);
  }
  credentials.sts.region = config.region;
  credentials.sts.caBundle = config.caBundle;
  config.credentialSource = credentialChain(credentials, environment, signStsCall);
  config.credentials = config.credentialSource->current();
  return config;
}

}  // namespace corvane::s3
