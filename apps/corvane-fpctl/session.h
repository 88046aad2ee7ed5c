// HostSession: corvane-fpctl's side of the file-provider host for one
// domain. It creates the domain's extension once, with a manager lookup whose
// temporary folder is the host's per-domain folder, starts commands, and hands
// back their results in the order in which they finish. When the domain turns
// out to be another (a scope's name given for its id), commands started from
// then on go to an extension for that one; the earlier extension stays until
// the session ends, since commands of its may still run.
//
// Driven from one thread: start() and next() are called by the owner only.
// The extension's completion handlers (on its background threads) and the
// threads that run enumerator calls report to the session through a queue.
// The session must outlive every command it started: destroy it only after
// next() has returned all of them.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "command.h"
#include "host/extension.h"
#include "result.h"

namespace corvane::fpctl {

class HostSession {
 public:
  // Without a domain only `domains` commands can run.
  explicit HostSession(std::optional<std::string> domain);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // The domain that commands started now go to.
  const std::optional<std::string>& domain() const { return domain_; }
  // Sends the commands started from now on to a new extension for `domain`.
  void useDomain(const std::string& domain);

  // Starts one command and returns at once. An asynchronous entry point is
  // submitted to the extension; an enumerator call or a scope listing, which
  // blocks its caller, runs on a thread of its own.
  void start(const Command& command, int line);

  // Waits until one of the started commands has finished and returns it. For
  // an entry point, its handler has been called and its progress completed;
  // `fetch --output` has moved the file.
  Outcome next();

  // The size of an item as the extension reports it, for showing progress;
  // nothing when it cannot be had within a few seconds.
  std::optional<std::int64_t> documentSize(const host::ItemIdentifier& identifier);

 private:
  struct InFlight;
  struct ReadyQueue;

  void submit(const std::shared_ptr<InFlight>& command);
  static void runBlocking(InFlight& command, host::ReplicatedExtension* extension);
  static void finish(InFlight& command);

  std::optional<std::string> domain_;
  std::shared_ptr<host::ReplicatedExtension> extension_;
  // Extensions of earlier domains, kept while commands of theirs may run.
  std::vector<std::shared_ptr<host::ReplicatedExtension>> retired_;
  std::shared_ptr<ReadyQueue> ready_;
  // The threads of blocking commands not yet handed back by next().
  std::unordered_map<const InFlight*, std::thread> threads_;
};

// The id of the first domain the engine serves: the domain when none is
// given. Throws host::Error: the mapped engine error; no such item when the
// engine serves none.
std::string firstDomain();

}  // namespace corvane::fpctl
