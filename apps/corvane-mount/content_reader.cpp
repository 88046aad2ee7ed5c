#include "corvane-mount/content_reader.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include "corvane-mount/errno_map.h"

namespace corvane::mount {
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kBlock = SparseContents::kBlockSize;
constexpr std::int64_t kWhole = std::numeric_limits<std::int64_t>::max();

// The tries a read makes when a fetch ended without its blocks and without
// saying why.
constexpr int kTries = 3;

}  // namespace

ContentReader::ContentReader(HostBridge& bridge, ContentCache& contents)
    : bridge_(bridge),
      contents_(contents),
      partial_(std::dynamic_pointer_cast<host::PartialContentFetching>(bridge.extension())) {}

ContentReader::~ContentReader() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return inFlight_ == 0; });
}

void ContentReader::ensure(const std::shared_ptr<SparseContents>& contents, std::int64_t offset,
                           std::int64_t length, ReadStream* stream) {
  const std::int64_t size = contents->size();
  if (offset < 0 || length <= 0 || offset >= size) return;
  const std::int64_t end = std::min(size, offset + std::min(length, size - offset));
  std::int64_t ahead = 0;
  if (stream) {
    std::lock_guard lock(stream->mutex);
    // Reads in order may arrive a little shuffled (the kernel sends several
    // at once): within a block of where the last one ended still counts.
    const bool inOrder =
        stream->next >= 0 && offset >= stream->next - kBlock && offset <= stream->next + kBlock;
    stream->streak = inOrder ? stream->streak + (end - offset) : end - offset;
    stream->next = end;
    if (inOrder && stream->streak >= kBlock) ahead = std::min(kMaxAhead, 2 * stream->streak);
  }
  if (wholeFiles()) ahead = 0;
  std::int64_t aheadEnd = std::min(size, end + ahead);
  // The window is topped up once half of it has been read, so that the
  // requests stay large rather than one block each.
  if (ahead > 0 && contents->coveredFrom(end) >= std::min(size, end + ahead / 2)) aheadEnd = end;
  if (contents->has(offset, end - offset) && aheadEnd == end) return;
  fetch(contents, offset, aheadEnd, end, wholeFiles() ? kWhole : kMaxRequest);
}

void ContentReader::ensureAll(const std::shared_ptr<SparseContents>& contents) {
  if (contents->complete()) return;
  fetch(contents, 0, contents->size(), contents->size(), kWhole);
}

void ContentReader::fetch(const std::shared_ptr<SparseContents>& contents, std::int64_t offset,
                          std::int64_t end, std::int64_t need, std::int64_t requestSize) {
  for (int attempt = 0; attempt < kTries; ++attempt) {
    for (auto& claim : contents->claim(offset, end, requestSize)) start(contents, std::move(claim));
    // A stalled engine would hold the reader for the transport's idle
    // limit; once it is known to be stalled the read fails at once.
    if (contents->waitFor(offset, need, [this] { giveUpIfStalled(); })) return;
    // An engine that ignores ranges answers with the whole file: the first
    // such answer is enough to know.
    if (wholeFiles()) requestSize = kWhole;
  }
  throw Refusal(EIO, "the engine did not deliver the bytes asked for");
}

void ContentReader::giveUpIfStalled() const {
  if (bridge_.presence().stalled()) throw Refusal(EIO, "the engine does not answer");
}

void ContentReader::start(const std::shared_ptr<SparseContents>& contents,
                          SparseContents::Claim claim) {
  {
    std::lock_guard lock(mutex_);
    ++inFlight_;
  }
  if (bridge_.presence().stalled()) {
    // Not sent: it would wait on the engine for the transport's idle limit.
    delivered(contents, claim, std::nullopt, nullptr, {},
              host::Error::fileProvider(host::codes::kServerUnreachable));
    return;
  }
  const host::Request request{};
  if (partial_ && !wholeFiles_.load()) {
    const host::ByteRange range{claim.offset, claim.length};
    partial_->fetchPartialContents(
        contents->identifier(), std::nullopt, request, range, kBlock, 0,
        [this, contents, claim](std::optional<fs::path> file, std::shared_ptr<const host::Item> item,
                                host::ByteRange got, host::MaterializationFlags,
                                std::optional<host::Error> error) {
          delivered(contents, claim, std::move(file), std::move(item), got, std::move(error));
        });
    return;
  }
  bridge_.extension()->fetchContents(
      contents->identifier(), std::nullopt, request,
      [this, contents, claim](std::optional<fs::path> file, std::shared_ptr<const host::Item> item,
                              std::optional<host::Error> error) {
        host::ByteRange whole{0, item ? item->documentSize().value_or(0) : 0};
        delivered(contents, claim, std::move(file), std::move(item), whole, std::move(error));
      });
}

void ContentReader::delivered(const std::shared_ptr<SparseContents>& contents,
                              const SparseContents::Claim& claim, std::optional<fs::path> file,
                              std::shared_ptr<const host::Item> item, host::ByteRange range,
                              std::optional<host::Error> error) {
  std::exception_ptr failure;
  try {
    if (error) throw host::Error(*error);
    if (!file || !item) throw host::Error::fileProvider(host::codes::kServerUnreachable);
    bridge_.presence().answered();
    const std::string version = item->itemVersion().contentVersion;
    const std::int64_t size = std::max<std::int64_t>(0, item->documentSize().value_or(0));
    if (range.offset == 0 && range.length == size && claim.length < size) wholeFiles_ = true;
    std::shared_ptr<SparseContents> target = contents;
    if (version != contents->version() || size != contents->size()) {
      // The file changed since these contents were opened. Its new bytes
      // are worth keeping under their own version; the old version's
      // missing blocks can no longer be had.
      target = contents_.open(contents->identifier(), version, size);
      contents->supersede(item);
      contents_.drop(*contents);
    }
    contents_.grew(*target, target->store(*file, range.offset, range.length));
  } catch (...) {
    failure = std::current_exception();
  }
  if (file) {
    std::error_code ec;
    fs::remove(*file, ec);
  }
  contents->finish(claim.pending, failure);
  std::lock_guard lock(mutex_);
  --inFlight_;
  idle_.notify_all();
}

}  // namespace corvane::mount
