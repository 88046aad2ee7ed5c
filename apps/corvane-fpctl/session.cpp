#include "session.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <system_error>

#include "host/domains.h"
#include "host/item_paths.h"
#include "host/partial_contents.h"
#include "host/template_item.h"
#include "platform/folders.h"
#include "recording_observers.h"

namespace corvane::fpctl {
namespace fs = std::filesystem;

namespace {

// The host's manager for a domain: its temporary folder is the per-domain
// folder below the user's cache folder.
class FolderManager final : public host::Manager {
 public:
  explicit FolderManager(std::string domain) : domain_(std::move(domain)) {}
  fs::path temporaryDirectoryURL() override { return platform::hostTemporaryFolder(domain_); }

 private:
  const std::string domain_;
};

host::ManagerLookup folderManagers() {
  return [](const host::Domain& domain) -> std::shared_ptr<host::Manager> {
    return std::make_shared<FolderManager>(domain.identifier);
  };
}

// A refusal to write over `path`, as the file error the host would see.
std::exception_ptr existsError(const fs::path& path) {
  return std::make_exception_ptr(
      fs::filesystem_error("fetch --output: the file already exists; remove it or name a new file",
                           path, std::make_error_code(std::errc::file_exists)));
}

// Moves the received file to `to`, never over an existing file; across file
// systems, copies and removes it.
void moveFile(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  const std::error_code ec(errno, std::generic_category());
  if (ec == std::errc::file_exists) std::rethrow_exception(existsError(to));
  // Without RENAME_NOREPLACE (EINVAL on some file systems) the copy below
  // refuses an existing file just as well.
  if (ec != std::errc::cross_device_link && ec != std::errc::invalid_argument) {
    throw fs::filesystem_error("cannot move the received file", from, to, ec);
  }
  std::error_code copied;
  fs::copy_file(from, to, fs::copy_options::none, copied);
  if (copied == std::errc::file_exists) std::rethrow_exception(existsError(to));
  if (copied) {
    std::error_code ignored;
    fs::remove(to, ignored);  // a partial copy; the file did not exist before
    throw fs::filesystem_error("cannot copy the received file", from, to, copied);
  }
  fs::remove(from);
}

// Where `fetch --output` puts the file: into OUTPUT when that is a folder
// (under the item's name, as mv does), else at OUTPUT.
fs::path outputTarget(const fs::path& output, const std::shared_ptr<const host::Item>& item,
                      const fs::path& received) {
  std::error_code ec;
  if (!fs::is_directory(output, ec)) return output;
  const std::string name = item ? item->filename() : std::string();
  return output / (name.empty() || name.find('/') != std::string::npos ? received.filename()
                                                                       : fs::path(name));
}

}  // namespace

struct HostSession::InFlight {
  int line = 0;
  Command command;
  std::string domain;          // the one it was started on
  host::ProgressPtr progress;  // asynchronous entry points only

  std::mutex mutex;
  Result result;
  int handlerCalls = 0;
};

struct HostSession::ReadyQueue {
  std::mutex mutex;
  std::condition_variable available;
  std::deque<std::shared_ptr<InFlight>> finished;

  void push(std::shared_ptr<InFlight> command) {
    {
      std::lock_guard lock(mutex);
      finished.push_back(std::move(command));
    }
    available.notify_one();
  }

  std::shared_ptr<InFlight> pop() {
    std::unique_lock lock(mutex);
    available.wait(lock, [this] { return !finished.empty(); });
    auto command = std::move(finished.front());
    finished.pop_front();
    return command;
  }
};

HostSession::HostSession(std::optional<std::string> domain)
    : domain_(std::move(domain)), ready_(std::make_shared<ReadyQueue>()) {
  if (domain_) {
    extension_ = host::makeExtension(host::Domain{*domain_, *domain_}, folderManagers());
  }
}

void HostSession::useDomain(const std::string& domain) {
  if (extension_) retired_.push_back(std::move(extension_));
  domain_ = domain;
  extension_ = host::makeExtension(host::Domain{domain, domain}, folderManagers());
}

HostSession::~HostSession() {
  for (auto& [command, thread] : threads_) thread.join();
}

void HostSession::start(const Command& command, int line) {
  auto inFlight = std::make_shared<InFlight>();
  inFlight->line = line;
  inFlight->command = command;
  inFlight->domain = domain_.value_or(std::string());
  inFlight->result.kind = command.kind;
  if (command.kind == CommandKind::fetch && command.output) {
    // Refused before downloading anything; a folder is checked for the
    // item's name once the item is known.
    std::error_code ec;
    const auto status = fs::symlink_status(*command.output, ec);
    if (fs::exists(status) && !fs::is_directory(fs::status(*command.output, ec))) {
      inFlight->result.error = host::bridgedError(existsError(*command.output));
      ready_->push(inFlight);
      return;
    }
  }
  if (isAsynchronousEntryPoint(command.kind)) {
    submit(inFlight);
    return;
  }
  threads_.emplace(inFlight.get(),
                   std::thread([inFlight, ready = ready_, extension = extension_.get()] {
                     runBlocking(*inFlight, extension);
                     ready->push(inFlight);
                   }));
}

Outcome HostSession::next() {
  auto command = ready_->pop();
  // A long batch must not pile up finished threads.
  if (auto thread = threads_.find(command.get()); thread != threads_.end()) {
    thread->second.join();
    threads_.erase(thread);
  }
  finish(*command);
  return Outcome{command->line, command->command, std::move(command->result), command->domain};
}

std::optional<std::int64_t> HostSession::documentSize(const host::ItemIdentifier& identifier) {
  if (!extension_) return std::nullopt;
  using Size = std::optional<std::int64_t>;
  auto answer = std::make_shared<std::promise<Size>>();
  auto size = answer->get_future();
  try {
    extension_->item(identifier, host::Request{},
                     [answer](std::shared_ptr<const host::Item> item, std::optional<host::Error>) {
                       try {
                         answer->set_value(item ? item->documentSize() : Size());
                       } catch (const std::future_error&) {
                         // A second call of the handler: the first answered.
                       }
                     });
  } catch (...) {
    return std::nullopt;
  }
  if (size.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return std::nullopt;
  return size.get();
}

void HostSession::submit(const std::shared_ptr<InFlight>& command) {
  const Command& c = command->command;
  auto ready = ready_;
  // Records the first call of a handler and reports the command as finished;
  // later calls are only counted.
  auto complete = [command, ready](auto&& record) {
    bool first = false;
    {
      std::lock_guard lock(command->mutex);
      first = command->handlerCalls++ == 0;
      if (first) record(command->result);
    }
    if (first) ready->push(command);
  };
  const host::Request request;
  try {
    switch (c.kind) {
      case CommandKind::item:
        command->progress = extension_->item(
            c.identifier, request,
            [complete](std::shared_ptr<const host::Item> item, std::optional<host::Error> error) {
              complete([&](Result& r) {
                r.item = std::move(item);
                r.error = std::move(error);
              });
            });
        break;
      case CommandKind::fetch:
        if (c.range) {
          // Discovered as a host discovers an optional protocol.
          auto partial = std::dynamic_pointer_cast<host::PartialContentFetching>(extension_);
          if (!partial) {
            throw host::Error(std::string(host::kPOSIXErrorDomain), ENOTSUP,
                              {{std::string(host::kLocalizedDescriptionKey),
                                "the extension cannot fetch part of a file"}});
          }
          command->progress = partial->fetchPartialContents(
              c.identifier, c.requestedVersion, request, *c.range, c.alignment, 0,
              [complete](std::optional<fs::path> url, std::shared_ptr<const host::Item> item,
                         host::ByteRange delivered, host::MaterializationFlags flags,
                         std::optional<host::Error> error) {
                complete([&](Result& r) {
                  r.url = std::move(url);
                  r.item = std::move(item);
                  if (!error) {
                    r.range = delivered;
                    r.reachesEndOfFile = (flags & host::materialization::kReachesEndOfFile) != 0;
                  }
                  r.error = std::move(error);
                });
              });
          break;
        }
        command->progress = extension_->fetchContents(
            c.identifier, c.requestedVersion, request,
            [complete](std::optional<fs::path> url, std::shared_ptr<const host::Item> item,
                       std::optional<host::Error> error) {
              complete([&](Result& r) {
                r.url = std::move(url);
                r.item = std::move(item);
                r.error = std::move(error);
              });
            });
        break;
      case CommandKind::create:
      case CommandKind::modify: {
        auto handler = [complete](std::shared_ptr<const host::Item> item,
                                  host::ItemFields pendingFields, bool shouldFetchContent,
                                  std::optional<host::Error> error) {
          complete([&](Result& r) {
            r.item = std::move(item);
            r.pendingFields = pendingFields;
            r.shouldFetchContent = shouldFetchContent;
            r.error = std::move(error);
          });
        };
        if (c.kind == CommandKind::create) {
          const host::ItemIdentifier identifier =
              host::paths::identifier(host::paths::child(host::paths::path(c.parent), c.name));
          auto itemTemplate =
              std::make_shared<host::TemplateItem>(identifier, c.parent, c.name, c.contentType);
          const host::ItemFields fields = host::fields::kFilename |
                                          host::fields::kParentItemIdentifier |
                                          (c.contents ? host::fields::kContents : 0);
          command->progress =
              extension_->createItem(itemTemplate, fields, c.contents, 0, request, handler);
        } else {
          auto itemTemplate =
              std::make_shared<host::TemplateItem>(c.identifier, c.parent, c.name, c.contentType);
          command->progress = extension_->modifyItem(
              itemTemplate, host::ItemVersion{c.baseContentVersion, std::string()}, c.fields,
              c.contents, 0, request, handler);
        }
        break;
      }
      case CommandKind::delete_:
        command->progress = extension_->deleteItem(
            c.identifier, host::ItemVersion{c.baseContentVersion, std::string()},
            c.recursive ? host::options::kRecursive : 0, request,
            [complete](std::optional<host::Error> error) {
              complete([&](Result& r) { r.error = std::move(error); });
            });
        break;
      default:
        break;
    }
  } catch (...) {
    // An entry point that throws instead of answering: reported as received,
    // with no handler call.
    {
      std::lock_guard lock(command->mutex);
      command->result.error = host::bridgedError(std::current_exception());
    }
    ready->push(command);
  }
}

void HostSession::runBlocking(InFlight& command, host::ReplicatedExtension* extension) {
  const Command& c = command.command;
  Result& r = command.result;
  if (c.kind == CommandKind::domains) {
    try {
      r.domains = host::servedDomains();
    } catch (const host::Error& error) {
      r.error = error;
    } catch (...) {
      r.error = host::bridgedError(std::current_exception());
    }
    return;
  }
  std::shared_ptr<host::Enumerator> enumerator;
  try {
    enumerator = extension->enumerator(c.identifier, host::Request{});
  } catch (...) {
    r.error = host::bridgedError(std::current_exception());
    return;
  }
  try {
    switch (c.kind) {
      case CommandKind::list: {
        ListingObserver observer(r);
        enumerator->enumerateItems(observer, c.page.value_or(host::Page()));
        observer.wait();
        break;
      }
      case CommandKind::changes: {
        ChangesObserver observer(r);
        enumerator->enumerateChanges(observer, c.anchor);
        observer.wait();
        break;
      }
      case CommandKind::anchor: {
        FinishLatch answered;
        enumerator->currentSyncAnchor([&](std::optional<host::SyncAnchor> anchor) {
          r.anchor = std::move(anchor);
          answered.open();
        });
        answered.wait();
        break;
      }
      default:
        break;
    }
  } catch (...) {
    r.error = host::bridgedError(std::current_exception());
  }
  enumerator->invalidate();
}

void HostSession::finish(InFlight& command) {
  if (command.progress) {
    // The runner completes the progress right after the handler has returned.
    while (!command.progress->isFinished()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::lock_guard lock(command.mutex);
  Result& r = command.result;
  if (isAsynchronousEntryPoint(command.command.kind)) {
    r.handlerCalls = command.handlerCalls;
    if (command.progress) {
      r.completedUnitCount = command.progress->completedUnitCount();
      r.totalUnitCount = command.progress->totalUnitCount();
    }
  }
  const auto& output = command.command.output;
  if (command.command.kind == CommandKind::fetch && output && r.url && !r.error) {
    try {
      const fs::path target = outputTarget(*output, r.item, *r.url);
      moveFile(*r.url, target);
      r.url = target;
    } catch (...) {
      // `url` still names the received file, so the download is not lost.
      r.error = host::bridgedError(std::current_exception());
    }
  }
}

std::string firstDomain() {
  const auto domains = host::servedDomains();
  if (domains.empty()) throw host::Error::fileProvider(host::codes::kNoSuchItem);
  return domains.front().domain.identifier;
}

}  // namespace corvane::fpctl
