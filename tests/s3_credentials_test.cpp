// Where the engine's S3 credentials come from and how they are renewed: the
// renewal rules of a source (with a clock the test moves), the helper
// process of a profile, the instance metadata service and STS (scripted
// HTTP servers on 127.0.0.1), and the chain that picks one of them from the
// environment and the profile files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <future>
#include <map>
#include <thread>

#include "s3/credential_chain.h"
#include "s3/credential_process.h"
#include "s3/credential_source.h"
#include "s3/instance_metadata.h"
#include "s3/sigv4.h"
#include "s3/sts.h"
#include "support/files.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace corvane::s3 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Received;
using testing::Reply;
using testing::TestEngine;

const auto* const kProcessLog =
    ::testing::AddGlobalTestEnvironment(new testing::ProcessLogEnvironment);

const WallClock::time_point kStart = WallClock::time_point(std::chrono::seconds(1'800'000'000));

S3Credentials keys(const std::string& id) { return {id, id + "-secret", id + "-token"}; }

// --- Renewal ---------------------------------------------------------------

TEST(RenewalTimeTest, FiveMinutesAheadOrHalfwayForShortLives) {
  const std::pair<std::chrono::seconds, std::chrono::seconds> cases[] = {
      {1h, 55min}, {15min, 10min}, {10min, 5min}, {8min, 4min}, {10s, 5s}, {0s, 0s}, {-5s, 0s},
  };
  for (const auto& [lifetime, renewal] : cases) {
    EXPECT_EQ(renewalTime(kStart, kStart + lifetime), kStart + renewal)
        << "lifetime " << lifetime.count() << " s";
  }
}

// A source whose fetches the test scripts: each hands out the next key
// ("K1", "K2", ...) valid for `lifetime`, unless the test made it fail or
// hold until released.
class ScriptedSource {
 public:
  explicit ScriptedSource(std::chrono::seconds lifetime = 1h)
      : source(std::make_shared<CredentialSource>(
            "the script",
            [this, lifetime] {
              const int n = ++fetches;
              if (hold.valid()) hold.wait();
              if (fail) throw CredentialError("the helper is down");
              return TimedCredentials{keys("K" + std::to_string(n)), now.load() + lifetime};
            },
            [this] { return now.load(); })) {}

  std::atomic<WallClock::time_point> now{kStart};
  std::atomic<int> fetches{0};
  std::atomic<bool> fail{false};
  std::shared_future<void> hold;
  std::shared_ptr<CredentialSource> source;
};

TEST(CredentialSourceTest, OneThreadRenewsWhileTheOthersGoOnWithTheCurrentKeys) {
  ScriptedSource s;
  EXPECT_EQ(s.source->current().accessKeyId, "K1");
  EXPECT_EQ(s.source->current().accessKeyId, "K1");
  EXPECT_EQ(s.fetches, 1);
  EXPECT_EQ(s.source->renewal(), kStart + 55min);

  s.now = kStart + 56min;  // due, still valid
  std::promise<void> release;
  s.hold = release.get_future().share();
  auto renewing = std::async(std::launch::async, [&] { return s.source->current().accessKeyId; });
  while (s.fetches < 2) std::this_thread::yield();
  std::vector<std::future<std::string>> others;
  for (int i = 0; i < 8; ++i) {
    others.push_back(
        std::async(std::launch::async, [&] { return s.source->current().accessKeyId; }));
  }
  for (auto& other : others) EXPECT_EQ(other.get(), "K1");
  release.set_value();
  EXPECT_EQ(renewing.get(), "K2");
  EXPECT_EQ(s.source->current().accessKeyId, "K2");
  EXPECT_EQ(s.fetches, 2);
}

TEST(CredentialSourceTest, ExpiredKeysAreNotHandedOutWhileTheRenewalRuns) {
  ScriptedSource s(10s);
  EXPECT_EQ(s.source->current().accessKeyId, "K1");
  s.now = kStart + 11s;  // past expiry
  std::promise<void> release;
  s.hold = release.get_future().share();
  auto renewing = std::async(std::launch::async, [&] { return s.source->current().accessKeyId; });
  while (s.fetches < 2) std::this_thread::yield();
  auto waiting = std::async(std::launch::async, [&] { return s.source->current().accessKeyId; });
  EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout) << "expired keys were handed out";
  release.set_value();
  EXPECT_EQ(renewing.get(), "K2");
  EXPECT_EQ(waiting.get(), "K2");
  EXPECT_EQ(s.fetches, 2);
}

TEST(CredentialSourceTest, ARefusalRenewsOnceHoweverManyRequestsSawIt) {
  ScriptedSource s;
  const S3Credentials first = s.source->current();
  s.source->invalidate(first);
  s.source->invalidate(first);
  EXPECT_EQ(s.source->current().accessKeyId, "K2");
  // A request that was signed before the renewal reports its refusal late.
  s.source->invalidate(first);
  EXPECT_EQ(s.source->current().accessKeyId, "K2");
  EXPECT_EQ(s.fetches, 2);
}

TEST(CredentialSourceTest, AFailedRenewalKeepsValidKeysUntilTheyExpire) {
  ScriptedSource s(20min);
  EXPECT_EQ(s.source->current().accessKeyId, "K1");
  s.fail = true;
  s.now = kStart + 16min;
  EXPECT_EQ(s.source->current().accessKeyId, "K1");
  EXPECT_EQ(s.source->current().accessKeyId, "K1");
  EXPECT_EQ(s.fetches, 2) << "a failed renewal is not repeated by every request";
  s.now = kStart + 16min + 11s;
  EXPECT_EQ(s.source->current().accessKeyId, "K1");
  EXPECT_EQ(s.fetches, 3);
  s.now = kStart + 21min;
  EXPECT_THROW(s.source->current(), CredentialError);
  s.fail = false;
  EXPECT_EQ(s.source->current().accessKeyId, "K5");
}

TEST(CredentialSourceTest, AnonymousAndFixedSources) {
  const auto anonymous = CredentialSource::anonymous();
  EXPECT_TRUE(anonymous->isAnonymous());
  EXPECT_EQ(anonymous->current().accessKeyId, "");
  const auto fixed = CredentialSource::fixed(keys("F"), "the environment");
  EXPECT_FALSE(fixed->isAnonymous());
  EXPECT_EQ(fixed->current().secretAccessKey, "F-secret");
  EXPECT_FALSE(fixed->renewal());
}

// --- credential_process ----------------------------------------------------

TEST(CommandLineTest, SplitsAsAShellDoesWithoutRunningOne) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"helper --profile work", {"helper", "--profile", "work"}},
      {"  helper\t a  ", {"helper", "a"}},
      {"'/opt/my tools/helper' \"a b\" c\\ d", {"/opt/my tools/helper", "a b", "c d"}},
      {"h 'it''s' \"say \\\"hi\\\" \\$HOME \\n\"", {"h", "its", "say \"hi\" $HOME \\n"}},
      {"h a$HOME *.txt 'x'y\"z\"", {"h", "a$HOME", "*.txt", "xyz"}},
      {"h ''", {"h", ""}},
  };
  for (const auto& [text, words] : cases) EXPECT_EQ(splitCommandLine(text), words) << text;
  for (const char* bad : {"h 'open", "h \"open", "", "   "}) {
    EXPECT_THROW(splitCommandLine(bad), CredentialError) << bad;
  }
}

TEST(ProcessCredentialsTest, ReadsVersionOneAnswers) {
  const TimedCredentials full = readProcessCredentials(
      R"({"Version": 1, "AccessKeyId": "AK", "SecretAccessKey": "SK", "SessionToken": "ST",
          "Expiration": "2027-01-15T10:00:00Z"})",
      "helper");
  EXPECT_EQ(full.credentials.accessKeyId, "AK");
  EXPECT_EQ(full.credentials.secretAccessKey, "SK");
  EXPECT_EQ(full.credentials.sessionToken, "ST");
  ASSERT_TRUE(full.expiration);
  EXPECT_EQ(
      std::chrono::duration_cast<std::chrono::seconds>(full.expiration->time_since_epoch()).count(),
      1800007200);
  const TimedCredentials lasting =
      readProcessCredentials(R"({"Version":1,"AccessKeyId":"AK","SecretAccessKey":"SK"})", "h");
  EXPECT_FALSE(lasting.expiration);
  EXPECT_EQ(lasting.credentials.sessionToken, "");

  const std::pair<const char*, const char*> refused[] = {
      {"not json", "JSON object"},
      {R"({"AccessKeyId":"AK","SecretAccessKey":"SK"})", "Version"},
      {R"({"Version":2,"AccessKeyId":"AK","SecretAccessKey":"SK"})", "Version"},
      {R"({"Version":1,"SecretAccessKey":"SK"})", "AccessKeyId"},
      {R"({"Version":1,"AccessKeyId":"AK","SecretAccessKey":""})", "SecretAccessKey"},
      {R"({"Version":1,"AccessKeyId":"AK","SecretAccessKey":"SK","Expiration":"soon"})",
       "Expiration"},
  };
  for (const auto& [json, says] : refused) {
    try {
      readProcessCredentials(json, "the helper");
      ADD_FAILURE() << "accepted " << json;
    } catch (const CredentialError& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  }
}

class HelperTest : public ::testing::Test {
 protected:
  // An executable script in the test's folder; its path.
  std::string script(const std::string& name, const std::string& body) {
    const fs::path file = env_.root() / name;
    testing::writeFile(file, "#!/bin/sh\n" + body);
    ::chmod(file.c_str(), 0755);
    return file.string();
  }
  testing::TestEnvironment env_;
};

TEST_F(HelperTest, RunsTheHelperAndTellsWhyItFailed) {
  const std::string good =
      script("good helper",
             "printf '{\"Version\":1,\"AccessKeyId\":\"%s\",\"SecretAccessKey\":\"%s\"}' "
             "\"$1\" \"$2\"\n");
  const TimedCredentials got = runCredentialProcess("'" + good + "' 'A K' \"S\\$K\"", "h");
  EXPECT_EQ(got.credentials.accessKeyId, "A K");
  EXPECT_EQ(got.credentials.secretAccessKey, "S$K");

  struct Case {
    std::string command;
    const char* says;
  };
  const Case cases[] = {
      {script("fails", "echo 'the session ended; log in again' >&2\nexit 3\n"),
       "exited with status 3: the session ended; log in again"},
      {script("chatty", "echo hello\n"), "JSON object"},
      {script("hangs", "exec sleep 30\n"), "did not finish within"},
      {(env_.root() / "missing").string(), "could not be started"},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    try {
      runCredentialProcess(c.command, "the helper", 300ms);
      ADD_FAILURE() << c.command << " was accepted";
    } catch (const CredentialError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << c.command;
  }
}

// --- The instance metadata service and STS -----------------------------------

const char* const kRoleCredentials =
    R"({"Code":"Success","LastUpdated":"2026-12-10T10:00:00Z","Type":"AWS-HMAC",)"
    R"("AccessKeyId":"IMDSKEY","SecretAccessKey":"imdssecret","Token":"imdstoken",)"
    R"("Expiration":"2027-01-15T10:00:00Z"})";

// The three exchanges of IMDSv2, each checking what it must receive.
void scriptMetadataService(TestEngine& imds) {
  imds.on("PUT", "/latest/api/token", [](const Received& r) {
    return r.header("x-aws-ec2-metadata-token-ttl-seconds") ? Reply{200, "session-1"}
                                                            : Reply{400, ""};
  });
  auto tokened = [](Reply reply) {
    return [reply](const Received& r) {
      return r.header("x-aws-ec2-metadata-token") == "session-1" ? reply : Reply{401, ""};
    };
  };
  imds.on("GET", "/latest/meta-data/iam/security-credentials/", tokened({200, "web-role\n"}));
  imds.on("GET", "/latest/meta-data/iam/security-credentials/web-role",
          tokened({200, kRoleCredentials}));
}

TEST(InstanceMetadataTest, TokenThenRoleThenItsCredentials) {
  TestEngine imds;
  scriptMetadataService(imds);
  const std::string endpoint = "http://127.0.0.1:" + std::to_string(imds.port());
  const TimedCredentials got = fetchInstanceCredentials(endpoint);
  EXPECT_EQ(got.credentials.accessKeyId, "IMDSKEY");
  EXPECT_EQ(got.credentials.secretAccessKey, "imdssecret");
  EXPECT_EQ(got.credentials.sessionToken, "imdstoken");
  EXPECT_TRUE(got.expiration);
  EXPECT_EQ(imds.count("PUT", "/latest/api/token"), 1u);

  imds.on("GET", "/latest/meta-data/iam/security-credentials/", Reply{404, ""});
  try {
    fetchInstanceCredentials(endpoint);
    ADD_FAILURE() << "a machine without a role gave credentials";
  } catch (const CredentialError& e) {
    EXPECT_NE(std::string(e.what()).find("names no role"), std::string::npos) << e.what();
  }
  imds.on("PUT", "/latest/api/token", Reply{403, ""});
  EXPECT_THROW(fetchInstanceCredentials(endpoint), CredentialError);
  EXPECT_THROW(fetchInstanceCredentials("http://127.0.0.1:1"), CredentialError);
}

TEST(InstanceMetadataTest, AddressAndSwitchFromTheEnvironment) {
  struct Case {
    std::map<std::string, std::string> variables;
    std::string endpoint;
    bool disabled;
  };
  const Case cases[] = {
      {{}, "http://169.254.169.254", false},
      {{{"AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:8111/"}},
       "http://127.0.0.1:8111",
       false},
      {{{"AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE", "IPv6"}}, "http://[fd00:ec2::254]", false},
      {{{"AWS_EC2_METADATA_DISABLED", "TRUE"}}, "http://169.254.169.254", true},
      {{{"AWS_EC2_METADATA_DISABLED", "false"}}, "http://169.254.169.254", false},
  };
  for (const Case& c : cases) {
    const EnvironmentLookup lookup = [&](const std::string& name) -> std::optional<std::string> {
      auto it = c.variables.find(name);
      if (it == c.variables.end()) return std::nullopt;
      return it->second;
    };
    EXPECT_EQ(instanceMetadataEndpoint(lookup), c.endpoint);
    EXPECT_EQ(instanceMetadataDisabled(lookup), c.disabled);
  }
}

std::string stsAnswer(const std::string& action, const std::string& key) {
  return "<" + action + "Response xmlns=\"https://sts.amazonaws.com/doc/2011-06-15/\"><" + action +
         "Result><Credentials><AccessKeyId>" + key + "</AccessKeyId><SecretAccessKey>" + key +
         "-secret</SecretAccessKey><SessionToken>" + key +
         "-token</SessionToken><Expiration>2027-01-15T10:00:00.123456789Z</Expiration>"
         "</Credentials></" +
         action + "Result></" + action + "Response>";
}

// STS answering both actions: AssumeRoleWithWebIdentity only with the token
// "jwt-1", AssumeRole only when signed.
void scriptSts(TestEngine& sts) {
  sts.on("POST", "/", [](const Received& r) {
    if (r.body.find("Action=AssumeRoleWithWebIdentity") != std::string::npos) {
      if (r.body.find("WebIdentityToken=jwt-1") == std::string::npos) {
        return Reply{400,
                     "<ErrorResponse><Error><Type>Sender</Type><Code>InvalidIdentityToken</Code>"
                     "<Message>the token is not valid</Message></Error></ErrorResponse>"};
      }
      return Reply{200, stsAnswer("AssumeRoleWithWebIdentity", "WEBKEY")};
    }
    if (!r.header("authorization")) return Reply{403, "<ErrorResponse/>"};
    return Reply{200, stsAnswer("AssumeRole", "ROLEKEY")};
  });
}

TEST(StsTest, WebIdentityIsUnsignedAndItsRefusalIsOneLine) {
  TestEngine server;
  scriptSts(server);
  const StsEndpoint sts{"http://127.0.0.1:" + std::to_string(server.port()), "us-east-1", ""};
  RoleRequest role{"arn:aws:iam::123456789012:role/reader", "session-a", 3600, ""};
  const TimedCredentials got = assumeRoleWithWebIdentity(sts, role, "jwt-1");
  EXPECT_EQ(got.credentials.accessKeyId, "WEBKEY");
  EXPECT_EQ(got.credentials.sessionToken, "WEBKEY-token");
  ASSERT_TRUE(got.expiration);
  const auto requests = server.requests("POST", "/");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].header("authorization"));
  for (const char* field : {"Action=AssumeRoleWithWebIdentity", "Version=2011-06-15",
                            "RoleArn=arn%3Aaws%3Aiam%3A%3A123456789012%3Arole%2Freader",
                            "RoleSessionName=session-a", "DurationSeconds=3600"}) {
    EXPECT_NE(requests[0].body.find(field), std::string::npos) << requests[0].body;
  }

  try {
    assumeRoleWithWebIdentity(sts, role, "jwt-stale");
    ADD_FAILURE() << "a refused token gave credentials";
  } catch (const CredentialError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("InvalidIdentityToken: the token is not valid"), std::string::npos) << text;
    EXPECT_NE(text.find("role/reader"), std::string::npos) << text;
    EXPECT_EQ(text.find("jwt-stale"), std::string::npos) << text;
  }
}

// The signature of an AssumeRole call, computed again from the request as
// the server received it: it must cover the Host, the body and every header
// it names, for the service "sts" in the endpoint's region.
TEST(StsTest, AssumeRoleIsSignedForStsOverWhatIsSent) {
  TestEngine server;
  scriptSts(server);
  const StsEndpoint sts{"http://127.0.0.1:" + std::to_string(server.port()), "eu-central-1", ""};
  const RoleRequest role{"arn:aws:iam::123456789012:role/writer", "session-b", {}, "ext-7"};
  const S3Credentials source = keys("SOURCEKEY");
  EXPECT_EQ(assumeRole(sts, role, source, signStsCall).credentials.accessKeyId, "ROLEKEY");

  const auto requests = server.requests("POST", "/");
  ASSERT_EQ(requests.size(), 1u);
  const Received& r = requests[0];
  EXPECT_EQ(r.header("x-amz-security-token"), "SOURCEKEY-token");
  const std::string authorization = r.header("authorization").value_or("");
  const std::string date = r.header("x-amz-date").value_or("");
  ASSERT_EQ(date.size(), 16u) << date;
  EXPECT_NE(authorization.find("Credential=SOURCEKEY/" + date.substr(0, 8) +
                               "/eu-central-1/sts/aws4_request"),
            std::string::npos)
      << authorization;
  const auto namesAt = authorization.find("SignedHeaders=") + 14;
  const std::string names = authorization.substr(namesAt, authorization.find(',', namesAt) - namesAt);
  for (const char* name : {"host", "content-type", "x-amz-date", "x-amz-security-token"}) {
    EXPECT_NE((";" + names + ";").find(std::string(";") + name + ";"), std::string::npos) << names;
  }

  // Sign the received request again at its own time.
  SigV4Message again;
  again.method = r.method;
  again.path = "/";
  for (std::size_t at = 0; at <= names.size();) {
    const auto end = std::min(names.find(';', at), names.size());
    const std::string name = names.substr(at, end - at);
    if (name != "x-amz-date" && name != "x-amz-security-token") {
      again.headers.emplace_back(name, r.header(name).value_or(""));
    }
    at = end + 1;
  }
  again.payloadHash = sha256Hex(r.body);
  std::tm tm{};
  ASSERT_NE(::strptime(date.c_str(), "%Y%m%dT%H%M%SZ", &tm), nullptr);
  const auto signedAt = std::chrono::system_clock::from_time_t(::timegm(&tm));
  EXPECT_EQ(signV4(again, source, "eu-central-1", "sts", signedAt), authorization);
  EXPECT_NE(r.body.find("ExternalId=ext-7"), std::string::npos) << r.body;
}

// --- The chain -------------------------------------------------------------

class ChainTest : public ::testing::Test {
 protected:
  ChainTest() {
    scriptSts(sts_);
    scriptMetadataService(imds_);
    testing::writeFile(env_.root() / "token", "jwt-1\n");
  }

  std::string url(const TestEngine& server) const {
    return "http://127.0.0.1:" + std::to_string(server.port());
  }

  // Resolves with a private HOME (its profile files given) and STS and the
  // metadata service at the scripted servers.
  S3Config resolve(std::map<std::string, std::string> variables, const std::string& credentials,
                   const std::string& config, const S3Options& options = {}) {
    const fs::path home = env_.root() / ("home" + std::to_string(++homes_));
    testing::writeFile(home / ".aws" / "credentials", credentials);
    testing::writeFile(home / ".aws" / "config", config);
    variables.emplace("HOME", home.string());
    variables.emplace("AWS_ENDPOINT_URL_STS", url(sts_));
    variables.emplace("AWS_EC2_METADATA_SERVICE_ENDPOINT", url(imds_));
    return resolveS3Config(options, [variables](const std::string& name) {
      auto it = variables.find(name);
      return it == variables.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
  }

  testing::TestEnvironment env_;
  TestEngine sts_;
  TestEngine imds_;
  int homes_ = 0;
};

TEST_F(ChainTest, EachSourceInItsPlace) {
  const std::string token = (env_.root() / "token").string();
  const std::string helper = (env_.root() / "helper").string();
  testing::writeFile(helper,
                     "#!/bin/sh\necho '{\"Version\":1,\"AccessKeyId\":\"PROCKEY\","
                     "\"SecretAccessKey\":\"s\",\"Expiration\":\"2027-01-15T10:00:00Z\"}'\n");
  ::chmod(helper.c_str(), 0755);
  const std::string credentials =
      "[src]\naws_access_key_id = SRCKEY\naws_secret_access_key = srcsecret\n"
      "[keys]\naws_access_key_id = FILEKEY\naws_secret_access_key = filesecret\n"
      "[both]\naws_access_key_id = BOTHKEY\naws_secret_access_key = bothsecret\n";
  const std::string config =
      "[profile role]\nrole_arn = arn:aws:iam::1:role/writer\nsource_profile = src\n"
      "external_id = ext-7\nrole_session_name = nightly\nduration_seconds = 900\n"
      "[profile self]\nrole_arn = arn:aws:iam::1:role/self\nsource_profile = self\n"
      "aws_access_key_id = SELFKEY\naws_secret_access_key = selfsecret\n"
      "[profile web]\nrole_arn = arn:aws:iam::1:role/web\nweb_identity_token_file = " +
      token +
      "\n"
      "[profile process]\ncredential_process = " +
      helper +
      "\n"
      "[profile both]\ncredential_process = " +
      helper +
      "\n"
      "[profile empty]\nregion = eu-west-1\n";
  struct Case {
    const char* name;
    std::map<std::string, std::string> variables;
    S3Options options;
    std::string key;
    std::string from;  // words of the description
  };
  const Case cases[] = {
      {"the environment's keys first",
       {{"AWS_ACCESS_KEY_ID", "ENVKEY"},
        {"AWS_SECRET_ACCESS_KEY", "e"},
        {"AWS_WEB_IDENTITY_TOKEN_FILE", token},
        {"AWS_ROLE_ARN", "arn:aws:iam::1:role/web"}},
       {},
       "ENVKEY",
       "the environment"},
      {"then the environment's web identity",
       {{"AWS_WEB_IDENTITY_TOKEN_FILE", token},
        {"AWS_ROLE_ARN", "arn:aws:iam::1:role/web"},
        {"AWS_PROFILE", "keys"}},
       {},
       "WEBKEY",
       "AWS_WEB_IDENTITY_TOKEN_FILE"},
      {"a profile's keys", {{"AWS_PROFILE", "keys"}}, {}, "FILEKEY", "the profile \"keys\""},
      {"a role assumed with the source profile's keys",
       {},
       {{}, {}, "role"},
       "ROLEKEY",
       "the role arn:aws:iam::1:role/writer of the profile \"role\""},
      {"a role assumed with the profile's own keys", {}, {{}, {}, "self"}, "ROLEKEY", "role/self"},
      {"a role for a web identity", {}, {{}, {}, "web"}, "WEBKEY", "web identity"},
      {"a helper process", {}, {{}, {}, "process"}, "PROCKEY", "credential_process"},
      {"keys in the credentials file beat a helper", {}, {{}, {}, "both"}, "BOTHKEY", "\"both\""},
      {"the metadata service when a profile has no credentials",
       {},
       {{}, {}, "empty"},
       "IMDSKEY",
       "instance metadata service"},
      {"the metadata service when there is no profile", {}, {}, "IMDSKEY", "instance metadata"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const S3Config resolved = resolve(c.variables, credentials, config, c.options);
    EXPECT_EQ(resolved.credentials.accessKeyId, c.key);
    ASSERT_TRUE(resolved.credentialSource);
    EXPECT_NE(resolved.credentialSource->description().find(c.from), std::string::npos)
        << resolved.credentialSource->description();
    EXPECT_EQ(resolved.credentialSource->current().accessKeyId, c.key);
  }

  // What the role's AssumeRole carried: the source's key in its signature
  // and the profile's settings.
  std::vector<Received> assumed;
  for (const Received& r : sts_.requests("POST", "/")) {
    if (r.body.find("role%2Fwriter") != std::string::npos) assumed.push_back(r);
  }
  ASSERT_EQ(assumed.size(), 1u);
  EXPECT_NE(assumed[0].header("authorization").value_or("").find("Credential=SRCKEY/"),
            std::string::npos);
  EXPECT_NE(assumed[0].header("authorization").value_or("").find("/sts/aws4_request"),
            std::string::npos);
  for (const char* field : {"Action=AssumeRole&", "ExternalId=ext-7", "RoleSessionName=nightly",
                            "DurationSeconds=900"}) {
    EXPECT_NE(assumed[0].body.find(field), std::string::npos) << assumed[0].body;
  }
}

TEST_F(ChainTest, AnonymousScopesAskNoOne) {
  const S3Config config = resolve({{"AWS_ACCESS_KEY_ID", "ENVKEY"}, {"AWS_SECRET_ACCESS_KEY", "e"}},
                                  "", "", {{}, {}, {}, {}, true});
  EXPECT_TRUE(config.anonymous());
  EXPECT_EQ(config.credentials.accessKeyId, "");
  EXPECT_NE(config.describe().find("anonymous"), std::string::npos) << config.describe();
  EXPECT_EQ(sts_.requests().size() + imds_.requests().size(), 0u);
}

TEST_F(ChainTest, StsIsTheStoresOwnForACustomEndpoint) {
  // Without AWS_ENDPOINT_URL_STS the role is assumed where the store is.
  std::map<std::string, std::string> variables = {{"AWS_PROFILE", "role"}};
  const fs::path home = env_.root() / "own";
  testing::writeFile(home / ".aws" / "credentials",
                     "[src]\naws_access_key_id=SRCKEY\naws_secret_access_key=s\n");
  testing::writeFile(home / ".aws" / "config",
                     "[profile role]\nrole_arn = arn:aws:iam::1:role/r\nsource_profile = src\n");
  variables.emplace("HOME", home.string());
  variables.emplace("AWS_EC2_METADATA_DISABLED", "true");
  S3Options options;
  options.endpoint = url(sts_);
  const S3Config config = resolveS3Config(options, [variables](const std::string& name) {
    auto it = variables.find(name);
    return it == variables.end() ? std::nullopt : std::optional<std::string>(it->second);
  });
  EXPECT_EQ(config.credentials.accessKeyId, "ROLEKEY");
  EXPECT_EQ(sts_.count("POST", "/"), 1u);
}

}  // namespace
}  // namespace corvane::s3
