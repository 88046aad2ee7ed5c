// The plain HTTP exchanges that fetch credentials: STS and the instance
// metadata service. Short and small: the answer is read into memory (at most
// 1 MiB), each call has a deadline of its own, and nothing is retried here.
//
// Pure functions; any thread.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "s3/s3_config.h"

namespace corvane::s3 {

struct HttpCall {
  std::string method;  // GET, PUT, POST
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  std::chrono::milliseconds timeout{10'000};  // the whole exchange, connecting included
  std::string caBundle;                       // empty: the system's store
};

struct HttpAnswer {
  long status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // names lower-case
};

// Sends the call as it is: headers that a signature covers (Host included)
// go out unchanged. Throws CredentialError naming `what` ("the instance
// metadata service at http://...") when no answer comes.
HttpAnswer httpExchange(const HttpCall& call, const std::string& what);

}  // namespace corvane::s3
