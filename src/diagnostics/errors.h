// The one mapping from failures to host errors.
//
// map(): an EngineError becomes the host error of the mapping table; every
// other failure keeps its own identity and only takes its platform form
// (bridged()). Both are pure functions, callable from any thread.
#pragma once

#include <exception>
#include <string>

#include "host/error.h"

namespace corvane::Errors {

host::Error map(std::exception_ptr failure);

// The default platform form of a failure, without the engine mapping:
//  - host::Error: itself;
//  - EngineError: domain "CorvaneSyncFileProvider.EngineError", code = case index, no user info;
//  - DecodingError: "NSCocoaErrorDomain" 4864 with its description;
//  - file errors (std::system_error, filesystem_error): "NSPOSIXErrorDomain" with the errno;
//  - anything else: "CorvaneSyncFileProvider.Error" 0 with its what().
host::Error bridged(std::exception_ptr failure);

// The failure's default textual form, as log lines show it: an EngineError's
// case name with its values, any other error's own description.
std::string describe(std::exception_ptr failure);

}  // namespace corvane::Errors
