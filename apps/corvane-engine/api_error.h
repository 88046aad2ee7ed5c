// The refusal of one request: an HTTP status and a sentence the user can act
// on. Thrown by the scope operations and the request parsing; the server turns
// it into the answer {"message": ...}.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::syncengine {

class ApiError : public std::runtime_error {
 public:
  ApiError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

inline ApiError badRequest(const std::string& message) { return ApiError(400, message); }
inline ApiError notFound(const std::string& message) { return ApiError(404, message); }
inline ApiError conflict(const std::string& message) { return ApiError(409, message); }

}  // namespace corvane::syncengine
