#include "corvane-mount/file_table.h"

#include "corvane-mount/content_cache.h"

namespace corvane::mount {

std::shared_ptr<FileState> FileTable::get(Ino ino) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(ino);
  if (it != files_.end()) return it->second;
  auto s = std::make_shared<FileState>();
  files_.emplace(ino, s);
  return s;
}

std::shared_ptr<FileState> FileTable::find(Ino ino) const {
  std::lock_guard lock(mutex_);
  auto it = files_.find(ino);
  return it == files_.end() ? nullptr : it->second;
}

std::vector<std::pair<Ino, std::shared_ptr<FileState>>> FileTable::all() const {
  std::lock_guard lock(mutex_);
  return {files_.begin(), files_.end()};
}

void FileTable::forget(Ino ino) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(ino);
  if (it == files_.end()) return;
  auto& s = it->second;
  // Writes not yet sent keep their working copy, even when the kernel has
  // forgotten the name: a queued write-back still needs it.
  if (s->handles.load() > 0 || pending_.count(ino) || s->dirty() || s->timeUnsent.load()) return;
  {
    std::lock_guard path(s->pathMutex);
    if (s->inWork) ContentCache::discard(s->file);
  }
  files_.erase(it);
}

void FileTable::markPending(Ino ino, Clock::time_point retryAt) {
  std::lock_guard lock(mutex_);
  pending_[ino] = retryAt;
}

void FileTable::clearPending(Ino ino) {
  std::lock_guard lock(mutex_);
  pending_.erase(ino);
}

std::vector<Ino> FileTable::pending(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  std::vector<Ino> due;
  for (const auto& [ino, retryAt] : pending_) {
    if (retryAt <= now) due.push_back(ino);
  }
  return due;
}

bool FileTable::due(Ino ino, Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(ino);
  return it == pending_.end() || it->second <= now;
}

std::size_t FileTable::pendingCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

}  // namespace corvane::mount
