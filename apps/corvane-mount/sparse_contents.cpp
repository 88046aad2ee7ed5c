#include "corvane-mount/sparse_contents.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <optional>

#include "corvane-mount/record_file.h"

namespace corvane::mount {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kRecordHeader = "corvane-blocks 1";
constexpr char kHex[] = "0123456789abcdef";

[[noreturn]] void fail(const std::string& what, const fs::path& file) {
  throw fs::filesystem_error(what, file, std::error_code(errno, std::generic_category()));
}

// Four blocks a hex digit, the first block in the digit's high bit.
std::string encode(const std::vector<bool>& present) {
  std::string out((present.size() + 3) / 4, '0');
  for (std::size_t d = 0; d < out.size(); ++d) {
    unsigned v = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      const std::size_t i = d * 4 + b;
      if (i < present.size() && present[i]) v |= 8u >> b;
    }
    out[d] = kHex[v];
  }
  return out;
}

std::optional<std::vector<bool>> decode(const std::string& text, std::size_t blocks) {
  if (text.size() != (blocks + 3) / 4) return std::nullopt;
  std::vector<bool> present(blocks, false);
  for (std::size_t d = 0; d < text.size(); ++d) {
    const char c = text[d];
    unsigned v;
    if (c >= '0' && c <= '9') {
      v = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      v = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
    for (std::size_t b = 0; b < 4; ++b) {
      const std::size_t i = d * 4 + b;
      if (v & (8u >> b)) {
        if (i >= blocks) return std::nullopt;
        present[i] = true;
      }
    }
  }
  return present;
}

// Copies `length` bytes of `from` at `fromOffset` into `to` at `toOffset`:
// in the kernel where the file system can, else through a buffer.
void copyInto(int from, std::int64_t fromOffset, int to, std::int64_t toOffset,
              std::int64_t length, const fs::path& file) {
  loff_t in = fromOffset, out = toOffset;
  std::int64_t left = length;
  while (left > 0) {
    ssize_t n = ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(left), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) break;
    if (n < 0) fail("cannot copy fetched bytes", file);
    if (n == 0) break;  // the delivered file is shorter than it said
    left -= n;
  }
  std::vector<char> buffer(1 << 20);
  while (left > 0) {
    ssize_t n = ::pread(from, buffer.data(), std::min<std::int64_t>(left, buffer.size()), in);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("cannot read fetched bytes", file);
    if (n == 0) {
      errno = EIO;
      fail("the fetched file is shorter than delivered", file);
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::pwrite(to, buffer.data() + done, static_cast<std::size_t>(n - done), out + done);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) fail("cannot write fetched bytes", file);
      done += w;
    }
    in += n;
    out += n;
    left -= n;
  }
}

}  // namespace

SparseContents::SparseContents(fs::path file, fs::path tempFolder, std::string identifier,
                               std::string version, std::int64_t size, int fd, bool complete,
                               std::vector<bool> present)
    : tempFolder_(std::move(tempFolder)),
      identifier_(std::move(identifier)),
      version_(std::move(version)),
      size_(size),
      fd_(fd),
      file_(std::move(file)) {
  const auto blocks = static_cast<std::size_t>(blocksFor(size_));
  if (complete || present.size() != blocks) present.assign(blocks, complete);
  present_ = std::move(present);
  fetching_.resize(blocks);
  presentCount_ = std::count(present_.begin(), present_.end(), true);
}

SparseContents::~SparseContents() { ::close(fd_); }

fs::path SparseContents::file() const {
  std::lock_guard lock(mutex_);
  return file_;
}

int SparseContents::duplicate() const {
  int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) fail("cannot open cached contents", file());
  return fd;
}

fs::path SparseContents::recordOf(const fs::path& file) {
  fs::path record = file;
  record += ".blocks";
  return record;
}

void SparseContents::writeRecord(const fs::path& file, const fs::path& tempFolder,
                                 std::int64_t size, const std::vector<bool>& present) {
  records::write(recordOf(file), tempFolder, kRecordHeader,
                 {{"size", std::to_string(size)},
                  {"block", std::to_string(kBlockSize)},
                  {"present", encode(present)}},
                 /*durable=*/false);
}

std::optional<std::vector<bool>> SparseContents::readRecord(const fs::path& file,
                                                            std::int64_t size) {
  auto fields = records::read(recordOf(file), kRecordHeader);
  if (!fields) return std::nullopt;
  auto field = [&](const char* key) {
    auto it = fields->find(key);
    return it == fields->end() ? std::string() : it->second;
  };
  if (records::number(field("size")) != size || records::number(field("block")) != kBlockSize) {
    return std::nullopt;
  }
  return decode(field("present"), static_cast<std::size_t>(blocksFor(size)));
}

std::int64_t SparseContents::blockBytes(std::int64_t block) const {
  return std::min(kBlockSize, size_ - block * kBlockSize);
}

bool SparseContents::allPresent() const {
  return presentCount_ == static_cast<std::int64_t>(present_.size());
}

bool SparseContents::complete() const {
  std::lock_guard lock(mutex_);
  return allPresent();
}

bool SparseContents::has(std::int64_t offset, std::int64_t length) const {
  const std::int64_t end = std::min(size_, offset + length);
  std::lock_guard lock(mutex_);
  for (std::int64_t b = offset / kBlockSize; b * kBlockSize < end; ++b) {
    if (!present_[b]) return false;
  }
  return true;
}

std::int64_t SparseContents::heldBytes() const {
  std::lock_guard lock(mutex_);
  std::int64_t bytes = 0;
  for (std::size_t b = 0; b < present_.size(); ++b) {
    if (present_[b]) bytes += blockBytes(static_cast<std::int64_t>(b));
  }
  return bytes;
}

std::int64_t SparseContents::coveredFrom(std::int64_t offset) const {
  std::lock_guard lock(mutex_);
  std::int64_t b = std::max<std::int64_t>(0, offset) / kBlockSize;
  const auto blocks = static_cast<std::int64_t>(present_.size());
  while (b < blocks && (present_[b] || fetching_[b])) ++b;
  return std::min(size_, b * kBlockSize);
}

std::vector<SparseContents::Claim> SparseContents::claim(std::int64_t offset, std::int64_t end,
                                                         std::int64_t maxRequest) {
  std::vector<Claim> out;
  end = std::min(end, size_);
  std::lock_guard lock(mutex_);
  if (newer_) return out;
  const std::int64_t maxBlocks = std::max<std::int64_t>(1, maxRequest / kBlockSize);
  for (std::int64_t b = offset / kBlockSize; b * kBlockSize < end;) {
    if (present_[b] || fetching_[b]) {
      ++b;
      continue;
    }
    Claim c{b * kBlockSize, 0, std::make_shared<Pending>()};
    for (std::int64_t n = 0; n < maxBlocks && b * kBlockSize < end && !present_[b] && !fetching_[b];
         ++n, ++b) {
      fetching_[b] = c.pending;
      c.length += blockBytes(b);
    }
    out.push_back(std::move(c));
  }
  return out;
}

bool SparseContents::waitFor(std::int64_t offset, std::int64_t end,
                             const std::function<void()>& check) {
  end = std::min(end, size_);
  std::unique_lock lock(mutex_);
  for (std::int64_t b = offset / kBlockSize; b * kBlockSize < end; ++b) {
    while (!present_[b]) {
      if (newer_) throw Superseded(newer_);
      auto pending = fetching_[b];
      if (!pending) return false;
      while (!changed_.wait_for(lock, std::chrono::milliseconds(50),
                                [&] { return pending->done || present_[b] || newer_; })) {
        check();
      }
      if (present_[b]) break;
      if (newer_) throw Superseded(newer_);
      if (pending->done && pending->failure) std::rethrow_exception(pending->failure);
    }
  }
  return true;
}

std::int64_t SparseContents::store(const fs::path& delivered, std::int64_t offset,
                                   std::int64_t length) {
  if (offset < 0 || length <= 0 || offset >= size_) return 0;
  length = std::min(length, size_ - offset);
  // The blocks it fills whole; the last block of the file is whole when it
  // reaches the end.
  const std::int64_t end = offset + length;
  std::int64_t first = (offset + kBlockSize - 1) / kBlockSize;
  std::int64_t last = end == size_ ? blocksFor(size_) : end / kBlockSize;
  if (first >= last) return 0;
  {
    std::lock_guard lock(mutex_);
    bool missing = false;
    for (std::int64_t b = first; b < last && !missing; ++b) missing = !present_[b];
    if (!missing) return 0;
  }
  int from = ::open(delivered.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) fail("cannot open fetched bytes", delivered);
  try {
    const std::int64_t start = first * kBlockSize;
    const std::int64_t stop = std::min(size_, last * kBlockSize);
    // Only the whole blocks, from where they start in the delivered file.
    copyInto(from, start - offset, fd_, start, stop - start, delivered);
  } catch (...) {
    ::close(from);
    throw;
  }
  ::close(from);

  std::int64_t added = 0;
  std::unique_lock lock(mutex_);
  for (std::int64_t b = first; b < last; ++b) {
    if (present_[b]) continue;
    present_[b] = true;
    ++presentCount_;
    added += blockBytes(b);
  }
  if (!retired_ && added > 0) {
    // The record vouches for bytes already written; once every block is
    // here it goes, and the data file stands for itself.
    if (allPresent()) {
      std::error_code ec;
      fs::remove(recordOf(file_), ec);
    } else {
      writeRecord(file_, tempFolder_, size_, present_);
    }
  }
  // Waiters are woken by finish(), once the cache has counted these bytes:
  // a reader that went on before that could see its file evicted late.
  return added;
}

void SparseContents::finish(const std::shared_ptr<Pending>& pending, std::exception_ptr failure) {
  std::lock_guard lock(mutex_);
  pending->done = true;
  pending->failure = failure;
  for (auto& p : fetching_) {
    if (p == pending) p.reset();
  }
  changed_.notify_all();
}

void SparseContents::supersede(std::shared_ptr<const host::Item> item) {
  std::lock_guard lock(mutex_);
  newer_ = std::move(item);
  changed_.notify_all();
}

void SparseContents::retire() {
  std::lock_guard lock(mutex_);
  retired_ = true;
}

void SparseContents::renamed(fs::path file) {
  std::lock_guard lock(mutex_);
  file_ = std::move(file);
}

}  // namespace corvane::mount
