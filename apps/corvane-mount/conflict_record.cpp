#include "corvane-mount/conflict_record.h"

#include <algorithm>

#include "corvane-mount/record_file.h"

namespace corvane::mount {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::system_clock;

constexpr std::string_view kHeader = "corvane-mount conflict copies 1";
constexpr const char* kFileName = "conflict-copies";

std::int64_t millisecondsOf(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

ConflictRecord::ConflictRecord(fs::path cacheFolder) : folder_(std::move(cacheFolder)) {}

std::vector<ConflictCopy> ConflictRecord::read(const fs::path& cacheFolder, Clock::time_point now) {
  std::vector<ConflictCopy> out;
  const auto fields = records::readAll(cacheFolder / kFileName, kHeader);
  if (!fields) return out;
  // Three fields an entry, in this order; an entry that is not whole is left out.
  for (std::size_t i = 0; i + 2 < fields->size(); i += 3) {
    const auto& copy = (*fields)[i];
    const auto& original = (*fields)[i + 1];
    const auto& made = (*fields)[i + 2];
    const auto ms = records::number(made.second);
    if (copy.first != "copy" || original.first != "of" || made.first != "made" || !ms) continue;
    ConflictCopy entry{copy.second, original.second,
                       Clock::time_point(std::chrono::milliseconds(*ms))};
    if (entry.made > now - kKept) out.push_back(std::move(entry));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.made < b.made; });
  return out;
}

void ConflictRecord::add(ConflictCopy copy) {
  std::lock_guard lock(mutex_);
  auto kept = read(folder_, Clock::now());
  kept.push_back(std::move(copy));
  records::Fields fields;
  for (const auto& entry : kept) {
    fields.emplace_back("copy", entry.copy);
    fields.emplace_back("of", entry.original);
    fields.emplace_back("made", std::to_string(millisecondsOf(entry.made)));
  }
  // Not synced: a record lost with a power loss only shortens the status.
  records::write(folder_ / kFileName, folder_ / "tmp", kHeader, fields, /*durable=*/false);
}

}  // namespace corvane::mount
