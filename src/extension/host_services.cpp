// The library's side of what host/domains.h and host/error.h offer the hosts.
#include "diagnostics/errors.h"
#include "engine/engine_client.h"
#include "extension/file_provider_extension.h"
#include "host/domains.h"
#include "host/error.h"

namespace corvane::host {

std::vector<ServedDomain> servedDomains() {
  std::vector<Scope> scopes;
  try {
    scopes = EngineClient(std::string()).scopes();
  } catch (...) {
    throw Errors::map(std::current_exception());
  }
  std::vector<ServedDomain> out;
  out.reserve(scopes.size());
  for (const Scope& s : scopes) {
    out.push_back(ServedDomain{Domain{s.id(), s.name}, s.connection, s.scope, s.bucket, s.prefix,
                               s.region, s.versioned, s.write, s.delete_});
  }
  return out;
}

std::shared_ptr<ReplicatedExtension> makeExtension(const Domain& domain, ManagerLookup managers) {
  return std::make_shared<FileProviderExtension>(domain, std::move(managers));
}

Error bridgedError(std::exception_ptr failure) { return Errors::bridged(failure); }

}  // namespace corvane::host
