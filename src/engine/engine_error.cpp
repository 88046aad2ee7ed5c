#include "engine/engine_error.h"

#include <utility>

namespace corvane {
namespace {

// A text payload as it appears inside the error's textual form: in double
// quotes, with quotes, backslashes and control characters escaped so that the
// form stays on one line and reads back unambiguously.
std::string quoted(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\u{";
          if (c >= 0x10) out += kHex[c >> 4];
          out += kHex[c & 0xf];
          out += '}';
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

EngineError::EngineError(Case c, std::int64_t status, std::string message)
    : case_(c), status_(status), message_(std::move(message)) {
  switch (case_) {
    case Case::forbidden:
      text_ = "forbidden(" + quoted(message_) + ")";
      break;
    case Case::server:
      text_ = "server(" + std::to_string(status_) + ", " + quoted(message_) + ")";
      break;
    case Case::notRunning:
      text_ = "notRunning";
      break;
    case Case::unauthenticated:
      text_ = "unauthenticated";
      break;
    case Case::notFound:
      text_ = "notFound";
      break;
    case Case::conflict:
      text_ = "conflict";
      break;
  }
}

}  // namespace corvane
