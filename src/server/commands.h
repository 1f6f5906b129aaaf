// The two channels' command handling, each as one function over the block and
// the device, so tests can drive it without a process or events.
#pragma once

#include <cstdint>

namespace quillon::device {
struct DriverList;
struct OutputDevice;
} // namespace quillon::device

namespace quillon::server {

// Main thread. Performs the main-channel command in `block` and writes its
// result word. Returns true for the quit command (the device is then closed).
bool handleMainCommand(device::OutputDevice& device, std::uint8_t* block);

// Real-time thread. Performs the real-time command in `block`; unknown codes
// leave the block untouched. `drivers` may be null (no list: count 0).
void handleRealTimeCommand(const device::DriverList* drivers, device::OutputDevice& device,
                           std::uint8_t* block);

} // namespace quillon::server
