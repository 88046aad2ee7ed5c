// The engine's side of engine-status.json (see engine/store_status.h): the
// state of each bucket scope's store, written whenever one changes, once
// the engine owns its folder (a second engine that is refused must not
// overwrite the first one's file), and removed when the engine stops.
//
// Owned by the engine's main(); set() may be called from any thread (the
// stores' requests report on their own threads).
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "engine/store_status.h"
#include "s3/store_health.h"

namespace corvane::syncengine {

class StoreStatusWriter {
 public:
  explicit StoreStatusWriter(std::filesystem::path applicationSupport);
  ~StoreStatusWriter() { withdraw(); }
  StoreStatusWriter(const StoreStatusWriter&) = delete;
  StoreStatusWriter& operator=(const StoreStatusWriter&) = delete;

  // The scope's store now; written at once when enabled.
  void set(const std::string& scopeId, const std::string& store, const s3::StoreState& state);
  // From now on the file is written (at once, with what is known).
  void enable();
  // Removes the file when this engine wrote it, and writes it no more.
  void withdraw();

 private:
  void write();  // with mutex_ held

  const std::filesystem::path file_;
  std::mutex mutex_;
  bool enabled_ = false;                                    // guarded by mutex_
  bool written_ = false;                                    // guarded by mutex_
  std::map<std::string, stores::ScopeStoreStatus> scopes_;  // guarded by mutex_
};

}  // namespace corvane::syncengine
