#include "corvane-mount/rename_journal.h"

#include <algorithm>
#include <system_error>

#include "corvane-mount/record_file.h"
#include "platform/folders.h"
#include "platform/uuid.h"

namespace corvane::mount {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHeader = "corvane-replace 1";
constexpr std::string_view kSuffix = ".replace";

bool isIntentName(const std::string& name) { return name.ends_with(kSuffix); }

}  // namespace

RenameJournal::RenameJournal(fs::path folder) : folder_(std::move(folder)) {
  fs::create_directories(folder_);
  platform::ensurePrivateFolder(folder_);
  // A file that is not an intent is one whose writing was cut short.
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (!isIntentName(it->path().filename().string())) fs::remove(it->path(), ec);
  }
}

void RenameJournal::write(const Token& token, const ReplaceIntent& intent) const {
  records::Fields fields = {{"folder", intent.folder}, {"name", intent.name},
                            {"aside", intent.aside}};
  for (const auto& version : intent.versions) fields.emplace_back("version", version);
  records::write(token, folder_, kHeader, fields, /*durable=*/true);
}

RenameJournal::Token RenameJournal::begin(const ReplaceIntent& intent) {
  Token token = folder_ / (platform::newUUID() + std::string(kSuffix));
  {
    std::lock_guard lock(mutex_);
    owned_.insert(token);
  }
  try {
    write(token, intent);
  } catch (...) {
    std::lock_guard lock(mutex_);
    owned_.erase(token);
    throw;
  }
  return token;
}

void RenameJournal::update(const Token& token, const ReplaceIntent& intent) {
  write(token, intent);
}

void RenameJournal::finish(const Token& token) {
  std::error_code ec;
  fs::remove(token, ec);
  std::lock_guard lock(mutex_);
  owned_.erase(token);
}

void RenameJournal::abandon(const Token& token) {
  std::lock_guard lock(mutex_);
  owned_.erase(token);
}

std::vector<std::pair<RenameJournal::Token, ReplaceIntent>> RenameJournal::unfinished() const {
  std::vector<std::pair<Token, ReplaceIntent>> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder_, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const Token& token = it->path();
    if (!isIntentName(token.filename().string())) continue;
    {
      std::lock_guard lock(mutex_);
      if (owned_.count(token)) continue;
    }
    // Fields repeat ("version"), so they are read in order.
    auto fields = records::readAll(token, kHeader);
    if (!fields) continue;
    ReplaceIntent intent;
    for (const auto& [key, value] : *fields) {
      if (key == "folder") intent.folder = value;
      if (key == "name") intent.name = value;
      if (key == "aside") intent.aside = value;
      if (key == "version") intent.versions.push_back(value);
    }
    if (intent.name.empty() || intent.aside.empty()) continue;
    out.emplace_back(token, std::move(intent));
  }
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

}  // namespace corvane::mount
