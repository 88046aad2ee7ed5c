// The host's file-provider manager for a domain, used for the per-domain
// temporary folder whose files the host takes over. A host may have no
// manager for a domain (the lookup returns null), and the folder lookup of a
// manager may fail (it throws).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "host/types.h"

namespace corvane::host {

class Manager {
 public:
  virtual ~Manager() = default;
  // Throws on failure (a host::Error or a file error).
  virtual std::filesystem::path temporaryDirectoryURL() = 0;
};

// The host's lookup of the manager for a domain; null when it has none.
using ManagerLookup = std::function<std::shared_ptr<Manager>(const Domain&)>;

}  // namespace corvane::host
