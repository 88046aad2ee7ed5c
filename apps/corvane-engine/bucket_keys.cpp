#include "bucket_keys.h"

#include <algorithm>
#include <charconv>
#include <chrono>

#include "host/item_names.h"
#include "platform/unicode.h"
#include "s3/s3_encoding.h"
#include "scope_paths.h"

namespace corvane::syncengine {
namespace {

constexpr const char* kShadowed = "a folder of the same name exists";

}  // namespace

BucketKeys::BucketKeys(std::string prefix) : prefix_(std::move(prefix)) {}

std::string BucketKeys::key(std::string_view path) const {
  if (prefix_.empty()) return std::string(path);
  std::string key;
  key.reserve(prefix_.size() + 1 + path.size());
  key.append(prefix_).append("/").append(path);
  return key;
}

std::string BucketKeys::folderKey(std::string_view path) const {
  if (path.empty()) return prefix_.empty() ? std::string() : prefix_ + "/";
  return key(path) + "/";
}

ItemState objectState(const s3::S3ObjectInfo& object) {
  ItemState state;
  state.size = static_cast<std::int64_t>(object.size);
  state.mtime_sec =
      std::chrono::floor<std::chrono::seconds>(object.lastModified).time_since_epoch().count();
  state.version = s3::bareEtag(object.etag);
  if (object.metadata) {
    if (auto it = object.metadata->find(s3::kMtimeMetadata); it != object.metadata->end()) {
      if (auto time = parseMtimeMetadata(it->second)) {
        state.mtime_sec = time->first;
        state.mtime_nsec = time->second;
      }
    }
  }
  return state;
}

std::string mtimeMetadataText(std::int64_t sec, std::int64_t nsec) {
  // Written as sign, whole seconds and fraction of the distance from the
  // epoch, so that a reader that takes the text for a number gets the time.
  const bool negative = sec < 0;
  std::uint64_t whole = negative ? static_cast<std::uint64_t>(-(sec + 1)) : sec;
  std::int64_t fraction = nsec;
  if (negative && nsec == 0) {
    whole += 1;
  } else if (negative) {
    fraction = 1'000'000'000 - nsec;
  }
  char digits[10];
  auto value = static_cast<std::uint32_t>(fraction);
  for (int i = 8; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  std::string text = negative ? "-" : "";
  text += std::to_string(whole);
  text += '.';
  text.append(digits, 9);
  return text;
}

std::optional<std::pair<std::int64_t, std::int64_t>> parseMtimeMetadata(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  const std::size_t dot = text.find('.');
  const std::string_view wholeText = text.substr(0, dot);
  std::int64_t whole = 0;
  auto [end, ec] = std::from_chars(wholeText.data(), wholeText.data() + wholeText.size(), whole);
  if (wholeText.empty() || ec != std::errc() || end != wholeText.data() + wholeText.size()) {
    return std::nullopt;
  }
  std::int64_t fraction = 0;
  if (dot != std::string_view::npos) {
    const std::string_view fractionText = text.substr(dot + 1);
    if (fractionText.empty()) return std::nullopt;
    int kept = 0;
    for (const char c : fractionText) {
      if (c < '0' || c > '9') return std::nullopt;
      if (kept < 9) {
        fraction = fraction * 10 + (c - '0');
        ++kept;
      }
    }
    for (; kept < 9; ++kept) fraction *= 10;
  }
  if (!negative) return std::pair{whole, fraction};
  if (fraction == 0) return std::pair{-whole, std::int64_t{0}};
  return std::pair{-whole - 1, 1'000'000'000 - fraction};
}

std::string shownKey(std::string_view key) {
  static constexpr char kHex[] = "0123456789abcdef";
  const bool utf8 = platform::isValidUTF8(key);
  std::string out = "\"";
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || (!utf8 && byte >= 0x80)) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::optional<std::string> unfitName(std::string_view name) {
  if (name.empty()) return "it has an empty name (two \"/\" in a row)";
  const host::NameVerdict verdict = host::checkItemName(name);
  if (verdict.ok()) return std::nullopt;
  return "its name " + shownKey(name) + " " + verdict.message;
}

FolderListing::FolderListing(std::string folderPath, std::string folderKey)
    : folderPath_(std::move(folderPath)), folderKey_(std::move(folderKey)) {}

void FolderListing::add(const s3::S3ListPage& page) {
  for (const s3::S3ObjectInfo& object : page.objects) {
    if (!object.key.starts_with(folderKey_)) continue;  // not asked for
    anything_ = true;
    const std::string_view name = std::string_view(object.key).substr(folderKey_.size());
    if (name.empty()) {  // the folder's own marker
      marked_ = true;
      continue;
    }
    if (folderPath_.empty() && name == kProbeName) continue;
    if (auto why = unfitName(name)) {
      skipped_.push_back({object.key, *why});
    } else {
      files_.emplace_back(std::string(name), objectState(object));
    }
  }
  for (const std::string& prefix : page.commonPrefixes) {
    if (!prefix.starts_with(folderKey_) || prefix.size() == folderKey_.size()) continue;
    anything_ = true;
    const std::string_view name =
        std::string_view(prefix).substr(folderKey_.size(), prefix.size() - folderKey_.size() - 1);
    if (auto why = unfitName(name)) {
      skipped_.push_back({prefix, *why});
    } else {
      folders_.emplace_back(name);
    }
  }
}

std::vector<ItemEntry> FolderListing::entries(std::vector<SkippedKey>& skipped) {
  // Keys come in key order, names sort otherwise ("a-b/" before "a/"), so
  // each kind is sorted by name and the two are merged.
  std::sort(files_.begin(), files_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::sort(folders_.begin(), folders_.end());
  std::vector<ItemEntry> entries;
  entries.reserve(files_.size() + folders_.size());
  auto file = files_.begin();
  auto folder = folders_.begin();
  while (file != files_.end() || folder != folders_.end()) {
    if (folder == folders_.end() || (file != files_.end() && file->first < *folder)) {
      entries.push_back({joinPath(folderPath_, file->first), std::move(file->second)});
      ++file;
      continue;
    }
    if (file != files_.end() && file->first == *folder) {
      skipped_.push_back({folderKey_ + file->first, kShadowed});
      ++file;
    }
    entries.push_back({joinPath(folderPath_, *folder), ItemState::folder()});
    ++folder;
  }
  skipped.insert(skipped.end(), skipped_.begin(), skipped_.end());
  return entries;
}

TreeListing::TreeListing(std::string folderPath, std::string folderKey)
    : folderPath_(std::move(folderPath)), folderKey_(std::move(folderKey)) {}

void TreeListing::addFolder(const std::string& path) { folders_.insert(path); }

void TreeListing::add(const s3::S3ListPage& page) {
  for (const s3::S3ObjectInfo& object : page.objects) {
    if (!object.key.starts_with(folderKey_)) continue;
    std::string_view rest = std::string_view(object.key).substr(folderKey_.size());
    if (rest.empty()) continue;  // the folder's own marker
    if (folderPath_.empty() && rest == kProbeName) continue;
    const bool marker = rest.back() == '/';
    if (marker) rest.remove_suffix(1);
    // The folders on the way: the valid leading names, as far as they go.
    std::size_t start = 0;
    bool fit = true;
    while (true) {
      const std::size_t slash = rest.find('/', start);
      const std::string_view name =
          rest.substr(start, slash == std::string_view::npos ? slash : slash - start);
      if (auto why = unfitName(name)) {
        skipped_.push_back({object.key, *why});
        fit = false;
        break;
      }
      if (slash == std::string_view::npos) break;
      const std::string_view parent = rest.substr(0, slash);
      if (parent != lastParent_ || folders_.empty()) {
        addFolder(joinPath(folderPath_, parent));
      }
      start = slash + 1;
    }
    const std::size_t lastSlash = rest.rfind('/');
    if (lastSlash != std::string_view::npos && fit) lastParent_ = rest.substr(0, lastSlash);
    if (!fit) continue;
    const std::string path = joinPath(folderPath_, rest);
    if (marker) {
      addFolder(path);
    } else {
      files_.emplace_back(path, objectState(object));
    }
  }
}

void TreeListing::items(ItemList& out, std::vector<SkippedKey>& skipped) {
  out.reserve(out.size() + files_.size() + folders_.size());
  for (auto& [path, state] : files_) {
    if (folders_.contains(path)) {
      skipped_.push_back({folderKey_ + path.substr(folderPath_.empty() ? 0 : folderPath_.size() + 1),
                          kShadowed});
      continue;
    }
    out.emplace_back(std::move(path), std::move(state));
  }
  for (const std::string& folder : folders_) out.emplace_back(folder, ItemState::folder());
  skipped.insert(skipped.end(), skipped_.begin(), skipped_.end());
}

}  // namespace corvane::syncengine
