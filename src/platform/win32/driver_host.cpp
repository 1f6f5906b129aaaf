#include "platform/driver_host.h"

#include <objbase.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace quillon::platform {

namespace {

std::string g_rootOverride;
bool g_hasRootOverride = false;

const char* driverRoot() {
    return g_hasRootOverride ? g_rootOverride.c_str() : "software\\asio";
}

// Reads a string value, terminated whatever was stored. `room` bytes are
// offered, the terminator included, so a value that fills them exactly is
// read; a longer value is read whole when `growable`.
bool readString(HKEY key, const char* value, std::vector<char>& out, DWORD room, bool growable) {
    out.assign(room + 1, '\0');
    DWORD size = room;
    LONG result =
        RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(out.data()), &size);
    if (result == ERROR_MORE_DATA && growable) {
        out.assign(size + 1, '\0');
        result = RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(out.data()),
                                  &size);
    }
    if (result != ERROR_SUCCESS) {
        return false;
    }
    out[size < out.size() ? size : out.size() - 1] = '\0';
    return true;
}

// OpenFile also finds a bare file name on the search path, but it cannot take
// paths of 128 characters or more, which installers do produce; those, and
// values with environment variables (as REG_EXPAND_SZ holds them), are looked
// up directly.
bool serverFileExists(const char* path) {
    char expanded[MAX_PATH * 2];
    if (std::strchr(path, '%') != nullptr) {
        DWORD length = ExpandEnvironmentStringsA(path, expanded, sizeof expanded);
        if (length == 0 || length > sizeof expanded) {
            return false;
        }
        path = expanded;
    }
    if (std::strlen(path) < OFS_MAXPATHNAME) {
        OFSTRUCT info{};
        return OpenFile(path, &info, OF_EXIST) != HFILE_ERROR;
    }
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// 0 when the class is registered with an in-process server file that exists,
// else -1. Lowercases `clsid` in place; the class is found by a linear scan
// comparing lowercased names, so the registry's spelling does not matter.
int findDriverDll(char* clsid) {
    CharLowerBuffA(clsid, static_cast<DWORD>(std::strlen(clsid)));
    HKEY classes = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid", &classes) != ERROR_SUCCESS) {
        return -1;
    }
    int result = -1;
    char name[512];
    for (DWORD index = 0; RegEnumKeyA(classes, index, name, sizeof name) == ERROR_SUCCESS;
         ++index) {
        CharLowerBuffA(name, static_cast<DWORD>(std::strlen(name)));
        if (std::strcmp(name, clsid) != 0) {
            continue;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExA(classes, name, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            HKEY server = nullptr;
            if (RegOpenKeyExA(key, "InprocServer32", 0, KEY_READ, &server) == ERROR_SUCCESS) {
                std::vector<char> path;
                if (readString(server, nullptr, path, 512, false) &&
                    serverFileExists(path.data())) {
                    result = 0;
                }
                RegCloseKey(server);
            }
            RegCloseKey(key);
        }
        break; // the first match decides
    }
    RegCloseKey(classes);
    return result;
}

// HKCR\CLSID\<className>, opened one level at a time with `access`: Wine's
// ANSI registry calls refuse paths past 260 characters, and a class key name
// alone may have 255. Null on failure.
HKEY openClassKey(const char* className, REGSAM access, bool create) {
    HKEY classes = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, nullptr, 0, access, nullptr, &classes,
                        nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    HKEY key = nullptr;
    const LONG result =
        create ? RegCreateKeyExA(classes, className, 0, nullptr, 0, access, nullptr, &key, nullptr)
               : RegOpenKeyExA(classes, className, 0, access, &key);
    RegCloseKey(classes);
    return result == ERROR_SUCCESS ? key : nullptr;
}

std::string setError(const char* what, const char* path) {
    return std::string(what) + " " + path + " (error " + std::to_string(GetLastError()) + ")";
}

} // namespace

void setDriverRoot(const char* root) {
    g_hasRootOverride = root != nullptr;
    g_rootOverride = root != nullptr ? root : "";
}

void enumerateDriverKeys(DriverKeyVisitor visit, void* context) {
    HKEY root = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, driverRoot(), &root) != ERROR_SUCCESS) {
        return;
    }
    char keyName[128];
    for (DWORD index = 0;; ++index) {
        LONG status = RegEnumKeyA(root, index, keyName, sizeof keyName);
        // A name too long for the buffer drops that key, not every key after it.
        if (status == ERROR_MORE_DATA) {
            continue;
        }
        if (status != ERROR_SUCCESS) {
            break;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            continue;
        }
        std::vector<char> clsid;
        if (!readString(key, "clsid", clsid, 256, false) || findDriverDll(clsid.data()) != 0) {
            RegCloseKey(key);
            continue;
        }
        WCHAR wide[100];
        CLSID parsed{};
        bool hasClsid = MultiByteToWideChar(CP_ACP, 0, clsid.data(), -1, wide, 100) > 0 &&
                        CLSIDFromString(wide, &parsed) == NOERROR;
        // A description longer than the usual 256-byte buffer is kept (and cut
        // by the list) rather than replaced by the key name.
        std::vector<char> description;
        bool hasDescription = readString(key, "description", description, 256, true);
        RegCloseKey(key);
        ClassId guid{};
        static_assert(sizeof guid == sizeof parsed);
        std::memcpy(&guid, &parsed, sizeof guid);
        DriverKey found{keyName, hasDescription ? description.data() : nullptr,
                        hasClsid ? &guid : nullptr};
        visit(context, found);
    }
    RegCloseKey(root);
}

bool beginDriverHost() {
    return SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

void endDriverHost() {
    CoUninitialize();
}

void* createDriverObject(const char*, const ClassId& clsid) {
    CLSID id;
    std::memcpy(&id, &clsid, sizeof id);
    void* object = nullptr;
    // The class id doubles as the interface id.
    if (FAILED(CoCreateInstance(id, nullptr, CLSCTX_INPROC_SERVER, id, &object))) {
        return nullptr;
    }
    return object;
}

bool driverTakesInstanceName() {
    return false;
}

bool writeDriverRegistration(const DriverRegistration& registration) {
    std::string path = std::string(driverRoot()) + "\\" + registration.keyName;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    auto setString = [](HKEY where, const char* name, const char* text) {
        return RegSetValueExA(where, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                              static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
    };
    bool ok = true;
    if (registration.clsid != nullptr) {
        ok = setString(key, "CLSID", registration.clsid) && ok;
    }
    if (registration.description != nullptr) {
        ok = setString(key, "Description", registration.description) && ok;
    }
    RegCloseKey(key);
    const char* className =
        registration.classKeyName != nullptr ? registration.classKeyName : registration.clsid;
    if (ok && registration.serverPath != nullptr && className != nullptr) {
        HKEY classKey = openClassKey(className, KEY_WRITE, true);
        HKEY server = nullptr;
        if (classKey == nullptr ||
            RegCreateKeyExA(classKey, "InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &server,
                            nullptr) != ERROR_SUCCESS) {
            if (classKey != nullptr) {
                RegCloseKey(classKey);
            }
            return false;
        }
        RegCloseKey(classKey);
        ok = setString(server, nullptr, registration.serverPath) &&
             setString(server, "ThreadingModel", "Apartment");
        RegCloseKey(server);
    }
    return ok;
}

bool removeDriverRegistration(const DriverRegistration& registration) {
    std::string path = std::string(driverRoot()) + "\\" + registration.keyName;
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    bool ok = result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
    const char* className =
        registration.classKeyName != nullptr ? registration.classKeyName : registration.clsid;
    if (registration.serverPath != nullptr && className != nullptr) {
        if (HKEY classKey = openClassKey(className, KEY_READ | KEY_WRITE, false)) {
            RegDeleteKeyA(classKey, "InprocServer32");
            RegCloseKey(classKey);
        }
        HKEY classes = nullptr;
        result = RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ | KEY_WRITE, &classes);
        if (result == ERROR_SUCCESS) {
            result = RegDeleteKeyA(classes, className);
            RegCloseKey(classes);
        }
        ok = ok && (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND);
    }
    return ok;
}

bool runDriverInstaller(const char* libraryPath, bool install, std::string* error) {
    HMODULE library = LoadLibraryA(libraryPath);
    if (library == nullptr) {
        if (error != nullptr) {
            *error = setError("cannot load", libraryPath);
        }
        return false;
    }
    const char* symbol = install ? "DllRegisterServer" : "DllUnregisterServer";
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library, symbol)));
    bool ok = false;
    if (entry == nullptr) {
        if (error != nullptr) {
            *error = std::string("the library does not export ") + symbol;
        }
    } else if (HRESULT result = entry(); FAILED(result)) {
        if (error != nullptr) {
            char text[16];
            wsprintfA(text, "0x%08lX", static_cast<unsigned long>(result));
            *error = std::string(symbol) + " failed with " + text;
        }
    } else {
        ok = true;
    }
    FreeLibrary(library);
    return ok;
}

} // namespace quillon::platform
