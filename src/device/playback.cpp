// The ring traffic: the main thread converts client frames into the rings,
// the driver's callback copies them into its half-buffers.
//
//   ring (one per channel, shared indices)
//   [ . . . R x x x x x x W . . . ]   x = queuedFrames, converted already
//            ^ bufferSwitch reads  ^ feedRing writes
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "device/device_state.h"

namespace quillon::device {

namespace {

std::atomic<OutputDevice*> gCallbackDevice{nullptr};

// The longest a waiting write sleeps between looks when no buffer switch wakes it.
constexpr std::uint32_t kRoomWaitMs = 5;

void onBufferSwitch(asio::AsioLong index, asio::ASIOBool) {
    if (OutputDevice* device = gCallbackDevice.load(std::memory_order_acquire)) {
        bufferSwitch(*device, static_cast<std::int32_t>(index));
    }
}

void onSampleRateDidChange(asio::ASIOSampleRate rate) {
    platform::logFromCallback("driver says its rate changed: %lld Hz (%lld)",
                              static_cast<long long>(rate), 0);
}

asio::AsioLong onAsioMessage(asio::AsioLong selector, asio::AsioLong value, void*, double*) {
    return handleAsioMessage(gCallbackDevice.load(std::memory_order_acquire), selector, value);
}

asio::ASIOTime* onBufferSwitchTimeInfo(asio::ASIOTime*, asio::AsioLong, asio::ASIOBool) {
    return nullptr;
}

const asio::ASIOCallbacks kCallbacks{onBufferSwitch, onSampleRateDidChange, onAsioMessage,
                                     onBufferSwitchTimeInfo};

// How the frames being placed are laid out: the current feed format, or an
// older one with converters of its own.
struct Layout {
    std::size_t stride = 0;      // bytes per frame
    std::size_t sampleBytes = 0; // bytes per sample
    bool duplicate = false;
    const convert::Converter* const* converters = nullptr; // per channel; null: the rings'
};

Layout currentLayout(const OutputDevice& device) {
    return Layout{static_cast<std::size_t>(device.format.feedFrameBytes),
                  static_cast<std::size_t>(device.format.feedSampleBytes),
                  device.format.monoDuplicating, nullptr};
}

// Under deviceLock. Converts n frames into the rings at the write index, one
// contiguous run per channel and ring segment.
void convertFrames(OutputDevice& device, const Layout& layout, const std::uint8_t* source,
                   std::int32_t n) {
    const std::size_t stride = layout.stride;
    const std::int32_t first = std::min(n, device.ring.frames - device.ring.writeIndex);
    const std::int32_t second = n - first;
    for (std::uint32_t c = 0; c < device.ring.activeChannels; ++c) {
        const ChannelRing& ring = device.ring.channelRings[c];
        const convert::Converter* converter =
            layout.converters != nullptr ? layout.converters[c] : ring.converter;
        // A duplicated mono stream has one sample per frame for both channels.
        const std::uint8_t* src = source + (layout.duplicate ? 0 : c * layout.sampleBytes);
        const auto bytes = static_cast<std::size_t>(ring.bytesPerSample);
        converter->run(src, stride,
                       ring.ring.get() + static_cast<std::size_t>(device.ring.writeIndex) * bytes,
                       static_cast<std::size_t>(first));
        if (second > 0) {
            converter->run(src + static_cast<std::size_t>(first) * stride, stride, ring.ring.get(),
                           static_cast<std::size_t>(second));
        }
    }
    // The copy keeps the same frame index as the rings. Frames of an older
    // format keep theirs in olderCopy instead.
    const std::size_t copyBytes = static_cast<std::size_t>(device.ring.frames) * stride;
    if (layout.converters == nullptr && device.held.feedCopy.size() == copyBytes) {
        const std::size_t at = static_cast<std::size_t>(device.ring.writeIndex) * stride;
        std::memcpy(device.held.feedCopy.data() + at, source,
                    static_cast<std::size_t>(first) * stride);
        if (second > 0) {
            std::memcpy(device.held.feedCopy.data(),
                        source + static_cast<std::size_t>(first) * stride,
                        static_cast<std::size_t>(second) * stride);
        }
    }
    device.held.framesConverted += n;
    device.ring.writeIndex += n;
    if (device.ring.writeIndex >= device.ring.frames) {
        device.ring.writeIndex -= device.ring.frames;
    }
}

// Main thread. Converts up to `frames` whole frames from `source` into the
// rings, starting the driver when `startRule` says so. Waits for room while
// `mayWait`, but gives up on an abort, a pause, a reset, or 3 s in which the
// driver freed no room. Returns the frames placed.
template <typename StartRule>
std::int64_t placeFrames(OutputDevice& device, const Layout& layout, const std::uint8_t* source,
                         std::int64_t frames, bool mayWait, StartRule startRule) {
    const auto frameBytes = static_cast<std::int64_t>(layout.stride);
    std::int64_t placed = 0;
    std::int64_t progressMs = monotonicMs();
    while (!device.life.abortWrites) {
        platform::enterLock(device.deviceLock);
        const std::int64_t room = device.ring.frames - device.ring.queuedFrames.load();
        const auto n = static_cast<std::int32_t>(std::min(frames - placed, room));
        if (n > 0) {
            convertFrames(device, layout, source + placed * frameBytes, n);
            device.ring.queuedFrames.fetch_add(n);
        }
        platform::leaveLock(device.deviceLock);
        placed += n;
        // The start rule. Never while paused: the pause has to be lifted first.
        if (device.life.driverStopped && !device.life.paused && startRule()) {
            startDriver(device);
        }
        if (placed == frames) {
            break;
        }
        // Nothing drains while paused, and a driver asking for a reset may
        // have stopped calling back: keep the rest rather than wait forever.
        if (device.life.paused || !mayWait || device.life.resetRequested ||
            device.life.resetPending) {
            break;
        }
        const std::int64_t now = monotonicMs();
        if (n > 0) {
            progressMs = now;
        } else if (now - progressMs > kStallMs) {
            break;
        }
        waitForRoom(device);
    }
    return placed;
}

std::int64_t runFrames(const FeedRun& run) {
    return run.format.frameBytes > 0
               ? static_cast<std::int64_t>(run.bytes.size()) / run.format.frameBytes
               : 0;
}

// Main thread. Keeps the copy of `n` frames of an older format just placed
// from `source`, numbered from `firstFrame`, so that a reset can take them back.
void keepOlderCopy(OutputDevice& device, const FeedFormat& format, std::int64_t firstFrame,
                   const std::uint8_t* source, std::int64_t n) {
    if (n <= 0) {
        return;
    }
    // Runs that have played are of no more use.
    const std::int64_t consumed = device.held.framesConverted - device.ring.queuedFrames.load();
    while (!device.held.olderCopy.empty() &&
           device.held.olderCopy.front().firstFrame + runFrames(device.held.olderCopy.front()) <=
               consumed) {
        device.held.olderCopy.erase(device.held.olderCopy.begin());
    }
    const auto bytes = static_cast<std::size_t>(n) * static_cast<std::size_t>(format.frameBytes);
    try {
        if (!device.held.olderCopy.empty()) {
            FeedRun& last = device.held.olderCopy.back();
            if (last.format.isFloat == format.isFloat && last.format.bits == format.bits &&
                last.format.frameBytes == format.frameBytes &&
                last.format.duplicate == format.duplicate &&
                last.firstFrame + runFrames(last) == firstFrame) {
                last.bytes.insert(last.bytes.end(), source, source + bytes);
                return;
            }
        }
        device.held.olderCopy.push_back(FeedRun{format, firstFrame, {source, source + bytes}});
    } catch (const std::bad_alloc&) {
        // Plays on without: a reset would then lose these frames, nothing else.
        platform::logLine("no memory to keep %lld queued frames for a reset",
                          static_cast<long long>(n));
    }
}

// Main thread. Places the first run of an older format; true when it is all in.
template <typename StartRule>
bool placeOlderRun(OutputDevice& device, bool mayWait, StartRule startRule) {
    FeedRun& run = device.held.olderReplay.front();
    const FeedFormat& format = run.format;
    std::vector<const convert::Converter*> converters(device.ring.activeChannels, nullptr);
    const std::uint32_t sourceChannels = format.duplicate ? 1 : device.ring.activeChannels;
    bool usable =
        format.sampleBytes > 0 &&
        static_cast<std::int64_t>(sourceChannels) * format.sampleBytes == format.frameBytes;
    for (std::uint32_t c = 0; usable && c < device.ring.activeChannels; ++c) {
        converters[c] = convert::selectConverter(device.ring.channelRings[c].sampleType,
                                                 format.isFloat, format.bits);
        usable = converters[c] != nullptr;
    }
    if (!usable) {
        // Only a driver that came back with other channels gets here.
        platform::logLine("%lld frames of an earlier format no longer fit the driver",
                          static_cast<long long>(runFrames(run)));
        device.held.olderReplay.erase(device.held.olderReplay.begin());
        return true;
    }
    const Layout layout{static_cast<std::size_t>(format.frameBytes),
                        static_cast<std::size_t>(format.sampleBytes), format.duplicate,
                        converters.data()};
    const std::int64_t frames = runFrames(run);
    const std::int64_t firstFrame = device.held.framesConverted;
    const std::int64_t placed =
        placeFrames(device, layout, run.bytes.data(), frames, mayWait, startRule);
    keepOlderCopy(device, format, firstFrame, run.bytes.data(), placed);
    if (placed == frames) {
        device.held.olderReplay.erase(device.held.olderReplay.begin());
        return true;
    }
    run.bytes.erase(run.bytes.begin(),
                    run.bytes.begin() +
                        static_cast<std::ptrdiff_t>(static_cast<std::size_t>(placed) *
                                                    static_cast<std::size_t>(format.frameBytes)));
    return false;
}

// Main thread. Places the frames taken back at a re-open, older formats
// first, before anything newer. true when none are left.
bool placeReplay(OutputDevice& device, bool startNow, std::int32_t byteCount, bool mayWait) {
    const auto startRule = [&] {
        return startNow || writableSpace(device) < 2 * static_cast<std::int64_t>(byteCount);
    };
    while (!device.held.olderReplay.empty()) {
        const bool done = placeOlderRun(device, mayWait, startRule);
        if (device.life.abortWrites) {
            // A stop path drops queued audio by design; the replay goes with it.
            device.held.olderReplay.clear();
            device.held.replay.clear();
            return true;
        }
        if (!done) {
            return false;
        }
    }
    if (device.held.replay.empty()) {
        return true;
    }
    const auto frameBytes = static_cast<std::size_t>(device.format.feedFrameBytes);
    const auto frames = static_cast<std::int64_t>(device.held.replay.size() / frameBytes);
    const std::int64_t placed = placeFrames(device, currentLayout(device),
                                            device.held.replay.data(), frames, mayWait, startRule);
    if (device.life.abortWrites || placed == frames) {
        // A stop path drops queued audio by design; the replay goes with it.
        device.held.replay.clear();
        return true;
    }
    device.held.replay.erase(
        device.held.replay.begin(),
        device.held.replay.begin() +
            static_cast<std::ptrdiff_t>(static_cast<std::size_t>(placed) * frameBytes));
    return false;
}

} // namespace

std::int64_t monotonicMs() {
    static const std::int64_t frequency = [] {
        std::int64_t f = 0;
        return platform::perfFrequency(&f) && f > 0 ? f : 0;
    }();
    if (frequency == 0) {
        return platform::timerMs();
    }
    const std::int64_t ticks = platform::perfCounter();
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

void waitForRoom(OutputDevice& device) {
    // The time-out is only a safety net for a driver that stops calling back.
    if (device.roomEvent == nullptr ||
        platform::waitOne(device.roomEvent, kRoomWaitMs) == platform::kWaitFailed) {
        platform::sleepMs(1);
    }
}

FeedFormat currentFeedFormat(const OutputDevice& device) {
    return FeedFormat{device.format.feedIsFloat, device.format.feedBits,
                      device.format.feedSampleBytes, device.format.feedFrameBytes,
                      device.format.monoDuplicating};
}

QueuedAudio takeQueuedAudio(OutputDevice& device) {
    QueuedAudio audio;
    audio.frameBytes = device.format.feedFrameBytes;
    audio.isFloat = device.format.feedIsFloat;
    audio.bits = device.format.feedBits;
    audio.rate = device.format.outputRate.load();
    const auto stride = static_cast<std::size_t>(device.format.feedFrameBytes);
    platform::enterLock(device.deviceLock);
    const std::int64_t queued = device.ring.queuedFrames.load();
    const std::int64_t readIndex = device.ring.readIndex;
    const std::int64_t uncountedFrames = device.ring.uncountedFrames;
    platform::leaveLock(device.deviceLock);
    const std::int64_t consumed = device.held.framesConverted - queued;

    // Frames fed in an earlier format come first; their copies are their own.
    std::int64_t taken = 0;
    std::int64_t coveredEnd = consumed;
    for (FeedRun& run : device.held.olderCopy) {
        const std::int64_t end = run.firstFrame + runFrames(run);
        if (end <= consumed) {
            continue;
        }
        const std::int64_t from = std::max(run.firstFrame, consumed);
        const auto skip = static_cast<std::size_t>(from - run.firstFrame) *
                          static_cast<std::size_t>(run.format.frameBytes);
        audio.older.push_back(
            FeedRun{run.format,
                    from,
                    {run.bytes.begin() + static_cast<std::ptrdiff_t>(skip), run.bytes.end()}});
        taken += end - from;
        coveredEnd = std::max(coveredEnd, end);
    }
    device.held.olderCopy.clear();
    // Not yet placed, so behind every queued frame of an older format.
    for (FeedRun& run : device.held.olderReplay) {
        audio.older.push_back(std::move(run));
    }
    device.held.olderReplay.clear();

    // Then the frames whose copy is in the current format. Frames fed before a
    // change whose copy could not be kept (no memory) are lost.
    const std::int64_t from = std::max({consumed, coveredEnd, device.held.copyFreshFrom});
    const std::int64_t keep = std::max<std::int64_t>(device.held.framesConverted - from, 0);
    if (keep > 0 && stride > 0 &&
        device.held.feedCopy.size() == static_cast<std::size_t>(device.ring.frames) * stride) {
        const std::int64_t start = (readIndex + (from - consumed)) % device.ring.frames;
        const std::int64_t first = std::min<std::int64_t>(keep, device.ring.frames - start);
        const std::uint8_t* copy = device.held.feedCopy.data();
        audio.frames.assign(copy + static_cast<std::size_t>(start) * stride,
                            copy + static_cast<std::size_t>(start + first) * stride);
        audio.frames.insert(audio.frames.end(), copy,
                            copy + static_cast<std::size_t>(keep - first) * stride);
        taken += keep;
    }
    // The lost frames are the oldest still queued: the uncounted ones first.
    const std::int64_t stale = std::max<std::int64_t>(queued - taken, 0);
    const std::int64_t uncounted = uncountedFrames - stale;
    audio.uncounted = static_cast<std::int32_t>(uncounted > 0 ? uncounted : 0);
    audio.frames.insert(audio.frames.end(), device.held.replay.begin(), device.held.replay.end());
    device.held.replay.clear();
    return audio;
}

void keepPreviousFrames(OutputDevice& device, const FeedFormat& before, bool formatChanged) {
    // Whole frames held back (a write during a pause or a reset): in the old
    // feed format, since only a stream without a converter holds any.
    std::vector<std::uint8_t> held;
    if (before.frameBytes > 0 &&
        device.held.pending.size() >= static_cast<std::size_t>(before.frameBytes)) {
        const std::size_t whole =
            device.held.pending.size() -
            device.held.pending.size() % static_cast<std::size_t>(before.frameBytes);
        held.assign(device.held.pending.begin(),
                    device.held.pending.begin() + static_cast<std::ptrdiff_t>(whole));
    }
    if (!formatChanged) {
        device.held.replay.insert(device.held.replay.end(), held.begin(), held.end());
        return;
    }
    platform::enterLock(device.deviceLock);
    const std::int64_t queued = device.ring.queuedFrames.load();
    const std::int64_t readIndex = device.ring.readIndex;
    platform::leaveLock(device.deviceLock);
    const std::int64_t consumed = device.held.framesConverted - queued;
    const std::int64_t coveredEnd =
        device.held.olderCopy.empty()
            ? consumed
            : device.held.olderCopy.back().firstFrame + runFrames(device.held.olderCopy.back());
    const std::int64_t from = std::max({consumed, coveredEnd, device.held.copyFreshFrom});
    const auto stride = static_cast<std::size_t>(before.frameBytes);
    const std::int64_t n = device.held.framesConverted - from;
    if (n > 0 && stride > 0 &&
        device.held.feedCopy.size() == static_cast<std::size_t>(device.ring.frames) * stride) {
        // The copy is a ring too: at most two pieces, kept as one run.
        const std::int64_t start = (readIndex + (from - consumed)) % device.ring.frames;
        const std::int64_t first = std::min<std::int64_t>(n, device.ring.frames - start);
        const std::uint8_t* copy = device.held.feedCopy.data();
        keepOlderCopy(device, before, from, copy + static_cast<std::size_t>(start) * stride, first);
        keepOlderCopy(device, before, from + first, copy, n - first);
    }
    try {
        if (!device.held.replay.empty()) {
            device.held.olderReplay.push_back(FeedRun{before, 0, std::move(device.held.replay)});
        }
        if (!held.empty()) {
            device.held.olderReplay.push_back(FeedRun{before, 0, std::move(held)});
        }
    } catch (const std::bad_alloc&) {
        platform::logLine("no memory to keep the previous stream's last frames");
    }
    device.held.replay.clear();
}

void forgetKeptFrames(OutputDevice& device) {
    device.held.olderCopy.clear();
    device.held.olderReplay.clear();
    device.held.replay.clear();
}

const asio::ASIOCallbacks& driverCallbacks() {
    return kCallbacks;
}

void setCallbackDevice(OutputDevice* device) {
    gCallbackDevice.store(device, std::memory_order_release);
}

void clearCallbackDevice(OutputDevice* device) {
    OutputDevice* expected = device;
    gCallbackDevice.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

std::int64_t replayFrames(const OutputDevice& device) {
    std::int64_t frames =
        device.format.feedFrameBytes > 0
            ? static_cast<std::int64_t>(device.held.replay.size()) / device.format.feedFrameBytes
            : 0;
    for (const FeedRun& run : device.held.olderReplay) {
        frames += runFrames(run);
    }
    return frames;
}

std::int64_t writableSpace(const OutputDevice& device) {
    std::int64_t free = device.ring.frames - device.ring.queuedFrames.load();
    // Frames taken back at a re-open claim the room first.
    free -= replayFrames(device);
    if (free <= 0) {
        return 0;
    }
    if (device.link.resampler) {
        // Ring room in output frames, told to the client in its own frames.
        const std::int32_t frames =
            platform::mulDiv(static_cast<std::int32_t>(free),
                             static_cast<std::int32_t>(device.format.inputRate.load()),
                             static_cast<std::int32_t>(device.format.outputRate.load()));
        return frames > 0
                   ? static_cast<std::int64_t>(frames) * device.format.inputBytesPerFrame.load()
                   : 0;
    }
    const std::int64_t bytes = free * device.format.inputBytesPerFrame.load() -
                               static_cast<std::int64_t>(device.held.pending.size());
    return bytes > 0 ? bytes : 0;
}

void startDriver(OutputDevice& device) {
    device.counters.switchSeen = false;
    device.life.driverRunning = true;
    if (device.driver != nullptr) {
        logResult("start", device.driver->start());
    }
    device.life.driverStopped = false;
}

void silenceHalfBuffers(OutputDevice& device) {
    platform::enterLock(device.deviceLock);
    for (std::uint32_t c = 0; c < device.ring.activeChannels; ++c) {
        const auto bytes = static_cast<std::size_t>(device.ring.bufferSize) *
                           static_cast<std::size_t>(device.ring.channelRings[c].bytesPerSample);
        for (void* half : device.ring.bufferInfos[c].buffers) {
            if (half != nullptr) {
                std::memset(half, 0, bytes);
            }
        }
    }
    platform::leaveLock(device.deviceLock);
}

asio::ASIOError stopAndSilence(OutputDevice& device) {
    // Taken and released before stop: a driver whose stop waits for a running
    // callback would otherwise wait for one blocked on this lock.
    platform::enterLock(device.deviceLock);
    device.life.driverRunning = false;
    platform::leaveLock(device.deviceLock);
    const asio::ASIOError result =
        device.driver != nullptr ? logResult("stop", device.driver->stop()) : asio::ASE_NotPresent;
    silenceHalfBuffers(device);
    return result;
}

namespace {

// feedRing with a converter engaged: the source is the worker's output, asked
// for no more than the rings can take now, so it is placed in one pass.
void feedFromResampler(OutputDevice& device, bool startNow, std::int32_t byteCount, bool mayWait) {
    const auto startRule = [&] {
        return startNow || writableSpace(device) < 2 * static_cast<std::int64_t>(byteCount);
    };
    if (!placeReplay(device, startNow, byteCount, mayWait)) {
        return; // the worker keeps its output until the replay is in
    }
    resample::ResamplerRequest& request = *device.link.resampler;
    const auto frameBytes = static_cast<std::int64_t>(device.format.feedFrameBytes);
    const std::int64_t room = device.ring.frames - device.ring.queuedFrames.load();
    const std::int64_t most = std::min<std::int64_t>(room * frameBytes, INT32_MAX);
    const std::uint32_t count =
        most > 0 ? resample::workerPeek(request, static_cast<std::int32_t>(most)) : 0;
    const std::int64_t frames = count / frameBytes;
    // The rings only empty meanwhile, so this is one pass but for an abort.
    const std::int64_t placed =
        placeFrames(device, currentLayout(device), request.outputData, frames, mayWait, startRule);
    // After an abort the rest goes: the stream is being stopped or moved.
    const std::int64_t used = device.life.abortWrites ? count : placed * frameBytes;
    if (used > 0) {
        resample::workerConsume(request, static_cast<std::int32_t>(used));
    }
}

// Main thread. Pushes the converter's output into the rings until the worker
// holds none, waiting for room; stops early on abort, pause, reset or a stall.
// true when nothing is left in the worker.
bool pushResamplerOutput(OutputDevice& device) {
    std::uint32_t last = 0;
    std::int64_t progressMs = monotonicMs();
    for (;;) {
        feedRing(device, true, 0, nullptr);
        const std::uint32_t left = resample::workerCount(*device.link.resampler);
        if (left == 0 && replayFrames(device) == 0) {
            return true;
        }
        // Nothing drains while paused, and a driver asking for a reset, or one
        // that stopped calling back for seconds, may never make room again.
        if (device.life.abortWrites || device.life.paused || device.life.resetRequested ||
            device.life.resetPending) {
            return false;
        }
        const std::int64_t now = monotonicMs();
        if (left != last) {
            last = left;
            progressMs = now;
        } else if (now - progressMs > kStallMs) {
            return false;
        }
        waitForRoom(device);
    }
}

} // namespace

bool flushConverter(OutputDevice& device) {
    if (!device.link.resampler) {
        return true;
    }
    resample::ResamplerRequest& request = *device.link.resampler;
    // The flush makes output only as far ahead as the rings take it, so it
    // goes in turns: drain, place, drain again.
    for (;;) {
        const bool flushed = device.link.inputRate == 0 || resample::workerDrain(request);
        if (flushed) {
            forgetResamplerFormat(device);
        } else if (resample::workerCount(request) == 0) {
            platform::logLine("the converter's flush makes no output; its tail is dropped");
            return false;
        }
        if (!pushResamplerOutput(device)) {
            return false;
        }
        if (flushed) {
            return true;
        }
    }
}

void feedRing(OutputDevice& device, bool startNow, std::int32_t byteCount, const std::uint8_t* data,
              bool mayWait) {
    if (device.link.resampler) {
        feedFromResampler(device, startNow, byteCount, mayWait);
        return;
    }
    // Frames taken back at a re-open go first; until they are all in, new
    // bytes wait behind them.
    if (!placeReplay(device, startNow, byteCount, mayWait)) {
        if (byteCount > 0) {
            device.held.pending.insert(device.held.pending.end(), data,
                                       data + static_cast<std::size_t>(byteCount));
        }
        return;
    }
    const bool fromPending = !device.held.pending.empty();
    const std::uint8_t* source = data;
    std::size_t size = byteCount > 0 ? static_cast<std::size_t>(byteCount) : 0;
    if (fromPending) {
        if (size > 0) {
            device.held.pending.insert(device.held.pending.end(), data, data + size);
        }
        source = device.held.pending.data();
        size = device.held.pending.size();
    }
    const auto frameBytes = static_cast<std::size_t>(device.format.feedFrameBytes);
    const auto frames = static_cast<std::int64_t>(size / frameBytes);
    const std::size_t tail = size % frameBytes;

    const std::int64_t placed =
        placeFrames(device, currentLayout(device), source, frames, mayWait, [&] {
            const std::int64_t space =
                (device.ring.frames - device.ring.queuedFrames.load()) *
                    static_cast<std::int64_t>(device.format.inputBytesPerFrame.load()) -
                static_cast<std::int64_t>(tail);
            return startNow || space < 2 * static_cast<std::int64_t>(byteCount);
        });

    // What stays behind: whatever was not placed, or after an abort only the
    // incomplete frame.
    const std::size_t keep =
        device.life.abortWrites ? tail : size - static_cast<std::size_t>(placed) * frameBytes;
    if (fromPending) {
        device.held.pending.erase(device.held.pending.begin(),
                                  device.held.pending.begin() +
                                      static_cast<std::ptrdiff_t>(size - keep));
    } else {
        device.held.pending.assign(source + (size - keep), source + size);
    }
}

void bufferSwitch(OutputDevice& device, std::int32_t index) {
    if (index != 0 && index != 1) {
        return;
    }
    platform::enterLock(device.deviceLock);
    if (!device.life.driverRunning) {
        // A switch arriving while the driver is being stopped: silence, not
        // what this half held two periods ago, and no frame taken. Once the
        // buffers are going, not even that: the open after them sets up anew.
        if (device.life.halvesLive) {
            for (std::uint32_t c = 0; c < device.ring.activeChannels; ++c) {
                const auto bytes =
                    static_cast<std::size_t>(device.ring.channelRings[c].bytesPerSample);
                std::memset(device.ring.bufferInfos[c].buffers[index], 0,
                            static_cast<std::size_t>(device.ring.bufferSize) * bytes);
            }
        }
        platform::leaveLock(device.deviceLock);
        return;
    }
    const std::int32_t size = device.ring.bufferSize;
    const std::int32_t queued = device.ring.queuedFrames.load();
    std::int32_t take = size;
    if (queued < size) {
        device.counters.underruns.fetch_add(1, std::memory_order_relaxed);
        for (std::uint32_t c = 0; c < device.ring.activeChannels; ++c) {
            const auto bytes = static_cast<std::size_t>(device.ring.channelRings[c].bytesPerSample);
            auto* half = static_cast<std::uint8_t*>(device.ring.bufferInfos[c].buffers[index]);
            std::memset(half + static_cast<std::size_t>(queued) * bytes, 0,
                        static_cast<std::size_t>(size - queued) * bytes);
        }
        take = queued;
    }
    if (take > 0) {
        const std::int32_t read = device.ring.readIndex;
        const std::int32_t first = std::min(take, device.ring.frames - read);
        const std::int32_t second = take - first;
        for (std::uint32_t c = 0; c < device.ring.activeChannels; ++c) {
            const ChannelRing& ring = device.ring.channelRings[c];
            const auto bytes = static_cast<std::size_t>(ring.bytesPerSample);
            auto* half = static_cast<std::uint8_t*>(device.ring.bufferInfos[c].buffers[index]);
            std::memcpy(half, ring.ring.get() + static_cast<std::size_t>(read) * bytes,
                        static_cast<std::size_t>(first) * bytes);
            if (second > 0) {
                std::memcpy(half + static_cast<std::size_t>(first) * bytes, ring.ring.get(),
                            static_cast<std::size_t>(second) * bytes);
            }
        }
        const std::int32_t end = read + take;
        device.ring.readIndex = end >= device.ring.frames ? end - device.ring.frames : end;
        device.ring.queuedFrames.fetch_sub(take);

        // Frames left from the stream before a re-open play without counting.
        if (device.ring.uncountedFrames > 0) {
            device.ring.uncountedFrames -= take;
            if (device.ring.uncountedFrames < 0) {
                device.counters.framesPlayed =
                    -static_cast<std::int64_t>(device.ring.uncountedFrames);
            }
        } else {
            device.counters.framesPlayed.fetch_add(take);
        }
        device.counters.lastSwitchTime = readClock(device);
        device.counters.switchSeen = true;
        if (device.roomEvent != nullptr) {
            platform::setEvent(device.roomEvent);
        }
    }
    // Read under the lock: the main thread changes both only with the driver stopped.
    asio::IASIO* ready = device.active.useOutputReady ? device.driver : nullptr;
    platform::leaveLock(device.deviceLock);
    if (ready != nullptr) {
        ready->outputReady();
    }
}

asio::AsioLong handleAsioMessage(OutputDevice* device, asio::AsioLong selector,
                                 asio::AsioLong value) {
    platform::logFromCallback("driver message: selector %lld, value %lld", selector, value);
    switch (selector) {
    case asio::kAsioSelectorSupported:
        return (value >= asio::kAsioEngineVersion && value <= asio::kAsioSupportsTimeCode) ||
                       value == asio::kAsioSupportsInputMonitor
                   ? 1
                   : 0;
    case asio::kAsioEngineVersion:
        return 2;
    case asio::kAsioResetRequest:
    case asio::kAsioBufferSizeChange:
        if (device != nullptr) {
            handleResetRequest(*device);
        }
        return 1;
    case asio::kAsioLatenciesChanged:
        // Nothing to re-open: the main thread re-reads the latencies.
        if (device != nullptr) {
            device->life.latencyChanged = true;
        }
        return 1;
    case asio::kAsioSupportsInputMonitor:
        return 1;
    default:
        return 0;
    }
}

} // namespace quillon::device
