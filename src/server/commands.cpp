#include "server/commands.h"

#include "device/driver_list.h"
#include "device/output_device.h"
#include "ipc/shared_block.h"

namespace quillon::server {

using namespace quillon::ipc;

bool handleMainCommand(device::OutputDevice& device, std::uint8_t* block) {
    const std::int32_t code = loadI32(block, kMainCommand);
    const std::int32_t arg1 = loadI32(block, kMainArg1);
    std::int32_t result = 0; // commands without a result answer 0
    bool quit = false;
    switch (code) {
    case kMainQuit:
        device::finishPlaying(device);
        device::closeDevice(device);
        quit = true;
        break;
    case kMainOpen:
        result =
            device::openOutput(device, arg1, loadI32(block, kMainArg2), loadI32(block, kMainArg3));
        break;
    case kMainCloseOutput:
        device::closeOutput(device, loadI32(block, kKeepOutputOnClose) != 0);
        break;
    case kMainQueryWritable:
        result = device::writableBytes(device);
        break;
    case kMainWrite:
        // The count comes from another process: one outside the payload area
        // would make the device read past the mapping, so it is refused here.
        if (arg1 < 0 || static_cast<std::size_t>(arg1) > kPayloadSize) {
            result = 1;
        } else {
            result = device::writeStream(device, block + kPayload, arg1);
        }
        break;
    case kMainQueryPlaying:
        result = device::isPlaying(device);
        break;
    case kMainPause:
        result = device::setPause(device, arg1);
        break;
    case kMainSeek:
        device::seekTo(device, arg1);
        break;
    default:
        break;
    }
    storeI32(block, kMainCommand, result);
    return quit;
}

void handleRealTimeCommand(const device::DriverList* drivers, device::OutputDevice& device,
                           std::uint8_t* block) {
    switch (loadI32(block, kRtCommand)) {
    case kRtDriverCount: {
        std::int32_t count = 0;
        if (drivers != nullptr) {
            count = drivers->count;
        }
        storeI32(block, kRtCommand, count);
        break;
    }
    case kRtDriverName: {
        if (drivers != nullptr) {
            const std::int32_t index = loadI32(block, kRtArgs);
            if (const auto* entry = device::findDriverEntry(*drivers, index)) {
                writeDriverName(block, entry->name);
            }
        }
        break;
    }
    case kRtSettings:
        device::applySettings(device, readSettings(block));
        break;
    case kRtResetRequest:
        device::handleResetRequest(device);
        break;
    case kRtOutputPosition:
        storeI32(block, kRtCommand, device::outputPositionMs(device));
        break;
    case kRtWrittenPosition:
        storeI32(block, kRtCommand, device::writtenPositionMs(device));
        break;
    default:
        break;
    }
}

} // namespace quillon::server
