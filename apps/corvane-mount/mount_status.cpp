#include "corvane-mount/mount_status.h"

#include <errno.h>

#include <algorithm>
#include <set>
#include <system_error>

#include "corvane-mount/mount_point.h"
#include "platform/byte_count.h"
#include "platform/iso8601.h"
#include "platform/json_writer.h"

namespace corvane::mount {

UnsentChanges unsentIn(const std::filesystem::path& cacheFolder) {
  UnsentChanges out;
  out.records = ContentCache::recorded(cacheFolder);
  for (const auto& [copy, record] : out.records) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(copy, ec);
    if (!ec) out.bytes += size;  // a copy sent and let go meanwhile counts nothing
  }
  return out;
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;


// Two spellings of one folder compare equal.
fs::path normal(const fs::path& p) {
  std::error_code ec;
  auto out = fs::weakly_canonical(fs::absolute(p, ec), ec);
  return ec ? p.lexically_normal() : out;
}

void readUnsent(MountStatus& status) {
  auto unsent = unsentIn(status.entry.cacheFolder);
  status.unsent = std::move(unsent.records);
  status.unsentBytes = unsent.bytes;
}

void readCopies(MountStatus& status, Clock::time_point now) {
  status.conflictCopies = ConflictRecord::read(status.entry.cacheFolder, now);
}

std::size_t failedCount(const MountStatus& s) {
  return static_cast<std::size_t>(std::count_if(s.unsent.begin(), s.unsent.end(), [](const auto& u) {
    return !u.second.lastFailure.empty();
  }));
}

bool stale(const MountStatus& s, Clock::time_point now) {
  return s.running && now - s.entry.updated > kStatusStale;
}

std::string isoTime(Clock::time_point t) {
  return platform::formatInternetDateTime(std::chrono::floor<std::chrono::seconds>(t));
}

// Text for a terminal: control bytes are shown as \xNN.
std::string shown(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A JSON string of any bytes: bytes that are not UTF-8 become U+FFFD, so
// the document stays valid.
std::string jsonText(const std::string& bytes) {
  try {
    return platform::jsonQuote(bytes);
  } catch (const std::system_error&) {
    std::string ascii;
    for (unsigned char c : bytes) ascii += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\xEF\xBF\xBD";
    return platform::jsonQuote(ascii);
  }
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string shownPath(const std::string& path) { return path.empty() ? "/" : shown(path); }

std::int64_t silentSeconds(const stores::ScopeStoreStatus& store, Clock::time_point now) {
  return std::max<std::int64_t>(
      0, std::chrono::duration_cast<std::chrono::seconds>(now - store.silentSince).count());
}

}  // namespace

namespace {

std::vector<MountStatus> collectMounts(const fs::path& registry,
                                       const std::optional<fs::path>& cacheBase,
                                       const StatusFilter& filter, Clock::time_point now) {
  const fs::path wantedCache = filter.cache.empty() ? fs::path() : normal(filter.cache);
  auto matches = [&](const std::string& domain, const fs::path& cache) {
    if (!filter.domain.empty() && domain != filter.domain) return false;
    if (!wantedCache.empty() && normal(cache) != wantedCache) return false;
    return true;
  };

  std::vector<MountStatus> out;
  std::set<fs::path> shownCaches;
  for (auto& entry : registeredMounts(registry)) {
    if (!matches(entry.domain, entry.cacheFolder)) continue;
    MountStatus s;
    s.registered = true;
    s.running = processRuns(entry.pid, program_invocation_short_name);
    s.entry = std::move(entry);
    readUnsent(s);
    readCopies(s, now);
    if (!s.running) {
      // Read from the mount table: asking the folder itself could hang.
      s.leftMounted = mountedOn(s.entry.mountpoint).has_value();
      // Gone for good, and nothing left behind: nothing to tell.
      if (!s.leftMounted && s.unsent.empty()) continue;
    }
    shownCaches.insert(normal(s.entry.cacheFolder));
    out.push_back(std::move(s));
  }

  if (!filter.domain.empty() || !wantedCache.empty()) {
    if (out.empty()) {
      MountStatus s;
      s.entry.domain = filter.domain;
      if (!wantedCache.empty()) {
        s.entry.cacheFolder = wantedCache;
      } else if (cacheBase) {
        s.entry.cacheFolder = *cacheBase / filter.domain;
      }
      if (!s.entry.cacheFolder.empty()) {
        readUnsent(s);
        readCopies(s, now);
        out.push_back(std::move(s));
      }
    }
  } else if (cacheBase) {
    std::vector<MountStatus> idle;
    std::error_code ec;
    for (auto it = fs::directory_iterator(*cacheBase, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      std::error_code kind;
      if (!it->is_directory(kind) || shownCaches.count(normal(it->path()))) continue;
      MountStatus s;
      s.entry.domain = it->path().filename().string();
      s.entry.cacheFolder = it->path();
      readUnsent(s);
      readCopies(s, now);
      if (!s.unsent.empty()) idle.push_back(std::move(s));
    }
    std::sort(idle.begin(), idle.end(),
              [](const auto& a, const auto& b) { return a.entry.domain < b.entry.domain; });
    for (auto& s : idle) out.push_back(std::move(s));
  }
  return out;
}

}  // namespace

std::vector<MountStatus> collectStatus(const fs::path& registry,
                                       const std::optional<fs::path>& cacheBase,
                                       const StatusFilter& filter,
                                       const std::optional<fs::path>& storeStatus,
                                       Clock::time_point now) {
  std::vector<MountStatus> out = collectMounts(registry, cacheBase, filter, now);
  std::optional<stores::StoreStatusFile> stores;
  if (storeStatus) stores = stores::readStoreStatus(*storeStatus);
  // The file of an engine that ended without removing it tells nothing.
  if (!stores || !processRuns(stores->pid, "corvane-engine")) return out;
  for (MountStatus& s : out) {
    for (const auto& scope : stores->scopes) {
      if (scope.scopeId == s.entry.domain) s.store = scope;
    }
  }
  return out;
}

std::string statusText(const std::vector<MountStatus>& mounts, Clock::time_point now) {
  if (mounts.empty()) return "no mount is running, and no unsent change waits\n";
  std::string out;
  for (const auto& s : mounts) {
    const MountEntry& e = s.entry;
    if (!out.empty()) out += "\n";
    out += shown(e.domain);
    if (!e.displayName.empty() && e.displayName != e.domain) out += " (" + shown(e.displayName) + ")";
    if (s.registered) out += " on " + shown(e.mountpoint.string());
    out += "\n  mount: ";
    if (!s.registered) {
      out += "not mounted; the next mount of this domain sends what is pending\n";
    } else if (!s.running) {
      out += "ended without unmounting (process " + std::to_string(e.pid) + ")";
      if (s.leftMounted) {
        out += "; its folder is left mounted: clear it with `fusermount3 -u " +
               shown(e.mountpoint.string()) + "`";
      }
      out += "\n";
    } else if (stale(s, now)) {
      const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - e.updated).count();
      out += "not answering (process " + std::to_string(e.pid) + ", last heard of " +
             std::to_string(age) + " s ago)\n";
    } else {
      out += "running (process " + std::to_string(e.pid) + ")\n";
    }
    if (s.running) out += "  engine: " + e.engine + "\n";
    if (s.store && !s.store->answering) {
      out += "  store: not answering for " + std::to_string(silentSeconds(*s.store, now)) +
             " s (" + shown(s.store->store) + ")\n";
    }
    out += "  pending uploads: ";
    out += s.unsent.empty() ? std::string("none")
                            : plural(s.unsent.size(), "change", "changes") + ", " +
                                  platform::byteCountText(s.unsentBytes);
    out += "\n";
    const std::size_t failed = failedCount(s);
    out += "  failed changes: " + (failed == 0 ? std::string("none") : std::to_string(failed)) + "\n";
    for (const auto& [copy, r] : s.unsent) {
      if (r.lastFailure.empty()) continue;
      out += "    " + shownPath(r.path) + ": " + shown(r.lastFailure) + " (" +
             (r.isNew ? "new file" : "changed contents") + ", " +
             plural(r.attempts, "attempt", "attempts");
      if (r.since.time_since_epoch().count() > 0) out += ", unsent since " + isoTime(r.since);
      out += ")\n";
    }
    out += "  conflict copies in the last day: " +
           (s.conflictCopies.empty() ? std::string("none")
                                     : std::to_string(s.conflictCopies.size())) +
           "\n";
    for (const auto& c : s.conflictCopies) {
      out += "    " + shownPath(c.copy) + ": a copy of " + shownPath(c.original) + ", made " +
             isoTime(c.made) + "\n";
    }
    if (s.registered) {
      out += "  cache: " + platform::byteCountText(e.cacheBytes) + " of " + platform::byteCountText(e.cacheLimit) + " in " +
             shown(e.cacheFolder.string()) + "\n";
    } else {
      out += "  cache: " + shown(e.cacheFolder.string()) + "\n";
    }
  }
  return out;
}

std::string statusJson(const std::vector<MountStatus>& mounts, Clock::time_point now) {
  std::string list = "[";
  for (const auto& s : mounts) {
    const MountEntry& e = s.entry;
    if (list.size() > 1) list += ",";
    platform::JsonObjectWriter o;
    o.addRaw("domain", jsonText(e.domain));
    o.addRaw("displayName", jsonText(e.displayName.empty() ? e.domain : e.displayName));
    if (s.registered) {
      o.addRaw("mountpoint", jsonText(e.mountpoint.string()));
      o.addInt("pid", e.pid);
    } else {
      o.addNull("mountpoint").addNull("pid");
    }
    const char* state = !s.registered ? "not mounted"
                        : !s.running  ? "ended"
                        : stale(s, now) ? "not answering"
                                        : "running";
    o.addString("mount", state);
    if (s.registered && !s.running) o.addBool("leftMounted", s.leftMounted);
    if (s.running) {
      o.addString("engine", e.engine);
    } else {
      o.addNull("engine");
    }
    if (s.store) {
      platform::JsonObjectWriter store;
      store.addRaw("endpoint", jsonText(s.store->store)).addBool("answering", s.store->answering);
      if (!s.store->answering) store.addInt("notAnsweringSeconds", silentSeconds(*s.store, now));
      o.addRaw("store", std::move(store).str());
    } else {
      o.addNull("store");
    }
    o.addRaw("pendingUploads", platform::JsonObjectWriter()
                                   .addInt("count", static_cast<std::int64_t>(s.unsent.size()))
                                   .addInt("bytes", static_cast<std::int64_t>(s.unsentBytes))
                                   .str());
    std::string failed = "[";
    for (const auto& [copy, r] : s.unsent) {
      if (r.lastFailure.empty()) continue;
      if (failed.size() > 1) failed += ",";
      platform::JsonObjectWriter f;
      f.addRaw("path", jsonText(r.path));
      f.addString("change", r.isNew ? "new file" : "contents");
      f.addRaw("error", jsonText(r.lastFailure));
      f.addInt("attempts", r.attempts);
      if (r.since.time_since_epoch().count() > 0) {
        f.addString("since", isoTime(r.since));
      } else {
        f.addNull("since");
      }
      failed += std::move(f).str();
    }
    failed += "]";
    o.addRaw("failedChanges", failed);
    std::string copies = "[";
    for (const auto& c : s.conflictCopies) {
      if (copies.size() > 1) copies += ",";
      copies += platform::JsonObjectWriter()
                    .addRaw("path", jsonText(c.copy))
                    .addRaw("of", jsonText(c.original))
                    .addString("made", isoTime(c.made))
                    .str();
    }
    copies += "]";
    o.addRaw("conflictCopies", copies);
    o.addRaw("cache", jsonText(e.cacheFolder.string()));
    if (s.registered) {
      o.addInt("cacheBytes", static_cast<std::int64_t>(e.cacheBytes));
      o.addInt("cacheLimit", static_cast<std::int64_t>(e.cacheLimit));
      o.addString("updated", isoTime(e.updated));
    } else {
      o.addNull("cacheBytes").addNull("cacheLimit").addNull("updated");
    }
    list += std::move(o).str();
  }
  list += "]";
  return platform::JsonObjectWriter().addRaw("mounts", list).str() + "\n";
}

}  // namespace corvane::mount
