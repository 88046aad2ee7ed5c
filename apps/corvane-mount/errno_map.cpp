#include "corvane-mount/errno_map.h"

#include <cerrno>
#include <filesystem>

#include "diagnostics/errors.h"
#include "host_log.h"
#include "platform/log.h"

namespace corvane::mount {

int errnoFor(const host::Error& error) {
  if (error.domain == host::kFileProviderErrorDomain) {
    switch (error.code) {
      case host::codes::kNoSuchItem: return ENOENT;
      case host::codes::kFilenameCollision: return EEXIST;
      case host::codes::kNotAuthenticated: return EACCES;
      case host::codes::kServerUnreachable: return EIO;
      default: return EIO;
    }
  }
  if (error.domain == host::kCocoaErrorDomain &&
      error.code == host::codes::kCocoaWriteNoPermission) {
    return EACCES;
  }
  if (error.domain == host::kPOSIXErrorDomain && error.code > 0 && error.code < 4096) {
    return static_cast<int>(error.code);
  }
  return EIO;
}

int errnoFor(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Refusal& r) {
    return r.err();
  } catch (const host::Error& e) {
    return errnoFor(e);
  } catch (const std::filesystem::filesystem_error& e) {
    return e.code().value() > 0 ? e.code().value() : EIO;
  } catch (const std::system_error& e) {
    return e.code().category() == std::generic_category() ||
                   e.code().category() == std::system_category()
               ? (e.code().value() > 0 ? e.code().value() : EIO)
               : EIO;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (...) {
    return EIO;
  }
}

bool isRefusal(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Refusal&) {
    return true;
  } catch (...) {
    return false;
  }
}

bool isEngineAway(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const host::Error& e) {
    if (e.domain != host::kFileProviderErrorDomain) return false;
    if (e.code == host::codes::kNotAuthenticated) return true;
    // An answer of the engine carries its description; no answer, none.
    return e.code == host::codes::kServerUnreachable &&
           !e.userInfo.count(std::string(host::kLocalizedDescriptionKey));
  } catch (...) {
    return false;
  }
}

std::string describe(std::exception_ptr failure) { return Errors::describe(failure); }

void logFailure(const std::string& op, const std::string& path, std::exception_ptr failure) {
  const std::string line =
      "mount " + op + " " + (path.empty() ? std::string("/") : path) + ": " + describe(failure);
  Log::write(line);
  hostlog::warning(line);
}

}  // namespace corvane::mount
