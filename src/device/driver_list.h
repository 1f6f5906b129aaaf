// The installed ASIO drivers, read once at start-up, and the one driver
// object instantiated from them at a time.
//
// The list's nodes and names never change after readDriverList, so the
// real-time thread may read `count` and the names without a lock while the
// main thread loads and unloads drivers.
#pragma once

#include <cstdint>

#include "device/asio.h"

namespace quillon::device {

struct DriverEntry {
    std::int32_t index;   // 0-based, numbered without gaps in enumeration order
    asio::AsioGuid clsid; // all zero when the registered string did not parse (always on Linux)
    char name[128];       // description, or the key name when there is none
    asio::IASIO* driver;  // null unless instantiated
    DriverEntry* next;
    char keyName[128]; // the registration's key; Linux instantiates by it
};

struct DriverList {
    DriverEntry* entries;
    std::int32_t count;
    std::int32_t loadedIndex; // -1 when no driver object exists
    bool hostStarted;         // COM initialised (Windows) for the instantiations
};

// Main thread, start-up. Never null (an empty list when nothing is installed).
DriverList* readDriverList();
// Main thread, shutdown. Releases any driver object, then the list.
void freeDriverList(DriverList* list);
// Any thread. Null when there is no entry at `index`.
const DriverEntry* findDriverEntry(const DriverList& list, std::int32_t index);

// The name as whole if shorter than 32 characters, else its first 28 and "...".
void shortName(const char* name, char out[32]);
// The same with room for 64: whole if shorter than 64, else 60 and "...".
void longName(const char* name, char out[64]);

// Main thread. Instantiates the first entry whose shortName equals `shortName`
// and makes it current (*current). On failure *current is null, the driver
// loaded before is brought back when it was another one, and false returned.
bool loadDriverByName(DriverList& list, const char* shortName, asio::IASIO** current);
// Main thread. As loadDriverByName for the entry at `index` itself, so that
// entries sharing a short name stay reachable; restores the previous driver
// by its index on failure.
bool loadDriverByIndex(DriverList& list, std::int32_t index, asio::IASIO** current);
// Main thread. Releases the loaded driver object, if any; callers clear their
// own reference to it.
void unloadDriver(DriverList& list);

} // namespace quillon::device
