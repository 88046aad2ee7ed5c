#include "item_json.h"

#include <charconv>

#include "platform/iso8601.h"
#include "platform/json_writer.h"
#include "scope_paths.h"

namespace corvane::syncengine {
namespace {

using platform::appendJsonString;

void appendKey(std::string& out, std::string_view key) {
  appendJsonString(out, key);
  out += ':';
}

void appendString(std::string& out, std::string_view key, std::string_view value) {
  appendKey(out, key);
  appendJsonString(out, value);
  out += ',';
}

void appendBool(std::string& out, std::string_view key, bool value) {
  appendKey(out, key);
  out += value ? "true," : "false,";
}

void appendInt(std::string& out, std::string_view key, std::int64_t value) {
  appendKey(out, key);
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
  out += ',';
}

// The fields of an entry, each followed by a comma.
void appendEntryFields(std::string& out, const ItemEntry& e) {
  appendString(out, "path", e.path);
  appendString(out, "name", nameOf(e.path));
  appendBool(out, "dir", e.state.dir);
  appendInt(out, "size", e.state.size);
  appendString(out, "mod_time", wireTime(e.state));
  appendString(out, "version", e.state.version);
}

void closeObject(std::string& out) {
  if (out.back() == ',') {
    out.back() = '}';
  } else {
    out += '}';
  }
}

void appendEntry(std::string& out, const ItemEntry& e) {
  out += '{';
  appendEntryFields(out, e);
  closeObject(out);
}

}  // namespace

std::string wireTime(const ItemState& state) {
  return platform::formatInternetDateTimeNanos(state.mtime_sec, state.mtime_nsec);
}

std::string toJson(const ItemEntry& entry) {
  std::string out;
  appendEntry(out, entry);
  return out;
}

std::string toJson(const std::vector<ItemEntry>& entries) {
  std::string out;
  std::size_t room = 2;
  for (const ItemEntry& e : entries) room += 2 * e.path.size() + e.state.version.size() + 120;
  out.reserve(room);
  out += '[';
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) out += ',';
    appendEntry(out, entries[i]);
  }
  out += ']';
  return out;
}

std::string toJson(const ItemChanges& changes) {
  std::string out = "{";
  appendString(out, "anchor", changes.anchor);
  appendKey(out, "changes");
  out += '[';
  for (std::size_t i = 0; i < changes.changes.size(); ++i) {
    if (i > 0) out += ',';
    out += '{';
    appendEntryFields(out, changes.changes[i].entry);
    appendBool(out, "deleted", changes.changes[i].deleted);
    closeObject(out);
  }
  out += "],";
  appendBool(out, "reset", changes.reset);
  closeObject(out);
  return out;
}

}  // namespace corvane::syncengine
