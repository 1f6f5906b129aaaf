#include "server/commands.h"

#include "device/driver_list.h"
#include "device/invariants.h"
#include "device/output_device.h"
#include "ipc/shared_block.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace quillon::server {

using namespace quillon::ipc;

namespace {

constexpr std::uint32_t kSlowAnswerMs = 500;

// What a command answers when it fails: the open's -1, the write's 1, and 0
// (no room, not playing, was not paused) for the rest.
std::int32_t failureWord(std::int32_t code) {
    switch (code) {
    case kMainOpen:
        return -1;
    case kMainWrite:
        return 1;
    default:
        return 0;
    }
}

bool performMainCommand(device::OutputDevice& device, std::uint8_t* block, std::int32_t code,
                        std::int32_t& result) {
    const std::int32_t arg1 = loadI32(block, kMainArg1);
    bool quit = false;
    switch (code) {
    case kMainQuit:
        platform::logLine("command quit: playing out, then closing the device");
        device::finishPlaying(device);
        device::closeDevice(device);
        quit = true;
        break;
    case kMainOpen: {
        const std::int32_t bits = loadI32(block, kMainArg2);
        const std::int32_t channels = loadI32(block, kMainArg3);
        platform::logLine("command open: %d Hz, %d bits, %d channels", arg1, bits, channels);
        result = device::openOutput(device, arg1, bits, channels);
        if (result < 0) {
            platform::logLine("open refused or failed: %d Hz, %d bits, %d channels", arg1, bits,
                              channels);
        } else {
            platform::logLine("open done: latency %d ms", result);
        }
        break;
    }
    case kMainCloseOutput: {
        const bool keep = loadI32(block, kKeepOutputOnClose) != 0;
        platform::logLine("command close output%s", keep ? " (keep output)" : "");
        device::closeOutput(device, keep);
        break;
    }
    case kMainQueryWritable:
        result = device::writableBytes(device);
        break;
    case kMainWrite:
        // The count comes from another process: one outside the payload area
        // would make the device read past the mapping, so it is refused here.
        if (!payloadCountFits(arg1)) {
            platform::logLine("write refused: count %d outside 0..%zu", arg1, kPayloadSize);
            result = 1;
        } else {
            result = device::writeStream(device, block + kPayload, arg1);
            if (result != 0) {
                platform::logLine("write of %d bytes refused (no stream open, or paused and "
                                  "holding back a frame already)",
                                  arg1);
            }
        }
        break;
    case kMainQueryPlaying:
        result = device::isPlaying(device);
        break;
    case kMainPause:
        result = device::setPause(device, arg1);
        platform::logLine("command %s: was paused %d", arg1 != 0 ? "pause" : "resume", result);
        break;
    case kMainSeek:
        platform::logLine("command seek to %d ms", arg1);
        device::seekTo(device, arg1);
        break;
    default:
        platform::logLine("main command %d refused: unknown code", code);
        break;
    }
    return quit;
}

} // namespace

bool handleMainCommand(device::OutputDevice& device, std::uint8_t* block) {
    const std::int32_t code = loadI32(block, kMainCommand);
    std::int32_t result = 0; // commands without a result answer 0
    bool quit = code == kMainQuit;
    const std::uint32_t startMs = platform::timerMs();
    try {
        quit = performMainCommand(device, block, code, result);
    } catch (...) {
        // Whatever was half done (an open that ran out of memory, a driver
        // that threw) leaves the device in doubt: close it completely, so the
        // next open starts from nothing and the server keeps serving.
        result = failureWord(code);
        try {
            device::closeDevice(device);
        } catch (...) {
        }
    }
    device::checkInvariants(device);
    // A slow answer is what a player notices first: say which command it was.
    // A write rightly lasts while its audio plays.
    const std::uint32_t tookMs = platform::timerMs() - startMs;
    if (tookMs >= kSlowAnswerMs && code != kMainWrite) {
        platform::logLine("main command %d answered %d after %u ms", code, result, tookMs);
    }
    storeI32(block, kMainCommand, result);
    return quit;
}

namespace {

void performRealTimeCommand(const device::DriverList* drivers, device::OutputDevice& device,
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
        const std::int32_t index = loadI32(block, kRtArgs);
        const device::DriverEntry* entry =
            drivers != nullptr ? device::findDriverEntry(*drivers, index) : nullptr;
        if (entry != nullptr) {
            writeDriverName(block, entry->name);
        } else {
            platform::logLine("driver name %d refused: no such driver", index);
        }
        break;
    }
    case kRtSettings: {
        const ipc::DeviceSettings settings = readSettings(block);
        platform::logLine(
            "settings: driver %d, buffer multiplier %d, first channel %d, keep open %d, "
            "mono to stereo %d, priorities process %d thread %d resampler %d, resample %d to "
            "%d Hz quality %d",
            settings.driverIndex, settings.bufferMultiplier, settings.firstChannel,
            settings.keepDriverOpen ? 1 : 0, settings.monoToStereo ? 1 : 0,
            settings.processPriority, settings.threadPriority, settings.resamplerPriority,
            settings.resampleEnable ? 1 : 0, settings.resampleRate, settings.resampleQuality);
        device::applySettings(device, settings);
        break;
    }
    case kRtResetRequest:
        platform::logLine("reset requested by the client");
        device::handleResetRequest(device);
        break;
    case kRtOutputPosition:
        storeI32(block, kRtCommand, device::outputPositionMs(device));
        break;
    case kRtWrittenPosition:
        storeI32(block, kRtCommand, device::writtenPositionMs(device));
        break;
    default:
        platform::logLine("real-time command %d refused: unknown code", loadI32(block, kRtCommand));
        break;
    }
}

} // namespace

void handleRealTimeCommand(const device::DriverList* drivers, device::OutputDevice& device,
                           std::uint8_t* block) {
    try {
        performRealTimeCommand(drivers, device, block);
    } catch (...) {
        // Nothing here owns the device, so there is nothing to close; the
        // block keeps the command word, as for a code that does nothing.
    }
}

} // namespace quillon::server
