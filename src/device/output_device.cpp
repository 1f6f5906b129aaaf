// Loading the driver, preparing it and opening or closing a stream on it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "device/device_state.h"
#include "device/driver_list.h"
#include "device/output_device.h"

namespace quillon::device {

namespace {

class DeviceLockGuard {
public:
    explicit DeviceLockGuard(OutputDevice& device) : lock_(device.deviceLock) {
        platform::enterLock(lock_);
    }
    ~DeviceLockGuard() { platform::leaveLock(lock_); }
    DeviceLockGuard(const DeviceLockGuard&) = delete;
    DeviceLockGuard& operator=(const DeviceLockGuard&) = delete;

private:
    platform::Lock* lock_;
};

bool loadFromList(void* context, std::int32_t index, asio::IASIO** driver) {
    auto* list = static_cast<DriverList*>(context);
    if (list == nullptr || index < 0 || index >= list->count ||
        findDriverEntry(*list, index) == nullptr) {
        return false;
    }
    // By index, not by short name: two drivers may share one.
    return loadDriverByIndex(*list, index, driver);
}

void unloadFromList(void* context) {
    if (context != nullptr) {
        unloadDriver(*static_cast<DriverList*>(context));
    }
}

platform::ProcessPriority processClass(std::int32_t code) {
    switch (code) {
    case 1:
        return platform::ProcessPriority::High;
    case 2:
        return platform::ProcessPriority::Realtime;
    default:
        return platform::ProcessPriority::Normal;
    }
}

int threadLevel(std::int32_t code) {
    switch (code) {
    case 1:
        return platform::kPriorityAboveNormal;
    case 2:
        return platform::kPriorityHighest;
    case 3:
        return platform::kPriorityTimeCritical;
    default:
        return platform::kPriorityNormal;
    }
}

void applyPriorities(OutputDevice& device, platform::ProcessPriority process, int level) {
    platform::setProcessPriority(process);
    platform::setCurrentThreadPriority(level);
    if (device.realTimeThread != nullptr) {
        platform::setThreadPriority(device.realTimeThread, level);
    }
}

bool validFormat(std::int32_t bits) {
    switch (bits) {
    case 8:
    case 16:
    case 24:
    case 32:
    case -32:
    case -64:
        return true;
    default:
        return false;
    }
}

// Main thread. Reads the driver's layout and sizes everything for it.
bool prepareDevice(OutputDevice& device) {
    device.activeFirstChannel = device.firstChannel.load();
    device.driverStopped = true;
    device.driverRunning = false;
    device.keepOpenActive = device.keepDriverOpen.load();
    device.monoDuplicating = false;
    device.monoToStereoActive = device.monoToStereo.load();

    // Zero and -1 differ from every real format, so the next open configures all.
    device.outputRate = 0;
    device.feedIsFloat = -1;
    device.feedBits = 0;
    device.activeChannels = 0;

    asio::AsioLong inputs = 0;
    asio::AsioLong outputs = 0;
    logResult("getChannels", device.driver->getChannels(&inputs, &outputs));
    platform::logLine("channels: %ld in, %ld out", static_cast<long>(inputs),
                      static_cast<long>(outputs));
    // Every channel costs a ring and a buffer record: a count beyond any real
    // interface is a broken driver, not a reason to reserve gigabytes.
    if (outputs > kMaxDriverChannels) {
        return false;
    }
    device.outputChannelCount = outputs > 0 ? static_cast<std::int32_t>(outputs) : 0;
    device.pending.clear();
    device.pending.reserve(static_cast<std::size_t>(device.outputChannelCount) * 8);

    asio::AsioLong minSize = 0;
    asio::AsioLong maxSize = 0;
    asio::AsioLong preferred = 0;
    asio::AsioLong granularity = 0;
    logResult("getBufferSize",
              device.driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity));
    platform::logLine("buffer sizes: min %ld, max %ld, preferred %ld, granularity %ld; "
                      "multiplier %d",
                      static_cast<long>(minSize), static_cast<long>(maxSize),
                      static_cast<long>(preferred), static_cast<long>(granularity),
                      device.bufferMultiplier.load());
    const std::int64_t multiplier = device.bufferMultiplier.load();
    // Both factors are bounded before they are multiplied: a driver's size
    // times the client's multiplier could otherwise overflow.
    if (preferred < 1 || preferred > kMaxDriverBufferFrames || multiplier < 0) {
        return false;
    }
    const std::int64_t frames = (multiplier + 1) * static_cast<std::int64_t>(preferred) * 4;
    // A ring of 8-byte samples must fit: the largest driver sample type.
    if (frames * 8 > kMaxRingBytes) {
        return false;
    }
    device.bufferSize = static_cast<std::int32_t>(preferred);
    device.ringFrames = static_cast<std::int32_t>(frames);

    device.useOutputReady = logResult("outputReady", device.driver->outputReady()) == asio::ASE_OK;

    asio::ASIOInputMonitor monitor{-1, device.activeFirstChannel, 0x20000000,
                                   device.inputMonitor.load() ? 1 : 0, 0x3FFFFFFF};
    logResult("future(input monitor)", device.driver->future(asio::kAsioSetInputMonitor, &monitor));

    device.channelRings.clear();
    device.channelRings.resize(static_cast<std::size_t>(device.outputChannelCount));
    device.bufferInfos.assign(static_cast<std::size_t>(device.outputChannelCount),
                              asio::ASIOBufferInfo{});
    device.buffersCreated = false;

    device.resampleEnableActive = device.resampleEnable.load();
    device.resampleRateActive = device.resampleRate.load();
    device.resampleQualityActive = device.resampleQuality.load();

    applyPriorities(device, processClass(device.processPriority.load()),
                    threadLevel(device.threadPriority.load()));
    device.prepared = true;
    return true;
}

// Main thread. true when the device ends up prepared.
bool loadAndInitDriver(OutputDevice& device) {
    asio::IASIO* driver = nullptr;
    if (device.drivers.load == nullptr ||
        !device.drivers.load(device.drivers.context, device.driverIndex.load(), &driver) ||
        driver == nullptr) {
        platform::logLine("driver %d could not be loaded", device.driverIndex.load());
        return false;
    }
    device.driver = driver;
    device.driverLoaded = true;
    if (driver->init(nullptr) == 0) {
        char message[124] = {};
        driver->getErrorMessage(message);
        message[sizeof message - 1] = '\0';
        platform::logLine("init: 0 (%s)", message);
        // The list still owns the object; closeDevice releases it.
        device.driver = nullptr;
        return false;
    }
    char name[33] = {};
    driver->getDriverName(name);
    const long version = driver->getDriverVersion();
    platform::logLine("init: 1; driver %d is \"%s\", version %ld", device.driverIndex.load(), name,
                      version);
    return prepareDevice(device);
}

void forgetResamplerFormat(OutputDevice& device) {
    device.resamplerInputRate = 0;
    device.resamplerInputIsFloat = -1;
    device.resamplerInputBits = 0;
    device.resamplerChannels = 0;
}

// Main thread. Drops the engaged converter, if any.
void releaseResampler(OutputDevice& device) {
    if (device.resampler) {
        resample::workerDestroy(*device.resampler);
        device.resampler.reset();
    }
    forgetResamplerFormat(device);
}

} // namespace

// Main thread. Engages a converter exactly when the client's rate differs from
// the target, and then replaces rate, isFloat and bits by what the converters
// are fed: 64-bit float at the target rate. When no converter can be had (the
// factory refuses the pair, or the worker is gone) the stream stays at the
// client's rate, and the open then succeeds only if the driver accepts it.
bool configureResampler(OutputDevice& device, std::int32_t& rate, std::int32_t& isFloat,
                        std::int32_t& bits, std::int32_t channels) {
    // A converter kept across a re-open serves only if the settings still ask
    // for the target it was built for.
    const bool same = device.resampler && rate == device.resamplerInputRate &&
                      isFloat == device.resamplerInputIsFloat &&
                      bits == device.resamplerInputBits && channels == device.resamplerChannels &&
                      device.resampler->config.outputRate == device.resampleRateActive &&
                      device.resampler->config.quality == device.resampleQualityActive;
    if (!same) {
        if (device.streamOpen) {
            // The old converter's tail belongs to the stream already accepted,
            // and so does what a drain query flushed while the rings were full.
            if (device.resampler) {
                if (device.resamplerInputRate != 0) {
                    forgetResamplerFormat(device);
                    resample::workerDrain(*device.resampler);
                }
                pushResamplerOutput(device);
            } else {
                feedRing(device, true, 0, nullptr, false);
            }
        }
        releaseResampler(device);
        if (rate != device.resampleRateActive) {
            auto request = std::make_unique<resample::ResamplerRequest>();
            request->worker = device.worker;
            const bool created = resample::workerCreate(
                *request, device.resamplerPriority.load(), rate, device.resampleRateActive, isFloat,
                bits, channels, device.resampleQualityActive);
            // The create command has returned and nothing else runs on the
            // worker for this device: its converter may be read here.
            const resample::Resampler_base* made =
                created ? request->worker->activeResampler : nullptr;
            platform::logLine(
                "resampler %s: %d Hz to %d Hz, quality %d, %d channels, delay %d "
                "frames",
                created ? "created" : "refused", rate, device.resampleRateActive,
                device.resampleQualityActive, channels,
                made != nullptr && made->channels > 0 ? made->samplesToSkip / made->channels : 0);
            if (created) {
                device.resampler = std::move(request);
                device.resamplerInputRate = rate;
                device.resamplerInputIsFloat = isFloat;
                device.resamplerInputBits = bits;
                device.resamplerChannels = channels;
            }
        }
    }
    if (device.resampler) {
        rate = device.resampleRateActive;
        isFloat = 1;
        bits = 64;
    }
    return same;
}

namespace {

void disposeChannelBuffers(OutputDevice& device) {
    // Before the driver takes its buffers back: a late callback then touches none.
    {
        DeviceLockGuard guard(device);
        device.halvesLive = false;
        device.activeChannels = 0;
    }
    if (device.buffersCreated) {
        if (device.driver != nullptr) {
            logResult("disposeBuffers", device.driver->disposeBuffers());
        }
        device.buffersCreated = false;
    }
    clearCallbackDevice(&device);
    for (ChannelRing& ring : device.channelRings) {
        ring.ring.reset();
        ring.converter = nullptr;
    }
}

// Main thread. Creates the driver buffers and rings for `channels` channels.
bool createChannelBuffers(OutputDevice& device, std::int32_t channels) {
    disposeChannelBuffers(device);
    for (std::int32_t i = 0; i < channels; ++i) {
        asio::ASIOChannelInfo info{};
        info.channel = device.activeFirstChannel + i;
        info.isInput = 0;
        const asio::ASIOError found = device.driver->getChannelInfo(&info);
        const char* type = asio::sampleTypeName(info.type);
        info.name[sizeof info.name - 1] = '\0';
        platform::logLine("channel %ld: \"%s\" %s (getChannelInfo: %ld)",
                          static_cast<long>(info.channel), info.name,
                          type != nullptr ? type : "unknown type", static_cast<long>(found));
        const int bytes = asio::sampleTypeBytes(info.type);
        if (bytes == 0) {
            platform::logLine("sample type %ld is not supported", static_cast<long>(info.type));
            return false;
        }
        ChannelRing& ring = device.channelRings[static_cast<std::size_t>(i)];
        ring.sampleType = info.type;
        ring.bytesPerSample = bytes;
        ring.ring.reset(new (std::nothrow)
                            std::uint8_t[static_cast<std::size_t>(device.ringFrames) *
                                         static_cast<std::size_t>(bytes)]);
        if (!ring.ring) {
            return false;
        }
        device.bufferInfos[static_cast<std::size_t>(i)] =
            asio::ASIOBufferInfo{0, device.activeFirstChannel + i, {nullptr, nullptr}};
    }
    // Callbacks may come from inside createBuffers already.
    setCallbackDevice(&device);
    char call[64];
    std::snprintf(call, sizeof call, "createBuffers(%d channels, %d frames)", channels,
                  device.bufferSize);
    logResult(call, device.driver->createBuffers(device.bufferInfos.data(), channels,
                                                 device.bufferSize, &device.callbacks));
    device.buffersCreated = true;
    for (std::int32_t i = 0; i < channels; ++i) {
        const auto& info = device.bufferInfos[static_cast<std::size_t>(i)];
        // A driver that handed out no buffer would have the callback write
        // through a null pointer.
        if (info.buffers[0] == nullptr || info.buffers[1] == nullptr) {
            return false;
        }
    }

    if (!readLatencies(device)) {
        return false;
    }

    {
        DeviceLockGuard guard(device);
        device.activeChannels = static_cast<std::uint32_t>(channels);
        device.halvesLive = true;
    }
    silenceHalfBuffers(device);
    return true;
}

// Main thread. Sizes the feed-format copy of the rings for the feed format
// just set; `emptied` when the open emptied the rings.
void sizeFeedCopy(OutputDevice& device, bool emptied, bool feedChanged) {
    // The copy starts anew; queued frames fed in another format have theirs
    // in olderCopy by now.
    if (emptied || feedChanged) {
        device.copyFreshFrom = device.framesConverted;
        device.replay.clear();
    }
    const std::size_t bytes = static_cast<std::size_t>(device.ringFrames) *
                              static_cast<std::size_t>(device.feedFrameBytes);
    if (device.feedCopy.size() == bytes) {
        return;
    }
    device.copyFreshFrom = device.framesConverted;
    try {
        device.feedCopy.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
        // Plays on without: a reset then loses what was queued, nothing else.
        device.feedCopy.clear();
        device.feedCopy.shrink_to_fit();
    }
}

// Main thread, during an open that will empty the rings. The converter engaged
// for the new stream holds nothing of the old one, so it is set aside while
// the old frames, in the old feed format, play. A paused stream is lifted: the
// open ends the pause anyway, and its frames were accepted.
void playOutPreviousStream(OutputDevice& device) {
    std::unique_ptr<resample::ResamplerRequest> next = std::move(device.resampler);
    if (device.paused.exchange(false) && !device.driverStopped) {
        device.driverStopped = true; // a pause stopped it without saying so
    }
    if (!playOut(device)) {
        platform::logLine("open: %d frames of the previous stream did not play",
                          device.queuedFrames.load());
    }
    device.resampler = std::move(next);
}

std::int32_t failOpen(OutputDevice& device) {
    platform::logLine("open failed: closing the driver");
    closeDevice(device);
    return -1;
}

std::int32_t openLatency(const OutputDevice& device, std::int32_t rate) {
    std::int32_t ms =
        platform::mulDiv(device.ringFrames + device.pipelineFrames.load(), 1000, rate);
    if (ms < 0) {
        ms = 0;
    }
    return device.resampleEnableActive ? ms + 8000 : ms;
}

} // namespace

void closeDriverBuffers(OutputDevice& device);

bool readLatencies(OutputDevice& device) {
    if (device.driver == nullptr || !device.buffersCreated) {
        return true;
    }
    asio::AsioLong inputLatency = 0;
    asio::AsioLong outputLatency = 0;
    const asio::ASIOError result = device.driver->getLatencies(&inputLatency, &outputLatency);
    platform::logLine("latencies: input %ld, output %ld frames (getLatencies: %ld)",
                      static_cast<long>(inputLatency), static_cast<long>(outputLatency),
                      static_cast<long>(result));
    // Positions subtract the pipeline and the open answers it in ms: a
    // negative or absurd latency would make both lie. The last sound value stays.
    if (outputLatency < 0 || outputLatency > kMaxDriverLatencyFrames) {
        return false;
    }
    device.pipelineFrames = static_cast<std::int32_t>(2 * outputLatency);
    return true;
}

OutputDevice* createOutputDevice(const DriverSource& drivers, const platform::Clock& clock) {
    auto* device = new OutputDevice;
    device->drivers = drivers;
    device->clock = clock;
    device->deviceLock = platform::createLock();
    device->callbacks = driverCallbacks();
    platform::watchLogCounter("underruns", &device->underruns);
    // Without it a waiting write falls back to short sleeps.
    device->roomEvent = platform::createEvent(nullptr, true);
    return device;
}

OutputDevice* createOutputDevice(DriverList* drivers, const platform::Clock& clock) {
    return createOutputDevice(DriverSource{drivers, loadFromList, unloadFromList}, clock);
}

void destroyOutputDevice(OutputDevice* device) {
    if (device == nullptr) {
        return;
    }
    closeDevice(*device);
    platform::unwatchLogCounter(&device->underruns);
    platform::destroyLock(device->deviceLock);
    if (device->roomEvent != nullptr) {
        platform::closeHandle(device->roomEvent);
    }
    delete device;
}

void setRealTimeThread(OutputDevice& device, platform::Thread* realTimeThread) {
    device.realTimeThread = realTimeThread;
}

void setClockOverride(OutputDevice& device, std::int64_t (*now)(void*), void* context) {
    device.fakeNow = now;
    device.fakeNowContext = context;
}

std::int64_t readClock(const OutputDevice& device) {
    return device.fakeNow != nullptr ? device.fakeNow(device.fakeNowContext)
                                     : platform::clockNow(device.clock);
}

void applySettings(OutputDevice& device, const ipc::DeviceSettings& settings) {
    if (settings.notifyWindow != 0) {
        device.notifyWindow = settings.notifyWindow;
    }
    device.driverIndex = settings.driverIndex;
    device.processPriority = settings.processPriority;
    device.threadPriority = settings.threadPriority;
    device.bufferMultiplier = settings.bufferMultiplier;
    device.firstChannel = settings.firstChannel;
    device.keepDriverOpen = settings.keepDriverOpen;
    device.monoToStereo = settings.monoToStereo;
    device.inputMonitor = settings.inputMonitor;
    device.resampleEnable = settings.resampleEnable;
    device.resamplerPriority = settings.resamplerPriority;
    device.resampleRate = settings.resampleRate;
    device.resampleQuality = settings.resampleQuality;
}

std::int32_t openOutput(OutputDevice& device, std::int32_t rate, std::int32_t bits,
                        std::int32_t channels) {
    settleResetRequest(device);
    // Refused before anything is stored: a zero rate or channel count would
    // be divided by later.
    if (rate < 1 || channels < 1 || !validFormat(bits)) {
        platform::logLine("open refused: %d Hz, %d bits, %d channels is no format the server takes",
                          rate, bits, channels);
        return failOpen(device);
    }
    if (!device.prepared) {
        const bool ready = device.driverLoaded && device.driver != nullptr
                               ? prepareDevice(device)
                               : loadAndInitDriver(device);
        if (!ready) {
            return failOpen(device);
        }
    }

    std::int32_t isFloat = bits < 0 ? 1 : 0;
    std::int32_t absBits = bits < 0 ? -bits : bits;
    const std::int64_t previousRate = device.inputRate.load();
    const std::int64_t previousFrameBytes = device.inputBytesPerFrame.load();
    device.inputRate = static_cast<std::uint32_t>(rate);
    device.inputBits = bits;
    device.inputChannels = static_cast<std::uint32_t>(channels);

    const bool duplicate = device.monoToStereoActive && channels == 1;
    const std::int32_t driverChannels = duplicate ? 2 : channels;
    if (device.activeFirstChannel < 0 ||
        static_cast<std::int64_t>(driverChannels) + device.activeFirstChannel >
            device.outputChannelCount) {
        return failOpen(device);
    }
    device.inputBytesPerFrame = absBits / 8 * channels;

    // From here on rate, isFloat and absBits describe what the converters are
    // fed: the resampler's output when one is engaged. A converter kept across
    // a re-open after the settings turned resampling off has no place here.
    if (!device.resampleEnableActive) {
        releaseResampler(device);
    }
    const bool keptResampler =
        device.resampleEnableActive && configureResampler(device, rate, isFloat, absBits, channels);

    const bool rateChanged = static_cast<std::uint32_t>(rate) != device.outputRate.load();
    const bool floatChanged = isFloat != device.feedIsFloat;
    const bool bitsChanged = absBits != device.feedBits;
    const bool channelsChanged =
        static_cast<std::uint32_t>(driverChannels) != device.activeChannels;
    const bool identical = !rateChanged && !floatChanged && !bitsChanged && !channelsChanged &&
                           duplicate == device.monoDuplicating;

    const FeedFormat before = currentFeedFormat(device);
    if (!identical) {
        // New rings are about to replace the old ones: what the previous
        // stream still holds plays out first, the old converter's tail that
        // configureResampler pushed in included.
        if ((rateChanged || channelsChanged) && device.streamOpen) {
            playOutPreviousStream(device);
        }
        if ((rateChanged || channelsChanged) && !device.driverStopped) {
            stopAndSilence(device);
            device.abortWrites = true;
            device.driverStopped = true;
        }
        if (rateChanged) {
            char call[48];
            std::snprintf(call, sizeof call, "canSampleRate(%d)", rate);
            if (device.driver == nullptr ||
                logResult(call, device.driver->canSampleRate(rate)) != asio::ASE_OK) {
                return failOpen(device);
            }
            std::snprintf(call, sizeof call, "setSampleRate(%d)", rate);
            logResult(call, device.driver->setSampleRate(rate));
            device.outputRate = static_cast<std::uint32_t>(rate);
        }
        if (floatChanged || bitsChanged) {
            device.feedIsFloat = isFloat;
            device.feedBits = absBits;
            device.feedSampleBytes = absBits / 8;
        }
        if (channelsChanged && !createChannelBuffers(device, driverChannels)) {
            return failOpen(device);
        }
        if (floatChanged || bitsChanged || channelsChanged) {
            for (std::uint32_t c = 0; c < device.activeChannels; ++c) {
                ChannelRing& ring = device.channelRings[c];
                ring.converter =
                    convert::selectConverter(ring.sampleType, device.feedIsFloat, device.feedBits);
                if (ring.converter == nullptr) {
                    return failOpen(device);
                }
            }
        }
        device.monoDuplicating = duplicate;
    }
    device.feedFrameBytes = device.feedSampleBytes * channels;
    const bool emptied = rateChanged || channelsChanged;
    const bool feedChanged = floatChanged || bitsChanged ||
                             before.frameBytes != device.feedFrameBytes ||
                             before.duplicate != device.monoDuplicating;
    if (emptied) {
        forgetKeptFrames(device);
    } else {
        keepPreviousFrames(device, before, feedChanged);
    }
    sizeFeedCopy(device, emptied, feedChanged);

    {
        DeviceLockGuard guard(device);
        if (rateChanged || channelsChanged) {
            device.ringWriteIndex = 0;
            device.ringReadIndex = 0;
            device.queuedFrames = 0;
            device.uncountedFrames = 0;
            device.abortWrites = false;
        } else if (identical && keptResampler && previousRate > 0 && previousFrameBytes > 0) {
            // The converter kept its backlog too: what was written, in output
            // frames, less what was played, plays uncounted. A rebuilt one was
            // drained into the rings, which then hold the whole old tail.
            const std::int64_t left =
                (device.bytesWritten.load() / previousFrameBytes) * rate / previousRate -
                device.framesPlayed.load();
            device.uncountedFrames =
                static_cast<std::int32_t>(left < 0 ? 0 : (left > (1 << 30) ? (1 << 30) : left));
        } else {
            // Audio of the previous stream still queued, or still to be
            // placed before the new stream's, plays uncounted.
            device.uncountedFrames =
                device.queuedFrames.load() + static_cast<std::int32_t>(replayFrames(device));
        }
        device.framesPlayed = 0;
        device.bytesWritten = 0;
        // A reset asked for while this open ran (from inside setSampleRate or
        // createBuffers, say) is settled by it: never a second re-open.
        device.resetRequested = false;
        device.resetPending = false;
        // A pause stopped the driver without marking it stopped; with the pause
        // lifted the start rule must be able to start it again.
        if (device.paused.exchange(false) && !device.driverStopped) {
            device.driverStopped = true;
        }
        device.outputOpen = true;
        device.streamOpen = true;
    }
    if (!device.timerRaised) {
        platform::timerBeginPeriod(1);
        device.timerRaised = true;
    }
    // A partial frame of the previous stream would shift every frame of the new one.
    device.pending.clear();
    return openLatency(device, rate);
}

void closeDriverBuffers(OutputDevice& device) {
    device.streamOpen = false;
    if (!device.driverStopped) {
        stopAndSilence(device);
        device.abortWrites = true;
        device.driverStopped = true;
    }
    applyPriorities(device, platform::ProcessPriority::Normal, platform::kPriorityNormal);
    disposeChannelBuffers(device);
    releaseResampler(device);
    device.pending.clear();
    device.pending.shrink_to_fit();
    forgetKeptFrames(device);
    device.replay.shrink_to_fit();
    device.olderCopy.shrink_to_fit();
    device.olderReplay.shrink_to_fit();
    device.feedCopy.clear();
    device.feedCopy.shrink_to_fit();
    if (device.timerRaised) {
        platform::timerEndPeriod(1);
        device.timerRaised = false;
    }
    device.channelRings.clear();
    device.bufferInfos.clear();
    device.prepared = false;
}

void closeDevice(OutputDevice& device) {
    if (device.prepared) {
        closeDriverBuffers(device);
    }
    if (device.drivers.unload != nullptr) {
        device.drivers.unload(device.drivers.context);
    }
    if (device.driverLoaded) {
        platform::logLine("driver closed");
    }
    device.driver = nullptr;
    device.driverLoaded = false;
}

void closeOutput(OutputDevice& device, bool keepOutputOnClose) {
    settleResetRequest(device);
    if (!device.keepOpenActive) {
        closeDevice(device);
    } else if (!keepOutputOnClose && device.prepared) {
        closeDriverBuffers(device);
    }
    device.outputOpen = false;
}

} // namespace quillon::device
