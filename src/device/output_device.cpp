#include "device/output_device.h"

namespace quillon::device {

// Placeholder until the stream logic lands: behaves as a device with no
// stream open.
struct OutputDevice {
    DriverList* drivers;
    platform::Thread* realTimeThread;
    ipc::DeviceSettings settings;
};

OutputDevice* createOutputDevice(DriverList* drivers, const server::Clock&) {
    return new OutputDevice{drivers, nullptr, {}};
}
void destroyOutputDevice(OutputDevice* device) {
    delete device;
}
void setRealTimeThread(OutputDevice& device, platform::Thread* realTimeThread) {
    device.realTimeThread = realTimeThread;
}
void applySettings(OutputDevice& device, const ipc::DeviceSettings& settings) {
    device.settings = settings;
}
std::int32_t openOutput(OutputDevice&, std::int32_t, std::int32_t, std::int32_t) {
    return -1;
}
void closeOutput(OutputDevice&, bool) {}
void closeDevice(OutputDevice&) {}
std::int32_t writableBytes(OutputDevice&) {
    return 0;
}
std::int32_t writeStream(OutputDevice&, const std::uint8_t*, std::int32_t) {
    return 1;
}
std::int32_t isPlaying(OutputDevice&) {
    return 0;
}
std::int32_t setPause(OutputDevice&, std::int32_t) {
    return 0;
}
void seekTo(OutputDevice&, std::int32_t) {}
void handleResetRequest(OutputDevice&) {}
std::int32_t outputPositionMs(const OutputDevice&) {
    return 0;
}
std::int32_t writtenPositionMs(const OutputDevice&) {
    return 0;
}
bool takePendingClose(OutputDevice&) {
    return false;
}

} // namespace quillon::device
