// ContentReader: brings the blocks a read needs into the cached contents,
// asking the extension for byte ranges when it offers them, and reading
// ahead of a handle whose reads go in order.
//
// The ahead window is twice what the handle has read in order so far, from
// the first whole block on, up to kMaxAhead; it is fetched in requests of at
// most kMaxRequest that run at once, so a long sequential read keeps the
// engine busy the way a whole download does, while a reader that only looks
// at a file's first bytes costs one block. An extension without ranges, or an
// engine that answers a range with the whole file, gets one whole download
// per file instead.
//
// Every delivery names the version it holds: bytes of another version than
// the one asked for are kept under their own version, and the contents that
// asked are marked superseded (their missing blocks can no longer be had).
//
// Owned by MountFileSystem, beside the ContentCache. Thread-safe: any number
// of reads may ask at once; its destructor waits for the fetches in flight.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "corvane-mount/content_cache.h"
#include "corvane-mount/host_bridge.h"
#include "corvane-mount/sparse_contents.h"
#include "host/partial_contents.h"

namespace corvane::mount {

class ContentReader {
 public:
  static constexpr std::int64_t kMaxAhead = 64 << 20;
  static constexpr std::int64_t kMaxRequest = 8 << 20;

  ContentReader(HostBridge& bridge, ContentCache& contents);
  ~ContentReader();
  ContentReader(const ContentReader&) = delete;
  ContentReader& operator=(const ContentReader&) = delete;

  // Returns once the bytes of [offset, offset + length) (clipped to the
  // file) are in `contents`; with a `stream`, fetches ahead of it too.
  // Throws Superseded when the file is at another version now, or the
  // failure of the fetch.
  void ensure(const std::shared_ptr<SparseContents>& contents, std::int64_t offset,
              std::int64_t length, ReadStream* stream);
  // Every byte, in as few requests as the extension allows.
  void ensureAll(const std::shared_ptr<SparseContents>& contents);

 private:
  void fetch(const std::shared_ptr<SparseContents>& contents, std::int64_t offset, std::int64_t end,
             std::int64_t need, std::int64_t requestSize);
  void start(const std::shared_ptr<SparseContents>& contents, SparseContents::Claim claim);
  // Throws EIO when the engine is known to be stalled.
  void giveUpIfStalled() const;
  void delivered(const std::shared_ptr<SparseContents>& contents, const SparseContents::Claim& claim,
                 std::optional<std::filesystem::path> file, std::shared_ptr<const host::Item> item,
                 host::ByteRange range, std::optional<host::Error> error);
  // Whether whole files are all the extension gives.
  bool wholeFiles() const { return !partial_ || wholeFiles_.load(); }

  HostBridge& bridge_;
  ContentCache& contents_;
  const std::shared_ptr<host::PartialContentFetching> partial_;  // null when not offered
  std::atomic<bool> wholeFiles_{false};  // learnt from an engine that ignores ranges

  std::mutex mutex_;
  std::condition_variable idle_;  // signalled under mutex_ when inFlight_ drops
  int inFlight_ = 0;              // guarded by mutex_
};

}  // namespace corvane::mount
