// A fixture for extension tests: a private environment, a scripted test
// engine that lists one scope "local-1" (bucket "bucket", writable), and the
// extension for that domain.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "extension/file_provider_extension.h"
#include "support/recording_host.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace corvane::testing {

class ExtensionTest : public ::testing::Test {
 protected:
  static constexpr const char* kScopeID = "local-1";
  static inline const std::string kRoot{host::kRootContainerItemIdentifier};
  static inline const std::string kWorkingSet{host::kWorkingSetContainerItemIdentifier};
  static inline const std::string kTrash{host::kTrashContainerItemIdentifier};

  ExtensionTest() {
    engine.writeDiscovery(env);
    engine.onScopes({scope});
  }

  std::shared_ptr<FileProviderExtension> makeExtension(host::ManagerLookup managers = {}) {
    return std::make_shared<FileProviderExtension>(host::Domain{kScopeID, "Local"},
                                                   std::move(managers));
  }

  // The extension made on first use.
  FileProviderExtension& ext() {
    if (!extension_) extension_ = makeExtension();
    return *extension_;
  }

  std::string scopePath(const std::string& suffix) const {
    return std::string("/v1/scopes/") + kScopeID + suffix;
  }

  void onList(const std::string& dir, const std::vector<Entry>& entries) {
    engine.onList(kScopeID, dir, entries);
  }

  std::filesystem::path writeFile(const std::string& name, const std::string& bytes) {
    auto p = env.root() / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

  // The POST requests to one endpoint of the scope, in order.
  std::vector<Received> posts(const std::string& suffix) const {
    return engine.requests("POST", scopePath(suffix));
  }

  TestEnvironment env;
  Scope scope = makeScope("local", 1, true, true, "bucket");
  TestEngine engine;
  RecordingHost host;

 private:
  std::shared_ptr<FileProviderExtension> extension_;
};

inline void expectHostError(const std::optional<host::Error>& error, std::string_view domain,
                            std::int64_t code) {
  ASSERT_TRUE(error.has_value()) << "expected an error " << domain << " " << code;
  EXPECT_EQ(error->domain, domain);
  EXPECT_EQ(error->code, code);
}

inline void expectNoSuchItem(const std::optional<host::Error>& error) {
  expectHostError(error, host::kFileProviderErrorDomain, host::codes::kNoSuchItem);
  if (error) {
    EXPECT_TRUE(error->userInfo.empty());
  }
}

}  // namespace corvane::testing
