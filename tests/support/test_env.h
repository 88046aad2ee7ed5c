// A private environment for one test: fresh folders for XDG_DATA_HOME (the
// Application Support folder lives below it), TMPDIR, XDG_CACHE_HOME and
// XDG_STATE_HOME (the tools' logs) and XDG_CONFIG_HOME (so no user's config
// file reaches the tools), all removed at the end. Tests run as separate processes, so the variables set
// here never leak into another test.
#pragma once

#include <filesystem>
#include <string>

namespace corvane::testing {

class TestEnvironment {
 public:
  TestEnvironment();
  ~TestEnvironment();
  TestEnvironment(const TestEnvironment&) = delete;
  TestEnvironment& operator=(const TestEnvironment&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path dataHome() const { return root_ / "data"; }
  // The extension's Application Support folder ($XDG_DATA_HOME/CorvaneSync).
  std::filesystem::path applicationSupport() const { return dataHome() / "CorvaneSync"; }
  std::filesystem::path tmp() const { return root_ / "tmp"; }
  std::filesystem::path cacheHome() const { return root_ / "cache"; }
  std::filesystem::path stateHome() const { return root_ / "state"; }
  // Where the tools keep their logs ($XDG_STATE_HOME/CorvaneSync).
  std::filesystem::path logFolder() const { return stateHome() / "CorvaneSync"; }
  // Where the tools look for their config files: configHome()/CorvaneSync.
  std::filesystem::path configHome() const { return root_ / "config"; }

  // Writes engine.json into the Application Support folder.
  void writeDiscoveryFile(const std::string& contents) const;
  void writeDiscovery(int port, const std::string& token) const;
  void removeDiscoveryFile() const;

 private:
  std::filesystem::path root_;
  std::string oldData_, oldTmp_, oldCache_, oldState_, oldConfig_;
  bool hadData_, hadTmp_, hadCache_, hadState_, hadConfig_;
};

}  // namespace corvane::testing
