#include "s3/credential_chain.h"

#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

#include "s3/credential_process.h"
#include "s3/instance_metadata.h"
#include "s3/profile_files.h"

namespace corvane::s3 {
namespace {

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

// The web identity token, read at each fetch: the program that writes it
// replaces it before it expires.
std::string readToken(const std::string& path, const std::string& what) {
  std::ifstream in(path);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    throw CredentialError("cannot read the web identity token file " + path + " of " + what);
  }
  std::string token = text.str();
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) {
    token.pop_back();
  }
  if (token.empty()) throw CredentialError("the web identity token file " + path + " is empty");
  return token;
}

std::shared_ptr<CredentialSource> webIdentity(const StsEndpoint& sts, RoleRequest role,
                                              std::string tokenFile, std::string what) {
  return std::make_shared<CredentialSource>(what, [sts, role, tokenFile, what] {
    return assumeRoleWithWebIdentity(sts, role, readToken(tokenFile, what));
  });
}

class Chain {
 public:
  Chain(const CredentialSettings& settings, const EnvironmentLookup& environment,
        const StsSigner& sign)
      : settings_(settings), environment_(environment), sign_(sign), files_(environment) {}

  std::shared_ptr<CredentialSource> resolve() {
    if (settings_.anonymous) return CredentialSource::anonymous();
    const auto named = settings_.profile ? settings_.profile : environment_("AWS_PROFILE");
    if (!settings_.profile) {
      if (auto source = fromEnvironment()) return source;
    }
    const std::string name = named.value_or("default");
    if (files_.profile(name).exists()) {
      std::set<std::string> visited;
      if (auto source = fromProfile(name, visited)) return source;
    } else if (named) {
      throw S3ConfigError("the profile " + quoted(name) +
                          (settings_.profile ? std::string() : std::string(" (AWS_PROFILE)")) +
                          " is not in " + files_.where());
    }
    return fromInstanceMetadata(name);
  }

 private:
  std::shared_ptr<CredentialSource> fromEnvironment() {
    const auto id = environment_("AWS_ACCESS_KEY_ID");
    const auto secret = environment_("AWS_SECRET_ACCESS_KEY");
    if (id && secret) {
      return CredentialSource::fixed({*id, *secret, environment_("AWS_SESSION_TOKEN").value_or("")},
                                     "the environment");
    }
    if (id) throw S3ConfigError("AWS_ACCESS_KEY_ID is set but AWS_SECRET_ACCESS_KEY is not");
    if (secret) throw S3ConfigError("AWS_SECRET_ACCESS_KEY is set but AWS_ACCESS_KEY_ID is not");
    const auto tokenFile = environment_("AWS_WEB_IDENTITY_TOKEN_FILE");
    const auto roleArn = environment_("AWS_ROLE_ARN");
    if (tokenFile && roleArn) {
      RoleRequest role;
      role.roleArn = *roleArn;
      role.sessionName = environment_("AWS_ROLE_SESSION_NAME").value_or(defaultSessionName());
      return webIdentity(settings_.sts, role, *tokenFile,
                         "the web identity of AWS_WEB_IDENTITY_TOKEN_FILE");
    }
    return nullptr;
  }

  // The source a profile describes; null when it holds no credentials at
  // all (the chain goes on).
  std::shared_ptr<CredentialSource> fromProfile(const std::string& name,
                                                std::set<std::string>& visited) {
    const Profile profile = files_.profile(name);
    const std::string what = "the profile " + quoted(name);
    if (!visited.insert(name).second) {
      throw S3ConfigError(what + " is its own source_profile through others; break the loop");
    }
    if (auto roleArn = profile.setting("role_arn")) return role(profile, *roleArn, visited);
    if (profile.inCredentialsFile("aws_access_key_id")) return keys(name);
    if (auto command = profile.setting("credential_process")) {
      const std::string process = "credential_process of " + what;
      return std::make_shared<CredentialSource>(process, [command = *command, process] {
        return runCredentialProcess(command, process);
      });
    }
    if (profile.value("aws_access_key_id") || profile.value("aws_secret_access_key")) {
      return keys(name);
    }
    return nullptr;
  }

  // The profile's own keys, read again at each fetch: the files may have
  // been given a new session token since.
  std::shared_ptr<CredentialSource> keys(const std::string& name) {
    const std::string where = files_.where();
    auto read = [environment = environment_, name, where] {
      ProfileFiles files(environment);
      const Profile profile = files.profile(name);
      const auto id = profile.value("aws_access_key_id");
      const auto secret = profile.value("aws_secret_access_key");
      if (!id || !secret) {
        throw CredentialError("the profile " + quoted(name) + " in " + where + " lacks " +
                              (id ? "aws_secret_access_key" : "aws_access_key_id"));
      }
      return TimedCredentials{{*id, *secret, profile.value("aws_session_token").value_or("")}, {}};
    };
    read();  // half a key pair is a configuration mistake, found now
    return std::make_shared<CredentialSource>("the profile " + quoted(name) + " in " + where, read);
  }

  std::shared_ptr<CredentialSource> role(const Profile& profile, const std::string& roleArn,
                                         std::set<std::string>& visited) {
    const std::string what = "the profile " + quoted(profile.name);
    RoleRequest role;
    role.roleArn = roleArn;
    role.sessionName = profile.setting("role_session_name").value_or(defaultSessionName());
    role.externalId = profile.setting("external_id").value_or("");
    if (auto duration = profile.setting("duration_seconds")) {
      int seconds = 0;
      const auto [end, error] =
          std::from_chars(duration->data(), duration->data() + duration->size(), seconds);
      if (error != std::errc() || end != duration->data() + duration->size() || seconds <= 0) {
        throw S3ConfigError(what + " has a duration_seconds that is not a number of seconds");
      }
      role.durationSeconds = seconds;
    }
    if (auto tokenFile = profile.setting("web_identity_token_file")) {
      return webIdentity(settings_.sts, role, files_.expandHome(*tokenFile),
                         "the web identity of " + what);
    }
    const auto sourceName = profile.setting("source_profile");
    if (!sourceName) {
      throw S3ConfigError(what +
                          " has a role_arn but neither source_profile nor "
                          "web_identity_token_file");
    }
    std::shared_ptr<CredentialSource> source;
    if (*sourceName == profile.name) {
      source = keys(profile.name);
    } else {
      if (!files_.profile(*sourceName).exists()) {
        throw S3ConfigError("the source_profile " + quoted(*sourceName) + " of " + what +
                            " is not in " + files_.where());
      }
      source = fromProfile(*sourceName, visited);
      if (!source) {
        throw S3ConfigError("the source_profile " + quoted(*sourceName) + " of " + what +
                            " has no credentials");
      }
    }
    const StsEndpoint sts = settings_.sts;
    const StsSigner sign = sign_;
    return std::make_shared<CredentialSource>(
        "the role " + roleArn + " of " + what,
        [sts, role, source, sign] { return assumeRole(sts, role, source->current(), sign); });
  }

  std::shared_ptr<CredentialSource> fromInstanceMetadata(const std::string& profileName) {
    const std::string none =
        "no S3 credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, "
        "or give the profile " +
        quoted(profileName) + " in " + files_.where();
    if (instanceMetadataDisabled(environment_)) throw S3ConfigError(none);
    const std::string endpoint = instanceMetadataEndpoint(environment_);
    auto source = std::make_shared<CredentialSource>(
        "the instance metadata service at " + endpoint,
        [endpoint] { return fetchInstanceCredentials(endpoint); });
    // Nothing else is left: a machine without the service is told so now,
    // as a missing configuration.
    try {
      source->current();
    } catch (const CredentialError& e) {
      throw S3ConfigError(none + "; " + e.what());
    }
    return source;
  }

  const CredentialSettings& settings_;
  const EnvironmentLookup& environment_;
  const StsSigner& sign_;
  ProfileFiles files_;
};

}  // namespace

std::shared_ptr<CredentialSource> credentialChain(const CredentialSettings& settings,
                                                  const EnvironmentLookup& environment,
                                                  const StsSigner& sign) {
  return Chain(settings, environment, sign).resolve();
}

}  // namespace corvane::s3
