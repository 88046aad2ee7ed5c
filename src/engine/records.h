// The engine's wire records. Plain values with fields named as their JSON
// keys; copied freely. Decoding is strict (see decoding.h).
//
// On the wire a change is one flat object: the keys of its entry and
// "deleted". Here it holds the Entry, so what both say is written once.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// A point in time. Decoded wire values have whole seconds; values the system
// makes itself (the current time) may carry a fraction. Microseconds keep
// every year from 0001 to 9999 in range (nanoseconds would end in 2262).
using Timestamp = std::chrono::sys_time<std::chrono::microseconds>;

// A file system's nanoseconds since 1970, rounded down to a Timestamp.
inline Timestamp timestampFromNanoseconds(std::int64_t nanoseconds) {
  return std::chrono::floor<Timestamp::duration>(
      std::chrono::sys_time<std::chrono::nanoseconds>(std::chrono::nanoseconds(nanoseconds)));
}

struct Entry {
  std::string path;
  std::string name;
  bool dir = false;
  std::int64_t size = 0;
  Timestamp mod_time{};
  std::string version;

  bool operator==(const Entry&) const = default;
};

struct Change {
  Entry entry;  // the keys "path" ... "version", flat in the change's object
  bool deleted = false;

  bool operator==(const Change&) const = default;
};

struct ChangeSet {
  std::string anchor;
  std::optional<std::vector<Change>> changes;  // absent when the engine sent none
  bool reset = false;

  bool operator==(const ChangeSet&) const = default;
};

struct Scope {
  std::string connection;
  std::int64_t scope = 0;
  std::string name;
  std::string bucket;
  std::string prefix;
  std::string region;
  bool versioned = false;
  bool write = false;
  bool delete_ = false;  // JSON key "delete"

  // connection, "-", scope in decimal ("c-12", "c--1").
  std::string id() const { return connection + "-" + std::to_string(scope); }
  bool operator==(const Scope&) const = default;
};

}  // namespace corvane
