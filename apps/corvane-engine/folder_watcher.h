// Watches a scope's folder for changes made by other programs (inotify, one
// watch on every folder of the tree) and hands them over in batches: events
// are collected until the folder has been quiet for a moment, then `onChanges`
// gets the paths to compare with the snapshot. A lost event queue (overflow)
// asks for a comparison of the whole tree. The watcher keeps its watches in
// step with folders that appear, vanish or move. When the scope's folder
// itself is removed or moved away, the watcher looks for it again about once
// a second and compares the whole tree once it is back.
//
// Made by LocalStorage, owned by ScopeService; runs one thread of its own
// between start() and stop(). `onChanges` is called on that thread.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "change_watcher.h"

namespace corvane::syncengine {

class FolderWatcher : public ChangeWatcher {
 public:
  FolderWatcher(std::filesystem::path root, Callback onChanges);
  ~FolderWatcher() override;  // stops the thread
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  // Sets up the watches (before the caller's first full comparison, so that
  // nothing done in between is missed) and starts the thread. Throws
  // std::system_error when inotify is not available.
  void start() override;
  void stop() override;

 private:
  void run();
  void drain(std::vector<ChangeTarget>& targets, bool& overflow);
  void watchTree(const std::string& path);
  void unwatchTree(const std::string& path);
  void unwatchAll();

  std::filesystem::path root_;
  Callback onChanges_;
  int inotify_ = -1;
  int wake_[2] = {-1, -1};  // a pipe that ends the thread's wait
  std::thread thread_;
  std::unordered_map<int, std::string> pathOf_;  // watch descriptor -> scope path
  std::map<std::string, int> watchOf_;           // scope path -> watch descriptor
  bool warnedNoSpace_ = false;
};

}  // namespace corvane::syncengine
