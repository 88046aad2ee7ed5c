// What the engine tells about the stores behind its bucket scopes, for
// hosts that show it (`corvane-mount --status`): the file
// "engine-status.json" beside engine.json, which the engine rewrites when a
// store falls silent or answers again and removes when it stops. A file, not
// a request: a host asks it without the engine, which may be busy waiting
// for that very store.
//
//   {"pid": 4242, "scopes": [{"id": "s3-1", "store": "https://...",
//     "answering": false, "silentSince": "2026-12-11T10:20:58Z"}]}
//
// Values and pure functions, apart from reading the file; any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvane::stores {

struct ScopeStoreStatus {
  std::string scopeId;
  std::string store;  // the endpoint
  bool answering = true;
  std::chrono::sys_seconds silentSince{};  // while !answering
};

struct StoreStatusFile {
  pid_t pid = 0;  // the engine's process
  std::vector<ScopeStoreStatus> scopes;
};

// The file in `applicationSupport`.
std::filesystem::path storeStatusPath(const std::filesystem::path& applicationSupport);

std::string encodeStoreStatus(const StoreStatusFile& status);
// Nothing when the text is not such a file; unknown keys are passed over.
std::optional<StoreStatusFile> decodeStoreStatus(const std::string& text);
// The file at `path` decoded; nothing when it is missing or unreadable.
std::optional<StoreStatusFile> readStoreStatus(const std::filesystem::path& path);

}  // namespace corvane::stores
