#include "support/test_env.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace corvane::testing {
namespace {

bool save(const char* name, std::string& out) {
  const char* v = std::getenv(name);
  if (!v) return false;
  out = v;
  return true;
}

void restore(const char* name, bool had, const std::string& value) {
  if (had) {
    ::setenv(name, value.c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

}  // namespace

TestEnvironment::TestEnvironment() {
  std::string templ = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  root_ = templ;
  std::filesystem::create_directories(applicationSupport());
  std::filesystem::create_directories(tmp());
  std::filesystem::create_directories(cacheHome());
  hadData_ = save("XDG_DATA_HOME", oldData_);
  hadTmp_ = save("TMPDIR", oldTmp_);
  hadCache_ = save("XDG_CACHE_HOME", oldCache_);
  hadState_ = save("XDG_STATE_HOME", oldState_);
  hadConfig_ = save("XDG_CONFIG_HOME", oldConfig_);
  ::setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
  ::setenv("TMPDIR", tmp().c_str(), 1);
  ::setenv("XDG_CACHE_HOME", cacheHome().c_str(), 1);
  ::setenv("XDG_STATE_HOME", stateHome().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
}

TestEnvironment::~TestEnvironment() {
  restore("XDG_DATA_HOME", hadData_, oldData_);
  restore("TMPDIR", hadTmp_, oldTmp_);
  restore("XDG_CACHE_HOME", hadCache_, oldCache_);
  restore("XDG_STATE_HOME", hadState_, oldState_);
  restore("XDG_CONFIG_HOME", hadConfig_, oldConfig_);
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

void TestEnvironment::writeDiscoveryFile(const std::string& contents) const {
  std::filesystem::create_directories(applicationSupport());
  std::ofstream out(applicationSupport() / "engine.json", std::ios::binary | std::ios::trunc);
  out << contents;
}

void TestEnvironment::writeDiscovery(int port, const std::string& token) const {
  writeDiscoveryFile("{\"port\": " + std::to_string(port) + ", \"token\": \"" + token + "\"}");
}

void TestEnvironment::removeDiscoveryFile() const {
  std::error_code ec;
  std::filesystem::remove(applicationSupport() / "engine.json", ec);
}

}  // namespace corvane::testing
