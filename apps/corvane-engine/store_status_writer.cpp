#include "store_status_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include "host_log.h"
#include "platform/unique_fd.h"

namespace corvane::syncengine {

StoreStatusWriter::StoreStatusWriter(std::filesystem::path applicationSupport)
    : file_(stores::storeStatusPath(applicationSupport)) {}

void StoreStatusWriter::withdraw() {
  std::lock_guard lock(mutex_);
  enabled_ = false;
  if (written_) ::unlink(file_.c_str());
  written_ = false;
}

void StoreStatusWriter::set(const std::string& scopeId, const std::string& store,
                            const s3::StoreState& state) {
  std::lock_guard lock(mutex_);
  stores::ScopeStoreStatus& entry = scopes_[scopeId];
  entry.scopeId = scopeId;
  entry.store = store;
  entry.answering = state.answering;
  entry.silentSince = std::chrono::floor<std::chrono::seconds>(state.silentSince);
  if (enabled_) write();
}

void StoreStatusWriter::enable() {
  std::lock_guard lock(mutex_);
  enabled_ = true;
  write();
}

void StoreStatusWriter::write() {
  stores::StoreStatusFile status;
  status.pid = ::getpid();
  for (const auto& [id, scope] : scopes_) status.scopes.push_back(scope);
  const std::string text = stores::encodeStoreStatus(status);
  const std::filesystem::path temporary =
      file_.string() + "." + std::to_string(::getpid()) + ".tmp";
  platform::UniqueFd out(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  const bool ok = out && ::write(out.get(), text.data(), text.size()) ==
                             static_cast<ssize_t>(text.size());
  out.close();
  if (!ok || ::rename(temporary.c_str(), file_.c_str()) != 0) {
    // What the file would tell is in the log as well; the engine goes on.
    ::unlink(temporary.c_str());
    hostlog::debug("cannot write " + file_.string());
    return;
  }
  written_ = true;
}

}  // namespace corvane::syncengine
