// The playback commands between open and close, reset handling and the
// position answers of the real-time channel.
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "device/device_state.h"
#include "ipc/shared_block.h"

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
    const std::int32_t frames = platform::mulDiv(
        static_cast<std::int32_t>(ms), static_cast<std::int32_t>(device.outputRate.load()), 1000);
    // -1 here only means the product overflowed: long past any pipeline.
    return frames < 0 ? std::numeric_limits<std::int32_t>::max() : frames;
}

bool settleResetRequest(OutputDevice& device) {
    if (device.latencyChanged.exchange(false)) {
        readLatencies(device);
    }
    if (!device.resetRequested.exchange(false)) {
        return false;
    }
    // Between streams in keep-open mode nothing plays: release the driver now.
    if (device.keepOpenActive && !device.outputOpen) {
        platform::logLine("reset request between streams: closing the driver");
        closeDevice(device);
        return true;
    }
    platform::logLine("reset request taken: the stream re-opens at the next command");
    device.resetPending = true;
    return false;
}

namespace {

// The converter and the client format it was built for, kept across a close.
struct KeptConverter {
    std::unique_ptr<resample::ResamplerRequest> request;
    std::int32_t rate = 0;
    std::int32_t isFloat = -1;
    std::int32_t bits = 0;
    std::int32_t channels = 0;
};

// Main thread. Takes the engaged converter away from the device so that a
// close does not destroy it, with its filter state and the output it holds.
// A converter already flushed at the end of the stream is not kept: what it
// still holds goes to `audio`, and the re-open builds none.
KeptConverter keepConverter(OutputDevice& device, QueuedAudio& audio) {
    KeptConverter kept;
    if (!device.resampler) {
        return kept;
    }
    if (device.resamplerInputRate == 0) {
        resample::ResamplerRequest& request = *device.resampler;
        const std::uint32_t count = resample::workerPeek(request, INT32_MAX);
        if (count > 0 && request.outputData != nullptr) {
            audio.frames.insert(audio.frames.end(), request.outputData, request.outputData + count);
            resample::workerConsume(request, static_cast<std::int32_t>(count));
        }
        return kept;
    }
    kept.request = std::move(device.resampler);
    kept.rate = device.resamplerInputRate;
    kept.isFloat = device.resamplerInputIsFloat;
    kept.bits = device.resamplerInputBits;
    kept.channels = device.resamplerChannels;
    device.resamplerInputRate = 0;
    device.resamplerInputIsFloat = -1;
    device.resamplerInputBits = 0;
    device.resamplerChannels = 0;
    return kept;
}

void restoreConverter(OutputDevice& device, KeptConverter& kept) {
    if (!kept.request) {
        return;
    }
    device.resampler = std::move(kept.request);
    device.resamplerInputRate = kept.rate;
    device.resamplerInputIsFloat = kept.isFloat;
    device.resamplerInputBits = kept.bits;
    device.resamplerChannels = kept.channels;
}

// Main thread. The reset itself: close the driver and open the same format
// again. Every frame the stream accepted survives it: the frames still queued
// in the rings (taken back in the format they were fed in, so new rings of
// another length or sample type take them alike), then the bytes held back,
// then the converter's backlog. Positions go on from the frames really handed
// to the driver; a pause stays a pause.
bool reopenKeepingAudio(OutputDevice& device) {
    const auto rate = static_cast<std::int32_t>(device.inputRate.load());
    const std::int32_t bits = device.inputBits;
    const auto channels = static_cast<std::int32_t>(device.inputChannels);
    const bool wasPaused = device.paused;
    // A pause stops the driver but leaves driverStopped clear.
    const bool wasRunning = !device.driverStopped;
    // What the real-time channel answers until the re-open is done.
    device.heldPlayedMs = outputPositionMs(device);
    device.heldWrittenMs = writtenPositionMs(device);
    device.reopening = true;
    // Stopped first: a buffer switch until then still hands frames over.
    if (wasRunning) {
        stopAndSilence(device);
        device.driverStopped = true;
    }
    const std::int64_t pauseTime = device.pauseTime.load();
    const std::int64_t lastSwitchTime = device.lastSwitchTime.load();
    const bool switchSeen = device.switchSeen;
    const std::int64_t written = device.bytesWritten.load();
    const std::int64_t played = device.framesPlayed.load();

    QueuedAudio audio = takeQueuedAudio(device);
    std::vector<std::uint8_t> pending = std::move(device.pending);
    KeptConverter converter = keepConverter(device, audio);

    platform::logLine("re-open after a reset request: %d Hz, %d bits, %d channels", rate, bits,
                      channels);
    closeDevice(device);
    restoreConverter(device, converter);
    if (openOutput(device, rate, bits, channels) < 0) {
        platform::logLine("re-open failed; the client is told");
        // An open that failed early never reached the converter.
        if (device.resampler) {
            resample::workerDestroy(*device.resampler);
            device.resampler.reset();
            device.resamplerInputRate = 0;
        }
        device.reopening = false;
        return false;
    }
    device.bytesWritten = written;
    device.framesPlayed = played;
    device.pending = std::move(pending);
    // The same client format gives the same feed format, unless the settings
    // changed the conversion meanwhile: frames in another format cannot play.
    if (audio.frameBytes == device.feedFrameBytes && audio.isFloat == device.feedIsFloat &&
        audio.bits == device.feedBits && audio.rate == device.outputRate.load()) {
        device.olderReplay = std::move(audio.older);
        device.replay = std::move(audio.frames);
        platform::enterLock(device.deviceLock);
        device.uncountedFrames = audio.uncounted;
        platform::leaveLock(device.deviceLock);
    }
    if (wasPaused) {
        device.paused = true;
        device.pauseTime = pauseTime;
        device.lastSwitchTime = lastSwitchTime;
        device.switchSeen = switchSeen;
    }
    // Refill the new rings; a driver that was playing starts again at once.
    feedRing(device, wasRunning && !wasPaused, 0, nullptr, false);
    if (wasPaused && wasRunning) {
        device.driverStopped = false; // as a pause leaves it: the resume starts it
    }
    device.reopening = false;
    return true;
}

} // namespace

bool reopenIfResetPending(OutputDevice& device) {
    if (!device.resetPending || !device.streamOpen) {
        return device.streamOpen;
    }
    if (!reopenKeepingAudio(device)) {
        device.resetPending = false;
        const std::uint64_t window = device.notifyWindow.load();
        if (window != 0) {
            platform::postWindowMessage(window, platform::kWmCommand, ipc::kResetFailedCommandId,
                                        0);
        }
        return false;
    }
    return true;
}

void handleResetRequest(OutputDevice& device) {
    // Only a flag: the close runs on the main thread, so it never races a
    // main-channel command and never runs inside the driver's callback.
    device.resetRequested = true;
}

std::int32_t writeStream(OutputDevice& device, const std::uint8_t* data, std::int32_t count) {
    settleResetRequest(device);
    if (!device.streamOpen || !ipc::payloadCountFits(count)) {
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
    const auto frameBytes = static_cast<std::int64_t>(device.feedFrameBytes);
    if (device.paused && static_cast<std::int64_t>(device.pending.size()) >= frameBytes) {
        return 1;
    }
    // Nor is more than one payload of whole frames ever held beside the rings
    // (a reset pending, a stalled driver): a write that could leave more is
    // refused whole, counting only the room there is now.
    const std::int64_t total = static_cast<std::int64_t>(device.pending.size()) + count;
    const std::int64_t freeFrames =
        device.ringFrames - device.queuedFrames.load() - replayFrames(device);
    const std::int64_t room = freeFrames > 0 ? freeFrames * frameBytes : 0;
    if (total - total % frameBytes - room > static_cast<std::int64_t>(ipc::kPayloadSize)) {
        return 1;
    }
    feedRing(device, false, count, data);
    device.bytesWritten.fetch_add(count);
    return 0;
}

std::int32_t writableBytes(OutputDevice& device) {
    settleResetRequest(device);
    if (!reopenIfResetPending(device)) {
        return 0;
    }
    if (device.paused) {
        return 0;
    }
    // Frames held back during a pause or a re-open move into the rings as room
    // appears; the client, told there is no room meanwhile, would never push them.
    const bool pendingFrames =
        device.pending.size() >= static_cast<std::size_t>(device.feedFrameBytes);
    if (pendingFrames || replayFrames(device) > 0) {
        feedRing(device, pendingFrames, 0, nullptr, false);
    }
    return clampToInt32(writableSpace(device));
}

std::int32_t isPlaying(OutputDevice& device) {
    settleResetRequest(device);
    // A driver that asked for a reset may never call back again: the queued
    // audio plays only after the re-open.
    if (!reopenIfResetPending(device) || device.keepOpenActive) {
        return 0;
    }
    if (device.resampler) {
        // Flush the converter once; its format is forgotten so the next open
        // builds a fresh one. A flush that found no room is tried again at the
        // next call, once the rings took some output.
        if (device.resamplerInputRate != 0 && resample::workerDrain(*device.resampler)) {
            device.resamplerInputRate = 0;
            device.resamplerInputIsFloat = -1;
            device.resamplerInputBits = 0;
            device.resamplerChannels = 0;
        }
        // Only what fits now: the client asks again, so the channel is never
        // held for the seconds a long tail takes to play.
        feedRing(device, true, 0, nullptr, false);
        if (device.resamplerInputRate != 0 || resample::workerCount(*device.resampler) != 0 ||
            replayFrames(device) > 0) {
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

bool playOut(OutputDevice& device) {
    // The driver took nothing for this long: it stopped calling back.
    constexpr std::int64_t kPlayOutStallMs = 3000;
    const auto held = [&device] {
        const std::int64_t frameBytes = device.feedFrameBytes > 0 ? device.feedFrameBytes : 1;
        // Whole frames held back wait only while no converter feeds the rings.
        return (device.resampler
                    ? static_cast<std::int64_t>(resample::workerCount(*device.resampler))
                    : static_cast<std::int64_t>(device.pending.size()) / frameBytes) +
               device.queuedFrames.load() + replayFrames(device);
    };
    const auto audible = [&device] {
        return !device.driverStopped && device.switchSeen &&
               device.pipelineFrames.load() > elapsedFrames(device);
    };
    // Nothing to play: a stopped driver stays stopped.
    if (held() == 0 && !audible()) {
        return true;
    }
    std::int64_t last = -1;
    std::int64_t progressMs = monotonicMs();
    for (;;) {
        feedRing(device, true, 0, nullptr, false);
        const std::int64_t left = held();
        if (left == 0 && !audible()) {
            return true;
        }
        if (device.abortWrites || device.resetRequested || device.resetPending) {
            return false;
        }
        const std::int64_t now = monotonicMs();
        if (left != last) {
            last = left;
            progressMs = now;
        } else if (now - progressMs > kPlayOutStallMs) {
            platform::logLine("play-out gave up: the driver took nothing for %lld ms",
                              static_cast<long long>(now - progressMs));
            return false;
        }
        waitForRoom(device);
    }
}

void finishPlaying(OutputDevice& device) {
    settleResetRequest(device);
    // Only keep-open mode leaves a stream for the quit: elsewhere close output
    // ended it, and a paused stream has nothing to play until a resume.
    if (!device.streamOpen || !device.keepOpenActive || device.paused) {
        return;
    }
    if (device.resampler && device.resamplerInputRate != 0 &&
        resample::workerDrain(*device.resampler)) {
        device.resamplerInputRate = 0;
    }
    playOut(device);
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
            logResult("start", device.driver->start());
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
    forgetKeptFrames(device);
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
    if (device.reopening) {
        return device.heldPlayedMs;
    }
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
    if (device.reopening) {
        return device.heldWrittenMs;
    }
    const std::int64_t frameBytes = device.inputBytesPerFrame.load();
    const std::int64_t rate = device.inputRate.load();
    if (!device.streamOpen || frameBytes <= 0 || rate <= 0) {
        return 0;
    }
    return clampToInt32(device.bytesWritten.load() / frameBytes * 1000 / rate);
}

} // namespace quillon::device
