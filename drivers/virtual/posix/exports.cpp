// The Linux face of the virtual driver: the entry points that hosts and
// installers look up by name in the shared object.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>

#include "platform/driver_host.h"
#include "virtual_control.h"
#include "virtual_driver.h"

using namespace quillon;

namespace {

// The absolute path of this shared object, for the registrations.
bool modulePath(char* out) {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&modulePath), &info) == 0 || info.dli_fname == nullptr) {
        return false;
    }
    return ::realpath(info.dli_fname, out) != nullptr;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void* instantiateDriver() {
    // The host names the registration through future before init.
    return virtualdriver::createVirtualDriver(-1);
}

__attribute__((visibility("default"))) void releaseDriver(void* object) {
    if (object != nullptr) {
        static_cast<asio::IASIO*>(object)->Release();
    }
}

__attribute__((visibility("default"))) int registerDriver() {
    char path[PATH_MAX];
    if (!modulePath(path)) {
        return -1;
    }
    for (const virtualdriver::Registration& item : virtualdriver::kRegistrations) {
        platform::DriverRegistration registration{item.keyName, nullptr, item.description, path,
                                                  nullptr};
        if (!platform::writeDriverRegistration(registration)) {
            return -1;
        }
    }
    return 0;
}

__attribute__((visibility("default"))) int unregisterDriver() {
    int result = 0;
    for (const virtualdriver::Registration& item : virtualdriver::kRegistrations) {
        platform::DriverRegistration registration{item.keyName, nullptr, nullptr, nullptr, nullptr};
        if (!platform::removeDriverRegistration(registration)) {
            result = -1;
        }
    }
    return result;
}
}
