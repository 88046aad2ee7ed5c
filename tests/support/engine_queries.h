// Questions tests ask a running engine directly, past whatever host they
// test: an object's version and whether the change log has seen a path.
#pragma once

#include <string>

#include "engine/engine_client.h"
#include "items/item.h"

namespace corvane::testing {

// The engine's version text of the object at `path`; empty when it lists none.
inline std::string engineVersion(const std::string& path, const std::string& scopeID = "local-1") {
  for (auto& e : EngineClient(scopeID).list(Item::parent(path))) {
    if (e.path == path) return e.version;
  }
  return {};
}

inline std::string latestAnchor(const std::string& scopeID = "local-1") {
  return EngineClient(scopeID).changes("latest").anchor;
}

// Whether the change log holds a change of `path` after `anchor` (the engine
// notices changes made in its folder by others a moment later).
inline bool engineLogged(const std::string& anchor, const std::string& path,
                         const std::string& scopeID = "local-1") {
  auto set = EngineClient(scopeID).changes(anchor);
  if (set.changes) {
    for (auto& c : *set.changes) {
      if (c.entry.path == path) return true;
    }
  }
  return false;
}

}  // namespace corvane::testing
