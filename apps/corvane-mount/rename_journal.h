// RenameJournal: the renames over an existing file that are under way, kept
// durably in the cache folder so that a crash cannot leave one half done.
//
// Such a rename is three steps at the engine: the old file steps aside under
// a hidden name of the mount's making, the new one takes its name, and the
// old one goes. Before the first step the mount writes its intent here
// (synced, file and folder) and clears it after the last. A run that ends in
// between leaves the intent, by which the next run, or this one once the
// engine answers again, finishes or undoes the rename (FolderOperations).
//
// Owned by FolderOperations. Thread-safe: one mutex guards the intents that
// a rename in progress still owns; unfinished() leaves those out.
#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace corvane::mount {

struct ReplaceIntent {
  std::string folder;  // the folder's path in the domain ("" is the root)
  std::string name;    // the name whose file is replaced
  std::string aside;   // the hidden name the old file steps aside to
  // The old file's content versions as the mount knew them, before and after
  // it stepped aside: a file at the aside name with another version is not
  // the one the mount moved there.
  std::vector<std::string> versions;
};

class RenameJournal {
 public:
  using Token = std::filesystem::path;

  // Creates the folder (private to the user) and drops what a write cut short.
  explicit RenameJournal(std::filesystem::path folder);
  RenameJournal(const RenameJournal&) = delete;
  RenameJournal& operator=(const RenameJournal&) = delete;

  // Records the intent durably; the caller owns it until it lets it go.
  Token begin(const ReplaceIntent& intent);
  // Records what the caller learnt on the way (durably too).
  void update(const Token& token, const ReplaceIntent& intent);
  // The rename is complete, or undone: the intent goes.
  void finish(const Token& token);
  // The rename stopped half-way: the intent stays for unfinished().
  void abandon(const Token& token);

  // The intents that no rename in progress owns: left by a crash, or by a
  // rename that stopped half-way.
  std::vector<std::pair<Token, ReplaceIntent>> unfinished() const;

 private:
  void write(const Token& token, const ReplaceIntent& intent) const;

  const std::filesystem::path folder_;
  mutable std::mutex mutex_;
  std::set<Token> owned_;  // guarded by mutex_
};

}  // namespace corvane::mount
