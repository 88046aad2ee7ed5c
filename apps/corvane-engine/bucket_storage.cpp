#include "bucket_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "bucket_poller.h"
#include "host_log.h"
#include "platform/file_copy.h"
#include "platform/quoted_text.h"
#include "platform/unique_fd.h"
#include "s3/s3_encoding.h"
#include "scope_errors.h"
#include "scope_paths.h"

namespace corvane::syncengine {
using platform::quotedInput;
using platform::UniqueFd;
namespace {

// The longest key an S3-compatible store takes, in bytes of UTF-8.
constexpr std::size_t kMaxKeyBytes = 1024;

// Copies of a folder's keys in flight at once: enough to hide the round
// trips, few enough not to crowd out the requests of other clients.
constexpr int kCopiesInFlight = 4;
// Objects whose time one comparison of a watched folder asks for, and how
// many at once: a folder full of objects not seen before (another machine's)
// is learnt over several polls instead of holding one up for long. The
// comparison of the whole prefix asks for none: its cost must not grow with
// the objects others wrote.
constexpr std::size_t kTimesLearntPerWalk = 1000;
constexpr int kHeadsInFlight = 8;
// How long what the scope learnt of a path is trusted (see KnownKeys), and
// how many paths it remembers; folders of more entries than
// kLargestKnownListing are not remembered, they would crowd out the rest.
constexpr auto kKnownFor = std::chrono::minutes(10);
constexpr std::size_t kKnownPaths = 100'000;
constexpr std::size_t kLargestKnownListing = 10'000;

// Runs `work(i)` for every i below `count` on up to `threads` threads, this
// one among them.
template <typename Work>
void inParallel(std::size_t count, int threads, Work work) {
  std::atomic<std::size_t> next{0};
  auto run = [&] {
    for (std::size_t i = next++; i < count; i = next++) work(i);
  };
  std::vector<std::jthread> helpers;
  for (std::size_t t = 1; t < std::min<std::size_t>(static_cast<std::size_t>(threads), count);
       ++t) {
    helpers.emplace_back(run);
  }
  run();
}

std::int64_t milliseconds(s3::Timestamp time) {
  return std::chrono::floor<std::chrono::milliseconds>(time).time_since_epoch().count();
}

// Notes the LastModified of a listing's objects, to the millisecond, by key.
void noteTimes(const s3::S3ListPage& page, std::unordered_map<std::string, std::int64_t>& listed) {
  for (const auto& object : page.objects) listed[object.key] = milliseconds(object.lastModified);
}

// The file's modification time, as the metadata of the object written from it.
std::map<std::string, std::string> timeMetadata(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  return {{s3::kMtimeMetadata, mtimeMetadataText(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)}};
}

// What the store said, as the API's error of the same meaning. The text
// carries the store's advice where it has some (see S3Error::Problem).
ApiError storeError(const s3::S3Error& e) {
  using Problem = s3::S3Error::Problem;
  switch (e.problem()) {
    case Problem::kWrongRegion:
    case Problem::kSkewedClock:
    case Problem::kInvalidBucketName:
    case Problem::kNotAStore:
      // The engine's settings do not fit the store: nothing the user does to
      // the item helps.
      return ApiError(502, std::string("The store failed: ") + e.what());
    case Problem::kCredentials:
    case Problem::kArchived:
    case Problem::kObjectLock:
    case Problem::kWriteRefused:
      return ApiError(403, std::string("The store refused access: ") + e.what());
    case Problem::kOther:
      break;
  }
  if (e.isNotFound()) return notFound(std::string("The store has no such item: ") + e.what());
  if (e.isForbidden()) return ApiError(403, std::string("The store refused access: ") + e.what());
  if (e.isConflict() || e.isPreconditionFailed()) {
    return conflict(std::string("The store refused a write that conflicts: ") + e.what());
  }
  return ApiError(502, std::string("The store failed: ") + e.what());
}

template <typename F>
auto storeCall(F&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const s3::S3Error& e) {
    throw storeError(e);
  }
}

bool refusedCondition(const s3::S3Error& e) { return e.isPreconditionFailed() || e.isConflict(); }

// The source of an upload, read straight into the store when it is placed.
class SourceFile : public StagedFile {
 public:
  explicit SourceFile(UniqueFd fd) : fd(std::move(fd)) {}
  UniqueFd fd;
};

int sourceOf(StagedFile& staged) { return static_cast<SourceFile&>(staged).fd.get(); }

class ObjectReader : public FileReader {
 public:
  using Describe = std::function<ItemState(const s3::S3ObjectInfo&)>;
  ObjectReader(const s3::S3Client& client, std::string key, Describe describe)
      : client_(client), key_(std::move(key)), objectState(std::move(describe)) {}
  ItemState copyTo(int fd, const std::optional<ByteSpan>& span) override {
    // Whatever version is there when the bytes are read is the one
    // reported: the state always describes the bytes delivered.
    s3::S3GetOptions options;
    if (span) {
      // No bytes, or none left past the end, cannot be asked as a range:
      // the object's state is all there is to give.
      if (span->length == 0) return objectState(storeCall([&] { return client_.head(key_); }));
      const auto first = static_cast<std::uint64_t>(span->offset);
      const auto last = first + static_cast<std::uint64_t>(span->length) - 1;
      options.range = s3::S3Range::between(first, last);
    }
    try {
      const s3::S3GetResult got = client_.getToFd(key_, fd, options);
      return objectState(got.object);
    } catch (const s3::S3Error& e) {
      if (!span || e.httpStatus() != 416) throw storeError(e);
    }
    return objectState(storeCall([&] { return client_.head(key_); }));
  }

 private:
  const s3::S3Client& client_;
  std::string key_;
  Describe objectState;
};

}  // namespace

BucketStorage::BucketStorage(std::unique_ptr<s3::S3Client> client, std::string prefix,
                             std::string scopeName, BucketWatch watch)
    : client_(std::move(client)),
      keys_(std::move(prefix)),
      scopeName_(std::move(scopeName)),
      watch_(watch),
      known_(kKnownFor, kKnownPaths),
      capabilities_(*client_, keys_.folderKey("") + std::string(kProbeName)) {}

std::string BucketStorage::identity() const {
  std::string text = "s3 " + client_->config().endpoint + " " + client_->bucket();
  if (!keys_.prefix().empty()) text += "/" + keys_.prefix();
  return text;
}

// Nothing of the engine's own outlives a run in the bucket: a multipart
// upload that fails is aborted at once.
void BucketStorage::prepare(bool writable) {
  if (writable) capabilities_.settle(log_, scopeName_);
}

void BucketStorage::changedElsewhere(const std::string& path) {
  if (!path.empty()) known_.forget(path);
}

std::unique_ptr<ChangeWatcher> BucketStorage::watcher(ChangeWatcher::Callback onChanges) {
  return std::make_unique<BucketPoller>(*this, watch_, std::move(onChanges));
}

bool BucketStorage::anyKeyBelow(const std::string& folderKey) const {
  // No key is that long, and the store refuses to be asked for one: a path
  // that long is not there, and asking must not fail.
  if (folderKey.size() > kMaxKeyBytes) return false;
  const s3::S3ListPage page = storeCall([&] { return client_->listPage(folderKey, "", {}, 1); });
  return !page.objects.empty();
}

std::optional<s3::S3ObjectInfo> BucketStorage::headOf(const std::string& path) const {
  if (keys_.key(path).size() > kMaxKeyBytes) return std::nullopt;  // see anyKeyBelow
  try {
    return client_->head(keys_.key(path));
  } catch (const s3::S3Error& e) {
    if (e.isNotFound()) return std::nullopt;
    throw storeError(e);
  }
}

ItemState BucketStorage::described(const s3::S3ObjectInfo& object) const {
  ItemState state = objectState(object);
  if (!object.metadata) return state;
  // HEAD and GET tell the LastModified to the second only.
  ObjectTimeRecord record{object.key, state.version, milliseconds(object.lastModified), false, {}};
  if (auto it = object.metadata->find(s3::kMtimeMetadata); it != object.metadata->end()) {
    record.mtime = parseMtimeMetadata(it->second);
  }
  times_.learn({record});
  return state;
}

void BucketStorage::applyTimes(ItemList& items, const ListedTimes& listed, bool learn) const {
  struct Unknown {
    std::string key;
    std::int64_t lastModified;
    ItemState* state;
  };
  std::vector<Unknown> unknown;
  std::vector<ObjectTimeRecord> records;
  for (auto& [path, state] : items) {
    if (state.dir) continue;
    std::string key = keys_.key(path);
    const auto at = listed.find(key);
    if (at == listed.end()) continue;
    if (auto known = times_.find(key, state.version, at->second, true)) {
      if (known->mtime) std::tie(state.mtime_sec, state.mtime_nsec) = *known->mtime;
      if (!known->lastModifiedExact) {
        // Now known to the millisecond: a later copy onto itself in the
        // same second shows.
        known->lastModified = at->second;
        known->lastModifiedExact = true;
        records.push_back(std::move(*known));
      }
    } else if (learn && unknown.size() < kTimesLearntPerWalk) {
      unknown.push_back({std::move(key), at->second, &state});
    }
  }
  std::vector<std::optional<ObjectTimeRecord>> learnt(unknown.size());
  inParallel(unknown.size(), kHeadsInFlight, [&](std::size_t i) {
    try {
      const s3::S3ObjectInfo object = client_->head(unknown[i].key);
      ItemState& state = *unknown[i].state;
      // Changed since it was listed: the next comparison sees the new one.
      if (s3::bareEtag(object.etag) != state.version) return;
      // Kept with the listing's LastModified, which later listings show.
      ObjectTimeRecord record{unknown[i].key, state.version, unknown[i].lastModified, true, {}};
      if (object.metadata) {
        if (auto it = object.metadata->find(s3::kMtimeMetadata); it != object.metadata->end()) {
          record.mtime = parseMtimeMetadata(it->second);
        }
      }
      if (record.mtime) std::tie(state.mtime_sec, state.mtime_nsec) = *record.mtime;
      learnt[i] = std::move(record);
    } catch (const std::exception&) {
      // Gone or refused: the listing's time stands until a later try.
    }
  });
  for (auto& record : learnt) {
    if (record) records.push_back(std::move(*record));
  }
  times_.learn(records);
}

void BucketStorage::carryTimes(const std::vector<s3::S3ObjectInfo>& sources,
                               const std::vector<s3::S3ObjectInfo>& copies) const {
  std::vector<ObjectTimeRecord> records;
  std::vector<std::string> gone;
  for (std::size_t i = 0; i < sources.size() && i < copies.size(); ++i) {
    gone.push_back(sources[i].key);
    if (copies[i].key.empty()) continue;
    // A copy keeps its source's metadata, and so its time. Stores differ in
    // how exactly a copy's answer tells its LastModified: the second counts.
    const auto known = times_.find(sources[i].key, s3::bareEtag(sources[i].etag),
                                   milliseconds(sources[i].lastModified), false);
    if (!known) continue;
    records.push_back({copies[i].key, s3::bareEtag(copies[i].etag),
                       milliseconds(copies[i].lastModified), false, known->mtime});
  }
  times_.learn(records);
  times_.forget(gone);
}

ScopeStorage::Kind BucketStorage::storeKindOf(const std::string& path) const {
  if (path.empty()) return Kind::folder;
  // A folder wins over an object of the same name.
  if (anyKeyBelow(keys_.folderKey(path))) {
    known_.learnt(path, ItemState::folder());
    return Kind::folder;
  }
  if (auto object = headOf(path)) {
    known_.learnt(path, described(*object));
    return Kind::file;
  }
  known_.gone(path);
  return Kind::missing;
}

std::optional<std::optional<ItemState>> BucketStorage::knownAt(const std::string& path) const {
  if (auto known = known_.find(path)) return known;
  if (keys_.key(path).size() > kMaxKeyBytes) return std::optional<ItemState>();  // see anyKeyBelow
  listFolder(parentOf(path), false, true);  // learnt unless it takes more than one page
  return known_.find(path);
}

ScopeStorage::Kind BucketStorage::kindOf(const std::string& path) const {
  if (path.empty()) return Kind::folder;
  if (auto known = knownAt(path)) {
    if (!*known) return Kind::missing;
    return (*known)->dir ? Kind::folder : Kind::file;
  }
  return storeKindOf(path);
}

std::optional<ItemState> BucketStorage::stateOf(const std::string& path) const {
  if (path.empty()) return ItemState::folder();
  if (auto known = knownAt(path)) return *known;
  switch (storeKindOf(path)) {
    case Kind::folder:
      return ItemState::folder();
    case Kind::file:
      if (auto known = known_.find(path)) return *known;
      break;
    case Kind::missing:
    case Kind::other:
      return std::nullopt;
  }
  if (auto object = headOf(path)) return described(*object);
  return std::nullopt;
}

std::optional<std::vector<ItemEntry>> BucketStorage::list(const std::string& dir) const {
  // A listing asks for nothing more: it reports what was learnt before.
  auto items = listFolder(dir, false, false);
  if (!items) return std::nullopt;
  std::vector<ItemEntry> entries;
  entries.reserve(items->size());
  for (auto& [path, state] : *items) entries.push_back({std::move(path), std::move(state)});
  return entries;
}

std::optional<ItemList> BucketStorage::listForChanges(const std::string& dir) const {
  return listFolder(dir, true, false);
}

std::optional<ItemList> BucketStorage::listFolder(const std::string& dir, bool learn,
                                                  bool onePage) const {
  if (keys_.folderKey(dir).size() > kMaxKeyBytes) return std::nullopt;  // see anyKeyBelow
  FolderListing listing(dir, keys_.folderKey(dir));
  ListedTimes listed;
  const auto asked = KnownKeys::Clock::now();
  if (onePage) {
    const s3::S3ListPage page =
        storeCall([&] { return client_->listPage(keys_.folderKey(dir), "/", {}); });
    if (!page.nextContinuationToken.empty()) return std::nullopt;
    noteTimes(page, listed);
    listing.add(page);
  } else {
    storeCall([&] {
      client_->listAll(keys_.folderKey(dir), "/", [&](s3::S3ListPage& page) {
        noteTimes(page, listed);
        listing.add(page);
        return true;
      });
    });
  }
  if (!dir.empty() && !listing.anything()) {
    known_.listed(dir, {}, false, false, asked);
    return std::nullopt;
  }
  std::vector<SkippedKey> skipped;
  std::vector<ItemEntry> entries = listing.entries(skipped);
  reportSkipped(skipped);
  ItemList items;
  items.reserve(entries.size());
  for (auto& entry : entries) items.emplace_back(std::move(entry.path), std::move(entry.state));
  applyTimes(items, listed, learn);
  if (items.size() <= kLargestKnownListing) {
    entries.clear();
    for (const auto& [path, state] : items) entries.push_back({path, state});
    known_.listed(dir, entries, listing.marked(), true, asked);
  }
  return items;
}

namespace {

// Whether the file key `key` of a page whose last key is `last` may yet turn
// out to be a folder: keys below "key/" would come after `last`. Those are
// `last` itself and the keys it starts with where a byte below "/" follows.
bool undecided(std::string_view key, std::string_view last) {
  if (key.empty() || key.back() == '/') return false;  // a folder's marker
  if (key == last) return true;
  return last.starts_with(key) && static_cast<unsigned char>(last[key.size()]) < '/';
}

}  // namespace

BucketStorage::ScanPage BucketStorage::scanPage(const std::string& after, int keys) const {
  const std::string root = keys_.folderKey("");
  ScanPage result;
  s3::S3ListPage page;
  // The page ends before the first key it cannot decide yet. Should it
  // decide none (keys that each start the next, as "f", "f g"), a longer
  // page is asked for; a whole page of 1,000 such keys ends at its last key
  // all the same.
  for (int want = keys;; want = std::min(2 * want, 1000)) {
    page = storeCall([&] {
      return client_->listPage(root, "", {}, want, after.empty() ? "" : root + after);
    });
    if (page.nextContinuationToken.empty() || page.objects.empty()) {
      result.through.reset();
      break;
    }
    const std::string_view last = std::string_view(page.objects.back().key).substr(root.size());
    std::size_t end = 0;
    while (end < page.objects.size() &&
           !undecided(std::string_view(page.objects[end].key).substr(root.size()), last)) {
      ++end;
    }
    if (end == 0 && want < 1000) continue;
    if (end == 0) end = page.objects.size();
    result.through = page.objects[end - 1].key.substr(root.size());
    break;
  }
  TreeListing listing("", root);
  ListedTimes listed;
  noteTimes(page, listed);
  listing.add(page);
  std::vector<SkippedKey> skipped;
  ItemList items;
  listing.items(items, skipped);
  reportSkipped(skipped);
  for (auto& item : items) {
    const std::string order = item.second.dir ? item.first + "/" : item.first;
    if (order <= after || (result.through && order > *result.through)) continue;
    result.items.push_back(std::move(item));
  }
  applyTimes(result.items, listed, false);
  return result;
}

void BucketStorage::walk(const std::string& path, ItemList& out) const {
  TreeListing listing(path, keys_.folderKey(path));
  ListedTimes listed;
  storeCall([&] {
    client_->listAll(keys_.folderKey(path), "", [&](s3::S3ListPage& page) {
      noteTimes(page, listed);
      listing.add(page);
      return true;
    });
  });
  std::vector<SkippedKey> skipped;
  ItemList items;
  listing.items(items, skipped);
  reportSkipped(skipped);
  applyTimes(items, listed, true);
  out.insert(out.end(), std::make_move_iterator(items.begin()),
             std::make_move_iterator(items.end()));
}

std::unique_ptr<FileReader> BucketStorage::openFile(const std::string& path) const {
  switch (kindOf(path)) {
    case Kind::folder:
      throw fetchOfFolder(path);
    case Kind::file:
      return std::make_unique<ObjectReader>(*client_, keys_.key(path),
                                            [this, path](const s3::S3ObjectInfo& object) {
                                              ItemState state = described(object);
                                              known_.learnt(path, state);
                                              return state;
                                            });
    case Kind::missing:
    case Kind::other:
      break;
  }
  throw noFileAt(path);
}

std::optional<ItemState> BucketStorage::holding(const std::string& path, const ItemState& state,
                                                int source) const {
  struct stat st {};
  if (::fstat(source, &st) != 0 || st.st_size != state.size) return std::nullopt;
  try {
    const auto object = headOf(path);
    if (!object || s3::bareEtag(object->etag) != state.version) return std::nullopt;
    // The ETag is not a hash of the contents for every object (multipart
    // uploads, encrypted stores), so the bytes themselves are compared.
    const UniqueFd copy(::open(std::filesystem::temp_directory_path().c_str(),
                               O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!copy) return std::nullopt;
    s3::S3GetOptions options;
    options.ifMatch = state.version;
    client_->getToFd(keys_.key(path), copy.get(), options);
    if (!platform::sameContents(copy.get(), source)) return std::nullopt;
    return described(*object);
  } catch (const std::exception&) {
    return std::nullopt;  // unreadable: not the same as far as anyone can tell
  }
}

void BucketStorage::checkRoomFor(const std::string& path, Kind kind) const {
  // A folder needs room for its marker, the key with a "/" after it.
  const bool folder = kind == Kind::folder;
  const std::size_t length = keys_.key(path).size() + (folder ? 1 : 0);
  if (length > kMaxKeyBytes) {
    throw badRequest("A path of " + std::to_string(path.size()) +
                     " bytes is too long: with the scope's prefix its " +
                     (folder ? "folder's key (which ends in \"/\")" : "key") + " would have " +
                     std::to_string(length) + " bytes, over the store's limit of " +
                     std::to_string(kMaxKeyBytes) + " bytes of UTF-8 for a key.");
  }
}

std::unique_ptr<StagedFile> BucketStorage::stage(int source, const std::string& path) {
  UniqueFd fd(::fcntl(source, F_DUPFD_CLOEXEC, 0));
  if (!fd) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot keep the upload of " + quotedInput(path));
  }
  return std::make_unique<SourceFile>(std::move(fd));
}

void BucketStorage::makeFolders(const std::string& path, std::vector<std::string>& created) {
  if (path.empty()) return;
  bool missing = false;  // once a folder is missing, so is everything in it
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string prefix = path.substr(0, end);
    const Kind kind = missing ? Kind::missing : kindOf(prefix);
    if (kind == Kind::folder) continue;
    if (kind != Kind::missing) throw fileInTheWay(prefix, path);
    missing = true;
    storeCall([&] { return client_->putBytes(keys_.folderKey(prefix), ""); });
    known_.madeFolder(prefix);
    created.push_back(prefix);
  }
}

void BucketStorage::prepareFolder(const std::string& path, std::vector<std::string>& created) {
  if (path.empty()) return;
  bool missing = false;
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string prefix = path.substr(0, end);
    const Kind kind = missing ? Kind::missing : kindOf(prefix);
    if (kind == Kind::folder) continue;
    if (kind != Kind::missing) throw fileInTheWay(prefix, path);
    missing = true;
    created.push_back(prefix);  // brought about by the item's key
  }
}

ItemState BucketStorage::writtenState(const std::string& path, s3::S3ObjectInfo written,
                                      const std::map<std::string, std::string>& metadata) const {
  // The object carries the metadata it was written with; its LastModified
  // is known to the second from the answer's date (see ObjectTimes).
  written.metadata = metadata;
  ItemState state = described(written);
  known_.learnt(path, state);
  return state;
}

std::optional<ItemState> BucketStorage::settleFailedWrite(const std::string& path, int source,
                                                         const std::optional<std::string>& over,
                                                         const s3::S3Error& failure) const {
  std::optional<s3::S3ObjectInfo> object;
  try {
    object = headOf(path);
  } catch (const ApiError&) {
    throw storeError(failure);  // the store cannot tell: the write's own failure stands
  }
  if (!object) {
    if (over) return std::nullopt;  // deleted meanwhile: the file it was based on is gone
    throw storeError(failure);
  }
  const std::string etag = s3::bareEtag(object->etag);
  if (over && etag == s3::bareEtag(*over)) throw storeError(failure);
  const ItemState state = objectState(*object);
  if (auto ours = holding(path, state, source)) return ours;
  return std::nullopt;
}

std::optional<ItemState> BucketStorage::placeNew(StagedFile& staged, const std::string& path) {
  const Conditions conditions = capabilities_.ifNoneMatch();
  if (conditions == Conditions::honoured) {
    // The condition sees an object at the key, not a folder of that name
    // (keys below "name/"): that is decided from what is known.
    if (kindOf(path) == Kind::folder) return std::nullopt;
  } else if (storeKindOf(path) != Kind::missing) {
    return std::nullopt;
  }
  const std::string key = keys_.key(path);
  s3::S3PutOptions options;
  options.ifNoneMatch = conditions != Conditions::unsupported;
  options.metadata = timeMetadata(sourceOf(staged));
  s3::S3ObjectInfo written;
  try {
    written = client_->putFromFd(key, sourceOf(staged), options);
  } catch (const s3::S3Error& e) {
    known_.forget(path);
    if (refusedCondition(e)) return std::nullopt;
    if (!e.isServerSide()) throw storeError(e);
    return settleFailedWrite(path, sourceOf(staged), std::nullopt, e);
  }
  return writtenState(path, written, options.metadata);
}

std::optional<ItemState> BucketStorage::replace(StagedFile& staged, const std::string& path,
                                                const ItemState& current) {
  const Conditions conditions = capabilities_.ifMatch();
  if (conditions != Conditions::honoured) {
    const auto object = headOf(path);
    if (!object || s3::bareEtag(object->etag) != current.version) {
      known_.forget(path);
      return std::nullopt;
    }
  }
  const std::string key = keys_.key(path);
  s3::S3PutOptions options;
  if (conditions != Conditions::unsupported) options.ifMatch = current.version;
  options.metadata = timeMetadata(sourceOf(staged));
  s3::S3ObjectInfo written;
  try {
    written = client_->putFromFd(key, sourceOf(staged), options);
  } catch (const s3::S3Error& e) {
    known_.forget(path);
    if (refusedCondition(e)) return std::nullopt;
    if (!e.isServerSide()) throw storeError(e);
    return settleFailedWrite(path, sourceOf(staged), current.version, e);
  }
  return writtenState(path, written, options.metadata);
}

std::vector<s3::S3ObjectInfo> BucketStorage::objectsBelow(const std::string& folderKey) const {
  std::vector<s3::S3ObjectInfo> objects;
  storeCall([&] {
    client_->listAll(folderKey, "", [&](s3::S3ListPage& page) {
      for (auto& object : page.objects) objects.push_back(std::move(object));
      return true;
    });
  });
  return objects;
}

void BucketStorage::keepFolder(const std::string& path) {
  if (path.empty()) return;
  const std::string folderKey = keys_.folderKey(path);
  const std::optional<bool> keeps = known_.keepsItself(path);
  if (keeps == true || (!keeps && anyKeyBelow(folderKey))) return;
  storeCall([&] { return client_->putBytes(folderKey, ""); });
  known_.madeFolder(path);
}

std::optional<ItemState> BucketStorage::setModTime(const std::string& path,
                                                   const ItemState& current, std::int64_t sec,
                                                   std::int64_t nsec) {
  const auto object = headOf(path);
  if (!object || s3::bareEtag(object->etag) != current.version) return std::nullopt;
  // The object copied onto itself with new metadata: its bytes stay where
  // they are. The rest of its description goes along unchanged.
  const std::string key = keys_.key(path);
  s3::S3CopyOptions options;
  options.sourceIfMatch = object->etag;
  options.sourceSize = object->size;
  options.replaceMetadata = object->metadata.value_or(std::map<std::string, std::string>{});
  (*options.replaceMetadata)[s3::kMtimeMetadata] = mtimeMetadataText(sec, nsec);
  options.replaceContentHeaders = object->contentHeaders;
  s3::S3ObjectInfo copied;
  try {
    copied = client_->copy(key, key, options);
  } catch (const s3::S3Error& e) {
    known_.forget(path);
    if (refusedCondition(e)) return std::nullopt;
    throw storeError(e);
  }
  return writtenState(path, copied, *options.replaceMetadata);
}

void BucketStorage::remove(const std::string& path, bool folder) {
  if (folder) {
    std::vector<std::string> keys;
    for (const auto& object : objectsBelow(keys_.folderKey(path))) keys.push_back(object.key);
    times_.forget(keys);
    std::vector<s3::S3DeleteFailure> failures;
    try {
      failures = storeCall([&] { return client_->removeMany(keys); });
    } catch (...) {
      known_.forget(path);  // some may be gone
      throw;
    }
    if (!failures.empty()) {
      known_.forget(path);
      throw ApiError(502, "The store kept " + std::to_string(failures.size()) + " of the " +
                              std::to_string(keys.size()) + " objects below " +
                              quotedInput(path) + "; the first, " + shownKey(failures[0].key) +
                              ": " + failures[0].code + " " + failures[0].message);
    }
  } else {
    times_.forget({keys_.key(path)});
    try {
      storeCall([&] { client_->remove(keys_.key(path)); });
    } catch (...) {
      known_.forget(path);
      throw;
    }
  }
  known_.gone(path);
  keepFolder(parentOf(path));
}

bool BucketStorage::move(const std::string& from, const std::string& to, bool folder) {
  // A copy writes over whatever is there: asked of the store, not known.
  if (storeKindOf(to) != Kind::missing) return false;
  known_.forget(from);
  known_.forget(to);
  if (folder) {
    moveFolder(from, to);
  } else {
    const auto object = headOf(from);
    if (!object) throw noFileAt(from);
    s3::S3CopyOptions options;
    options.sourceIfMatch = object->etag;
    options.sourceSize = object->size;
    described(*object);  // what the copy will carry
    const s3::S3ObjectInfo copied =
        storeCall([&] { return client_->copy(keys_.key(from), keys_.key(to), options); });
    carryTimes({*object}, {copied});
    storeCall([&] { client_->remove(keys_.key(from)); });
  }
  known_.gone(from);
  keepFolder(parentOf(from));
  return true;
}

void BucketStorage::moveFolder(const std::string& from, const std::string& to) {
  const std::string fromKey = keys_.folderKey(from);
  const std::string toKey = keys_.folderKey(to);
  const std::vector<s3::S3ObjectInfo> objects = objectsBelow(fromKey);
  // Refused before anything is written: each key below takes the folder's
  // new key in place of its old one.
  const s3::S3ObjectInfo* longest = nullptr;
  for (const auto& object : objects) {
    if (!longest || object.key.size() > longest->key.size()) longest = &object;
  }
  if (longest && toKey.size() + longest->key.size() - fromKey.size() > kMaxKeyBytes) {
    const std::string moved = to + "/" + longest->key.substr(fromKey.size());
    throw badRequest("The folder " + quotedInput(from) + " cannot become " + quotedInput(to) +
                     ": the key of " + quotedInput(moved) + " would have " +
                     std::to_string(toKey.size() + longest->key.size() - fromKey.size()) +
                     " bytes, over the store's limit of " + std::to_string(kMaxKeyBytes) +
                     " bytes of UTF-8 for a key.");
  }

  // Every key is copied before any is deleted: a failure part-way leaves all
  // of them under their old names.
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::atomic<bool>> copied(objects.size());
  std::vector<s3::S3ObjectInfo> copies(objects.size());
  std::exception_ptr firstError;
  std::mutex errorMutex;
  auto work = [&] {
    for (std::size_t i = next++; i < objects.size() && !failed; i = next++) {
      try {
        s3::S3CopyOptions options;
        options.sourceIfMatch = objects[i].etag;
        options.sourceSize = objects[i].size;
        copies[i] =
            client_->copy(objects[i].key, toKey + objects[i].key.substr(fromKey.size()), options);
        copied[i] = true;
      } catch (...) {
        std::lock_guard lock(errorMutex);
        if (!firstError) firstError = std::current_exception();
        failed = true;
      }
    }
  };
  {
    std::vector<std::jthread> threads;
    const std::size_t helpers = std::min<std::size_t>(kCopiesInFlight, objects.size());
    for (std::size_t t = 1; t < helpers; ++t) threads.emplace_back(work);
    work();
  }
  if (firstError) {
    // The copies made so far go again, so that the folder is not left half
    // in both places; should that fail too, they are at least all readable.
    std::vector<std::string> made;
    for (std::size_t i = 0; i < objects.size(); ++i) {
      if (copied[i]) made.push_back(toKey + objects[i].key.substr(fromKey.size()));
    }
    try {
      client_->removeMany(made);
    } catch (const s3::S3Error&) {
    }
    try {
      std::rethrow_exception(firstError);
    } catch (const s3::S3Error& e) {
      throw storeError(e);
    }
  }

  carryTimes(objects, copies);
  std::vector<std::string> old;
  old.reserve(objects.size());
  for (const auto& object : objects) old.push_back(object.key);
  const auto failures = storeCall([&] { return client_->removeMany(old); });
  if (!failures.empty()) {
    throw ApiError(502, "The folder " + quotedInput(from) + " was copied to " + quotedInput(to) +
                            " but the store kept " + std::to_string(failures.size()) +
                            " of its old objects; the first, " + shownKey(failures[0].key) +
                            ": " + failures[0].code + " " + failures[0].message);
  }
}

void BucketStorage::reportSkipped(const std::vector<SkippedKey>& skipped) const {
  if (skipped.empty()) return;
  std::lock_guard lock(skippedMutex_);
  for (const SkippedKey& key : skipped) {
    if (!skippedKeys_.insert(key.key).second) continue;
    hostlog::warning("scope " + scopeName_ + ": the key " + shownKey(key.key) +
                     " is not served: " + key.reason);
  }
}

}  // namespace corvane::syncengine
