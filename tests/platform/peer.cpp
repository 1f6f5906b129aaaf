// Helper process for the cross-process tests. Arguments: the block's name,
// its size, the event it sets ("done") and the event it waits for ("ping").
//   1. opens the block and checks the opener's marker "ping" at offset 0;
//   2. writes "pong" at offset 4 and 0xA5 into the last byte;
//   3. creates its "ping" event, then sets "done";
//   4. waits for "ping", writes "again" at offset 16 and sets "done" again.
// The exit code says which step failed (0: all went well).

#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

using namespace quillon::platform;

int main(int argc, char** argv) {
    if (argc != 5) {
        return 10;
    }
    const std::size_t size = std::strtoull(argv[2], nullptr, 10);
    SharedMemory* memory = openSharedMemory(argv[1], size);
    if (memory == nullptr) {
        return 11;
    }
    auto* bytes = static_cast<unsigned char*>(sharedMemoryData(memory));
    if (std::memcmp(bytes, "ping", 4) != 0) {
        return 12;
    }
    std::memcpy(bytes + 4, "pong", 4);
    bytes[size - 1] = 0xA5;

    Handle* ping = createEvent(argv[4], true);
    Handle* done = openEventForSet(argv[3]);
    if (ping == nullptr || done == nullptr) {
        return 13;
    }
    if (!setEvent(done)) {
        return 14;
    }
    if (waitOne(ping, 20000) != 0) {
        return 15;
    }
    std::memcpy(bytes + 16, "again", 5);
    if (!setEvent(done)) {
        return 16;
    }
    closeHandle(done);
    closeHandle(ping);
    closeSharedMemory(memory);
    return 0;
}
