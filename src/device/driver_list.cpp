#include "device/driver_list.h"

#include <cstring>
#include <new>

#include "ipc/shared_block.h"
#include "platform/driver_host.h"

namespace quillon::device {

namespace {

// Handed out when even the list record cannot be allocated, so callers never see null.
DriverList gEmptyList{nullptr, 0, -1, false};

struct Builder {
    DriverList* list;
    DriverEntry* tail;
};

void copyCut(char* out, std::size_t room, const char* text) {
    std::size_t length = std::strlen(text);
    if (length >= room) {
        length = room - 1;
    }
    std::memcpy(out, text, length);
    out[length] = '\0';
}

void appendEntry(void* context, const platform::DriverKey& key) {
    auto* builder = static_cast<Builder*>(context);
    auto* entry = new (std::nothrow) DriverEntry{};
    if (entry == nullptr) {
        return;
    }
    entry->index = builder->list->count;
    if (key.clsid != nullptr) {
        static_assert(sizeof entry->clsid == sizeof *key.clsid);
        std::memcpy(&entry->clsid, key.clsid, sizeof entry->clsid);
    }
    copyCut(entry->name, sizeof entry->name,
            key.description != nullptr ? key.description : key.keyName);
    copyCut(entry->keyName, sizeof entry->keyName, key.keyName);
    if (builder->tail == nullptr) {
        builder->list->entries = entry;
    } else {
        builder->tail->next = entry;
    }
    builder->tail = entry;
    ++builder->list->count;
}

DriverEntry* entryAt(DriverList& list, std::int32_t index) {
    return const_cast<DriverEntry*>(findDriverEntry(list, index));
}

// Instantiates `entry` after whatever was loaded has been released.
bool instantiate(DriverList& list, DriverEntry& entry, asio::IASIO** current) {
    if (entry.driver == nullptr) {
        platform::ClassId clsid;
        std::memcpy(&clsid, &entry.clsid, sizeof clsid);
        entry.driver =
            static_cast<asio::IASIO*>(platform::createDriverObject(entry.keyName, clsid));
        if (entry.driver != nullptr && platform::driverTakesInstanceName()) {
            // A driver that does not know the selector answers an error; that is fine.
            entry.driver->future(asio::kAsioSetInstanceName, entry.keyName);
        }
    }
    if (entry.driver == nullptr) {
        *current = nullptr;
        return false;
    }
    list.loadedIndex = entry.index;
    *current = entry.driver;
    return true;
}

} // namespace

DriverList* readDriverList() {
    auto* list = new (std::nothrow) DriverList{};
    if (list == nullptr) {
        return &gEmptyList;
    }
    Builder builder{list, nullptr};
    platform::enumerateDriverKeys(appendEntry, &builder);
    list->loadedIndex = -1;
    // With nothing to instantiate there is no apartment to enter.
    if (list->count != 0) {
        list->hostStarted = platform::beginDriverHost();
    }
    return list;
}

void freeDriverList(DriverList* list) {
    if (list == nullptr || list == &gEmptyList) {
        return;
    }
    // Last to first: the list is singly linked, so collect the nodes first.
    std::int32_t count = 0;
    for (DriverEntry* entry = list->entries; entry != nullptr; entry = entry->next) {
        ++count;
    }
    auto** nodes = new (std::nothrow) DriverEntry*[static_cast<std::size_t>(count)];
    if (nodes != nullptr) {
        std::int32_t at = 0;
        for (DriverEntry* entry = list->entries; entry != nullptr; entry = entry->next) {
            nodes[at++] = entry;
        }
        for (std::int32_t i = count - 1; i >= 0; --i) {
            if (nodes[i]->driver != nullptr) {
                nodes[i]->driver->Release();
            }
            delete nodes[i];
        }
        delete[] nodes;
    } else {
        for (DriverEntry* entry = list->entries; entry != nullptr;) {
            DriverEntry* next = entry->next;
            if (entry->driver != nullptr) {
                entry->driver->Release();
            }
            delete entry;
            entry = next;
        }
    }
    if (list->hostStarted) {
        platform::endDriverHost();
    }
    delete list;
}

const DriverEntry* findDriverEntry(const DriverList& list, std::int32_t index) {
    for (const DriverEntry* entry = list.entries; entry != nullptr; entry = entry->next) {
        if (entry->index == index) {
            return entry;
        }
    }
    return nullptr;
}

void shortName(const char* name, char out[32]) {
    ipc::cutName(name, out, 32);
}

void longName(const char* name, char out[64]) {
    ipc::cutName(name, out, ipc::kRtNameSize);
}

bool loadDriverByName(DriverList& list, const char* name, asio::IASIO** current) {
    DriverEntry* chosen = nullptr;
    char candidate[32];
    for (std::int32_t i = 0; i < list.count && chosen == nullptr; ++i) {
        DriverEntry* entry = entryAt(list, i);
        if (entry == nullptr) {
            continue;
        }
        shortName(entry->name, candidate);
        if (std::strcmp(candidate, name) == 0) {
            chosen = entry;
        }
    }
    if (chosen == nullptr) {
        return false;
    }
    char previous[32] = "";
    if (const DriverEntry* loaded = findDriverEntry(list, list.loadedIndex)) {
        shortName(loaded->name, previous);
    }
    unloadDriver(list);
    if (instantiate(list, *chosen, current)) {
        return true;
    }
    if (previous[0] != '\0' && std::strcmp(previous, name) != 0) {
        loadDriverByName(list, previous, current);
    }
    return false;
}

bool loadDriverByIndex(DriverList& list, std::int32_t index, asio::IASIO** current) {
    DriverEntry* chosen = entryAt(list, index);
    if (chosen == nullptr) {
        return false;
    }
    std::int32_t previous = list.loadedIndex;
    unloadDriver(list);
    if (instantiate(list, *chosen, current)) {
        return true;
    }
    if (previous >= 0 && previous != index) {
        loadDriverByIndex(list, previous, current);
    }
    return false;
}

void unloadDriver(DriverList& list) {
    if (DriverEntry* loaded = entryAt(list, list.loadedIndex)) {
        if (loaded->driver != nullptr) {
            loaded->driver->Release();
            loaded->driver = nullptr;
        }
    }
    list.loadedIndex = -1;
}

} // namespace quillon::device
