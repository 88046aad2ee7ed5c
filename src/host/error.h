// The error value the host receives: a domain, a code and a user-info map.
// It is also thrown inside the system for failures that are host errors
// already.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <string_view>

namespace corvane::host {

inline constexpr std::string_view kFileProviderErrorDomain = "NSFileProviderErrorDomain";
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view kDebugDescriptionKey = "NSDebugDescription";

namespace codes {
inline constexpr std::int64_t kNotAuthenticated = -1000;
inline constexpr std::int64_t kFilenameCollision = -1001;
inline constexpr std::int64_t kSyncAnchorExpired = -1002;
inline constexpr std::int64_t kServerUnreachable = -1004;
inline constexpr std::int64_t kNoSuchItem = -1005;
inline constexpr std::int64_t kDeletionRejected = -1006;
inline constexpr std::int64_t kCocoaWriteNoPermission = 513;
inline constexpr std::int64_t kCocoaCoderReadCorrupt = 4864;
}  // namespace codes

class Error : public std::exception {
 public:
  Error(std::string domain, std::int64_t code, std::map<std::string, std::string> userInfo = {})
      : domain(std::move(domain)), code(code), userInfo(std::move(userInfo)) {
    text_ = this->domain + " " + std::to_string(this->code);
    if (auto it = this->userInfo.find(std::string(kLocalizedDescriptionKey));
        it != this->userInfo.end()) {
      text_ += ": " + it->second;
    }
  }

  static Error fileProvider(std::int64_t code) {
    return Error(std::string(kFileProviderErrorDomain), code);
  }

  // The human-readable description, empty when the error carries none.
  std::string localizedDescription() const {
    auto it = userInfo.find(std::string(kLocalizedDescriptionKey));
    return it == userInfo.end() ? std::string() : it->second;
  }

  const char* what() const noexcept override { return text_.c_str(); }

  bool operator==(const Error& other) const {
    return domain == other.domain && code == other.code && userInfo == other.userInfo;
  }

  std::string domain;
  std::int64_t code;
  std::map<std::string, std::string> userInfo;

 private:
  std::string text_;
};

// Any failure in the platform's default form of a host error: a host error
// is itself, a file error keeps its errno under the POSIX domain, any other
// failure keeps its own identity. Implemented by the library.
Error bridgedError(std::exception_ptr failure);

}  // namespace corvane::host
