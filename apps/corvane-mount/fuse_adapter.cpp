#include "corvane-mount/fuse_adapter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/fuse_replies.h"

namespace corvane::mount {
namespace {

constexpr unsigned kMaxTransfer = 1u << 20;

FuseAdapter& adapter(fuse_req_t req) { return *static_cast<FuseAdapter*>(fuse_req_userdata(req)); }

std::string pathOf(FuseAdapter& a, fuse_ino_t ino, const char* name = nullptr) {
  return a.fs().pathFor(ino, name);
}

// Replies with the errno of the failure being handled, logging it once
// unless it is one of the mount's own answers.
void replyFailure(fuse_req_t req, const char* op, const std::string& path) {
  auto failure = std::current_exception();
  if (!isRefusal(failure)) logFailure(op, path, failure);
  fuse_reply_err(req, errnoFor(failure));
}

Handle* handleOf(fuse_file_info* fi) { return reinterpret_cast<Handle*>(fi->fh); }

FolderHandle* folderOf(fuse_file_info* fi) { return reinterpret_cast<FolderHandle*>(fi->fh); }

void opInit(void* userdata, fuse_conn_info* conn) {
  (void)userdata;
  conn->max_write = kMaxTransfer;
  if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  // Writes go straight to the working copy; the page cache stays coherent
  // without the kernel's own write-back.
  conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  // Modes are fixed here (no set-user-ID bit can exist), so there is nothing
  // to clear; without this the kernel asks for the attributes again before
  // every change of owner (tar does one per file).
  if (conn->capable & FUSE_CAP_HANDLE_KILLPRIV) conn->want |= FUSE_CAP_HANDLE_KILLPRIV;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  auto& a = adapter(req);
  try {
    auto e = toEntry(a.options(), a.fs().lookup(parent, name));
    fuse_reply_entry(req, &e);
  } catch (const Refusal& r) {
    if (r.err() == ENOENT) {
      // A name that is not there: the kernel may remember that too (the
      // poller tells it when the name appears).
      fuse_entry_param e;
      std::memset(&e, 0, sizeof e);
      e.entry_timeout = a.options().entryTimeout;
      fuse_reply_entry(req, &e);
      return;
    }
    fuse_reply_err(req, r.err());
  } catch (...) {
    replyFailure(req, "lookup", pathOf(a, parent, name));
  }
}

void opForget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  adapter(req).fs().forget(ino, nlookup);
  fuse_reply_none(req);
}

void opForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  auto& fs = adapter(req).fs();
  for (size_t i = 0; i < count; ++i) fs.forget(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  auto& a = adapter(req);
  try {
    auto st = toStat(a.fs().getattr(ino));
    fuse_reply_attr(req, &st, a.options().attributeTimeout);
  } catch (...) {
    replyFailure(req, "getattr", pathOf(a, ino));
  }
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
  auto& a = adapter(req);
  try {
    SetAttributes changes;
    if (toSet & FUSE_SET_ATTR_SIZE) changes.size = static_cast<std::uint64_t>(attr->st_size);
    if (toSet & FUSE_SET_ATTR_MTIME_NOW) {
      timespec now{};
      ::clock_gettime(CLOCK_REALTIME, &now);
      changes.modificationTime = host::FileTime{now.tv_sec, now.tv_nsec};
    } else if (toSet & FUSE_SET_ATTR_MTIME) {
      changes.modificationTime = host::FileTime{attr->st_mtim.tv_sec, attr->st_mtim.tv_nsec};
    }
    // Mode, owner and the access time are accepted and ignored.
    auto st = toStat(a.fs().setattr(ino, changes, fi ? handleOf(fi) : nullptr));
    fuse_reply_attr(req, &st, a.options().attributeTimeout);
  } catch (...) {
    replyFailure(req, "setattr", pathOf(a, ino));
  }
}

void opNotSupported(fuse_req_t req) { fuse_reply_err(req, EOPNOTSUPP); }

void opReadlink(fuse_req_t req, fuse_ino_t) { fuse_reply_err(req, EINVAL); }

void opSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { opNotSupported(req); }

void opLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { opNotSupported(req); }

void opMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
  auto& a = adapter(req);
  if (!S_ISREG(mode)) {
    opNotSupported(req);
    return;
  }
  try {
    auto [attributes, handle] = a.fs().create(parent, name, O_WRONLY | O_EXCL);
    a.fs().release(std::move(handle));
    auto e = toEntry(a.options(), a.fs().getattr(attributes.ino));
    fuse_reply_entry(req, &e);
  } catch (...) {
    replyFailure(req, "mknod", pathOf(a, parent, name));
  }
}

void opMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
  auto& a = adapter(req);
  try {
    auto e = toEntry(a.options(), a.fs().mkdir(parent, name));
    fuse_reply_entry(req, &e);
  } catch (...) {
    replyFailure(req, "mkdir", pathOf(a, parent, name));
  }
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  auto& a = adapter(req);
  try {
    a.fs().unlink(parent, name);
    fuse_reply_err(req, 0);
  } catch (...) {
    replyFailure(req, "unlink", pathOf(a, parent, name));
  }
}

void opRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  auto& a = adapter(req);
  try {
    a.fs().rmdir(parent, name);
    fuse_reply_err(req, 0);
  } catch (...) {
    replyFailure(req, "rmdir", pathOf(a, parent, name));
  }
}

void opRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
              const char* newName, unsigned int flags) {
  auto& a = adapter(req);
  try {
    a.fs().rename(parent, name, newParent, newName, flags);
    fuse_reply_err(req, 0);
  } catch (...) {
    replyFailure(req, "rename", pathOf(a, parent, name));
  }
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto& a = adapter(req);
  try {
    auto handle = a.fs().open(ino, fi->flags);
    // Attributes only: this never waits on the kernel, so it is safe here.
    if (handle->staleAttributes) a.invalidateAttributes(ino);
    fi->keep_cache = handle->keepCache;
    // A write-back starts only once the last writer has gone (release), so a
    // flush at every close would be a round trip that does nothing.
    fi->noflush = 1;
    fi->fh = reinterpret_cast<uint64_t>(handle.get());
    a.opened(handle.get());
    if (fuse_reply_open(req, fi) == -ENOENT) {
      // The caller went away (interrupted): nobody will release it.
      a.fs().release(a.released(handle.release()));
      return;
    }
    handle.release();
  } catch (...) {
    replyFailure(req, "open", pathOf(a, ino));
  }
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi) {
  auto& a = adapter(req);
  try {
    auto [attributes, handle] = a.fs().create(parent, name, fi->flags);
    auto e = toEntry(a.options(), attributes);
    fi->keep_cache = handle->keepCache;
    // A write-back starts only once the last writer has gone (release), so a
    // flush at every close would be a round trip that does nothing.
    fi->noflush = 1;
    fi->fh = reinterpret_cast<uint64_t>(handle.get());
    a.opened(handle.get());
    if (fuse_reply_create(req, &e, fi) == -ENOENT) {
      a.fs().release(a.released(handle.release()));
      a.fs().forget(attributes.ino, 1);
      return;
    }
    handle.release();
  } catch (...) {
    replyFailure(req, "create", pathOf(a, parent, name));
  }
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  auto& a = adapter(req);
  Handle* h = handleOf(fi);
  try {
    a.fs().prepareRead(*h, size, off);
  } catch (...) {
    replyFailure(req, "read", pathOf(a, ino));
    return;
  }
  // Straight from the local file; libfuse splices it when it can.
  fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
  buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buf.buf[0].fd = h->fd;
  buf.buf[0].pos = off;
  int rc = fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
  if (rc < 0 && rc != -ENOENT) {
    logFailure("read", pathOf(a, ino),
               std::make_exception_ptr(std::system_error(-rc, std::generic_category(), "read")));
  }
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* data, size_t size, off_t off,
             fuse_file_info* fi) {
  auto& a = adapter(req);
  try {
    fuse_reply_write(req, a.fs().write(*handleOf(fi), data, size, off));
  } catch (...) {
    replyFailure(req, "write", pathOf(a, ino));
  }
}

void opFlush(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto& a = adapter(req);
  try {
    a.fs().flush(*handleOf(fi));
    fuse_reply_err(req, 0);
  } catch (...) {
    replyFailure(req, "flush", pathOf(a, ino));
  }
}

void opRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto& a = adapter(req);
  try {
    a.fs().release(a.released(handleOf(fi)));
  } catch (...) {
    logFailure("release", pathOf(a, ino), std::current_exception());
  }
  fuse_reply_err(req, 0);
}

void opFsync(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info* fi) {
  auto& a = adapter(req);
  try {
    a.fs().fsync(*handleOf(fi));
    fuse_reply_err(req, 0);
  } catch (...) {
    replyFailure(req, "fsync", pathOf(a, ino));
  }
}

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto& a = adapter(req);
  try {
    auto dir = a.fs().opendir(ino);
    // The kernel may keep the listing: every change to it is told through
    // the poller's notifications or passes through the kernel itself.
    fi->cache_readdir = 1;
    fi->keep_cache = dir->keepCache;
    fi->fh = reinterpret_cast<uint64_t>(dir.get());
    a.openedFolder(dir.get());
    if (fuse_reply_open(req, fi) == 0) {
      dir.release();
    } else {
      a.releasedFolder(dir.get());
    }
  } catch (...) {
    replyFailure(req, "opendir", pathOf(a, ino));
  }
}

void readdirCommon(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi,
                   bool plus) {
  auto& a = adapter(req);
  try {
    DirectoryReply reply(req, a.options(), size, plus);
    a.fs().readdir(*folderOf(fi), static_cast<std::uint64_t>(off), reply);
    reply.send();
  } catch (...) {
    replyFailure(req, "readdir", pathOf(a, ino));
  }
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  readdirCommon(req, ino, size, off, fi, false);
}

void opReaddirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  readdirCommon(req, ino, size, off, fi, true);
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  adapter(req).releasedFolder(folderOf(fi));
  delete folderOf(fi);
  fuse_reply_err(req, 0);
}

void opFsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); }

void opStatfs(fuse_req_t req, fuse_ino_t) {
  auto st = toStatvfs(adapter(req).fs().statfs());
  fuse_reply_statfs(req, &st);
}

fuse_lowlevel_ops makeOperations() {
  fuse_lowlevel_ops ops;
  std::memset(&ops, 0, sizeof ops);
  ops.init = opInit;
  ops.lookup = opLookup;
  ops.forget = opForget;
  ops.forget_multi = opForgetMulti;
  ops.getattr = opGetattr;
  ops.setattr = opSetattr;
  ops.readlink = opReadlink;
  ops.mknod = opMknod;
  ops.mkdir = opMkdir;
  ops.unlink = opUnlink;
  ops.rmdir = opRmdir;
  ops.symlink = opSymlink;
  ops.rename = opRename;
  ops.link = opLink;
  ops.open = opOpen;
  ops.read = opRead;
  ops.write = opWrite;
  ops.flush = opFlush;
  ops.release = opRelease;
  ops.fsync = opFsync;
  ops.opendir = opOpendir;
  ops.readdir = opReaddir;
  ops.readdirplus = opReaddirplus;
  ops.releasedir = opReleasedir;
  ops.fsyncdir = opFsyncdir;
  ops.statfs = opStatfs;
  ops.create = opCreate;
  // Extended attributes are left unimplemented: the kernel then answers
  // EOPNOTSUPP itself, without asking again for every file.
  return ops;
}

}  // namespace

FuseAdapter::FuseAdapter(MountFileSystem& fs, AdapterOptions options)
    : fs_(fs), options_(options) {}

const fuse_lowlevel_ops& FuseAdapter::operations() {
  static const fuse_lowlevel_ops ops = makeOperations();
  return ops;
}

void FuseAdapter::opened(Handle* handle) {
  std::lock_guard lock(mutex_);
  handles_.insert(handle);
}

std::unique_ptr<Handle> FuseAdapter::released(Handle* handle) {
  std::lock_guard lock(mutex_);
  handles_.erase(handle);
  return std::unique_ptr<Handle>(handle);
}

void FuseAdapter::openedFolder(FolderHandle* folder) {
  std::lock_guard lock(mutex_);
  folders_.insert(folder);
}

void FuseAdapter::releasedFolder(FolderHandle* folder) {
  std::lock_guard lock(mutex_);
  folders_.erase(folder);
}

void FuseAdapter::closeAll() {
  std::set<Handle*> handles;
  std::set<FolderHandle*> folders;
  {
    std::lock_guard lock(mutex_);
    handles.swap(handles_);
    folders.swap(folders_);
  }
  for (Handle* h : handles) {
    try {
      fs_.release(std::unique_ptr<Handle>(h));
    } catch (...) {
      logFailure("release", "#" + std::to_string(h->ino), std::current_exception());
    }
  }
  for (FolderHandle* f : folders) delete f;
}

void FuseAdapter::invalidateAttributes(fuse_ino_t ino) {
  if (session_) fuse_lowlevel_notify_inval_inode(session_, ino, -1, 0);
}

void FuseAdapter::notify(const Invalidation& i) {
  if (!session_) return;
  // Failures (the kernel does not hold that name or inode) need no action.
  switch (i.kind) {
    case Invalidation::entry:
      fuse_lowlevel_notify_inval_entry(session_, i.ino, i.name.c_str(), i.name.size());
      break;
    case Invalidation::attributes:
      fuse_lowlevel_notify_inval_inode(session_, i.ino, -1, 0);
      break;
    case Invalidation::contents:
      fuse_lowlevel_notify_inval_inode(session_, i.ino, 0, 0);
      break;
  }
}

}  // namespace corvane::mount
