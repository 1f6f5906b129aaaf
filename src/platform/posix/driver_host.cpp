#include "platform/driver_host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace quillon::platform {

namespace {

std::string g_rootOverride;
bool g_hasRootOverride = false;
// Libraries stay loaded until endDriverHost: a driver's code must outlive
// its object's Release.
std::vector<void*> g_libraries;

std::string driverRoot() {
    if (g_hasRootOverride) {
        return g_rootOverride;
    }
    const char* env = std::getenv("QUILLON_ASIO_ROOT");
    if (env != nullptr && env[0] != '\0') {
        return env;
    }
    return "/etc/cwASIO";
}

// The first line of a small text file; false when it cannot be read.
bool readFirstLine(const std::string& path, std::string* line) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    char buffer[4096];
    bool ok = std::fgets(buffer, sizeof buffer, file) != nullptr;
    std::fclose(file);
    if (!ok) {
        buffer[0] = '\0';
    }
    std::size_t length = std::strcspn(buffer, "\r\n");
    line->assign(buffer, length);
    return true;
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool writeLine(const std::string& path, const char* text) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fprintf(file, "%s\n", text) >= 0;
    return std::fclose(file) == 0 && ok;
}

bool makeDirectories(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            std::string part = path.substr(0, at);
            if (::mkdir(part.c_str(), 0755) != 0 && !isDirectory(part)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

void setDriverRoot(const char* root) {
    g_hasRootOverride = root != nullptr;
    g_rootOverride = root != nullptr ? root : "";
}

void enumerateDriverKeys(DriverKeyVisitor visit, void* context) {
    std::string root = driverRoot();
    DIR* dir = ::opendir(root.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(dir)) {
        // Key names fit the registry's 128-byte name buffer there, so longer
        // ones could not be registered on Windows either.
        if (item->d_name[0] != '.' && std::strlen(item->d_name) < 128) {
            names.emplace_back(item->d_name);
        }
    }
    ::closedir(dir);
    // The registry enumerates case-insensitively; the byte order breaks ties
    // so the order never depends on the file system.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        int order = ::strcasecmp(a.c_str(), b.c_str());
        return order != 0 ? order < 0 : a < b;
    });
    for (const std::string& name : names) {
        std::string key = root + "/" + name;
        std::string path;
        if (!isDirectory(key) || !readFirstLine(key + "/driver", &path) || !isRegularFile(path)) {
            continue;
        }
        std::string description;
        bool hasDescription = readFirstLine(key + "/description", &description);
        DriverKey found{name.c_str(), hasDescription ? description.c_str() : nullptr, nullptr};
        visit(context, found);
    }
}

bool beginDriverHost() {
    return true;
}

void endDriverHost() {
    for (auto it = g_libraries.rbegin(); it != g_libraries.rend(); ++it) {
        ::dlclose(*it);
    }
    g_libraries.clear();
}

void* createDriverObject(const char* keyName, const ClassId&) {
    std::string path;
    if (!readFirstLine(driverRoot() + "/" + keyName + "/driver", &path) || path.empty()) {
        return nullptr;
    }
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return nullptr;
    }
    using Instantiate = void* (*)();
    auto instantiate = reinterpret_cast<Instantiate>(::dlsym(library, "instantiateDriver"));
    void* object = instantiate != nullptr ? instantiate() : nullptr;
    if (object == nullptr) {
        ::dlclose(library);
        return nullptr;
    }
    g_libraries.push_back(library);
    return object;
}

bool driverTakesInstanceName() {
    return true;
}

bool writeDriverRegistration(const DriverRegistration& registration) {
    std::string key = driverRoot() + "/" + registration.keyName;
    if (!makeDirectories(key)) {
        return false;
    }
    if (registration.serverPath != nullptr &&
        !writeLine(key + "/driver", registration.serverPath)) {
        return false;
    }
    if (registration.description != nullptr &&
        !writeLine(key + "/description", registration.description)) {
        return false;
    }
    return true;
}

bool removeDriverRegistration(const DriverRegistration& registration) {
    std::string key = driverRoot() + "/" + registration.keyName;
    if (!isDirectory(key)) {
        return true;
    }
    ::unlink((key + "/driver").c_str());
    ::unlink((key + "/description").c_str());
    return ::rmdir(key.c_str()) == 0;
}

bool runDriverInstaller(const char* libraryPath, bool install, std::string* error) {
    void* library = ::dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        if (error != nullptr) {
            const char* text = ::dlerror();
            *error = text != nullptr ? text : "cannot load the driver library";
        }
        return false;
    }
    const char* symbol = install ? "registerDriver" : "unregisterDriver";
    using Entry = int (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(library, symbol));
    bool ok = false;
    if (entry == nullptr) {
        if (error != nullptr) {
            *error = std::string("the library does not export ") + symbol;
        }
    } else if (int result = entry(); result != 0) {
        if (error != nullptr) {
            *error = std::string(symbol) + " failed with " + std::to_string(result);
        }
    } else {
        ok = true;
    }
    ::dlclose(library);
    return ok;
}

} // namespace quillon::platform
