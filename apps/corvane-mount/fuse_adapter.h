// FuseAdapter: the libfuse3 low-level operations over MountFileSystem.
//
// It only translates: kernel requests into file-system calls, attributes into
// struct stat, handles into fi->fh, folder entries into reply buffers (through
// an EntryReplier), and failures into errno replies through
// errnoFor() (logging each failure that is not one of the mount's own
// refusals, once). Kernel notifications come from the poller's thread through
// notify(). Owned by main, which keeps it alive for the whole session.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <mutex>
#include <set>

#include "corvane-mount/fuse_replies.h"
#include "corvane-mount/mount_file_system.h"

namespace corvane::mount {

class FuseAdapter {
 public:
  FuseAdapter(MountFileSystem& fs, AdapterOptions options);

  static const fuse_lowlevel_ops& operations();
  void setSession(fuse_session* session) { session_ = session; }
  // From the poller's thread, never from inside a request.
  void notify(const Invalidation& invalidation);
  // The one notification a request may send itself: it never blocks.
  void invalidateAttributes(fuse_ino_t ino);

  MountFileSystem& fs() { return fs_; }
  const AdapterOptions& options() const { return options_; }

  // Handles the kernel holds, so those it never releases (the connection
  // ended with files open) can be closed when the session is over.
  void opened(Handle* handle);
  std::unique_ptr<Handle> released(Handle* handle);
  void openedFolder(FolderHandle* folder);
  void releasedFolder(FolderHandle* folder);
  // After the session loop: releases what the kernel left open.
  void closeAll();

 private:
  MountFileSystem& fs_;
  AdapterOptions options_;
  fuse_session* session_ = nullptr;
  std::mutex mutex_;
  std::set<Handle*> handles_;  // guarded by mutex_
  std::set<FolderHandle*> folders_;  // guarded by mutex_
};

}  // namespace corvane::mount
