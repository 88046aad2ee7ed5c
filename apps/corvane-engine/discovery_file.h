// The engine's side of discovery: the file "engine.json" ({"port", "token"})
// in the Application Support folder, and a lock file beside it that makes one
// engine the owner of that folder. publish() writes the file atomically
// (temporary file, then rename) with mode 0600; withdraw() removes it again,
// but only while it still holds this engine's token.
//
// Owned by the engine's main(); not thread-safe.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/unique_fd.h"

namespace corvane::syncengine {

class DiscoveryFile {
 public:
  // Thrown by claim() when another live engine owns the folder.
  struct AlreadyRunning : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  explicit DiscoveryFile(std::filesystem::path folder);

  const std::filesystem::path& path() const { return file_; }

  // Creates the folder when missing and takes the engine lock. Throws
  // AlreadyRunning when another engine holds the lock or when an existing
  // engine.json names a port that answers; std::system_error on I/O failures.
  void claim();
  void publish(int port, const std::string& token);
  void withdraw();

 private:
  std::filesystem::path folder_;
  std::filesystem::path file_;
  platform::UniqueFd lock_;
  std::string token_;
};

}  // namespace corvane::syncengine
