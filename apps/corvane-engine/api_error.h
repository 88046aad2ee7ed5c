// The refusal of one request: an HTTP status and a sentence the user can act
// on. Thrown by the scope operations and the request parsing; the server turns
// it into the answer {"message": ...}.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::syncengine {

class ApiError : public std::runtime_error {
 public:
  // Control bytes in `message` (a NUL in a refused path, say) are shown as
  // "\xNN": a NUL would otherwise end the text wherever it is read as a C
  // string, and the rest of the sentence would be lost.
  ApiError(int status, const std::string& message)
      : std::runtime_error(withControlsShown(message)), status_(status) {}
  int status() const { return status_; }
  std::string message() const { return what(); }

 private:
  static std::string withControlsShown(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7f) {
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xf];
      } else {
        out += c;
      }
    }
    return out;
  }

  int status_;
};

inline ApiError badRequest(const std::string& message) { return ApiError(400, message); }
inline ApiError notFound(const std::string& message) { return ApiError(404, message); }
inline ApiError conflict(const std::string& message) { return ApiError(409, message); }

}  // namespace corvane::syncengine
