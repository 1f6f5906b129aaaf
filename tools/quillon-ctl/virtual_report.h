// What the virtual test driver saw, for demos: `--virtual-report` on play and
// tone reads the driver's own counters after playing.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::platform {
struct SharedMemory;
}

namespace quillon::ctl {

class VirtualReport {
public:
    // Opens the driver's control block before the server starts, so that the
    // block outlives the server and its counters can still be read at the end.
    bool open();
    ~VirtualReport();
    // Prints the counters of the registration whose description is `driverName`;
    // says so when the driver is not one of the virtual ones.
    void print(const std::string& driverName) const;

private:
    // The counters when the block was opened: the block may outlive earlier
    // runs, and the report covers this one only.
    struct Counts {
        std::int32_t bufferSwitches, halvesCaptured, underruns, outputReadyCalls, starts;
    };
    static Counts read(const void* slotStatus);

    platform::SharedMemory* memory_ = nullptr;
    Counts start_[16] = {};
};

} // namespace quillon::ctl
