#include "change_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <stdexcept>

#include "random_hex.h"
#include "scope_paths.h"

namespace corvane::syncengine {
namespace {

// One prepared statement, finalised on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("change log: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& bindNull(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
  }
  // True while there is a row.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw std::runtime_error(std::string("change log: ") + sqlite3_errmsg(db_));
  }
  void run() {
    step();
    reset();
  }
  // Ready to run again, with new bindings.
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::string text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return std::string(data ? data : "",
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Changes and the snapshot keep the storage's seconds and nanoseconds, so
// that answers carry the full time and a comparison after a restart sees
// exactly what a live one would.
constexpr const char* kSchema = R"(
  CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
  CREATE TABLE IF NOT EXISTS changes(
    seq INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL,
    dir INTEGER NOT NULL, size INTEGER NOT NULL, mtime_sec INTEGER NOT NULL,
    mtime_nsec INTEGER NOT NULL, version TEXT NOT NULL, deleted INTEGER NOT NULL);
  CREATE TABLE IF NOT EXISTS snapshot(
    path TEXT PRIMARY KEY, dir INTEGER NOT NULL, size INTEGER NOT NULL,
    mtime_sec INTEGER NOT NULL, mtime_nsec INTEGER NOT NULL, version TEXT NOT NULL) WITHOUT ROWID;
)";

// The snapshot in the order of a bucket's keys (see snapshotRange): a
// comparison of one page of a listing reads only the items of that page.
constexpr const char* kSnapshotOrderIndex =
    "CREATE INDEX IF NOT EXISTS snapshot_order ON snapshot("
    "path || CASE dir WHEN 0 THEN '' ELSE '/' END)";

// Kept apart from the versioned tables: a new layout of the log must not
// forget the work files a crashed engine left in the folder.
constexpr const char* kWorkFilesTable =
    "CREATE TABLE IF NOT EXISTS work_files(path TEXT PRIMARY KEY) WITHOUT ROWID";
// Kept apart too, so that a new layout of the log does not make the engine
// ask a bucket for every object's time again. A NULL time: no metadata.
constexpr const char* kObjectTimesTable =
    "CREATE TABLE IF NOT EXISTS object_times(key TEXT PRIMARY KEY, etag TEXT NOT NULL, "
    "last_modified_ms INTEGER NOT NULL, exact INTEGER NOT NULL, mtime_sec INTEGER, "
    "mtime_nsec INTEGER) WITHOUT ROWID";

// Raised whenever the tables change shape. A database of another layout is
// emptied and starts a new log, whose identity turns old anchors into resets.
constexpr int kSchemaVersion = 3;

std::optional<std::int64_t> parseSeq(std::string_view text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value < 0) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

ChangeLog::ChangeLog(const std::filesystem::path& file, const std::string& storage,
                     std::int64_t retention)
    : retention_(retention) {
  // The log names every file of the scope: keep it private to the user.
  if (const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
  if (sqlite3_open_v2(file.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("cannot open the change log " + file.string() + ": " + message);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    if (schemaVersion() != kSchemaVersion) {
      exec("BEGIN");
      exec(
          "DROP TABLE IF EXISTS changes; DROP TABLE IF EXISTS snapshot; DROP TABLE IF EXISTS "
          "meta;");
      exec(kSchema);
      exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
      exec("COMMIT");
    }
    exec(kWorkFilesTable);
    exec(kObjectTimesTable);
    exec(kSnapshotOrderIndex);
    const auto id = meta("log_id");
    if (!id || meta("storage") != storage) {
      // A new log, or one that described other storage: start over, so that
      // no anchor of the old log is taken for one of this log. Work files of
      // another folder are out of reach.
      exec("BEGIN");
      exec(
          "DELETE FROM changes; DELETE FROM snapshot; DELETE FROM meta; DELETE FROM "
          "work_files; DELETE FROM object_times;");
      setMeta("log_id", randomHex(16));
      setMeta("storage", storage);
      setMeta("pruned_through", "0");
      exec("COMMIT");
      isNew_ = true;
    }
    logId_ = *meta("log_id");
    prunedThrough_ = parseSeq(meta("pruned_through").value_or("0")).value_or(0);
    Statement last(db_, "SELECT seq FROM sqlite_sequence WHERE name = 'changes'");
    lastSeq_ = last.step() ? last.integer(0) : 0;
    if (lastSeq_ < prunedThrough_) lastSeq_ = prunedThrough_;
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

ChangeLog::~ChangeLog() { sqlite3_close(db_); }

void ChangeLog::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("change log: " + message);
  }
}

int ChangeLog::schemaVersion() {
  Statement query(db_, "PRAGMA user_version");
  return query.step() ? static_cast<int>(query.integer(0)) : 0;
}

std::optional<std::string> ChangeLog::meta(std::string_view key) {
  Statement query(db_, "SELECT value FROM meta WHERE key = ?");
  query.bind(1, key);
  if (!query.step()) return std::nullopt;
  return query.text(0);
}

void ChangeLog::setMeta(std::string_view key, const std::string& value) {
  Statement update(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
  update.bind(1, key).bind(2, value).run();
}

// Kept in the meta table under a name of their own, so that no note can be
// taken for the log's own entries; they go with the log when it starts over.
std::optional<std::string> ChangeLog::storageNote(const std::string& name) {
  std::lock_guard lock(mutex_);
  return meta("storage_note." + name);
}

void ChangeLog::keepStorageNote(const std::string& name, const std::string& value) {
  std::lock_guard lock(mutex_);
  setMeta("storage_note." + name, value);
}

namespace {

// The snapshot's columns after the path, as every read of it selects them.
constexpr const char* kStateColumns = "path, dir, size, mtime_sec, mtime_nsec, version";
// Above every path: no UTF-8 text holds the byte 0xff.
constexpr const char* kPastEveryPath = "\xff";

ItemEntry readEntry(const Statement& row) {
  ItemEntry entry;
  entry.path = row.text(0);
  entry.state.dir = row.integer(1) != 0;
  entry.state.size = row.integer(2);
  entry.state.mtime_sec = row.integer(3);
  entry.state.mtime_nsec = row.integer(4);
  entry.state.version = row.text(5);
  return entry;
}

// The first path past every path below the folder path `prefix` ("a/"):
// "a0", since "0" follows "/".
std::string pastBelow(const std::string& prefix) {
  if (prefix.empty()) return kPastEveryPath;
  std::string end = prefix;
  end.back() = '0';
  return end;
}

std::string folderPrefix(const std::string& folder) {
  return folder.empty() ? std::string() : folder + "/";
}

}  // namespace

std::optional<ItemState> ChangeLog::snapshotState(const std::string& path) {
  std::lock_guard lock(mutex_);
  Statement query(db_, (std::string("SELECT ") + kStateColumns + " FROM snapshot WHERE path = ?")
                           .c_str());
  query.bind(1, path);
  if (!query.step()) return std::nullopt;
  return readEntry(query).state;
}

std::vector<ItemEntry> ChangeLog::snapshotRows(const char* where,
                                               const std::vector<std::string>& bounds) {
  std::lock_guard lock(mutex_);
  Statement query(db_, (std::string("SELECT ") + kStateColumns + " FROM snapshot " + where).c_str());
  for (std::size_t i = 0; i < bounds.size(); ++i) query.bind(static_cast<int>(i + 1), bounds[i]);
  std::vector<ItemEntry> rows;
  while (query.step()) rows.push_back(readEntry(query));
  return rows;
}

std::vector<ItemEntry> ChangeLog::snapshotBelow(const std::string& folder) {
  const std::string prefix = folderPrefix(folder);
  return snapshotRows("WHERE path >= ? AND path < ? ORDER BY path", {prefix, pastBelow(prefix)});
}

std::vector<ItemEntry> ChangeLog::snapshotRange(const std::string& after,
                                                const std::optional<std::string>& through) {
  return snapshotRows(
      "WHERE (path || CASE dir WHEN 0 THEN '' ELSE '/' END) > ? AND "
      "(path || CASE dir WHEN 0 THEN '' ELSE '/' END) <= ? "
      "ORDER BY (path || CASE dir WHEN 0 THEN '' ELSE '/' END)",
      {after, through.value_or(kPastEveryPath)});
}

std::vector<ItemEntry> ChangeLog::snapshotChildren(const std::string& folder) {
  const std::string prefix = folderPrefix(folder);
  const std::string end = pastBelow(prefix);
  std::lock_guard lock(mutex_);
  const std::string columns = std::string("SELECT ") + kStateColumns + " FROM snapshot WHERE ";
  Statement from(db_, (columns + "path >= ? AND path < ? ORDER BY path LIMIT 1").c_str());
  Statement past(db_, (columns + "path > ? AND path < ? ORDER BY path LIMIT 1").c_str());
  std::vector<ItemEntry> children;
  // Each step finds the next child; an item deeper down lies in a child
  // folder, whose whole subtree is skipped in one step.
  std::string lower = prefix;
  bool inclusive = true;
  while (true) {
    Statement& query = inclusive ? from : past;
    query.bind(1, lower).bind(2, end);
    if (!query.step()) break;
    ItemEntry row = readEntry(query);
    const std::string_view rest = std::string_view(row.path).substr(prefix.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
      lower = row.path;
      inclusive = false;
      children.push_back(std::move(row));
    } else {
      lower = prefix + std::string(rest.substr(0, slash)) + "0";
      inclusive = true;
    }
    query.reset();
  }
  return children;
}

std::optional<std::string> ChangeLog::note(const std::string& name) {
  std::lock_guard lock(mutex_);
  return meta("note:" + name);
}

void ChangeLog::setNote(const std::string& name, const std::optional<std::string>& value) {
  std::lock_guard lock(mutex_);
  if (value) {
    setMeta("note:" + name, *value);
  } else {
    Statement(db_, "DELETE FROM meta WHERE key = ?").bind(1, "note:" + name).run();
  }
}

void ChangeLog::append(const std::vector<ItemChange>& changes,
                       const std::vector<SnapshotEdit>& edits) {
  if (changes.empty() && edits.empty()) return;
  std::lock_guard lock(mutex_);
  std::int64_t lastSeq = lastSeq_;
  exec("BEGIN IMMEDIATE");
  try {
    Statement insert(db_,
                     "INSERT INTO changes(path, dir, size, mtime_sec, mtime_nsec, version, "
                     "deleted) VALUES(?, ?, ?, ?, ?, ?, ?)");
    for (const ItemChange& c : changes) {
      const ItemState& s = c.entry.state;
      insert.bind(1, c.entry.path).bind(2, std::int64_t{s.dir}).bind(3, s.size);
      insert.bind(4, s.mtime_sec).bind(5, s.mtime_nsec);
      insert.bind(6, s.version).bind(7, std::int64_t{c.deleted}).run();
    }
    Statement store(db_,
                    "INSERT OR REPLACE INTO snapshot(path, dir, size, mtime_sec, mtime_nsec, "
                    "version) VALUES(?, ?, ?, ?, ?, ?)");
    Statement remove(db_, "DELETE FROM snapshot WHERE path = ?");
    for (const auto& [path, state] : edits) {
      if (state) {
        store.bind(1, path).bind(2, std::int64_t{state->dir}).bind(3, state->size);
        store.bind(4, state->mtime_sec).bind(5, state->mtime_nsec);
        store.bind(6, state->version).run();
      } else {
        remove.bind(1, path).run();
      }
    }
    if (!changes.empty()) lastSeq = sqlite3_last_insert_rowid(db_);
    exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  lastSeq_ = lastSeq;
  // Pruning in batches keeps the cost of a delete off most appends.
  if (lastSeq_ - prunedThrough_ > retention_ + retention_ / 10) prune();
}

template <typename Work>
void ChangeLog::inTransaction(Work work) {
  exec("BEGIN IMMEDIATE");
  try {
    work();
    exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void ChangeLog::prune() {
  const std::int64_t through = lastSeq_ - retention_;
  inTransaction([&] {
    Statement remove(db_, "DELETE FROM changes WHERE seq <= ?");
    remove.bind(1, through).run();
    setMeta("pruned_through", std::to_string(through));
  });
  prunedThrough_ = through;
}

void ChangeLog::recordWorkFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  Statement(db_, "INSERT OR IGNORE INTO work_files(path) VALUES(?)").bind(1, path).run();
}

void ChangeLog::forgetWorkFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  Statement(db_, "DELETE FROM work_files WHERE path = ?").bind(1, path).run();
}

std::vector<std::string> ChangeLog::workFiles() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> paths;
  Statement query(db_, "SELECT path FROM work_files");
  while (query.step()) paths.push_back(query.text(0));
  return paths;
}

std::vector<ObjectTimeRecord> ChangeLog::objectTimes() {
  std::lock_guard lock(mutex_);
  std::vector<ObjectTimeRecord> records;
  Statement query(db_,
                  "SELECT key, etag, last_modified_ms, exact, mtime_sec, mtime_nsec FROM "
                  "object_times");
  while (query.step()) {
    ObjectTimeRecord r;
    r.key = query.text(0);
    r.etag = query.text(1);
    r.lastModified = query.integer(2);
    r.lastModifiedExact = query.integer(3) != 0;
    if (!query.isNull(4)) r.mtime = std::pair{query.integer(4), query.integer(5)};
    records.push_back(std::move(r));
  }
  return records;
}

void ChangeLog::storeObjectTimes(const std::vector<ObjectTimeRecord>& records) {
  if (records.empty()) return;
  std::lock_guard lock(mutex_);
  inTransaction([&] {
    Statement store(db_,
                    "INSERT OR REPLACE INTO object_times(key, etag, last_modified_ms, exact, "
                    "mtime_sec, mtime_nsec) VALUES(?, ?, ?, ?, ?, ?)");
    for (const ObjectTimeRecord& r : records) {
      store.bind(1, r.key).bind(2, r.etag).bind(3, r.lastModified);
      store.bind(4, std::int64_t{r.lastModifiedExact});
      if (r.mtime) {
        store.bind(5, r.mtime->first).bind(6, r.mtime->second);
      } else {
        store.bindNull(5).bindNull(6);
      }
      store.run();
    }
  });
}

void ChangeLog::forgetObjectTimes(const std::vector<std::string>& keys) {
  if (keys.empty()) return;
  std::lock_guard lock(mutex_);
  inTransaction([&] {
    Statement remove(db_, "DELETE FROM object_times WHERE key = ?");
    for (const std::string& key : keys) remove.bind(1, key).run();
  });
}

std::string ChangeLog::anchorFor(std::int64_t seq) const {
  return logId_ + ":" + std::to_string(seq);
}

std::string ChangeLog::currentAnchor() {
  std::lock_guard lock(mutex_);
  return anchorFor(lastSeq_);
}

ItemChanges ChangeLog::changesSince(std::string_view anchor, std::size_t limit) {
  std::lock_guard lock(mutex_);
  ItemChanges answer;
  if (anchor == "latest") {
    answer.anchor = anchorFor(lastSeq_);
    return answer;
  }
  std::optional<std::int64_t> seq;
  const std::size_t colon = anchor.rfind(':');
  if (colon != std::string_view::npos && anchor.substr(0, colon) == logId_) {
    seq = parseSeq(anchor.substr(colon + 1));
  }
  // A foreign or malformed anchor, one that predates the retained log, or one
  // past its end (from a log that was replaced) cannot be answered.
  if (!seq || *seq < prunedThrough_ || *seq > lastSeq_) {
    answer.anchor = anchorFor(lastSeq_);
    answer.reset = true;
    return answer;
  }
  Statement query(db_,
                  "SELECT seq, path, dir, size, mtime_sec, mtime_nsec, version, deleted FROM "
                  "changes WHERE seq > ? ORDER BY seq LIMIT ?");
  query.bind(1, *seq).bind(2, static_cast<std::int64_t>(limit));
  std::int64_t last = *seq;
  while (query.step()) {
    last = query.integer(0);
    ItemChange c;
    c.entry.path = query.text(1);
    c.entry.state.dir = query.integer(2) != 0;
    c.entry.state.size = query.integer(3);
    c.entry.state.mtime_sec = query.integer(4);
    c.entry.state.mtime_nsec = query.integer(5);
    c.entry.state.version = query.text(6);
    c.deleted = query.integer(7) != 0;
    answer.changes.push_back(std::move(c));
  }
  answer.anchor = anchorFor(last);
  return answer;
}

}  // namespace corvane::syncengine
