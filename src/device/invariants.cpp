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
    if (device.life.driverLoaded != (device.driver != nullptr)) {
        return "driverLoaded differs from holding a driver object";
    }
    if (device.life.reopening) {
        return "reopening set between commands";
    }
    if (device.life.streamOpen && device.life.abortWrites) {
        return "writes to an open stream left aborting";
    }
    if (device.life.driverRunning && (device.life.driverStopped || device.life.paused)) {
        return "driverRunning while marked stopped or paused";
    }
    const bool open = device.life.streamOpen;
    if (device.life.prepared != open || device.life.buffersCreated != open ||
        device.life.halvesLive != open || device.life.timerRaised != open) {
        return "prepared, buffersCreated, halvesLive and timerRaised differ from streamOpen";
    }
    if (open && !device.life.driverLoaded) {
        return "a stream open without a driver";
    }
    if (!open && (!device.life.driverStopped || device.life.driverRunning)) {
        return "the driver not stopped without a stream";
    }
    if (open && !device.life.driverStopped && !device.life.driverRunning && !device.life.paused) {
        return "a started driver neither running nor paused";
    }
    return nullptr;
}

// What a closed stream leaves behind: nothing.
const char* brokenClosed(const OutputDevice& device) {
    if (device.ring.activeChannels != 0 || !device.ring.channelRings.empty() ||
        !device.ring.bufferInfos.empty()) {
        return "channels or rings left without a stream";
    }
    if (!device.held.pending.empty() || !device.held.replay.empty() ||
        !device.held.feedCopy.empty()) {
        return "held bytes, replay or feed copy left without a stream";
    }
    if (device.link.resampler || device.link.inputRate != 0) {
        return "a converter left without a stream";
    }
    return nullptr;
}

// The channels and the formats of an open stream.
const char* brokenFormat(const OutputDevice& device) {
    const std::size_t channels = device.ring.activeChannels;
    if (channels == 0 || device.ring.channelRings.size() != device.ring.bufferInfos.size() ||
        channels > device.ring.channelRings.size() ||
        static_cast<std::int64_t>(device.ring.channelRings.size()) !=
            device.active.outputChannelCount ||
        device.active.firstChannel < 0 ||
        device.active.firstChannel + static_cast<std::int64_t>(channels) >
            device.active.outputChannelCount) {
        return "the used channels do not fit the driver's";
    }
    for (std::size_t c = 0; c < channels; ++c) {
        const ChannelRing& ring = device.ring.channelRings[c];
        const asio::ASIOBufferInfo& info = device.ring.bufferInfos[c];
        if (!ring.ring || ring.converter == nullptr || ring.bytesPerSample <= 0 ||
            info.buffers[0] == nullptr || info.buffers[1] == nullptr) {
            return "a used channel without its ring, converter or halves";
        }
    }
    if (device.format.monoDuplicating && (channels != 2 || device.format.inputChannels != 1)) {
        return "mono duplicated onto other than two channels";
    }
    const std::int64_t inputSample =
        (device.format.inputBits < 0 ? -device.format.inputBits : device.format.inputBits) / 8;
    if (device.format.inputRate.load() == 0 || device.format.outputRate.load() == 0 ||
        device.format.inputBytesPerFrame.load() != inputSample * device.format.inputChannels) {
        return "the client format is not the stream's";
    }
    if (device.format.feedSampleBytes <= 0 ||
        device.format.feedSampleBytes != device.format.feedBits / 8 ||
        device.format.feedFrameBytes !=
            device.format.feedSampleBytes *
                static_cast<std::int64_t>(device.format.inputChannels)) {
        return "the feed format does not match its sample size";
    }
    if (!device.link.resampler && device.link.inputRate != 0) {
        return "a converter's format kept without the converter";
    }
    if (device.link.resampler &&
        (device.format.feedIsFloat != 1 || device.format.feedBits != 64 ||
         !device.active.resampleEnable ||
         device.format.outputRate.load() !=
             static_cast<std::uint32_t>(device.active.resampleRate) ||
         device.link.resampler->config.outputRate != device.active.resampleRate)) {
        return "a converter engaged but the rings fed otherwise";
    }
    return nullptr;
}

// The rings and what is held beside them; under deviceLock.
const char* brokenRings(const OutputDevice& device) {
    const std::int64_t ring = device.ring.frames;
    const std::int64_t queued = device.ring.queuedFrames.load();
    if (device.ring.bufferSize <= 0 || ring < device.ring.bufferSize) {
        return "a ring shorter than one half-buffer";
    }
    if (device.ring.readIndex < 0 || device.ring.readIndex >= ring || device.ring.writeIndex < 0 ||
        device.ring.writeIndex >= ring) {
        return "a ring index outside the ring";
    }
    if (queued < 0 || queued > ring ||
        (device.ring.readIndex + queued) % ring != device.ring.writeIndex) {
        return "the queued frames do not lead from the read index to the write index";
    }
    const auto frameBytes = static_cast<std::size_t>(device.format.feedFrameBytes);
    if (device.held.pending.size() >= ipc::kPayloadSize + frameBytes) {
        return "more than one payload of whole frames held";
    }
    if (device.held.replay.size() % frameBytes != 0) {
        return "a replay of partial frames";
    }
    if (!device.held.feedCopy.empty() &&
        device.held.feedCopy.size() != static_cast<std::size_t>(ring) * frameBytes) {
        return "a feed copy not the rings' length";
    }
    if (device.held.copyFreshFrom > device.held.framesConverted ||
        device.counters.pipelineFrames.load() < 0 || device.counters.framesPlayed.load() < 0 ||
        device.counters.bytesWritten.load() < 0) {
        return "a counter out of its range";
    }
    return nullptr;
}

} // namespace

const char* brokenInvariant(const OutputDevice& device) {
    if (const char* broken = brokenLifecycle(device)) {
        return broken;
    }
    if (!device.life.streamOpen) {
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
