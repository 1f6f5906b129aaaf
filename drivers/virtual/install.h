// Installs and removes the virtual driver's registrations, for quillon-ctl
// and tests: the driver library runs its own installer (DllRegisterServer /
// DllUnregisterServer on Windows; registerDriver / unregisterDriver on Linux,
// under QUILLON_ASIO_ROOT or /etc/cwASIO).
#pragma once

#include <string>

namespace quillon::virtualdriver {

// Main thread. `binaryPath` names the driver library; on failure `error`
// (when not null) says why.
bool installVirtualDriver(const char* binaryPath, std::string* error);
bool removeVirtualDriver(const char* binaryPath, std::string* error);

} // namespace quillon::virtualdriver
