#include "virtual_report.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "virtual_control.h"

namespace quillon::ctl {

bool VirtualReport::open() {
    char name[128];
    if (!platform::getEnvironment(virtualdriver::kControlNameVariable, name, sizeof name)) {
        std::snprintf(name, sizeof name, "%s", virtualdriver::kControlName);
    }
    memory_ = platform::openSharedMemory(name, sizeof(virtualdriver::Control));
    if (memory_ == nullptr) {
        return false;
    }
    const auto* control =
        static_cast<const virtualdriver::Control*>(platform::sharedMemoryData(memory_));
    static_assert(virtualdriver::kMaxRegistrations == sizeof start_ / sizeof start_[0]);
    for (int i = 0; i < virtualdriver::kMaxRegistrations; ++i) {
        start_[i] = read(&control->slots[i].status);
    }
    return true;
}

VirtualReport::Counts VirtualReport::read(const void* slotStatus) {
    const auto& status = *static_cast<const virtualdriver::Status*>(slotStatus);
    return {status.bufferSwitches.load(), status.halvesCaptured.load(), status.underruns.load(),
            status.outputReadyCalls.load(), status.starts.load()};
}

VirtualReport::~VirtualReport() {
    if (memory_ != nullptr) {
        platform::closeSharedMemory(memory_);
    }
}

void VirtualReport::print(const std::string& driverName) const {
    int index = -1;
    for (int i = 0; i < virtualdriver::kRegistrationCount; ++i) {
        const std::string description = virtualdriver::kRegistrations[i].description;
        // The server cuts names of 64 characters and more to 60 and "...".
        const bool cut = driverName.size() == 63 && driverName.ends_with("...") &&
                         description.compare(0, 60, driverName, 0, 60) == 0;
        if (driverName == description || cut) {
            index = i;
        }
    }
    if (memory_ == nullptr || index < 0) {
        std::printf("driver report: %s is not the virtual driver\n", driverName.c_str());
        return;
    }
    const auto* control =
        static_cast<const virtualdriver::Control*>(platform::sharedMemoryData(memory_));
    const virtualdriver::Status& status = control->slots[index].status;
    const Counts now = read(&status);
    const Counts& was = start_[index];
    const long long frames =
        static_cast<long long>(now.halvesCaptured - was.halvesCaptured) * status.bufferSize.load();
    const int rate = status.sampleRateHz.load();
    std::printf("driver report: %d buffer switches of %d frames, %lld frames received",
                now.bufferSwitches - was.bufferSwitches, status.bufferSize.load(), frames);
    if (rate > 0) {
        std::printf(" (%.2f s at %d Hz)", static_cast<double>(frames) / rate, rate);
    }
    std::printf(", %d underruns, %d outputReady calls, %d starts\n", now.underruns - was.underruns,
                now.outputReadyCalls - was.outputReadyCalls, now.starts - was.starts);
}

} // namespace quillon::ctl
