// What the host received for one command: the values handed to its
// completion handler or observer, and for the asynchronous entry points the
// handler count and the progress as read after the handler had returned.
// A plain value made by the session and read by the two output forms.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "host/domains.h"
#include "host/error.h"
#include "host/observers.h"

namespace corvane::fpctl {

struct Result {
  CommandKind kind = CommandKind::domains;
  std::optional<host::Error> error;

  // The asynchronous entry points.
  int handlerCalls = 0;
  std::int64_t completedUnitCount = 0;
  std::int64_t totalUnitCount = 0;
  // create and modify.
  host::ItemFields pendingFields = 0;
  bool shouldFetchContent = false;

  // item, fetch, create, modify.
  std::shared_ptr<const host::Item> item;
  // fetch: where the file is (after --output, where it was moved).
  std::optional<std::filesystem::path> url;
  // fetch --range, on success: the range the file holds, and whether it
  // reaches the end of the item's file.
  std::optional<host::ByteRange> range;
  bool reachesEndOfFile = false;

  // domains.
  std::vector<host::ServedDomain> domains;

  // list.
  host::ItemList items;
  int batches = 0;
  std::optional<host::Page> nextPage;

  // changes and anchor.
  std::vector<host::ItemIdentifier> deletedIdentifiers;
  host::ItemList updatedItems;
  std::optional<host::SyncAnchor> anchor;
  bool moreComing = false;
  std::vector<std::string> order;  // "deleted", "updated", as the observer calls came

  // What the user may write instead, when the failure came of a --domain
  // that names no scope the engine serves.
  std::string advice;

  bool succeeded() const { return !error.has_value(); }
};

// One finished command: its input line (0 outside a batch) and its result.
struct Outcome {
  int line = 0;
  Command command;
  Result result;
  std::string domain;  // the domain it ran on; "" for none
};

}  // namespace corvane::fpctl
