// A scope backed by the keys below a prefix of a bucket on an S3-compatible
// store (BucketKeys says how paths map onto keys). A folder exists while any
// key lies below it; mkdir writes the empty marker "dir/" so that an empty
// folder persists, and so does any operation of the engine's that takes the
// last item out of a folder. Uploads go straight from the source file to the
// store when they are placed (there is nothing to stage): a new file is
// written only where no object is (If-None-Match), a changed one only over
// the version it was based on (If-Match). Where the store honours those
// conditions (StoreCapabilities), the write is the only request; elsewhere a
// HEAD looks first. What is at a path is answered from what the scope learnt
// lately (KnownKeys: its listings, its own writes) before the store is
// asked, and a question about one path is asked as a listing of its folder,
// which answers for the path's siblings too. A write whose answer is a failure of the
// store is settled by the object as it is afterwards: the RADOS Gateway
// answers 500 (UnknownError, its ECANCELED) to the loser of two conditional
// PUTs of one key that cross, which is a lost race, not a failure; and a write
// whose answer was lost may have landed. Renames copy, then delete. Others'
// changes are found by listing the folders hosts look at often and the
// whole prefix, a page at a time, now and then (BucketPoller).
// A file's modification time travels as the object's "mtime" metadata,
// written with every upload; what HEAD and GET tell of it is kept
// (ObjectTimes), listings report it from there, and the comparisons of
// watched folders ask for the objects not seen before, a bounded number each
// time.
//
// Owned by ScopeService; shares the client with no one. Thread-safe as
// ScopeStorage says: the client, the ObjectTimes, the KnownKeys and the
// StoreCapabilities are, and the keys already reported as skipped are
// guarded by skippedMutex_.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "bucket_keys.h"
#include "bucket_poller.h"
#include "known_keys.h"
#include "object_times.h"
#include "s3/s3_client.h"
#include "scope_storage.h"
#include "store_capabilities.h"

namespace corvane::syncengine {

class BucketStorage : public ScopeStorage {
 public:
  // `scopeName` only words the log lines about skipped keys.
  BucketStorage(std::unique_ptr<s3::S3Client> client, std::string prefix, std::string scopeName,
                BucketWatch watch);

  const s3::S3Client& client() const { return *client_; }
  // Keeps the objects' times (see ObjectTimes) and what the store was found
  // to do (StoreCapabilities) in the scope's database from now on; call
  // once, before serving. The log also keeps how far the comparison of the
  // whole prefix went.
  void keepTimesIn(ChangeLog& log) {
    times_.keepIn(log);
    log_ = &log;
  }
  ChangeLog* log() const { return log_; }

  // The children of the folder `dir`, as list() gives them, for a
  // comparison: the times of some of the objects not seen before are asked
  // for and kept. Nothing when no folder is there.
  std::optional<ItemList> listForChanges(const std::string& dir) const;

  // One page of the listing of the whole prefix, past the order key
  // (ChangeLog::snapshotRange) `after`: the items whose order key lies after
  // it and up to `through` (nothing: the listing ended). A page of `keys`
  // keys (up to 1,000) ends where what follows can no longer change what it
  // holds: a key "f" is a file only if no key below "f/" comes later.
  struct ScanPage {
    ItemList items;
    std::optional<std::string> through;
  };
  ScanPage scanPage(const std::string& after, int keys) const;
  const StoreCapabilities& capabilities() const { return capabilities_; }

  std::string identity() const override;
  void prepare(bool writable) override;
  std::unique_ptr<ChangeWatcher> watcher(ChangeWatcher::Callback onChanges) override;

  void changedElsewhere(const std::string& path) override;
  Kind kindOf(const std::string& path) const override;
  std::optional<ItemState> stateOf(const std::string& path) const override;
  std::optional<std::vector<ItemEntry>> list(const std::string& dir) const override;
  void walk(const std::string& path, ItemList& out) const override;
  std::unique_ptr<FileReader> openFile(const std::string& path) const override;
  std::optional<ItemState> holding(const std::string& path, const ItemState& state,
                                   int source) const override;

  void checkRoomFor(const std::string& path, Kind kind) const override;
  std::unique_ptr<StagedFile> stage(int source, const std::string& path) override;
  void makeFolders(const std::string& path, std::vector<std::string>& created) override;
  void prepareFolder(const std::string& path, std::vector<std::string>& created) override;
  std::optional<ItemState> placeNew(StagedFile& staged, const std::string& path) override;
  std::optional<ItemState> replace(StagedFile& staged, const std::string& path,
                                   const ItemState& current) override;
  std::optional<ItemState> setModTime(const std::string& path, const ItemState& current,
                                      std::int64_t sec, std::int64_t nsec) override;
  void remove(const std::string& path, bool folder) override;
  bool move(const std::string& from, const std::string& to, bool folder) override;

 private:
  // Whether any key lies below the folder key `folderKey`.
  bool anyKeyBelow(const std::string& folderKey) const;
  // What is at `path` as the store tells it now (a LIST and a HEAD).
  Kind storeKindOf(const std::string& path) const;
  // What is known of the item at `path` (see KnownKeys::find); when nothing
  // is, its folder is listed, if one page holds it, and that answers.
  std::optional<std::optional<ItemState>> knownAt(const std::string& path) const;
  // The children of the folder `dir`, learnt by KnownKeys; with `learn`,
  // the times of some objects not seen before are asked for and kept; with
  // `onePage`, nothing when they take more than one page.
  std::optional<ItemList> listFolder(const std::string& dir, bool learn, bool onePage) const;
  // The object at the file path `path`; nothing when there is none.
  std::optional<s3::S3ObjectInfo> headOf(const std::string& path) const;
  // The state of an object just written at `key`: the store's own
  // description, so that it matches what listings report later.
  ItemState writtenState(const std::string& path, s3::S3ObjectInfo written,
                         const std::map<std::string, std::string>& metadata) const;
  // The state of an object as HEAD or GET described it; what it tells of
  // the object's time is kept.
  ItemState described(const s3::S3ObjectInfo& object) const;
  // The LastModified of listed objects, to the millisecond, by key.
  using ListedTimes = std::unordered_map<std::string, std::int64_t>;
  // Gives the files among `items` (listed, so at their LastModified, which
  // `listed` tells) the time kept for them; with `learn`, asks for some of
  // those not known yet and keeps what they tell.
  void applyTimes(ItemList& items, const ListedTimes& listed, bool learn) const;
  // Keeps for the objects copied to `to` what was known of their sources.
  void carryTimes(const std::vector<s3::S3ObjectInfo>& sources,
                  const std::vector<s3::S3ObjectInfo>& copies) const;
  // After a conditional write of `source` at `path` (over the object with
  // the ETag `over`, or where none was) that failed with `failure`, what the
  // object now tells: the write's state when the bytes there are ours (it
  // landed and only its answer failed), nothing when another writer's are
  // there or it is gone (a lost race); throws the failure when the object is
  // as it was, so the write did not happen.
  std::optional<ItemState> settleFailedWrite(const std::string& path, int source,
                                             const std::optional<std::string>& over,
                                             const s3::S3Error& failure) const;
  // Writes the marker of the folder `path` when nothing is left below it.
  void keepFolder(const std::string& path);
  // Every object below the folder key `folderKey`, its marker included.
  std::vector<s3::S3ObjectInfo> objectsBelow(const std::string& folderKey) const;
  void moveFolder(const std::string& from, const std::string& to);
  void reportSkipped(const std::vector<SkippedKey>& skipped) const;

  std::unique_ptr<s3::S3Client> client_;
  BucketKeys keys_;
  std::string scopeName_;
  BucketWatch watch_;
  ChangeLog* log_ = nullptr;
  mutable ObjectTimes times_;
  mutable KnownKeys known_;
  StoreCapabilities capabilities_;
  mutable std::mutex skippedMutex_;
  mutable std::set<std::string> skippedKeys_;  // guarded by skippedMutex_
};

}  // namespace corvane::syncengine
