#include "extension/file_provider_extension.h"

#include "diagnostics/errors.h"
#include "engine/engine_error.h"
#include "enumeration/enumerator.h"
#include "platform/log.h"
#include "platform/queue.h"
#include "platform/unicode.h"

namespace corvane {

FileProviderExtension::FileProviderExtension(host::Domain domain, host::ManagerLookup managers)
    : state_(std::make_shared<State>()) {
  state_->domain = std::move(domain);
  state_->engine = std::make_shared<const EngineClient>(state_->domain.identifier);
  state_->managers = std::move(managers);
  Log::write("extension started for domain " + state_->domain.identifier);
}

std::optional<Scope> FileProviderExtension::cachedScope() const { return state_->cached(); }

std::optional<Scope> FileProviderExtension::State::cached() const {
  std::lock_guard lock(mutex_);
  return cachedScope_;
}

Scope FileProviderExtension::State::scope() const {
  if (auto present = cached()) return *present;
  // Bodies that start before the first resolution has finished each ask the
  // engine; the lock is never held across the request.
  for (auto& candidate : engine->scopes()) {
    if (platform::canonicallyEqual(candidate.id(), domain.identifier)) {
      std::lock_guard lock(mutex_);
      cachedScope_ = candidate;
      return candidate;
    }
  }
  throw EngineError::notFound();
}

std::shared_ptr<const Item> FileProviderExtension::State::lookup(const std::string& path,
                                                                 const Scope& scope) const {
  if (path.empty()) return Item::root(scope);
  const auto slash = path.rfind('/');
  const std::string_view name =
      slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
  for (auto& entry : engine->list(Item::parent(path))) {
    if (platform::canonicallyEqual(entry.name, name)) {
      return std::make_shared<const Item>(std::move(entry), scope);
    }
  }
  throw EngineError::notFound();
}

host::ProgressPtr FileProviderExtension::run(std::function<void()> body) {
  auto progress = platform::Progress::withTotalUnitCount(1);
  platform::GlobalQueue::userInitiated().async([body = std::move(body), progress] {
    try {
      body();
    } catch (...) {
      // A body reports its own failures; anything escaping it is dropped.
    }
    progress->setCompletedUnitCount(1);
  });
  return progress;
}

std::shared_ptr<host::Enumerator> FileProviderExtension::enumerator(
    const host::ItemIdentifier& container, const host::Request&) {
  if (platform::canonicallyEqual(container, host::kTrashContainerItemIdentifier)) {
    throw host::Error::fileProvider(host::codes::kNoSuchItem);
  }
  Scope scope;
  try {
    scope = state_->scope();
  } catch (...) {
    // Handed on in its own form, not through the engine mapping.
    throw Errors::bridged(std::current_exception());
  }
  return std::make_shared<Enumerator>(container, state_->engine, std::move(scope));
}

}  // namespace corvane
