// Where the S3 client's endpoint, region and credentials come from: the
// command line, the environment and the shared profile files, in the order
// the usual S3 tools use, and the one-line refusals when they do not add up.
#include "s3/s3_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "support/test_env.h"

namespace corvane::s3 {
namespace {

namespace fs = std::filesystem;

struct Setting {
  std::map<std::string, std::string> environment;
  std::string credentialsFile;  // written to $HOME/.aws/credentials unless empty
  std::string configFile;       // written to $HOME/.aws/config unless empty
  S3Options options;
};

class S3ConfigTest : public ::testing::Test {
 protected:
  // Resolves with a private HOME holding the setting's profile files; the
  // process's own environment is never read.
  S3Config resolve(const Setting& setting) {
    const fs::path home = env_.root() / ("home" + std::to_string(++homes_));
    fs::create_directories(home / ".aws");
    if (!setting.credentialsFile.empty()) {
      std::ofstream(home / ".aws" / "credentials") << setting.credentialsFile;
    }
    if (!setting.configFile.empty()) std::ofstream(home / ".aws" / "config") << setting.configFile;
    std::map<std::string, std::string> variables = setting.environment;
    variables.emplace("HOME", home.string());
    // Never the machine's own metadata service: a setting that wants one
    // names its address.
    if (!variables.contains("AWS_EC2_METADATA_SERVICE_ENDPOINT")) {
      variables.emplace("AWS_EC2_METADATA_DISABLED", "true");
    }
    return resolveS3Config(setting.options,
                           [variables](const std::string& name) -> std::optional<std::string> {
                             auto it = variables.find(name);
                             if (it == variables.end()) return std::nullopt;
                             return it->second;
                           });
  }

  std::string refusal(const Setting& setting) {
    try {
      resolve(setting);
    } catch (const S3ConfigError& e) {
      return e.what();
    }
    ADD_FAILURE() << "the setting was accepted";
    return {};
  }

  testing::TestEnvironment env_;
  int homes_ = 0;
};

const std::map<std::string, std::string> kEnvKeys = {{"AWS_ACCESS_KEY_ID", "ENVKEY"},
                                                     {"AWS_SECRET_ACCESS_KEY", "envsecret"}};

std::map<std::string, std::string> withKeys(std::map<std::string, std::string> more) {
  more.insert(kEnvKeys.begin(), kEnvKeys.end());
  return more;
}

TEST_F(S3ConfigTest, EndpointAndRegionFollowTheirOrder) {
  struct Case {
    const char* name;
    Setting setting;
    std::string endpoint;
    bool pathStyle;
    std::string region;
    bool regionKnown = true;
  };
  const Case cases[] = {
      {"nothing given: the public endpoint of us-east-1 until the bucket names its region",
       {kEnvKeys, "", "", {}},
       "https://s3.us-east-1.amazonaws.com",
       false,
       "us-east-1",
       false},
      {"the endpoint's host name names the region",
       {kEnvKeys, "", "", {"https://s3.dualstack.ap-southeast-2.amazonaws.com", {}}},
       "https://s3.dualstack.ap-southeast-2.amazonaws.com",
       false,
       "ap-southeast-2"},
      {"a named region beats the endpoint's",
       {kEnvKeys, "", "", {"https://s3.eu-west-2.amazonaws.com", "eu-west-1"}},
       "https://s3.eu-west-2.amazonaws.com",
       false,
       "eu-west-1"},
      {"a custom endpoint addressed virtual-hosted",
       {kEnvKeys, "", "", {"http://store:9000", "r1", {}, "virtual"}},
       "http://store:9000",
       false,
       "r1"},
      {"the public endpoint addressed path-style",
       {withKeys({{"AWS_REGION", "eu-west-1"}}), "", "", {{}, {}, {}, "path"}},
       "https://s3.eu-west-1.amazonaws.com",
       true,
       "eu-west-1"},
      {"a custom endpoint naming no region",
       {withKeys({{"AWS_ENDPOINT_URL", "http://127.0.0.1:7480"}}), "", "", {}},
       "http://127.0.0.1:7480",
       true,
       "us-east-1",
       false},
      {"the option beats every variable",
       {withKeys({{"AWS_ENDPOINT_URL_S3", "http://s3var:1"},
                  {"AWS_ENDPOINT_URL", "http://anyvar:2"},
                  {"AWS_REGION", "eu-west-1"}}),
        "",
        "",
        {"http://option:9000/", "ap-south-1"}},
       "http://option:9000",
       true,
       "ap-south-1"},
      {"the S3 variable beats the general one",
       {withKeys({{"AWS_ENDPOINT_URL_S3", "https://s3var"}, {"AWS_ENDPOINT_URL", "http://any"}}),
        "",
        "",
        {}},
       "https://s3var",
       true,
       "us-east-1",
       false},
      {"the general variable",
       {withKeys({{"AWS_ENDPOINT_URL", "HTTP://Store.example:8080//"}}), "", "", {}},
       "HTTP://Store.example:8080",
       true,
       "us-east-1",
       false},
      {"AWS_REGION beats AWS_DEFAULT_REGION and the profile; the endpoint follows",
       {withKeys({{"AWS_REGION", "eu-west-1"}, {"AWS_DEFAULT_REGION", "eu-north-1"}}),
        "",
        "[default]\nregion = us-west-2\n",
        {}},
       "https://s3.eu-west-1.amazonaws.com",
       false,
       "eu-west-1"},
      {"AWS_DEFAULT_REGION beats the profile",
       {withKeys({{"AWS_DEFAULT_REGION", "eu-north-1"}}), "", "[default]\nregion=us-west-2\n", {}},
       "https://s3.eu-north-1.amazonaws.com",
       false,
       "eu-north-1"},
      {"the profile's region; empty variables count as unset",
       {withKeys({{"AWS_REGION", ""}, {"AWS_ENDPOINT_URL", ""}}),
        "",
        "[default]\nregion = us-west-2\n",
        {std::nullopt, ""}},
       "https://s3.us-west-2.amazonaws.com",
       false,
       "us-west-2"},
      {"a China region",
       {withKeys({{"AWS_REGION", "cn-north-1"}}), "", "", {}},
       "https://s3.cn-north-1.amazonaws.com.cn",
       false,
       "cn-north-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const S3Config config = resolve(c.setting);
    EXPECT_EQ(config.endpoint, c.endpoint);
    // Automatic addressing names the bucket in the host name only at the
    // public store, whoever named the endpoint.
    const std::string host = config.endpoint.substr(config.endpoint.find("://") + 3);
    EXPECT_EQ(pathStyle(config.addressing, host.substr(0, host.find(':')), "bucket"),
              c.pathStyle);
    EXPECT_EQ(config.region, c.region);
    EXPECT_EQ(config.regionKnown, c.regionKnown);
  }
}

TEST(RegionOfEndpointTest, HostNamesThatNameARegion) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"https://s3.eu-west-1.amazonaws.com", "eu-west-1"},
      {"https://S3.EU-West-1.amazonaws.com:443/", "eu-west-1"},
      {"https://s3-eu-west-1.amazonaws.com", "eu-west-1"},
      {"https://s3.dualstack.us-west-2.amazonaws.com", "us-west-2"},
      {"https://s3-fips.dualstack.us-east-2.amazonaws.com", "us-east-2"},
      {"https://s3-external-1.amazonaws.com", "us-east-1"},
      {"https://s3.cn-north-1.amazonaws.com.cn", "cn-north-1"},
      {"https://s3.fr-par.scw.cloud", "fr-par"},
      {"https://s3.amazonaws.com", std::nullopt},
      {"http://127.0.0.1:7480", std::nullopt},
      {"http://localhost:9000", std::nullopt},
      {"https://storage.example.com", std::nullopt},
      {"https://s3.example.com", std::nullopt},
  };
  for (const auto& [url, region] : cases) {
    EXPECT_EQ(regionOfEndpoint(url), region) << url;
  }
}

TEST(WithRegionTest, ThePublicEndpointMovesWithTheRegionACustomOneStays) {
  S3Config regional;
  regional.endpoint = publicEndpoint("us-east-1");
  regional.regionalEndpoint = true;
  regional.regionKnown = false;
  const S3Config moved = withRegion(regional, "eu-central-1");
  EXPECT_EQ(moved.endpoint, "https://s3.eu-central-1.amazonaws.com");
  EXPECT_EQ(moved.region, "eu-central-1");
  EXPECT_TRUE(moved.regionKnown);

  S3Config custom;
  custom.endpoint = "http://127.0.0.1:7480";
  EXPECT_EQ(withRegion(custom, "zg1").endpoint, "http://127.0.0.1:7480");
}

TEST_F(S3ConfigTest, CredentialsFollowTheirOrder) {
  const std::string credentials =
      "# keys of two profiles\n"
      "[default]\n"
      "aws_access_key_id = DEFAULTKEY\n"
      "aws_secret_access_key = default/secret+x\n"
      "\n"
      "[work]\n"
      "aws_access_key_id=WORKKEY\n"
      "aws_secret_access_key=worksecret\n"
      "aws_session_token = worktoken\n"
      "s3 =\n"
      "  aws_access_key_id = NESTEDNOTAKEY\n";
  const std::string config =
      "[default]\n"
      "region = eu-central-1\n"
      "[profile work]\n"
      "region = ap-northeast-1\n"
      "aws_access_key_id = CONFIGKEY\n"
      "[profile configonly]\n"
      "aws_access_key_id = CONFIGONLYKEY\n"
      "aws_secret_access_key = configonlysecret\n"
      "; the credentials file has no such profile\n";
  struct Case {
    const char* name;
    Setting setting;
    std::string key, secret, token, region;
  };
  const Case cases[] = {
      {"the environment beats every profile",
       {withKeys({{"AWS_SESSION_TOKEN", "envtoken"}, {"AWS_PROFILE", "work"}}),
        credentials,
        config,
        {}},
       "ENVKEY",
       "envsecret",
       "envtoken",
       "ap-northeast-1"},
      {"the default profile",
       {{}, credentials, config, {}},
       "DEFAULTKEY",
       "default/secret+x",
       "",
       "eu-central-1"},
      {"a named profile: its keys from the credentials file, its region from the config",
       {{{"AWS_PROFILE", "work"}}, credentials, config, {}},
       "WORKKEY",
       "worksecret",
       "worktoken",
       "ap-northeast-1"},
      {"a profile only in the config file",
       {{{"AWS_PROFILE", "configonly"}}, credentials, config, {}},
       "CONFIGONLYKEY",
       "configonlysecret",
       "",
       "us-east-1"},
      {"a scope's own profile beats the environment's keys and AWS_PROFILE",
       {withKeys({{"AWS_PROFILE", "configonly"}}), credentials, config, {{}, {}, "work"}},
       "WORKKEY",
       "worksecret",
       "worktoken",
       "ap-northeast-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const S3Config resolved = resolve(c.setting);
    EXPECT_EQ(resolved.credentials.accessKeyId, c.key);
    EXPECT_EQ(resolved.credentials.secretAccessKey, c.secret);
    EXPECT_EQ(resolved.credentials.sessionToken, c.token);
    EXPECT_EQ(resolved.region, c.region);
  }
}

TEST_F(S3ConfigTest, ProfileFilesCanLiveElsewhere) {
  const fs::path folder = env_.root() / "elsewhere";
  fs::create_directories(folder);
  std::ofstream(folder / "creds") << "[default]\naws_access_key_id=K\naws_secret_access_key=S\n";
  std::ofstream(folder / "conf") << "[default]\nregion=sa-east-1\n";
  const S3Config config = resolve({{{"AWS_SHARED_CREDENTIALS_FILE", (folder / "creds").string()},
                                    {"AWS_CONFIG_FILE", (folder / "conf").string()},
                                    {"AWS_CA_BUNDLE", "/etc/some-bundle.pem"}},
                                   "[default]\naws_access_key_id=NOT\naws_secret_access_key=NOT\n",
                                   "",
                                   {}});
  EXPECT_EQ(config.credentials.accessKeyId, "K");
  EXPECT_EQ(config.region, "sa-east-1");
  EXPECT_EQ(config.caBundle, "/etc/some-bundle.pem");
}

TEST_F(S3ConfigTest, UnusableSettingsAreRefusedInOneLine) {
  struct Case {
    const char* name;
    Setting setting;
    std::string says;
  };
  const Case cases[] = {
      {"no credentials anywhere", {{}, "", "", {}}, "no S3 credentials"},
      {"no credentials, and no metadata service answers",
       {{{"AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:1"}}, "", "", {}},
       "instance metadata service at http://127.0.0.1:1"},
      {"a scope's profile that does not exist",
       {kEnvKeys, "[default]\naws_access_key_id=K\n", "", {{}, {}, "nowhere"}},
       "the profile \"nowhere\" is not in"},
      {"a role without a source",
       {{}, "", "[default]\nrole_arn = arn:aws:iam::1:role/r\n", {}},
       "neither source_profile nor web_identity_token_file"},
      {"a role whose source profile is missing",
       {{}, "", "[default]\nrole_arn = arn:aws:iam::1:role/r\nsource_profile = gone\n", {}},
       "the source_profile \"gone\""},
      {"source profiles in a loop",
       {{},
        "",
        "[profile a]\nrole_arn = r\nsource_profile = b\n[profile b]\nrole_arn = r\n"
        "source_profile = a\n",
        {{}, {}, "a"}},
       "loop"},
      {"a duration that is not a number",
       {{},
        "[src]\naws_access_key_id=K\naws_secret_access_key=S\n",
        "[default]\nrole_arn = r\nsource_profile = src\nduration_seconds = 1h\n",
        {}},
       "duration_seconds"},
      {"an unknown addressing style",
       {kEnvKeys, "", "", {{}, {}, {}, "sideways"}},
       "\"sideways\" is not one of auto, path, virtual"},
      {"a key without its secret",
       {{{"AWS_ACCESS_KEY_ID", "K"}}, "", "", {}},
       "AWS_SECRET_ACCESS_KEY is not"},
      {"a secret without its key",
       {{{"AWS_SECRET_ACCESS_KEY", "S"}}, "", "", {}},
       "AWS_ACCESS_KEY_ID is not"},
      {"a named profile that does not exist",
       {{{"AWS_PROFILE", "missing"}}, "[default]\naws_access_key_id=K\n", "", {}},
       "the profile \"missing\""},
      {"a profile without a secret",
       {{}, "[default]\naws_access_key_id=K\n", "", {}},
       "lacks aws_secret_access_key"},
      {"an endpoint that is not http(s)",
       {kEnvKeys, "", "", {"ftp://store", std::nullopt}},
       "is not an http:// or https:// URL"},
      {"an endpoint without scheme",
       {withKeys({{"AWS_ENDPOINT_URL", "localhost:9000"}}), "", "", {}},
       "AWS_ENDPOINT_URL \"localhost:9000\""},
      {"an endpoint with a query",
       {kEnvKeys, "", "", {"http://store/?x=1", std::nullopt}},
       "has a query"},
      {"a region that would break the signature",
       {kEnvKeys, "", "", {std::nullopt, "us-east-1:x"}},
       "is not a region name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = refusal(c.setting);
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
}

TEST_F(S3ConfigTest, TheDescriptionNeverShowsSecrets) {
  const S3Config config = resolve({withKeys({{"AWS_SESSION_TOKEN", "tokentokentoken"},
                                             {"AWS_ENDPOINT_URL", "http://127.0.0.1:7480"}}),
                                   "",
                                   "",
                                   {}});
  const std::string text = config.describe();
  EXPECT_NE(text.find("http://127.0.0.1:7480"), std::string::npos) << text;
  EXPECT_NE(text.find("ENVKEY"), std::string::npos) << text;
  EXPECT_EQ(text.find("envsecret"), std::string::npos) << text;
  EXPECT_EQ(text.find("tokentokentoken"), std::string::npos) << text;
}

}  // namespace
}  // namespace corvane::s3
