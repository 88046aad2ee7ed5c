#include "support/mounted_scope.h"

#include <stdexcept>

namespace corvane::testing {
namespace fs = std::filesystem;

namespace {

fs::path besideExecutable() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the running executable");
  return self.parent_path();
}

}  // namespace

MountedScope::MountedScope(const fs::path& root, fs::path binaries, double poll)
    : backing_(root / "bucket"), mountpoint_(root / "mnt"), cache_(root / "mount-cache") {
  if (binaries.empty()) binaries = besideExecutable();
  fs::create_directories(backing_);
  fs::create_directories(mountpoint_);
  EngineProcess::Options engine;
  engine.binary = binaries / "corvane-engine";
  engine.scopes = {{"test", backing_}};
  engine_ = std::make_unique<EngineProcess>(engine);
  MountProcess::Options mount;
  mount.binary = binaries / "corvane-mount";
  mount.domain = EngineProcess::scopeId(1);
  mount.cache = cache_;
  mount.mountpoint = mountpoint_;
  mount.log = root / "mount.log";
  mount.poll = poll;
  mount_ = std::make_unique<MountProcess>(mount);
  mount_->start();
}

MountedScope::~MountedScope() {
  mount_.reset();  // unmounts before the engine goes
  engine_.reset();
}

}  // namespace corvane::testing
