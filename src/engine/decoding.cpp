// Strict decoding of the engine's answers with simdjson's DOM API.
//
// Each thread keeps one dom::parser: it owns the buffers of the last parsed
// document, and a parser reused across answers keeps its capacity, so a large
// listing costs one allocation per thread rather than one per answer. The
// decoders never call each other while a document is alive, so one parser per
// thread is enough.
//
// Conventions of the errors thrown here:
// - The coding path names every key and array position from the top of the
//   answer down to the failing value, array positions as "Index N". For a
//   missing key the path ends in that key, since the error carries no other
//   place for it.
// - A null where a value is needed is valueNotFound, also for the answer as a
//   whole; any other JSON type that does not fit is typeMismatch.
// - A key that appears twice in one object counts with its first value; the
//   later ones are ignored like unknown keys.
// - Integers are JSON integers within the signed 64-bit range. A fraction or
//   an exponent (1.0, 1e3) is a type mismatch; an integer beyond the range is
//   data corrupted, since the value has the right type but cannot be held.
//   simdjson refuses integers beyond the unsigned 64-bit range while parsing,
//   so those fail the whole body as data corrupted, wherever they are.
#include "engine/decoding.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>

#include "platform/iso8601.h"

namespace corvane {

namespace {

const char* kindName(DecodingError::Kind kind) {
  switch (kind) {
    case DecodingError::Kind::typeMismatch: return "typeMismatch";
    case DecodingError::Kind::valueNotFound: return "valueNotFound";
    case DecodingError::Kind::keyNotFound: return "keyNotFound";
    case DecodingError::Kind::dataCorrupted: return "dataCorrupted";
  }
  return "unknown";
}

}  // namespace

DecodingError::DecodingError(Kind kind, std::vector<std::string> codingPath, std::string description)
    : kind_(kind), codingPath_(std::move(codingPath)), description_(std::move(description)) {
  text_ = kindName(kind_);
  if (!codingPath_.empty()) {
    text_ += " at ";
    for (std::size_t i = 0; i < codingPath_.size(); ++i) {
      if (i > 0) text_ += '.';
      text_ += codingPath_[i];
    }
  }
  text_ += ": ";
  text_ += description_;
}

std::optional<Timestamp> parseWireTimestamp(std::string_view text) {
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };

  std::optional<platform::SysSeconds> parsed;
  if (text.find('.') == std::string_view::npos) {
    parsed = platform::parseInternetDateTime(text);
  } else {
    // Drop every full stop that is followed by digits, together with those
    // digits, wherever it stands in the text.
    // The result is never longer than the text; short texts, which are all
    // the valid ones, are stripped on the stack.
    char small[64];
    std::string large;
    char* out = small;
    if (text.size() > sizeof small) {
      large.resize(text.size());
      out = large.data();
    }
    std::size_t length = 0;
    std::size_t i = 0;
    while (i < text.size()) {
      if (text[i] == '.' && i + 1 < text.size() && isDigit(text[i + 1])) {
        i += 2;
        while (i < text.size() && isDigit(text[i])) ++i;
      } else {
        out[length++] = text[i++];
      }
    }
    parsed = platform::parseInternetDateTime(std::string_view(out, length));
  }
  if (!parsed) return std::nullopt;
  return Timestamp(*parsed);
}

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
using Kind = DecodingError::Kind;

// One step of the coding path, kept on the stack while decoding descends; the
// path is only turned into strings when something fails.
struct PathNode {
  const PathNode* parent = nullptr;
  std::string_view key;     // an object key, or
  std::int64_t index = -1;  // an array position when not negative
};

std::vector<std::string> codingPathOf(const PathNode* node) {
  std::vector<std::string> path;
  for (; node != nullptr; node = node->parent) {
    path.push_back(node->index >= 0 ? "Index " + std::to_string(node->index) : std::string(node->key));
  }
  return {path.rbegin(), path.rend()};
}

[[noreturn]] void fail(Kind kind, const PathNode* at, std::string description) {
  throw DecodingError(kind, codingPathOf(at), std::move(description));
}

const char* jsonTypeName(element_type type) {
  switch (type) {
    case element_type::ARRAY: return "array";
    case element_type::OBJECT: return "object";
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE: return "number";
    case element_type::STRING: return "string";
    case element_type::BOOL: return "bool";
    case element_type::NULL_VALUE: return "null";
  }
  return "unknown";
}

// Fails for null (valueNotFound) and for any other type (typeMismatch).
[[noreturn]] void failExpected(const char* expected, element value, const PathNode* at) {
  if (value.type() == element_type::NULL_VALUE) {
    fail(Kind::valueNotFound, at, std::string("Expected ") + expected + " value but found null.");
  }
  fail(Kind::typeMismatch, at,
       std::string("Expected ") + expected + " but found " + jsonTypeName(value.type()) + ".");
}

std::string_view readString(element value, const PathNode* at) {
  if (value.type() != element_type::STRING) failExpected("String", value, at);
  return value.get_string().value_unsafe();
}

bool readBool(element value, const PathNode* at) {
  if (value.type() != element_type::BOOL) failExpected("Bool", value, at);
  return value.get_bool().value_unsafe();
}

std::int64_t readInt64(element value, const PathNode* at) {
  switch (value.type()) {
    case element_type::INT64:
      return value.get_int64().value_unsafe();
    case element_type::UINT64:  // only used by simdjson above INT64_MAX
      fail(Kind::dataCorrupted, at,
           "Number " + std::to_string(value.get_uint64().value_unsafe()) + " does not fit in Int64.");
    case element_type::DOUBLE: {
      // JSON has one number type: 1.0 and 1e3 are integers written otherwise.
      const double d = value.get_double().value_unsafe();
      if (std::isfinite(d) && d == std::trunc(d) && d >= -0x1p63 && d < 0x1p63) {
        return static_cast<std::int64_t>(d);
      }
      fail(Kind::dataCorrupted, at, "Number " + std::to_string(d) + " does not fit in Int64.");
    }
    default:
      failExpected("Int64", value, at);
  }
}

Timestamp readTimestamp(element value, const PathNode* at) {
  std::string_view text = readString(value, at);
  std::optional<Timestamp> t = parseWireTimestamp(text);
  if (!t) fail(Kind::dataCorrupted, at, "bad date " + std::string(text));
  return *t;
}

simdjson::dom::array readArray(element value, const PathNode* at) {
  if (value.type() != element_type::ARRAY) failExpected("Array", value, at);
  return value.get_array().value_unsafe();
}

// The values of one JSON object for a fixed list of keys, collected in one
// pass over the object. The first occurrence of a key wins.
template <std::size_t N>
class Fields {
 public:
  static_assert(N <= 32);

  Fields(element value, const std::array<std::string_view, N>& keys, const PathNode* path)
      : keys_(keys), path_(path) {
    if (value.type() != element_type::OBJECT) failExpected("Object", value, path);
    simdjson::dom::object object = value.get_object().value_unsafe();
    // Engines write the keys in the record's order, so the search starts
    // after the key matched last and usually succeeds at once.
    std::size_t next = 0;
    for (simdjson::dom::key_value_pair field : object) {
      for (std::size_t n = 0; n < N; ++n) {
        std::size_t i = next + n < N ? next + n : next + n - N;
        if (field.key == keys_[i]) {
          if ((found_ & (1u << i)) == 0) {
            found_ |= 1u << i;
            values_[i] = field.value;
          }
          next = i + 1 < N ? i + 1 : 0;
          break;
        }
      }
    }
  }

  // True when the key is there with a value other than null.
  bool present(std::size_t i) const {
    return (found_ & (1u << i)) != 0 && values_[i].type() != element_type::NULL_VALUE;
  }

  // The value of a required key; `node` becomes the key's path step.
  element required(std::size_t i, PathNode& node) const {
    node = PathNode{path_, keys_[i]};
    if ((found_ & (1u << i)) == 0) {
      fail(Kind::keyNotFound, &node, "No value associated with key \"" + std::string(keys_[i]) + "\".");
    }
    return values_[i];
  }

  std::string string(std::size_t i) const {
    PathNode node;
    return std::string(readString(required(i, node), &node));
  }
  bool boolean(std::size_t i) const {
    PathNode node;
    return readBool(required(i, node), &node);
  }
  std::int64_t int64(std::size_t i) const {
    PathNode node;
    return readInt64(required(i, node), &node);
  }
  Timestamp timestamp(std::size_t i) const {
    PathNode node;
    return readTimestamp(required(i, node), &node);
  }

 private:
  const std::array<std::string_view, N>& keys_;
  const PathNode* path_;
  std::array<element, N> values_{};
  std::uint32_t found_ = 0;
};

// Decodes every element of an array with `decodeOne(element, path, T&)`,
// in place, so that no record is copied.
template <class T, class DecodeOne>
std::vector<T> decodeArray(element value, const PathNode* path, DecodeOne decodeOne) {
  simdjson::dom::array array = readArray(value, path);
  std::vector<T> out;
  out.reserve(array.size());
  std::int64_t index = 0;
  for (element item : array) {
    PathNode node{path, {}, index++};
    decodeOne(item, &node, out.emplace_back());
  }
  return out;
}

// The position of each key in its record's key list, named so that a decoder
// reads f.string(EntryKey::path) rather than a bare index. A change is an
// entry's keys followed by "deleted", all in one flat object.
struct EntryKey {
  enum : std::size_t { path, name, dir, size, mod_time, version, count };
};
struct ChangeKey {
  enum : std::size_t { deleted = EntryKey::count, count };
};
struct ScopeKey {
  enum : std::size_t {
    connection, scope, name, bucket, prefix, region, versioned, write, delete_, count
  };
};
struct ChangeSetKey {
  enum : std::size_t { anchor, changes, reset, count };
};

constexpr std::array<std::string_view, EntryKey::count> kEntryKeys{
    "path", "name", "dir", "size", "mod_time", "version"};
constexpr std::array<std::string_view, ChangeKey::count> kChangeKeys{
    "path", "name", "dir", "size", "mod_time", "version", "deleted"};
constexpr std::array<std::string_view, ScopeKey::count> kScopeKeys{
    "connection", "scope", "name", "bucket", "prefix", "region", "versioned", "write", "delete"};
constexpr std::array<std::string_view, ChangeSetKey::count> kChangeSetKeys{"anchor", "changes",
                                                                           "reset"};

// The names above and the key texts must agree.
static_assert(kEntryKeys[EntryKey::mod_time] == "mod_time" &&
              kEntryKeys[EntryKey::version] == "version");
static_assert(kChangeKeys[ChangeKey::deleted] == "deleted");
static_assert(std::equal(kEntryKeys.begin(), kEntryKeys.end(), kChangeKeys.begin()));
static_assert(kScopeKeys[ScopeKey::versioned] == "versioned" &&
              kScopeKeys[ScopeKey::delete_] == "delete");
static_assert(kChangeSetKeys[ChangeSetKey::reset] == "reset");

// The entry's keys of an object decoded with `f`: an entry's own or a change's.
template <std::size_t N>
void readEntryFields(const Fields<N>& f, Entry& e) {
  e.path = f.string(EntryKey::path);
  e.name = f.string(EntryKey::name);
  e.dir = f.boolean(EntryKey::dir);
  e.size = f.int64(EntryKey::size);
  e.mod_time = f.timestamp(EntryKey::mod_time);
  e.version = f.string(EntryKey::version);
}

void decodeEntry(element value, const PathNode* path, Entry& e) {
  readEntryFields(Fields<EntryKey::count>(value, kEntryKeys, path), e);
}

void decodeChange(element value, const PathNode* path, Change& c) {
  Fields<ChangeKey::count> f(value, kChangeKeys, path);
  readEntryFields(f, c.entry);
  c.deleted = f.boolean(ChangeKey::deleted);
}

void decodeScope(element value, const PathNode* path, Scope& s) {
  Fields<ScopeKey::count> f(value, kScopeKeys, path);
  s.connection = f.string(ScopeKey::connection);
  s.scope = f.int64(ScopeKey::scope);
  s.name = f.string(ScopeKey::name);
  s.bucket = f.string(ScopeKey::bucket);
  s.prefix = f.string(ScopeKey::prefix);
  s.region = f.string(ScopeKey::region);
  s.versioned = f.boolean(ScopeKey::versioned);
  s.write = f.boolean(ScopeKey::write);
  s.delete_ = f.boolean(ScopeKey::delete_);
}

simdjson::dom::parser& threadParser() {
  thread_local simdjson::dom::parser parser;
  return parser;
}

// Parses the whole body. The returned element lives until the next parse on
// this thread.
element parseBody(const std::string& body) {
  simdjson::dom::parser& parser = threadParser();
  // simdjson reads up to SIMDJSON_PADDING bytes past the end; when the
  // string's own spare capacity covers that, parse in place.
  bool padded = body.capacity() - body.size() >= simdjson::SIMDJSON_PADDING;
  simdjson::simdjson_result<element> result = parser.parse(body.data(), body.size(), !padded);
  if (result.error() != simdjson::SUCCESS) {
    fail(Kind::dataCorrupted, nullptr,
         std::string("The given data was not valid JSON: ") + simdjson::error_message(result.error()));
  }
  return result.value_unsafe();
}

}  // namespace

namespace decode {

std::vector<Scope> scopesAnswer(const std::string& body) {
  static constexpr std::array<std::string_view, 1> keys{"scopes"};
  Fields<1> f(parseBody(body), keys, nullptr);
  PathNode node;
  element scopes = f.required(0, node);
  return decodeArray<Scope>(scopes, &node, decodeScope);
}

std::vector<Entry> entriesAnswer(const std::string& body) {
  static constexpr std::array<std::string_view, 1> keys{"entries"};
  Fields<1> f(parseBody(body), keys, nullptr);
  PathNode node;
  element entries = f.required(0, node);
  return decodeArray<Entry>(entries, &node, decodeEntry);
}

ChangeSet changeSet(const std::string& body) {
  Fields<ChangeSetKey::count> f(parseBody(body), kChangeSetKeys, nullptr);
  ChangeSet set;
  set.anchor = f.string(ChangeSetKey::anchor);
  if (f.present(ChangeSetKey::changes)) {
    PathNode node;
    element changes = f.required(ChangeSetKey::changes, node);
    set.changes = decodeArray<Change>(changes, &node, decodeChange);
  }
  set.reset = f.boolean(ChangeSetKey::reset);
  return set;
}

Entry entry(const std::string& body) {
  Entry e;
  decodeEntry(parseBody(body), nullptr, e);
  return e;
}

std::string pathAnswer(const std::string& body) {
  static constexpr std::array<std::string_view, 1> keys{"path"};
  return Fields<1>(parseBody(body), keys, nullptr).string(0);
}

void deletedAnswer(const std::string& body) {
  static constexpr std::array<std::string_view, 1> keys{"deleted"};
  Fields<1> f(parseBody(body), keys, nullptr);
  if (!f.present(0)) return;
  PathNode node;
  simdjson::dom::array deleted = readArray(f.required(0, node), &node);
  std::int64_t index = 0;
  for (element item : deleted) {
    PathNode itemNode{&node, {}, index++};
    readString(item, &itemNode);
  }
}

}  // namespace decode
}  // namespace corvane
