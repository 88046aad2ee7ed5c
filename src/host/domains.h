// What the system offers a host before it talks to an extension: the domains
// the engine serves, and the extension for one of them (the system, not the
// host, makes it). Declared here for the hosts; the library implements it,
// and how it asks the engine stays its own business. Callable from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/extension.h"
#include "host/manager.h"
#include "host/types.h"

namespace corvane::host {

// One domain the engine serves, with what the engine says of its storage
// (for hosts that show it; opening the domain needs only `domain`).
struct ServedDomain {
  Domain domain;           // identifier and display name
  std::string connection;  // the engine's storage connection it lies in
  std::int64_t scope = 0;  // its number within that connection
  std::string bucket;
  std::string prefix;  // "" for the whole bucket
  std::string region;
  bool versioned = false;
  bool writable = false;
  bool deletable = false;
};

// The domains the engine serves, in the engine's order. Throws host::Error
// (the engine's failure as a host error).
std::vector<ServedDomain> servedDomains();

// The extension for `domain`; `managers` is the host's manager lookup.
std::shared_ptr<ReplicatedExtension> makeExtension(const Domain& domain, ManagerLookup managers);

}  // namespace corvane::host
