#include "corvane-mount/fuse_replies.h"

#include <cstring>
#include <memory>

namespace corvane::mount {

struct stat toStat(const Attributes& a) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  st.st_ino = a.ino;
  st.st_mode = a.mode;
  st.st_nlink = a.nlink;
  st.st_uid = a.uid;
  st.st_gid = a.gid;
  st.st_size = static_cast<off_t>(a.size);
  st.st_blksize = a.blockSize;
  st.st_blocks = static_cast<blkcnt_t>((a.size + 511) / 512);
  st.st_mtim.tv_sec = a.mtimeSeconds;
  st.st_mtim.tv_nsec = a.mtimeNanoseconds;
  st.st_atim = st.st_mtim;
  st.st_ctim = st.st_mtim;
  return st;
}

fuse_entry_param toEntry(const AdapterOptions& options, const Attributes& attributes) {
  fuse_entry_param e;
  std::memset(&e, 0, sizeof e);
  e.ino = attributes.ino;
  e.attr = toStat(attributes);
  e.attr_timeout = options.attributeTimeout;
  e.entry_timeout = options.entryTimeout;
  return e;
}

struct statvfs toStatvfs(const FileSystemStats& s) {
  struct statvfs st;
  std::memset(&st, 0, sizeof st);
  st.f_bsize = s.blockSize;
  st.f_frsize = s.blockSize;
  st.f_blocks = s.blocks;
  st.f_bfree = s.blocksFree;
  st.f_bavail = s.blocksAvailable;
  st.f_files = s.files;
  st.f_ffree = s.filesFree;
  st.f_favail = s.filesFree;
  st.f_namemax = s.nameMax;
  return st;
}

std::span<char> DirectoryReply::bufferOfThisThread(std::size_t size) {
  thread_local std::unique_ptr<char[]> buffer;
  thread_local std::size_t capacity = 0;
  if (capacity < size) {
    buffer.reset(new char[size]);  // left uninitialised: entries are written whole
    capacity = size;
  }
  return {buffer.get(), size};
}

bool DirectoryReply::add(const DirEntry& entry, std::uint64_t next) {
  char* at = buffer_.data() + used_;
  const std::size_t room = buffer_.size() - used_;
  const auto offset = static_cast<off_t>(next);
  std::size_t need;
  if (plus_) {
    auto e = toEntry(options_, entry.attributes);
    need = fuse_add_direntry_plus(req_, at, room, entry.name.c_str(), &e, offset);
  } else {
    auto st = toStat(entry.attributes);
    need = fuse_add_direntry(req_, at, room, entry.name.c_str(), &st, offset);
  }
  if (need > room) return false;
  used_ += need;
  return true;
}

void DirectoryReply::send() { fuse_reply_buf(req_, buffer_.data(), used_); }

}  // namespace corvane::mount
