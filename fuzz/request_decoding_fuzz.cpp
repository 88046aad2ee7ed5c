// Fuzzes what the engine decodes from a request: percent-escapes, the query
// of a GET and the JSON body of a POST. Every input is tried as each of them.
//
// Invariants checked for every input:
// - bad input fails only with ApiError 400, whose message has no control
//   byte left in it;
// - percentDecode never lengthens its text, leaves a text without "%" as it
//   is, and undoes a full percent-encoding of its own result;
// - for every name in a query, required() gives the value of its first pair,
//   and a name that is not there is refused;
// - a string or string array read from a body, written back as the client
//   writes bodies, reads back the same.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "api_error.h"
#include "engine/json_text.h"
#include "fuzz_check.h"
#include "request_decoding.h"

namespace {

using corvane::JsonObjectWriter;
using corvane::syncengine::ApiError;
using corvane::syncengine::JsonBody;
using corvane::syncengine::percentDecode;
using corvane::syncengine::Query;

void checkRefusal(const ApiError& e) {
  FUZZ_CHECK(e.status() == 400);
  const std::string message = e.message();
  FUZZ_CHECK(!message.empty());
  for (unsigned char c : message) FUZZ_CHECK(c >= 0x20 && c != 0x7f);
}

// Runs `f`; returns false when it refused with an ApiError (checked).
template <class F>
bool accepted(F f) {
  try {
    f();
    return true;
  } catch (const ApiError& e) {
    checkRefusal(e);
    return false;
  }
}

std::string percentEncodeAll(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0xf];
  }
  return out;
}

void checkPercentDecode(std::string_view text) {
  std::string decoded;
  if (!accepted([&] { decoded = percentDecode(text); })) return;
  FUZZ_CHECK(decoded.size() <= text.size());
  if (text.find('%') == std::string_view::npos) FUZZ_CHECK(decoded == text);
  FUZZ_CHECK(percentDecode(percentEncodeAll(decoded)) == decoded);
}

void checkQuery(std::string_view text) {
  std::optional<Query> query;
  if (!accepted([&] { query.emplace(text); })) return;

  std::set<std::string> seen;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    // The query was accepted, so each of its parts decodes.
    const std::string name = percentDecode(pair.substr(0, eq));
    const std::string value =
        eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1));
    if (seen.insert(name).second) FUZZ_CHECK(query->required(name) == value);
  }
  // No decoded name can be longer than the whole query.
  FUZZ_CHECK(!accepted([&] { query->required(std::string(text.size() + 1, 'n')); }));
}

void checkBody(const std::string& text) {
  std::optional<JsonBody> body;
  if (!accepted([&] { body.emplace(text); })) return;
  for (const char* key : {"path", "name", "dir", "dest", "source", "version"}) {
    std::string value;
    if (!accepted([&] { value = body->string(key); })) continue;
    const JsonBody again(JsonObjectWriter().addString(key, value).str());
    FUZZ_CHECK(again.string(key) == value);
  }
  std::vector<std::string> paths;
  if (accepted([&] { paths = body->stringArray("paths"); })) {
    const JsonBody again(JsonObjectWriter().addStringArray("paths", paths).str());
    FUZZ_CHECK(again.stringArray("paths") == paths);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkPercentDecode(text);
  checkQuery(text);
  checkBody(text);
  return 0;
}
