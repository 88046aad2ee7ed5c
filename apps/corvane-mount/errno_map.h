// The one table from failures to errno values, and the mount's failure log.
//
// Every failure that leaves the mount's logic reaches the kernel through
// errnoFor(). Refusals that the mount decides itself (a name that exists, a
// folder that is not empty) are thrown as Refusal and carry their errno;
// everything else is a host error, a file error, or unexpected, and maps by
// the table below. Stateless and thread-safe.
#pragma once

#include <exception>
#include <string>
#include <system_error>

#include "host/error.h"

namespace corvane::mount {

// An answer the mount gives on its own, without a failure behind it (ENOENT
// for a name that is not there, ENOTEMPTY, EEXIST, EROFS...). Not logged.
class Refusal : public std::system_error {
 public:
  explicit Refusal(int err, const std::string& what = {})
      : std::system_error(err, std::generic_category(), what) {}
  int err() const { return code().value(); }
};

// The errno for a host error:
//   no such item ENOENT, file name collision EEXIST, no permission (Cocoa 513)
//   EACCES, not authenticated EACCES, server unreachable EIO, a POSIX-domain
//   error its own code, anything else EIO.
int errnoFor(const host::Error& error);

// The errno for any failure: Refusal and file errors keep their errno,
// host::Error maps by the table above, anything else is EIO.
int errnoFor(std::exception_ptr failure);

// True when the failure is a refusal of the mount's own (not logged).
bool isRefusal(std::exception_ptr failure);

// True when a failure to send a change only says that the engine could not
// be asked (it is not running, cannot be reached, or does not know the
// token yet): sending again is worth it as soon as it may be back. Any other
// failure is an answer (the engine refused the change, or failed to carry it
// out) or a fault here, which the same request soon after would meet again.
bool isEngineAway(std::exception_ptr failure);

// One line for the extension's log: "mount <op> <path>: <failure>".
void logFailure(const std::string& op, const std::string& path, std::exception_ptr failure);

// The text of a failure for messages.
std::string describe(std::exception_ptr failure);

}  // namespace corvane::mount
