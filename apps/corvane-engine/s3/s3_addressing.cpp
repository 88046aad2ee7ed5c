#include "s3/s3_addressing.h"

#include <string>

namespace corvane::s3 {
namespace {

bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool publicStore(std::string_view host) {
  std::string lowered(host);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return endsWith(lowered, ".amazonaws.com") || endsWith(lowered, ".amazonaws.com.cn");
}

bool hostLabel(std::string_view bucket) {
  if (bucket.size() < 3 || bucket.size() > 63) return false;
  for (const char c : bucket) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return bucket.front() != '-' && bucket.back() != '-';
}

}  // namespace

std::optional<S3Addressing> addressingNamed(std::string_view name) {
  if (name == "auto") return S3Addressing::automatic;
  if (name == "path") return S3Addressing::path;
  if (name == "virtual") return S3Addressing::virtualHosted;
  return std::nullopt;
}

const char* addressingName(S3Addressing addressing) {
  switch (addressing) {
    case S3Addressing::path:
      return "path";
    case S3Addressing::virtualHosted:
      return "virtual";
    case S3Addressing::automatic:
      break;
  }
  return "auto";
}

bool pathStyle(S3Addressing addressing, std::string_view host, std::string_view bucket) {
  if (bucket.empty()) return true;  // requests of no bucket (there are none yet)
  switch (addressing) {
    case S3Addressing::path:
      return true;
    case S3Addressing::virtualHosted:
      return false;
    case S3Addressing::automatic:
      break;
  }
  return !(publicStore(host) && hostLabel(bucket));
}

bool validBucketName(std::string_view bucket) {
  if (bucket.size() < 3 || bucket.size() > 63) return false;
  bool onlyDigitsAndDots = true;
  for (std::size_t i = 0; i < bucket.size(); ++i) {
    const char c = bucket[i];
    const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alphanumeric && c != '.' && c != '-') return false;
    if ((i == 0 || i + 1 == bucket.size()) && !alphanumeric) return false;
    if (c == '.' && bucket[i - 1] == '.') return false;
    if (!(c >= '0' && c <= '9') && c != '.') onlyDigitsAndDots = false;
  }
  return !onlyDigitsAndDots;
}

}  // namespace corvane::s3
