// Fuzzes the decoders of the engine's answers and the extraction of the
// engine's message from a refusal.
//
// Invariants checked for every input:
// - a decoder fails only with DecodingError, and says what went wrong;
// - the outcome is the same whether the body has spare room for the parser's
//   padding (parsed in place) or not (parsed from a copy);
// - every decoded mod_time is whole seconds of the years 0001-9999;
// - a decoded answer, written back as our engines write it, decodes to the
//   same records;
// - message() never throws, and its result sent back as {"message": ...}
//   comes out unchanged.
#include <simdjson.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/decoding.h"
#include "engine/json_text.h"
#include "engine/records.h"
#include "engine/transport.h"
#include "fuzz_check.h"

namespace {

using namespace corvane;
using namespace std::chrono;

// What one decoder made of one body: a value, or the error it threw.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::optional<DecodingError> error;

  bool operator==(const Outcome& other) const {
    if (value != other.value || error.has_value() != other.error.has_value()) return false;
    return !error || (error->kind() == other.error->kind() &&
                      error->codingPath() == other.error->codingPath() &&
                      error->description() == other.error->description());
  }
};

template <class T, class Decode>
Outcome<T> outcomeOf(Decode decode, const std::string& body) {
  try {
    return {decode(body), std::nullopt};
  } catch (const DecodingError& e) {
    FUZZ_CHECK(!e.description().empty());
    return {std::nullopt, e};
  }
}

// Decodes the same bytes from a body without and with room for padding; the
// two must agree. Returns the decoded value, if any.
template <class T, class Decode>
std::optional<T> decodeBoth(Decode decode, const std::string& exact, const std::string& padded) {
  Outcome<T> a = outcomeOf<T>(decode, exact);
  Outcome<T> b = outcomeOf<T>(decode, padded);
  FUZZ_CHECK(a == b);
  return a.value;
}

bool wholeSecondsOfWritableYears(Timestamp t) {
  const Timestamp first{sys_days{year{1} / January / 1}};
  const Timestamp last{sys_days{year{9999} / December / 31} + days{1} - seconds{1}};
  return t == floor<seconds>(t) && t >= first && t <= last;
}

const Entry& entryOf(const Entry& entry) { return entry; }
const Entry& entryOf(const Change& change) { return change.entry; }

template <class Records>
void checkTimes(const Records& records) {
  for (const auto& r : records) FUZZ_CHECK(wholeSecondsOfWritableYears(entryOf(r).mod_time));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string exact(reinterpret_cast<const char*>(data), size);
  exact.shrink_to_fit();
  std::string padded;
  padded.reserve(size + simdjson::SIMDJSON_PADDING);
  padded.assign(exact);

  if (auto entries = decodeBoth<std::vector<Entry>>(decode::entriesAnswer, exact, padded)) {
    checkTimes(*entries);
    FUZZ_CHECK(decode::entriesAnswer("{\"entries\":" + toJson(*entries) + "}") == *entries);
  }
  if (auto set = decodeBoth<ChangeSet>(decode::changeSet, exact, padded)) {
    if (set->changes) checkTimes(*set->changes);
    FUZZ_CHECK(decode::changeSet(toJson(*set)) == *set);
  }
  if (auto scopes = decodeBoth<std::vector<Scope>>(decode::scopesAnswer, exact, padded)) {
    FUZZ_CHECK(decode::scopesAnswer("{\"scopes\":" + toJson(*scopes) + "}") == *scopes);
  }
  if (auto entry = decodeBoth<Entry>(decode::entry, exact, padded)) {
    FUZZ_CHECK(wholeSecondsOfWritableYears(entry->mod_time));
    FUZZ_CHECK(decode::entry(toJson(*entry)) == *entry);
  }
  if (auto path = decodeBoth<std::string>(decode::pathAnswer, exact, padded)) {
    FUZZ_CHECK(decode::pathAnswer(JsonObjectWriter().addString("path", *path).str()) == *path);
  }
  auto deleted = [](const std::string& body) {
    decode::deletedAnswer(body);
    return true;
  };
  decodeBoth<bool>(deleted, exact, padded);

  const std::string message = transport::message(exact);
  FUZZ_CHECK(transport::message(padded) == message);
  FUZZ_CHECK(transport::message(JsonObjectWriter().addString("message", message).str()) == message);
  return 0;
}
