// The playback commands between open and close, reset handling and the
// position answers of the real-time channel.
#include <algorithm>
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

// Main thread. Engages a fresh converter for the open stream's client format.
// Without one the writes would reach the rings in the client's format, so the
// stream is closed and the answer is false.
bool renewConverter(OutputDevice& device) {
    auto rate = static_cast<std::int32_t>(device.format.inputRate.load());
    std::int32_t isFloat = device.format.inputBits < 0 ? 1 : 0;
    std::int32_t bits =
        device.format.inputBits < 0 ? -device.format.inputBits : device.format.inputBits;
    configureResampler(device, rate, isFloat, bits,
                       static_cast<std::int32_t>(device.format.inputChannels));
    if (!device.link.resampler) {
        closeDevice(device);
        return false;
    }
    return true;
}

// Main thread. The write path with a converter engaged. The worker takes the
// whole write at once but converts only as far ahead as the rings take its
// output, so the driver starts after the first steps. Like a write without a
// converter, it then lasts while its audio plays: until the converter holds no
// more than the step it is filling, or a pause, a reset or a stalled driver.
std::int32_t feedResampler(OutputDevice& device, const std::uint8_t* data, std::int32_t count) {
    if (device.link.inputRate == 0) {
        // The stream's end was flushed, yet it goes on. The flushed converter
        // cannot carry on from there: a fresh one takes the rest, once the old
        // one's output is all in the rings. Until then the write is refused whole.
        if (!flushConverter(device) || !renewConverter(device)) {
            return 1;
        }
    }
    resample::ResamplerRequest& request = *device.link.resampler;
    // What waits unconverted beside the rings is capped at one payload; a
    // write past it is refused whole.
    const resample::WorkerBacklog before = resample::workerBacklog(request);
    if (static_cast<std::int64_t>(before.queuedInput) + count >
        static_cast<std::int64_t>(ipc::kPayloadSize)) {
        return 1;
    }
    if (!resample::workerFeed(request, data, count)) {
        return 1;
    }
    device.counters.bytesWritten.fetch_add(count);
    std::int64_t last = -1;
    std::int64_t progressMs = monotonicMs();
    for (;;) {
        feedRing(device, false, count, nullptr, false);
        const resample::WorkerBacklog backlog = resample::workerBacklog(request);
        if (backlog.queuedInput == 0 || device.life.abortWrites || device.life.paused ||
            device.life.resetRequested || device.life.resetPending) {
            return 0;
        }
        // Progress is output taken, not only steps converted: at a high
        // quality one step's output plays for seconds.
        const std::int64_t held = static_cast<std::int64_t>(backlog.queuedInput) + backlog.output;
        const std::int64_t now = monotonicMs();
        if (held != last) {
            last = held;
            progressMs = now;
        } else if (now - progressMs > kStallMs) {
            return 0;
        }
        waitForRoom(device);
    }
}

} // namespace

std::int32_t elapsedFrames(const OutputDevice& device) {
    const std::int64_t t =
        device.life.paused ? device.counters.pauseTime.load() : readClock(device);
    const std::int64_t frequency = device.clock.clockFrequency;
    if (frequency <= 0) {
        return 0;
    }
    std::int64_t ms = (t - device.counters.lastSwitchTime.load()) * 1000 / frequency;
    // The time stamp may be taken just after the clock was read here.
    if (ms < 0) {
        ms = 0;
    }
    if (ms > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    const std::int32_t frames =
        platform::mulDiv(static_cast<std::int32_t>(ms),
                         static_cast<std::int32_t>(device.format.outputRate.load()), 1000);
    // -1 here only means the product overflowed: long past any pipeline.
    return frames < 0 ? std::numeric_limits<std::int32_t>::max() : frames;
}

namespace {

// Main thread. Whether the open stream still has audio to hand the driver.
bool holdsAudio(OutputDevice& device) {
    if (!device.life.streamOpen) {
        return false;
    }
    return device.ring.queuedFrames.load() != 0 || replayFrames(device) > 0 ||
           device.held.pending.size() >= static_cast<std::size_t>(device.format.feedFrameBytes) ||
           (device.link.resampler && resample::workerCount(*device.link.resampler) != 0);
}

} // namespace

bool settleResetRequest(OutputDevice& device) {
    if (device.life.latencyChanged.exchange(false)) {
        readLatencies(device);
    }
    if (!device.life.resetRequested.exchange(false)) {
        return false;
    }
    // Between streams in keep-open mode, once the last track has played,
    // nothing plays: release the driver now. Its last frames re-open it.
    if (device.active.keepOpen && !device.life.outputOpen && !holdsAudio(device)) {
        platform::logLine("reset request between streams: closing the driver");
        closeDevice(device);
        return true;
    }
    platform::logLine("reset request taken: the stream re-opens at the next command");
    device.life.resetPending = true;
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
    if (!device.link.resampler) {
        return kept;
    }
    if (device.link.inputRate == 0) {
        resample::ResamplerRequest& request = *device.link.resampler;
        const std::uint32_t count = resample::workerPeek(request, INT32_MAX);
        if (count > 0 && request.outputData != nullptr) {
            audio.frames.insert(audio.frames.end(), request.outputData, request.outputData + count);
            resample::workerConsume(request, static_cast<std::int32_t>(count));
        }
        return kept;
    }
    kept.request = std::move(device.link.resampler);
    kept.rate = device.link.inputRate;
    kept.isFloat = device.link.inputIsFloat;
    kept.bits = device.link.inputBits;
    kept.channels = device.link.channels;
    device.link.inputRate = 0;
    device.link.inputIsFloat = -1;
    device.link.inputBits = 0;
    device.link.channels = 0;
    return kept;
}

void restoreConverter(OutputDevice& device, KeptConverter& kept) {
    if (!kept.request) {
        return;
    }
    device.link.resampler = std::move(kept.request);
    device.link.inputRate = kept.rate;
    device.link.inputIsFloat = kept.isFloat;
    device.link.inputBits = kept.bits;
    device.link.channels = kept.channels;
}

// Main thread. The reset itself: close the driver and open the same format
// again. Every frame the stream accepted survives it: the frames still queued
// in the rings (taken back in the format they were fed in, so new rings of
// another length or sample type take them alike), then the bytes held back,
// then the converter's backlog. Positions go on from the frames really handed
// to the driver; a pause stays a pause.
bool reopenKeepingAudio(OutputDevice& device) {
    const auto rate = static_cast<std::int32_t>(device.format.inputRate.load());
    const std::int32_t bits = device.format.inputBits;
    const auto channels = static_cast<std::int32_t>(device.format.inputChannels);
    const bool wasPaused = device.life.paused;
    // A pause stops the driver but leaves driverStopped clear.
    const bool wasRunning = !device.life.driverStopped;
    // What the real-time channel answers until the re-open is done.
    device.counters.heldPlayedMs = outputPositionMs(device);
    device.counters.heldWrittenMs = writtenPositionMs(device);
    device.life.reopening = true;
    // Stopped first: a buffer switch until then still hands frames over.
    if (wasRunning) {
        stopAndSilence(device);
        device.life.driverStopped = true;
    }
    const std::int64_t pauseTime = device.counters.pauseTime.load();
    const std::int64_t lastSwitchTime = device.counters.lastSwitchTime.load();
    const bool switchSeen = device.counters.switchSeen;
    const std::int64_t written = device.counters.bytesWritten.load();
    const std::int64_t played = device.counters.framesPlayed.load();

    QueuedAudio audio = takeQueuedAudio(device);
    std::vector<std::uint8_t> pending = std::move(device.held.pending);
    KeptConverter converter = keepConverter(device, audio);

    platform::logLine("re-open after a reset request: %d Hz, %d bits, %d channels", rate, bits,
                      channels);
    closeDevice(device);
    restoreConverter(device, converter);
    if (openOutput(device, rate, bits, channels) < 0) {
        platform::logLine("re-open failed; the client is told");
        // An open that failed early never reached the converter.
        if (device.link.resampler) {
            resample::workerDestroy(*device.link.resampler);
            device.link.resampler.reset();
            device.link.inputRate = 0;
        }
        device.life.reopening = false;
        return false;
    }
    device.counters.bytesWritten = written;
    device.counters.framesPlayed = played;
    device.held.pending = std::move(pending);
    // The same client format gives the same feed format, unless the settings
    // changed the conversion meanwhile: frames in another format cannot play.
    if (audio.frameBytes == device.format.feedFrameBytes &&
        audio.isFloat == device.format.feedIsFloat && audio.bits == device.format.feedBits &&
        audio.rate == device.format.outputRate.load()) {
        device.held.olderReplay = std::move(audio.older);
        device.held.replay = std::move(audio.frames);
        platform::enterLock(device.deviceLock);
        device.ring.uncountedFrames = audio.uncounted;
        platform::leaveLock(device.deviceLock);
    }
    if (wasPaused) {
        device.life.paused = true;
        device.counters.pauseTime = pauseTime;
        device.counters.lastSwitchTime = lastSwitchTime;
        device.counters.switchSeen = switchSeen;
    }
    // Refill the new rings; a driver that was playing starts again at once.
    feedRing(device, wasRunning && !wasPaused, 0, nullptr, false);
    if (wasPaused && wasRunning) {
        device.life.driverStopped = false; // as a pause leaves it: the resume starts it
    }
    device.life.reopening = false;
    return true;
}

} // namespace

bool reopenIfResetPending(OutputDevice& device) {
    if (!device.life.resetPending || !device.life.streamOpen) {
        return device.life.streamOpen;
    }
    if (!reopenKeepingAudio(device)) {
        device.life.resetPending = false;
        const std::uint64_t window = device.settings.notifyWindow.load();
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
    device.life.resetRequested = true;
}

std::int32_t writeStream(OutputDevice& device, const std::uint8_t* data, std::int32_t count) {
    settleResetRequest(device);
    if (!device.life.streamOpen || !ipc::payloadCountFits(count)) {
        return 1;
    }
    if (count == 0) {
        return 0;
    }
    if (device.link.resampler) {
        return feedResampler(device, data, count);
    }
    // Paused with a whole frame already held back: the rings are full and
    // nothing drains, so a further write is refused rather than held without bound.
    const auto frameBytes = static_cast<std::int64_t>(device.format.feedFrameBytes);
    if (device.life.paused && static_cast<std::int64_t>(device.held.pending.size()) >= frameBytes) {
        return 1;
    }
    // Nor is more than one payload of whole frames ever held beside the rings
    // (a reset pending, a stalled driver): a write that could leave more is
    // refused whole, counting only the room there is now.
    const std::int64_t total = static_cast<std::int64_t>(device.held.pending.size()) + count;
    const std::int64_t freeFrames =
        device.ring.frames - device.ring.queuedFrames.load() - replayFrames(device);
    const std::int64_t room = freeFrames > 0 ? freeFrames * frameBytes : 0;
    if (total - total % frameBytes - room > static_cast<std::int64_t>(ipc::kPayloadSize)) {
        return 1;
    }
    feedRing(device, false, count, data);
    device.counters.bytesWritten.fetch_add(count);
    return 0;
}

std::int32_t writableBytes(OutputDevice& device) {
    settleResetRequest(device);
    if (!reopenIfResetPending(device)) {
        return 0;
    }
    if (device.life.paused) {
        return 0;
    }
    // Frames held back during a pause or a re-open move into the rings as room
    // appears; the client, told there is no room meanwhile, would never push them.
    const bool pendingFrames =
        device.held.pending.size() >= static_cast<std::size_t>(device.format.feedFrameBytes);
    // So does a converter's output, converted as the rings take it.
    if (pendingFrames || replayFrames(device) > 0 || device.link.resampler) {
        feedRing(device, pendingFrames, 0, nullptr, false);
    }
    return clampToInt32(writableSpace(device));
}

std::int32_t isPlaying(OutputDevice& device) {
    settleResetRequest(device);
    // A driver that asked for a reset may never call back again: the queued
    // audio plays only after the re-open.
    if (!reopenIfResetPending(device) || device.active.keepOpen) {
        return 0;
    }
    if (device.link.resampler) {
        // Flush the converter once; its format is forgotten so the next open
        // builds a fresh one. A flush that found no room is tried again at the
        // next call, once the rings took some output.
        if (device.link.inputRate != 0 && resample::workerDrain(*device.link.resampler)) {
            forgetResamplerFormat(device);
        }
        // Only what fits now: the client asks again, so the channel is never
        // held for the seconds a long tail takes to play.
        feedRing(device, true, 0, nullptr, false);
        if (device.link.inputRate != 0 || resample::workerCount(*device.link.resampler) != 0 ||
            replayFrames(device) > 0) {
            return 1;
        }
    } else {
        // Only what fits now, as above: frames held back play in later calls.
        feedRing(device, true, 0, nullptr, false);
    }
    const bool queued =
        device.ring.queuedFrames.load() != 0 || replayFrames(device) > 0 ||
        device.held.pending.size() >= static_cast<std::size_t>(device.format.feedFrameBytes);
    if (device.life.driverStopped || !device.counters.switchSeen) {
        return queued ? 1 : 0;
    }
    if (device.counters.pipelineFrames.load() > elapsedFrames(device)) {
        return 1;
    }
    return queued ? 1 : 0;
}

bool playOut(OutputDevice& device) {
    // The driver took nothing for this long: it stopped calling back.
    constexpr std::int64_t kPlayOutStallMs = 3000;
    const auto held = [&device] {
        const std::int64_t frameBytes =
            device.format.feedFrameBytes > 0 ? device.format.feedFrameBytes : 1;
        // Whole frames held back wait only while no converter feeds the rings.
        return (device.link.resampler
                    ? static_cast<std::int64_t>(resample::workerCount(*device.link.resampler))
                    : static_cast<std::int64_t>(device.held.pending.size()) / frameBytes) +
               device.ring.queuedFrames.load() + replayFrames(device);
    };
    const auto audible = [&device] {
        return !device.life.driverStopped && device.counters.switchSeen &&
               device.counters.pipelineFrames.load() > elapsedFrames(device);
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
        if (device.life.abortWrites || device.life.resetRequested || device.life.resetPending) {
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
    if (!reopenIfResetPending(device) || !device.active.keepOpen || device.life.paused) {
        return;
    }
    if (device.link.resampler) {
        flushConverter(device);
    }
    playOut(device);
}

std::int32_t setPause(OutputDevice& device, std::int32_t pause) {
    settleResetRequest(device);
    if (!device.life.streamOpen) {
        return 0;
    }
    const bool was = device.life.paused;
    // A second pause must not move pauseTime: the position stays frozen.
    if (pause != 0 && was) {
        return 1;
    }
    if (device.life.driverStopped) {
        device.life.paused = pause != 0;
    } else if (pause != 0) {
        stopAndSilence(device);
        device.counters.pauseTime = readClock(device);
        device.life.paused = true;
    } else {
        device.counters.switchSeen = false;
        device.life.driverRunning = true;
        if (device.driver != nullptr) {
            logResult("start", device.driver->start());
        }
        device.life.paused = false;
    }
    return was ? 1 : 0;
}

void seekTo(OutputDevice& device, std::int32_t ms) {
    settleResetRequest(device);
    if (!device.life.streamOpen) {
        return;
    }
    if (!device.life.driverStopped) {
        stopAndSilence(device);
        device.life.abortWrites = true;
        device.life.driverStopped = true;
    }
    platform::enterLock(device.deviceLock);
    device.ring.readIndex = 0;
    device.ring.writeIndex = 0;
    device.ring.queuedFrames = 0;
    device.ring.uncountedFrames = 0;
    platform::leaveLock(device.deviceLock);
    device.held.pending.clear();
    forgetKeptFrames(device);
    device.life.abortWrites = false;
    // A position before the start is the start.
    const std::int64_t position = ms > 0 ? ms : 0;
    device.counters.framesPlayed =
        static_cast<std::int64_t>(device.format.outputRate.load()) * position / 1000;
    device.counters.bytesWritten =
        (static_cast<std::int64_t>(device.format.inputRate.load()) * position / 1000) *
        device.format.inputBytesPerFrame.load();
    if (device.link.resampler) {
        // Nothing before the new position may leak into it: a fresh converter.
        forgetResamplerFormat(device);
        resample::workerReset(*device.link.resampler);
        renewConverter(device);
    }
}

std::int32_t outputPositionMs(const OutputDevice& device) {
    if (device.life.reopening) {
        return device.counters.heldPlayedMs;
    }
    const std::int64_t rate = device.format.outputRate.load();
    if (!device.life.streamOpen || rate <= 0) {
        return 0;
    }
    std::int64_t pending = 0;
    if (!device.life.driverStopped && device.counters.switchSeen) {
        const std::int64_t left = device.counters.pipelineFrames.load() - elapsedFrames(device);
        pending = left > 0 ? left : 0;
    }
    // Right after a start the pipeline can hold more than was played.
    const std::int64_t ms = (device.counters.framesPlayed.load() - pending) * 1000 / rate;
    return ms > 0 ? clampToInt32(ms) : 0;
}

std::int32_t writtenPositionMs(const OutputDevice& device) {
    if (device.life.reopening) {
        return device.counters.heldWrittenMs;
    }
    const std::int64_t frameBytes = device.format.inputBytesPerFrame.load();
    const std::int64_t rate = device.format.inputRate.load();
    if (!device.life.streamOpen || frameBytes <= 0 || rate <= 0) {
        return 0;
    }
    return clampToInt32(device.counters.bytesWritten.load() / frameBytes * 1000 / rate);
}

} // namespace quillon::device
