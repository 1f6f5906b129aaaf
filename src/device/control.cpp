// The playback commands between open and close, reset handling and the
// position answers of the real-time channel.
#include <limits>
#include <utility>

#include "device/device_state.h"

namespace quillon::device {

namespace {

std::int32_t clampToInt32(std::int64_t v) {
    if (v > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (v < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(v);
}

} // namespace

std::int32_t elapsedFrames(const OutputDevice& device) {
    const std::int64_t t = device.paused ? device.pauseTime.load() : readClock(device);
    const std::int64_t frequency = device.clock.clockFrequency;
    if (frequency <= 0) {
        return 0;
    }
    std::int64_t ms = (t - device.lastSwitchTime.load()) * 1000 / frequency;
    // The time stamp may be taken just after the clock was read here.
    if (ms < 0) {
        ms = 0;
    }
    if (ms > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    const std::int32_t frames = server::mulDiv(
        static_cast<std::int32_t>(ms), static_cast<std::int32_t>(device.outputRate.load()), 1000);
    // -1 here only means the product overflowed: long past any pipeline.
    return frames < 0 ? std::numeric_limits<std::int32_t>::max() : frames;
}

bool settleResetRequest(OutputDevice& device) {
    if (!device.resetRequested.exchange(false)) {
        return false;
    }
    // Between streams in keep-open mode nothing plays: release the driver now.
    if (device.keepOpenActive && !device.outputOpen) {
        closeDevice(device);
        return true;
    }
    device.resetPending = true;
    return false;
}

bool takePendingClose(OutputDevice& device) {
    return settleResetRequest(device);
}

void handleResetRequest(OutputDevice& device) {
    // Only a flag: the close runs on the main thread, so it never races a
    // main-channel command and never runs inside the driver's callback.
    device.resetRequested = true;
}

std::int32_t writeStream(OutputDevice& device, const std::uint8_t* data, std::int32_t count) {
    settleResetRequest(device);
    if (!device.streamOpen || count < 0 || static_cast<std::size_t>(count) > ipc::kPayloadSize) {
        return 1;
    }
    if (count == 0) {
        return 0;
    }
    if (device.resampler) {
        // Bytes the worker could not take were not accepted: say so.
        if (!resample::workerFeed(*device.resampler, data, count)) {
            return 1;
        }
        feedRing(device, false, count, nullptr);
        device.bytesWritten.fetch_add(count);
        return 0;
    }
    // Paused with a whole frame already held back: the rings are full and
    // nothing drains, so a further write is refused rather than held without bound.
    if (device.paused && device.pending.size() >= static_cast<std::size_t>(device.feedFrameBytes)) {
        return 1;
    }
    feedRing(device, false, count, data);
    device.bytesWritten.fetch_add(count);
    return 0;
}

std::int32_t writableBytes(OutputDevice& device) {
    settleResetRequest(device);
    if (!device.streamOpen) {
        return 0;
    }
    if (device.resetPending) {
        const std::int64_t written = device.bytesWritten.load();
        const auto rate = static_cast<std::int32_t>(device.inputRate.load());
        const std::int32_t bits = device.inputBits;
        const auto channels = static_cast<std::int32_t>(device.inputChannels);
        // Bytes of an incomplete frame belong to the stream that goes on.
        std::vector<std::uint8_t> pending = std::move(device.pending);
        closeDevice(device);
        if (openOutput(device, rate, bits, channels) < 0) {
            device.resetPending = false;
            const std::uint64_t window = device.notifyWindow.load();
            if (window != 0) {
                platform::postWindowMessage(window, platform::kWmCommand,
                                            ipc::kResetFailedCommandId, 0);
            }
            return 0;
        }
        device.pending = std::move(pending);
        device.bytesWritten = written;
        const std::int64_t frames = written / device.inputBytesPerFrame.load();
        device.framesPlayed = (frames * 10000 / device.inputRate.load()) *
                              static_cast<std::int64_t>(device.outputRate.load()) / 10000;
    }
    if (device.paused) {
        return 0;
    }
    // Frames held back during a pause move into the rings as room appears;
    // the client, told there is no room meanwhile, would never push them.
    if (device.pending.size() >= static_cast<std::size_t>(device.feedFrameBytes)) {
        feedRing(device, true, 0, nullptr, false);
    }
    return clampToInt32(writableSpace(device));
}

std::int32_t isPlaying(OutputDevice& device) {
    settleResetRequest(device);
    if (!device.streamOpen || device.keepOpenActive) {
        return 0;
    }
    if (device.resampler) {
        // Flush the converter once; its format is forgotten so the next open
        // builds a fresh one. Output it still holds is pushed on every call.
        if (device.resamplerInputRate != 0) {
            device.resamplerInputRate = 0;
            device.resamplerInputIsFloat = -1;
            device.resamplerInputBits = 0;
            device.resamplerChannels = 0;
            resample::workerDrain(*device.resampler);
        }
        if (!pushResamplerOutput(device) && device.paused) {
            return 1;
        }
    } else {
        feedRing(device, true, 0, nullptr);
    }
    const bool queued = device.queuedFrames.load() != 0;
    if (device.driverStopped || !device.switchSeen) {
        return queued ? 1 : 0;
    }
    if (device.pipelineFrames.load() > elapsedFrames(device)) {
        return 1;
    }
    return queued ? 1 : 0;
}

std::int32_t setPause(OutputDevice& device, std::int32_t pause) {
    settleResetRequest(device);
    if (!device.streamOpen) {
        return 0;
    }
    const bool was = device.paused;
    // A second pause must not move pauseTime: the position stays frozen.
    if (pause != 0 && was) {
        return 1;
    }
    if (device.driverStopped) {
        device.paused = pause != 0;
    } else if (pause != 0) {
        stopAndSilence(device);
        device.pauseTime = readClock(device);
        device.paused = true;
    } else {
        device.switchSeen = false;
        device.driverRunning = true;
        if (device.driver != nullptr) {
            device.driver->start();
        }
        device.paused = false;
    }
    return was ? 1 : 0;
}

void seekTo(OutputDevice& device, std::int32_t ms) {
    settleResetRequest(device);
    if (!device.streamOpen) {
        return;
    }
    if (!device.driverStopped) {
        stopAndSilence(device);
        device.abortWrites = true;
        device.driverStopped = true;
    }
    platform::enterLock(device.deviceLock);
    device.ringReadIndex = 0;
    device.ringWriteIndex = 0;
    device.queuedFrames = 0;
    device.uncountedFrames = 0;
    platform::leaveLock(device.deviceLock);
    device.pending.clear();
    device.abortWrites = false;
    // A position before the start is the start.
    const std::int64_t position = ms > 0 ? ms : 0;
    device.framesPlayed = static_cast<std::int64_t>(device.outputRate.load()) * position / 1000;
    device.bytesWritten = (static_cast<std::int64_t>(device.inputRate.load()) * position / 1000) *
                          device.inputBytesPerFrame.load();
    if (device.resampler) {
        // Nothing before the new position may leak into it: a fresh converter.
        device.resamplerInputRate = 0;
        resample::workerReset(*device.resampler);
        auto rate = static_cast<std::int32_t>(device.inputRate.load());
        std::int32_t isFloat = device.inputBits < 0 ? 1 : 0;
        std::int32_t bits = device.inputBits < 0 ? -device.inputBits : device.inputBits;
        configureResampler(device, rate, isFloat, bits,
                           static_cast<std::int32_t>(device.inputChannels));
        // Without one the writes would reach the rings in the client's format.
        if (!device.resampler) {
            closeDevice(device);
        }
    }
}

std::int32_t outputPositionMs(const OutputDevice& device) {
    const std::int64_t rate = device.outputRate.load();
    if (!device.streamOpen || rate <= 0) {
        return 0;
    }
    std::int64_t pending = 0;
    if (!device.driverStopped && device.switchSeen) {
        const std::int64_t left = device.pipelineFrames.load() - elapsedFrames(device);
        pending = left > 0 ? left : 0;
    }
    // Right after a start the pipeline can hold more than was played.
    const std::int64_t ms = (device.framesPlayed.load() - pending) * 1000 / rate;
    return ms > 0 ? clampToInt32(ms) : 0;
}

std::int32_t writtenPositionMs(const OutputDevice& device) {
    const std::int64_t frameBytes = device.inputBytesPerFrame.load();
    const std::int64_t rate = device.inputRate.load();
    if (!device.streamOpen || frameBytes <= 0 || rate <= 0) {
        return 0;
    }
    return clampToInt32(device.bytesWritten.load() / frameBytes * 1000 / rate);
}

} // namespace quillon::device
