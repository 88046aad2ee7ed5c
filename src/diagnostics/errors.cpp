#include "diagnostics/errors.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "engine/decoding.h"
#include "engine/engine_error.h"

namespace corvane::Errors {
namespace {

using host::Error;

std::map<std::string, std::string> described(const std::string& text) {
  return {{std::string(host::kLocalizedDescriptionKey), text}};
}

Error fromEngineError(const EngineError& e) {
  const std::string fp(host::kFileProviderErrorDomain);
  switch (e.kind()) {
    case EngineError::Case::forbidden:
      return Error(std::string(host::kCocoaErrorDomain), host::codes::kCocoaWriteNoPermission,
                   described(e.message()));
    case EngineError::Case::server:
      return Error(fp, host::codes::kServerUnreachable, described(e.message()));
    case EngineError::Case::notRunning:
      return Error(fp, host::codes::kServerUnreachable);
    case EngineError::Case::unauthenticated:
      return Error(fp, host::codes::kNotAuthenticated);
    case EngineError::Case::notFound:
      return Error(fp, host::codes::kNoSuchItem);
    case EngineError::Case::conflict:
      return Error(fp, host::codes::kFilenameCollision);
  }
  return Error(fp, host::codes::kServerUnreachable);
}

Error fromSystemError(const std::system_error& e) {
  std::map<std::string, std::string> info = described(e.what());
  if (e.code().category() == std::generic_category() ||
      e.code().category() == std::system_category()) {
    return Error(std::string(host::kPOSIXErrorDomain), e.code().value(), std::move(info));
  }
  return Error(std::string(host::kPOSIXErrorDomain), EIO, std::move(info));
}

}  // namespace

host::Error bridged(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const host::Error& e) {
    return e;
  } catch (const EngineError& e) {
    return Error("CorvaneSyncFileProvider.EngineError", static_cast<std::int64_t>(e.kind()));
  } catch (const DecodingError& e) {
    return Error(std::string(host::kCocoaErrorDomain), host::codes::kCocoaCoderReadCorrupt,
                 {{std::string(host::kLocalizedDescriptionKey),
                   "The data couldn\u2019t be read because it isn\u2019t in the correct format."},
                  {std::string(host::kDebugDescriptionKey), e.description()}});
  } catch (const std::system_error& e) {  // filesystem_error derives from it
    return fromSystemError(e);
  } catch (const std::exception& e) {
    return Error("CorvaneSyncFileProvider.Error", 0, described(e.what()));
  } catch (...) {
    return Error("CorvaneSyncFileProvider.Error", 0, described("unknown failure"));
  }
}

std::string describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown failure";
  }
}

host::Error map(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const EngineError& e) {
    return fromEngineError(e);
  } catch (...) {
    return bridged(std::current_exception());
  }
}

}  // namespace corvane::Errors
