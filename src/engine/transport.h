// The engine client's transport: discovery of the engine through
// "engine.json" and the one request primitive every operation goes through.
//
// Stateless apart from a process-wide pool of idle libcurl handles, which
// keeps connections to the engine open between requests; everything here may
// be called from any thread at once. Every request reads the discovery file
// anew. Failed exchanges are written to the log as they happen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::transport {

// The content of the discovery file.
struct Info {
  std::int64_t port = 0;
  std::string token;
};

// Reads "engine.json" in the Application Support folder. Throws
// EngineError::notRunning when there is no such folder (nothing logged) or
// when the file cannot be read or decoded (one log line).
Info info();

// Decodes the bytes of a discovery file into `info`. Returns false, with the
// reason in `why`, unless they are a JSON object with an integer "port" and
// a "token" string free of control characters. The port's range is left to
// request(). Bad bytes never make it throw.
bool decodeInfo(const std::string& text, Info& info, std::string& why);

// Sends one request to the engine and returns the body of a 200 answer. `path`
// begins with "/" and may carry an already encoded query; it is used as given.
// With `jsonBody`, the request carries it as "application/json". The returned
// string has spare capacity for the decoder's padding, so it parses in place.
// Every other outcome throws an EngineError (see the mapping in transport.cpp).
std::string request(std::string_view method, std::string_view path,
                    const std::optional<std::string>& jsonBody);

// The same for an operation that an engine may not have: a 404 answer does
// not throw but returns nothing, with the engine's message in
// `notFoundMessage` (the exchange is logged as failed all the same).
std::optional<std::string> requestUnlessNotFound(std::string_view method, std::string_view path,
                                                 const std::optional<std::string>& jsonBody,
                                                 std::string& notFoundMessage);

// The engine's message in the body of a failed answer: the "message" of a
// JSON object whose values are all strings, else "The engine refused.".
std::string message(std::string_view body);

}  // namespace corvane::transport
