// The OS side of the driver list: where ASIO drivers are registered and how a
// driver object is made from a registration.
//
// Windows: HKLM "software\asio" with one subkey per driver, each naming a COM
// class that must be registered with an existing in-process server file; the
// object comes from CoCreateInstance in the main thread's apartment.
// Linux: one directory per driver under a root (QUILLON_ASIO_ROOT, else
// /etc/cwASIO) holding `driver` (the shared object's path) and `description`;
// the object comes from the library's exported instantiateDriver.
//
// The host knows nothing of the driver's interface: it hands the object out as
// an opaque pointer, and the device layer, which owns the ASIO declarations,
// casts it and talks to it.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::platform {

// A COM class id in Windows' GUID layout (16 bytes, no padding).
struct ClassId {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
static_assert(sizeof(ClassId) == 16);

// One usable registration, in enumeration order.
struct DriverKey {
    const char* keyName;
    const char* description; // null when the key has none
    const ClassId* clsid;    // null when there is none or it did not parse
};
using DriverKeyVisitor = void (*)(void* context, const DriverKey& key);

// Main thread. Visits the registrations whose driver can be found, in the
// order the registry (or the sorted directory) enumerates them.
void enumerateDriverKeys(DriverKeyVisitor visit, void* context);

// Main thread. Before the first and after the last instantiation (COM's
// apartment on Windows; on Linux it unloads the libraries afterwards).
bool beginDriverHost();
void endDriverHost();

// Main thread, between beginDriverHost and endDriverHost. The driver object
// (opaque here), or null on failure. Windows makes it from `clsid`, Linux from
// the library registered under `keyName`.
void* createDriverObject(const char* keyName, const ClassId& clsid);

// Whether a new driver object must learn its registration's key name, through
// the driver's instance-name selector, before anyone calls init: Linux drivers
// serve several registrations from one library; Windows drivers are never
// asked (some fail on selectors they do not know).
bool driverTakesInstanceName();

// Reads registrations under another root from now on, for tests: a subkey of
// HKLM on Windows, a directory on Linux. Null returns to the default.
void setDriverRoot(const char* root);

// Writes or removes a registration, for installers and tests.
struct DriverRegistration {
    const char* keyName;
    const char* clsid;        // Windows "clsid" value; null writes none. Unused on Linux.
    const char* description;  // null writes none
    const char* serverPath;   // Windows: the class's InprocServer32 (null: class not
                              // registered); Linux: the `driver` file (null: none)
    const char* classKeyName; // Windows: the class's key under HKCR\CLSID when it
                              // must be spelled unlike `clsid`; null = `clsid`
};
bool writeDriverRegistration(const DriverRegistration& registration);
bool removeDriverRegistration(const DriverRegistration& registration);

// Loads a driver library and runs its own installer (DllRegisterServer and
// DllUnregisterServer on Windows, registerDriver and unregisterDriver on Linux).
bool runDriverInstaller(const char* libraryPath, bool install, std::string* error);

} // namespace quillon::platform
