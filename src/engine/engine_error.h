// The engine client's one error type.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace corvane {

class EngineError : public std::exception {
 public:
  // In this order: the case index is the code of the error's default form.
  enum class Case { forbidden = 0, server = 1, notRunning = 2, unauthenticated = 3, notFound = 4,
                    conflict = 5 };

  static EngineError forbidden(std::string message) {
    return EngineError(Case::forbidden, 0, std::move(message));
  }
  static EngineError server(std::int64_t status, std::string message) {
    return EngineError(Case::server, status, std::move(message));
  }
  static EngineError notRunning() { return EngineError(Case::notRunning, 0, {}); }
  static EngineError unauthenticated() { return EngineError(Case::unauthenticated, 0, {}); }
  static EngineError notFound() { return EngineError(Case::notFound, 0, {}); }
  static EngineError conflict() { return EngineError(Case::conflict, 0, {}); }

  Case kind() const { return case_; }
  std::int64_t status() const { return status_; }          // server only
  const std::string& message() const { return message_; }  // forbidden and server only

  // The default textual form: the case name, with its values in parentheses
  // for the cases that carry some: notRunning, forbidden("x"), server(500, "x").
  const std::string& description() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

  bool operator==(const EngineError& o) const {
    return case_ == o.case_ && status_ == o.status_ && message_ == o.message_;
  }

 private:
  EngineError(Case c, std::int64_t status, std::string message);

  Case case_;
  std::int64_t status_;
  std::string message_;
  std::string text_;
};

}  // namespace corvane
