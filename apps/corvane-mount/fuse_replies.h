// The FUSE adapter's replies: the logic's values in the kernel's types
// (struct stat, entries with their timeouts, struct statvfs) and the buffer
// a folder listing is packed into. Pure conversions; a DirectoryReply belongs
// to the one request it answers.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <span>

#include "corvane-mount/folder_handle.h"
#include "corvane-mount/mount_types.h"

namespace corvane::mount {

struct AdapterOptions {
  double entryTimeout = 2.0;      // seconds the kernel may keep a name
  double attributeTimeout = 2.0;  // seconds it may keep attributes
};

struct stat toStat(const Attributes& attributes);
fuse_entry_param toEntry(const AdapterOptions& options, const Attributes& attributes);
struct statvfs toStatvfs(const FileSystemStats& stats);

// One readdir reply: entries packed into a buffer of the size the kernel
// asked for, with their attributes for readdirplus.
class DirectoryReply final : public EntryReplier {
 public:
  DirectoryReply(fuse_req_t req, const AdapterOptions& options, std::size_t size, bool plus)
      : req_(req), options_(options), buffer_(bufferOfThisThread(size)), plus_(plus) {}

  bool add(const DirEntry& entry, std::uint64_t next) override;
  bool withAttributes() const override { return plus_; }
  // Replies with the entries added.
  void send();

 private:
  // The kernel asks for up to a megabyte per reply, dozens of times for a
  // large folder: a buffer kept per thread is neither zeroed nor faulted in
  // again for each of them.
  static std::span<char> bufferOfThisThread(std::size_t size);

  fuse_req_t req_;
  const AdapterOptions& options_;
  std::span<char> buffer_;
  std::size_t used_ = 0;
  const bool plus_;
};

}  // namespace corvane::mount
