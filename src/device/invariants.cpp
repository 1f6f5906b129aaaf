// The device's invariants (see invariants.h for the lifecycle table).
#include "device/invariants.h"

#include <cstdio>
#include <cstdlib>

#include "device/device_state.h"
#include "ipc/shared_block.h"

namespace quillon::device {

namespace {

constexpr bool kCheckInvariants = QUILLON_CHECK_INVARIANTS != 0;

// The lifecycle flags against the table's rows.
const char* brokenLifecycle(const OutputDevice& device) {
    if (device.driverLoaded != (device.driver != nullptr)) {
        return "driverLoaded differs from holding a driver object";
    }
    if (device.reopening) {
        return "reopening set between commands";
    }
    if (device.streamOpen && device.abortWrites) {
        return "writes to an open stream left aborting";
    }
    if (device.driverRunning && (device.driverStopped || device.paused)) {
        return "driverRunning while marked stopped or paused";
    }
    const bool open = device.streamOpen;
    if (device.prepared != open || device.buffersCreated != open || device.halvesLive != open ||
        device.timerRaised != open) {
        return "prepared, buffersCreated, halvesLive and timerRaised differ from streamOpen";
    }
    if (open && !device.driverLoaded) {
        return "a stream open without a driver";
    }
    if (!open && (!device.driverStopped || device.driverRunning)) {
        return "the driver not stopped without a stream";
    }
    if (open && !device.driverStopped && !device.driverRunning && !device.paused) {
        return "a started driver neither running nor paused";
    }
    return nullptr;
}

// What a closed stream leaves behind: nothing.
const char* brokenClosed(const OutputDevice& device) {
    if (device.activeChannels != 0 || !device.channelRings.empty() || !device.bufferInfos.empty()) {
        return "channels or rings left without a stream";
    }
    if (!device.pending.empty() || !device.replay.empty() || !device.feedCopy.empty()) {
        return "held bytes, replay or feed copy left without a stream";
    }
    if (device.resampler || device.resamplerInputRate != 0) {
        return "a converter left without a stream";
    }
    return nullptr;
}

// The channels and the formats of an open stream.
const char* brokenFormat(const OutputDevice& device) {
    const std::size_t channels = device.activeChannels;
    if (channels == 0 || device.channelRings.size() != device.bufferInfos.size() ||
        channels > device.channelRings.size() ||
        static_cast<std::int64_t>(device.channelRings.size()) != device.outputChannelCount ||
        device.activeFirstChannel < 0 ||
        device.activeFirstChannel + static_cast<std::int64_t>(channels) >
            device.outputChannelCount) {
        return "the used channels do not fit the driver's";
    }
    for (std::size_t c = 0; c < channels; ++c) {
        const ChannelRing& ring = device.channelRings[c];
        const asio::ASIOBufferInfo& info = device.bufferInfos[c];
        if (!ring.ring || ring.converter == nullptr || ring.bytesPerSample <= 0 ||
            info.buffers[0] == nullptr || info.buffers[1] == nullptr) {
            return "a used channel without its ring, converter or halves";
        }
    }
    if (device.monoDuplicating && (channels != 2 || device.inputChannels != 1)) {
        return "mono duplicated onto other than two channels";
    }
    const std::int64_t inputSample =
        (device.inputBits < 0 ? -device.inputBits : device.inputBits) / 8;
    if (device.inputRate.load() == 0 || device.outputRate.load() == 0 ||
        device.inputBytesPerFrame.load() != inputSample * device.inputChannels) {
        return "the client format is not the stream's";
    }
    if (device.feedSampleBytes <= 0 || device.feedSampleBytes != device.feedBits / 8 ||
        device.feedFrameBytes !=
            device.feedSampleBytes * static_cast<std::int64_t>(device.inputChannels)) {
        return "the feed format does not match its sample size";
    }
    if (!device.resampler && device.resamplerInputRate != 0) {
        return "a converter's format kept without the converter";
    }
    if (device.resampler &&
        (device.feedIsFloat != 1 || device.feedBits != 64 || !device.resampleEnableActive ||
         device.outputRate.load() != static_cast<std::uint32_t>(device.resampleRateActive) ||
         device.resampler->config.outputRate != device.resampleRateActive)) {
        return "a converter engaged but the rings fed otherwise";
    }
    return nullptr;
}

// The rings and what is held beside them; under deviceLock.
const char* brokenRings(const OutputDevice& device) {
    const std::int64_t ring = device.ringFrames;
    const std::int64_t queued = device.queuedFrames.load();
    if (device.bufferSize <= 0 || ring < device.bufferSize) {
        return "a ring shorter than one half-buffer";
    }
    if (device.ringReadIndex < 0 || device.ringReadIndex >= ring || device.ringWriteIndex < 0 ||
        device.ringWriteIndex >= ring) {
        return "a ring index outside the ring";
    }
    if (queued < 0 || queued > ring ||
        (device.ringReadIndex + queued) % ring != device.ringWriteIndex) {
        return "the queued frames do not lead from the read index to the write index";
    }
    const auto frameBytes = static_cast<std::size_t>(device.feedFrameBytes);
    if (device.pending.size() >= ipc::kPayloadSize + frameBytes) {
        return "more than one payload of whole frames held";
    }
    if (device.replay.size() % frameBytes != 0) {
        return "a replay of partial frames";
    }
    if (!device.feedCopy.empty() &&
        device.feedCopy.size() != static_cast<std::size_t>(ring) * frameBytes) {
        return "a feed copy not the rings' length";
    }
    if (device.copyFreshFrom > device.framesConverted || device.pipelineFrames.load() < 0 ||
        device.framesPlayed.load() < 0 || device.bytesWritten.load() < 0) {
        return "a counter out of its range";
    }
    return nullptr;
}

} // namespace

const char* brokenInvariant(const OutputDevice& device) {
    if (const char* broken = brokenLifecycle(device)) {
        return broken;
    }
    if (!device.streamOpen) {
        return brokenClosed(device);
    }
    if (const char* broken = brokenFormat(device)) {
        return broken;
    }
    platform::enterLock(device.deviceLock);
    const char* broken = brokenRings(device);
    platform::leaveLock(device.deviceLock);
    return broken;
}

void checkInvariants(const OutputDevice& device) {
    if constexpr (kCheckInvariants) {
        if (const char* broken = brokenInvariant(device)) {
            platform::logLine("device invariant broken: %s", broken);
            std::fprintf(stderr, "quillon: device invariant broken: %s\n", broken);
            std::abort();
        }
    }
}

} // namespace quillon::device
