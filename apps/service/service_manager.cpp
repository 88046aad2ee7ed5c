#include "service/service_manager.h"

#include <systemd/sd-daemon.h>

namespace corvane::service {
namespace {

// A status line must not carry a newline: the protocol is one assignment a
// line, and a folder's name may hold one.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

void notify(const char* state, const std::string& status) {
  const std::string message = std::string(state) + "\nSTATUS=" + oneLine(status);
  // A manager that does not listen is no reason to fail; the result is
  // only of interest to the manager itself.
  (void)sd_notify(0, message.c_str());
}

}  // namespace

void notifyReady(const std::string& status) { notify("READY=1", status); }

void notifyStopping(const std::string& status) { notify("STOPPING=1", status); }

}  // namespace corvane::service
