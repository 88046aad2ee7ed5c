// Readiness and stopping notices for a service manager that started us with
// Type=notify (systemd's NOTIFY_SOCKET protocol). Outside such a manager
// every call does nothing, so the apps call them unconditionally.
//
// Thread-safe: each call sends one datagram and keeps no state.
#pragma once

#include <string>

namespace corvane::service {

// The service is usable from now on: the engine has published its discovery
// file, the mount's folder is mounted. `status` is the one line that
// `systemctl status` shows beside the unit.
void notifyReady(const std::string& status);

// The service has begun to shut down; the manager waits for it to exit.
void notifyStopping(const std::string& status);

}  // namespace corvane::service
