#include "install.h"

#include "platform/driver_host.h"

namespace quillon::virtualdriver {

bool installVirtualDriver(const char* binaryPath, std::string* error) {
    return platform::runDriverInstaller(binaryPath, true, error);
}

bool removeVirtualDriver(const char* binaryPath, std::string* error) {
    return platform::runDriverInstaller(binaryPath, false, error);
}

} // namespace quillon::virtualdriver
