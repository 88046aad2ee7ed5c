// The engine client's discovery and request transport, against the test
// engine: headers, status mapping, error texts, log lines and the failures
// that never reach the engine.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/decoding.h"
#include "engine/engine_client.h"
#include "engine/engine_error.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace corvane {
namespace {

using testing::LogWatch;
using testing::makeScope;
using testing::Reply;
using testing::TestEngine;
using testing::TestEnvironment;

const auto* const kProcessLog =
    ::testing::AddGlobalTestEnvironment(new testing::ProcessLogEnvironment);

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { engine.writeDiscovery(env); }

  // Runs `call`, which must throw an EngineError, and returns it.
  template <typename Call>
  EngineError engineErrorOf(Call&& call) {
    try {
      call();
    } catch (const EngineError& e) {
      return e;
    }
    ADD_FAILURE() << "no EngineError was thrown";
    return EngineError::server(-1, "none");
  }

  TestEnvironment env;
  TestEngine engine;
  EngineClient client{"local-1"};
};

TEST_F(TransportTest, GetCarriesTheTokenAndNoBody) {
  engine.onScopes({makeScope("local", 1), makeScope("other", 7)});

  std::vector<Scope> scopes = client.scopes();

  ASSERT_EQ(scopes.size(), 2u);
  EXPECT_EQ(scopes[0].id(), "local-1");
  EXPECT_EQ(scopes[1].id(), "other-7");
  auto received = engine.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "GET");
  EXPECT_EQ(received[0].target, "/v1/scopes");
  EXPECT_EQ(received[0].header("Authorization"), "Bearer test-token");
  EXPECT_EQ(received[0].header("Content-Type"), std::nullopt);
  EXPECT_EQ(received[0].header("Expect"), std::nullopt);
  EXPECT_EQ(received[0].body, "");
}

TEST_F(TransportTest, PostCarriesTheTokenAndAJsonBody) {
  engine.on("POST", "/v1/scopes/local-1/mkdir", Reply{200, R"({"path":"a/b"})"});

  client.mkdir("a/b");

  auto received = engine.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "POST");
  EXPECT_EQ(received[0].header("Authorization"), "Bearer test-token");
  EXPECT_EQ(received[0].header("Content-Type"), "application/json");
  EXPECT_EQ(received[0].header("Expect"), std::nullopt);
  EXPECT_EQ(received[0].bodyString("path"), "a/b");
}

TEST_F(TransportTest, AnEmptyTokenIsSentAsIs) {
  TestEngine other("");
  other.writeDiscovery(env);
  other.onScopes({});

  EXPECT_TRUE(client.scopes().empty());
  ASSERT_EQ(other.requests().size(), 1u);
  EXPECT_EQ(other.requests()[0].header("authorization").value_or("").rfind("Bearer", 0), 0u);
}

struct StatusCase {
  int status;
  std::string body;
  EngineError expected;
  std::string logLine;
};

TEST_F(TransportTest, EveryStatusButTwoHundredIsAnErrorAndLogged) {
  const std::string valid = R"({"scopes":[]})";
  const std::vector<StatusCase> cases = {
      {401, R"({"message":"who are you"})", EngineError::unauthenticated(),
       "GET /v1/scopes: 401 who are you"},
      {403, R"({"message":"read only"})", EngineError::forbidden("read only"),
       "GET /v1/scopes: 403 read only"},
      {404, "", EngineError::notFound(), "GET /v1/scopes: 404 The engine refused."},
      {409, R"({"message":"changed meanwhile"})", EngineError::conflict(),
       "GET /v1/scopes: 409 changed meanwhile"},
      {500, R"({"message":"boom"})", EngineError::server(500, "boom"), "GET /v1/scopes: 500 boom"},
      {502, "Bad Gateway", EngineError::server(502, "The engine refused."),
       "GET /v1/scopes: 502 The engine refused."},
      {204, "", EngineError::server(204, "The engine refused."),
       "GET /v1/scopes: 204 The engine refused."},
      // Another 2xx is no success either, even with a body that would decode.
      {201, valid, EngineError::server(201, "The engine refused."),
       "GET /v1/scopes: 201 The engine refused."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    engine.on("GET", "/v1/scopes", Reply{c.status, c.body});
    LogWatch log;

    EngineError error = engineErrorOf([&] { client.scopes(); });

    EXPECT_EQ(error, c.expected) << error.description();
    EXPECT_EQ(log.messages(), std::vector<std::string>{c.logLine});
  }
}

TEST_F(TransportTest, LogLinesQuoteOnlyTheStartOfAHugePathOrMessage) {
  {
    LogWatch log;
    engineErrorOf([&] { client.list(std::string(300'000, 'd')); });
    const std::vector<std::string> lines = log.messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].size(), 2000u);
    EXPECT_TRUE(lines[0].starts_with("GET /v1/scopes/local-1/list?dir=dddd")) << lines[0];
    // "/v1/scopes/local-1/list?dir=" and the name
    EXPECT_NE(lines[0].find("dddd... (1024 of 300028 bytes shown): "), std::string::npos)
        << lines[0];
  }
  {
    engine.on("GET", "/v1/scopes",
              Reply{500, "{\"message\":\"" + std::string(300'000, 'm') + "\"}"});
    LogWatch log;
    engineErrorOf([&] { client.scopes(); });
    const std::vector<std::string> lines = log.messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "GET /v1/scopes: 500 " + std::string(1024, 'm') + "... (1024 of 300000 bytes shown)");
  }
}

struct MessageCase {
  std::string body;
  std::string message;
};

TEST_F(TransportTest, TheEngineMessageIsTakenOnlyFromAnObjectOfStrings) {
  const std::string refused = "The engine refused.";
  const std::vector<MessageCase> cases = {
      {"", refused},
      {"not json", refused},
      {R"(["message"])", refused},
      {R"("message")", refused},
      {R"({"error":"x"})", refused},
      {R"({"message":"x","code":7})", refused},
      {R"({"code":7,"message":"x"})", refused},
      {R"({"message":null})", refused},
      {R"({"message":{"text":"x"}})", refused},
      {R"({"message":"disk full","detail":"ignored"})", "disk full"},
      {R"({"message":"quote \" and\nline"})", "quote \" and\nline"},
      {R"({"message":""})", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    engine.on("GET", "/v1/scopes", Reply{500, c.body});
    LogWatch log;

    EngineError error = engineErrorOf([&] { client.scopes(); });

    EXPECT_EQ(error, EngineError::server(500, c.message));
    // With an empty message the line ends in the blank after the status.
    EXPECT_EQ(log.messages().front(),
              "GET /v1/scopes: 500 " + c.message.substr(0, c.message.find('\n')));
  }
}

TEST_F(TransportTest, ForbiddenCarriesTheMessageInItsText) {
  engine.on("GET", "/v1/scopes", Reply{403, R"({"message":"no \"way\""})"});
  EngineError error = engineErrorOf([&] { client.scopes(); });
  EXPECT_EQ(error.message(), "no \"way\"");
  EXPECT_STREQ(error.what(), R"(forbidden("no \"way\""))");
  EXPECT_EQ(EngineError::server(500, "x").description(), R"(server(500, "x"))");
}

TEST_F(TransportTest, AnAnswerThatDoesNotFitIsADecodingErrorAndNotLogged) {
  for (const std::string body :
       {"{}", R"({"scopes":null})", R"({"scopes":[{"connection":"c"}]})", "", "[]"}) {
    SCOPED_TRACE(body);
    engine.on("GET", "/v1/scopes", Reply{200, body});
    LogWatch log;

    EXPECT_THROW(client.scopes(), DecodingError);
    EXPECT_TRUE(log.messages().empty());
  }
}

TEST_F(TransportTest, AnEmptyScopeListIsEmpty) {
  engine.on("GET", "/v1/scopes", Reply{200, R"({"scopes":[]})"});
  EXPECT_TRUE(client.scopes().empty());
}

TEST_F(TransportTest, AnUnusableDiscoveryFileFailsBeforeAnythingIsSent) {
  const std::string port = std::to_string(engine.port());
  const std::vector<std::optional<std::string>> files = {
      std::nullopt,  // no file at all
      "",
      "not json",
      "[" + port + "]",
      R"({"port": ")" + port + R"(", "token": "test-token"})",
      R"({"port": )" + port + ".5, \"token\": \"test-token\"}",
      R"({"port": null, "token": "test-token"})",
      R"({"token": "test-token"})",
      R"({"port": )" + port + "}",
      R"({"port": )" + port + R"(, "token": 7})",
      R"({"port": 99999999999999999999, "token": "test-token"})",
      // A line break in the token would let the file add header lines.
      R"({"port": )" + port + R"(, "token": "t\r\nX-Injected: 1"})",
      R"({"port": )" + port + R"(, "token": "t\u0000"})",
  };
  const std::string prefix =
      "engine.json at " + (env.applicationSupport() / "engine.json").string() + ": ";
  for (const auto& file : files) {
    SCOPED_TRACE(file.value_or("<missing>"));
    if (file) {
      env.writeDiscoveryFile(*file);
    } else {
      env.removeDiscoveryFile();
    }
    LogWatch log;

    EngineError error = engineErrorOf([&] { client.scopes(); });

    EXPECT_EQ(error, EngineError::notRunning());
    auto lines = log.messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    EXPECT_GT(lines[0].size(), prefix.size()) << "the line names no reason";
  }
  EXPECT_TRUE(engine.requests().empty());
}

TEST_F(TransportTest, ExtraKeysInTheDiscoveryFileAreIgnored) {
  env.writeDiscoveryFile(R"({"pid": 12, "port": )" + std::to_string(engine.port()) +
                         R"(, "token": "test-token", "version": "1"})");
  engine.onScopes({});
  EXPECT_TRUE(client.scopes().empty());
}

// Sets an environment variable (or removes it) for one scope.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvVar() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST_F(TransportTest, WithoutAnApplicationSupportFolderNothingIsLogged) {
  EnvVar data("XDG_DATA_HOME", nullptr);
  EnvVar home("HOME", nullptr);
  LogWatch log;

  EngineError error = engineErrorOf([&] { client.scopes(); });

  EXPECT_EQ(error, EngineError::notRunning());
  EXPECT_TRUE(log.messages().empty());
  EXPECT_TRUE(engine.requests().empty());
}

TEST_F(TransportTest, APortWhereNothingListensIsATransportFailure) {
  // A bound socket that does not listen keeps the port taken and refuses
  // connections.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  env.writeDiscovery(ntohs(addr.sin_port), "test-token");
  LogWatch log;

  EngineError error = engineErrorOf([&] { client.list("docs"); });
  ::close(fd);

  EXPECT_EQ(error, EngineError::notRunning());
  auto lines = log.messages();
  ASSERT_EQ(lines.size(), 1u);
  const std::string prefix = "GET /v1/scopes/local-1/list?dir=docs: ";
  EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
  EXPECT_GT(lines[0].size(), prefix.size());
}

TEST_F(TransportTest, APortOutsideTheTcpRangeFailsWithoutCrashing) {
  for (const std::string port :
       {"70000", "-1", "0", "65536", "9223372036854775807", "-9223372036854775808"}) {
    SCOPED_TRACE(port);
    env.writeDiscoveryFile(R"({"port": )" + port + R"(, "token": "test-token"})");
    LogWatch log;

    EngineError error = engineErrorOf([&] { client.scopes(); });

    EXPECT_EQ(error, EngineError::notRunning());
    auto lines = log.messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("GET /v1/scopes: ", 0), 0u) << lines[0];
  }
}

TEST_F(TransportTest, APathTheUrlParserRejectsFailsWithoutCrashing) {
  // The scope id goes into the path unescaped.
  const std::vector<std::string> scopeIDs = {"bad\nid", "bad\x01id", "a b",
                                             std::string("abc\0def", 7)};
  for (const auto& scopeID : scopeIDs) {
    SCOPED_TRACE(scopeID);
    EngineClient bad(scopeID);
    EXPECT_THROW(bad.list(""), EngineError);
    // A NUL must not cut the path short and reach a shorter route.
    EXPECT_THROW(bad.delete_({"x"}), EngineError);
  }
  EXPECT_TRUE(engine.requests().empty());
}

// No URL parser stands between the path and the wire: dot segments in a
// scope id reach the engine as the client wrote them, never squashed.
TEST_F(TransportTest, DotSegmentsInThePathGoOutAsWritten) {
  for (const std::string scopeID : {".", "..", "a/../b", "./x"}) {
    SCOPED_TRACE(scopeID);
    engine.clearRequests();
    engine.on("POST", "/v1/scopes/" + scopeID + "/mkdir", Reply{200, R"({"path":"x"})"});
    EngineClient dotted(scopeID);
    dotted.mkdir("x");
    const auto received = engine.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].target, "/v1/scopes/" + scopeID + "/mkdir");
  }
}

// An engine that refuses a request with a body may not have read all of
// it: that connection is closed, never handed the next request.
TEST_F(TransportTest, TheConnectionOfARefusedRequestWithABodyIsNotReused) {
  engine.onScopes({makeScope()});
  engine.on("POST", "/v1/scopes/local-1/mkdir", Reply{409, R"({"message":"in the way"})"});
  client.scopes();
  EXPECT_THROW(client.mkdir("x"), EngineError);
  client.scopes();
  client.scopes();
  const auto requests = engine.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].clientPort, requests[0].clientPort);
  EXPECT_NE(requests[2].clientPort, requests[1].clientPort);
  EXPECT_EQ(requests[3].clientPort, requests[2].clientPort);
}

// The engine closes a kept connection after 2 s without a request; one that
// the client took up again near that moment would lose its request in the
// close. So a connection is taken up again only after a short pause.
TEST_F(TransportTest, AConnectionIsReusedOnlyWellInsideTheEnginesIdleLimit) {
  engine.onScopes({makeScope()});
  client.scopes();
  client.scopes();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  client.scopes();
  const auto requests = engine.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].clientPort, requests[0].clientPort);
  EXPECT_NE(requests[2].clientPort, requests[1].clientPort);
}

TEST_F(TransportTest, ADiscoveryFileThatIsNoRegularFileFailsAtOnce) {
  env.removeDiscoveryFile();
  const auto file = env.applicationSupport() / "engine.json";
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);  // reading it would block forever
  LogWatch log;
  EXPECT_EQ(engineErrorOf([&] { client.scopes(); }), EngineError::notRunning());
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_NE(log.messages()[0].find("not a regular file"), std::string::npos);
  EXPECT_TRUE(engine.requests().empty());
}

TEST_F(TransportTest, TextThatIsNotUtf8IsNeverSent) {
  try {
    client.mkdir("bad\xFFname");
    FAIL() << "expected a serialisation error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EILSEQ);
  }
  EXPECT_TRUE(engine.requests().empty());
}

TEST_F(TransportTest, ADroppedConnectionIsATransportFailureAndNotResent) {
  Reply drop;
  drop.drop = true;
  engine.on("GET", "/v1/scopes", drop);
  // The first request runs on a new connection, the second on the one the
  // mkdir left open: neither may be sent a second time.
  engine.on("POST", "/v1/scopes/local-1/mkdir", Reply{200, R"({"path":"x"})"});
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    engine.clearRequests();
    LogWatch log;

    EngineError error = engineErrorOf([&] { client.scopes(); });

    EXPECT_EQ(error, EngineError::notRunning());
    EXPECT_EQ(engine.count("GET", "/v1/scopes"), 1u);
    auto lines = log.messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("GET /v1/scopes: ", 0), 0u) << lines[0];
    client.mkdir("x");
  }
}

TEST_F(TransportTest, TheDiscoveryFileIsReadForEveryRequest) {
  engine.onScopes({makeScope("first", 1)});
  ASSERT_EQ(client.scopes().at(0).id(), "first-1");

  TestEngine moved("second-token");
  moved.onScopes({makeScope("second", 2)});
  moved.writeDiscovery(env);

  EXPECT_EQ(client.scopes().at(0).id(), "second-2");
  EXPECT_EQ(engine.count("GET", "/v1/scopes"), 1u);
  ASSERT_EQ(moved.requests().size(), 1u);
  EXPECT_EQ(moved.requests()[0].header("authorization"), "Bearer second-token");

  env.removeDiscoveryFile();
  EXPECT_THROW(client.scopes(), EngineError);
  EXPECT_EQ(moved.requests().size(), 1u);
}

TEST_F(TransportTest, ARefusedTokenIsUnauthenticated) {
  engine.requireToken(true);
  engine.onScopes({});
  env.writeDiscovery(engine.port(), "wrong");
  EXPECT_EQ(engineErrorOf([&] { client.scopes(); }), EngineError::unauthenticated());

  engine.writeDiscovery(env);
  EXPECT_TRUE(client.scopes().empty());
}

TEST_F(TransportTest, ConcurrentRequestsEachGetTheirOwnAnswer) {
  // Each thread asks for its own folder; a mixed-up answer shows as a wrong
  // entry name.
  for (int t = 0; t < 8; ++t) {
    engine.onList("local-1", "d" + std::to_string(t),
                  {testing::makeEntry("d" + std::to_string(t) + "/f")});
  }
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const std::string dir = "d" + std::to_string(t);
      for (int i = 0; i < 25; ++i) {
        try {
          auto entries = client.list(dir);
          if (entries.size() != 1 || entries[0].path != dir + "/f") ++wrong[t];
        } catch (...) {
          ++wrong[t];
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(8, 0));
  EXPECT_EQ(engine.requests().size(), 200u);
}

}  // namespace
}  // namespace corvane
