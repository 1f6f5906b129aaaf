#include "device/driver_list.h"

#include <cstring>
#include <new>

namespace quillon::device {

DriverList* readDriverList() {
    auto* list = new (std::nothrow) DriverList{};
    if (list != nullptr) {
        list->loadedIndex = -1;
    }
    return list;
}

void freeDriverList(DriverList* list) {
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

namespace {
void cutName(const char* name, char* out, std::size_t room) {
    std::size_t length = std::strlen(name);
    if (length < room) {
        std::memcpy(out, name, length + 1);
        return;
    }
    std::memcpy(out, name, room - 4);
    std::memcpy(out + room - 4, "...", 4);
}
} // namespace

void shortName(const char* name, char out[32]) {
    cutName(name, out, 32);
}

void longName(const char* name, char out[64]) {
    cutName(name, out, 64);
}

bool loadDriverByName(DriverList&, const char*, asio::IASIO** current) {
    *current = nullptr;
    return false;
}

bool loadDriverByIndex(DriverList&, std::int32_t, asio::IASIO** current) {
    *current = nullptr;
    return false;
}

void unloadDriver(DriverList& list) {
    list.loadedIndex = -1;
}

} // namespace quillon::device
