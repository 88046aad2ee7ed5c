#include "engine/json_text.h"

#include <charconv>

#include "platform/iso8601.h"

namespace corvane {

namespace {

void appendInt(std::string& out, std::int64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

void appendKey(std::string& out, std::string_view key) {
  platform::appendJsonString(out, key);
  out += ':';
}

void appendStringField(std::string& out, std::string_view key, std::string_view value) {
  appendKey(out, key);
  platform::appendJsonString(out, value);
  out += ',';
}

void appendBoolField(std::string& out, std::string_view key, bool value) {
  appendKey(out, key);
  out += value ? "true," : "false,";
}

void appendIntField(std::string& out, std::string_view key, std::int64_t value) {
  appendKey(out, key);
  appendInt(out, value);
  out += ',';
}

// The fields of an entry, each followed by a comma; a change writes them flat
// before its own.
void appendEntryFields(std::string& out, const Entry& r) {
  appendStringField(out, "path", r.path);
  appendStringField(out, "name", r.name);
  appendBoolField(out, "dir", r.dir);
  appendIntField(out, "size", r.size);
  appendStringField(out, "mod_time", platform::formatInternetDateTimeNanos(r.mod_time));
  appendStringField(out, "version", r.version);
}

// Replaces the comma after the last field with the closing brace.
void closeObject(std::string& out) {
  if (out.back() == ',') {
    out.back() = '}';
  } else {
    out += '}';
  }
}

void appendJson(std::string& out, const Entry& e) {
  out += '{';
  appendEntryFields(out, e);
  closeObject(out);
}

void appendJson(std::string& out, const Change& c) {
  out += '{';
  appendEntryFields(out, c.entry);
  appendBoolField(out, "deleted", c.deleted);
  closeObject(out);
}

void appendJson(std::string& out, const Scope& s) {
  out += '{';
  appendStringField(out, "connection", s.connection);
  appendIntField(out, "scope", s.scope);
  appendStringField(out, "name", s.name);
  appendStringField(out, "bucket", s.bucket);
  appendStringField(out, "prefix", s.prefix);
  appendStringField(out, "region", s.region);
  appendBoolField(out, "versioned", s.versioned);
  appendBoolField(out, "write", s.write);
  appendBoolField(out, "delete", s.delete_);
  closeObject(out);
}

template <class Record>
void appendJsonArray(std::string& out, const std::vector<Record>& records) {
  out += '[';
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i > 0) out += ',';
    appendJson(out, records[i]);
  }
  out += ']';
}

// Room for a record's text when nothing needs escaping, so that a long list
// is written without growing its buffer again and again.
std::size_t roughSize(const Entry& e) { return 120 + e.path.size() + e.name.size() + e.version.size(); }
std::size_t roughSize(const Change& c) { return roughSize(c.entry) + 15; }
std::size_t roughSize(const Scope& s) {
  return 150 + s.connection.size() + s.name.size() + s.bucket.size() + s.prefix.size() + s.region.size();
}

template <class Record>
std::string arrayText(const std::vector<Record>& records) {
  std::size_t size = 2;
  for (const Record& r : records) size += roughSize(r) + 1;
  std::string out;
  out.reserve(size);
  appendJsonArray(out, records);
  return out;
}

}  // namespace

std::string toJson(const Entry& entry) {
  std::string out;
  appendJson(out, entry);
  return out;
}

std::string toJson(const Change& change) {
  std::string out;
  appendJson(out, change);
  return out;
}

std::string toJson(const ChangeSet& changeSet) {
  std::string out = "{";
  appendStringField(out, "anchor", changeSet.anchor);
  if (changeSet.changes) {
    appendKey(out, "changes");
    appendJsonArray(out, *changeSet.changes);
    out += ',';
  }
  appendBoolField(out, "reset", changeSet.reset);
  closeObject(out);
  return out;
}

std::string toJson(const Scope& scope) {
  std::string out;
  appendJson(out, scope);
  return out;
}

std::string toJson(const std::vector<Entry>& entries) { return arrayText(entries); }
std::string toJson(const std::vector<Change>& changes) { return arrayText(changes); }
std::string toJson(const std::vector<Scope>& scopes) { return arrayText(scopes); }

}  // namespace corvane
