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
    device.active.firstChannel = device.settings.firstChannel.load();
    device.life.driverStopped = true;
    device.life.driverRunning = false;
    device.active.keepOpen = device.settings.keepDriverOpen.load();
    device.format.monoDuplicating = false;
    device.active.monoToStereo = device.settings.monoToStereo.load();

    // Zero and -1 differ from every real format, so the next open configures all.
    device.format.outputRate = 0;
    device.format.feedIsFloat = -1;
    device.format.feedBits = 0;
    device.ring.activeChannels = 0;

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
    device.active.outputChannelCount = outputs > 0 ? static_cast<std::int32_t>(outputs) : 0;
    device.held.pending.clear();
    device.held.pending.reserve(static_cast<std::size_t>(device.active.outputChannelCount) * 8);

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
                      device.settings.bufferMultiplier.load());
    const std::int64_t multiplier = device.settings.bufferMultiplier.load();
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
    device.ring.bufferSize = static_cast<std::int32_t>(preferred);
    device.ring.frames = static_cast<std::int32_t>(frames);

    device.active.useOutputReady =
        logResult("outputReady", device.driver->outputReady()) == asio::ASE_OK;

    asio::ASIOInputMonitor monitor{-1, device.active.firstChannel, 0x20000000,
                                   device.settings.inputMonitor.load() ? 1 : 0, 0x3FFFFFFF};
    logResult("future(input monitor)", device.driver->future(asio::kAsioSetInputMonitor, &monitor));

    device.ring.channelRings.clear();
    device.ring.channelRings.resize(static_cast<std::size_t>(device.active.outputChannelCount));
    device.ring.bufferInfos.assign(static_cast<std::size_t>(device.active.outputChannelCount),
                                   asio::ASIOBufferInfo{});
    device.life.buffersCreated = false;

    device.active.resampleEnable = device.settings.resampleEnable.load();
    device.active.resampleRate = device.settings.resampleRate.load();
    device.active.resampleQuality = device.settings.resampleQuality.load();

    applyPriorities(device, processClass(device.settings.processPriority.load()),
                    threadLevel(device.settings.threadPriority.load()));
    device.life.prepared = true;
    return true;
}

// Main thread. true when the device ends up prepared.
bool loadAndInitDriver(OutputDevice& device) {
    asio::IASIO* driver = nullptr;
    if (device.drivers.load == nullptr ||
        !device.drivers.load(device.drivers.context, device.settings.driverIndex.load(), &driver) ||
        driver == nullptr) {
        platform::logLine("driver %d could not be loaded", device.settings.driverIndex.load());
        return false;
    }
    device.driver = driver;
    device.life.driverLoaded = true;
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
    platform::logLine("init: 1; driver %d is \"%s\", version %ld",
                      device.settings.driverIndex.load(), name, version);
    return prepareDevice(device);
}

// Main thread. Drops the engaged converter, if any.
void releaseResampler(OutputDevice& device) {
    if (device.link.resampler) {
        resample::workerDestroy(*device.link.resampler);
        device.link.resampler.reset();
    }
    forgetResamplerFormat(device);
}

} // namespace

void forgetResamplerFormat(OutputDevice& device) {
    device.link.inputRate = 0;
    device.link.inputIsFloat = -1;
    device.link.inputBits = 0;
    device.link.channels = 0;
}

// Main thread. Engages a converter exactly when the client's rate differs from
// the target, and then replaces rate, isFloat and bits by what the converters
// are fed: 64-bit float at the target rate. When no converter can be had (the
// factory refuses the pair, or the worker is gone) the stream stays at the
// client's rate, and the open then succeeds only if the driver accepts it.
bool configureResampler(OutputDevice& device, std::int32_t& rate, std::int32_t& isFloat,
                        std::int32_t& bits, std::int32_t channels) {
    // A converter kept across a re-open serves only if the settings still ask
    // for the target it was built for.
    const bool same = device.link.resampler && rate == device.link.inputRate &&
                      isFloat == device.link.inputIsFloat && bits == device.link.inputBits &&
                      channels == device.link.channels &&
                      device.link.resampler->config.outputRate == device.active.resampleRate &&
                      device.link.resampler->config.quality == device.active.resampleQuality;
    if (!same) {
        if (device.life.streamOpen) {
            // The old converter's tail belongs to the stream already accepted,
            // and so does what a drain query flushed while the rings were full.
            if (device.link.resampler) {
                flushConverter(device);
            } else {
                feedRing(device, true, 0, nullptr, false);
            }
        }
        releaseResampler(device);
        if (rate != device.active.resampleRate) {
            auto request = std::make_unique<resample::ResamplerRequest>();
            request->worker = device.link.worker;
            const bool created = resample::workerCreate(
                *request, device.settings.resamplerPriority.load(), rate,
                device.active.resampleRate, isFloat, bits, channels, device.active.resampleQuality);
            // The create command has returned and nothing else runs on the
            // worker for this device: its converter may be read here.
            const resample::Resampler_base* made =
                created ? request->worker->activeResampler : nullptr;
            platform::logLine(
                "resampler %s: %d Hz to %d Hz, quality %d, %d channels, delay %d "
                "frames",
                created ? "created" : "refused", rate, device.active.resampleRate,
                device.active.resampleQuality, channels,
                made != nullptr && made->channels > 0 ? made->samplesToSkip / made->channels : 0);
            if (created) {
                device.link.resampler = std::move(request);
                device.link.inputRate = rate;
                device.link.inputIsFloat = isFloat;
                device.link.inputBits = bits;
                device.link.channels = channels;
            }
        }
    }
    if (device.link.resampler) {
        rate = device.active.resampleRate;
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
        device.life.halvesLive = false;
        device.ring.activeChannels = 0;
    }
    if (device.life.buffersCreated) {
        if (device.driver != nullptr) {
            logResult("disposeBuffers", device.driver->disposeBuffers());
        }
        device.life.buffersCreated = false;
    }
    clearCallbackDevice(&device);
    for (ChannelRing& ring : device.ring.channelRings) {
        ring.ring.reset();
        ring.converter = nullptr;
    }
}

// Main thread. Creates the driver buffers and rings for `channels` channels.
bool createChannelBuffers(OutputDevice& device, std::int32_t channels) {
    disposeChannelBuffers(device);
    for (std::int32_t i = 0; i < channels; ++i) {
        asio::ASIOChannelInfo info{};
        info.channel = device.active.firstChannel + i;
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
        ChannelRing& ring = device.ring.channelRings[static_cast<std::size_t>(i)];
        ring.sampleType = info.type;
        ring.bytesPerSample = bytes;
        ring.ring.reset(new (std::nothrow)
                            std::uint8_t[static_cast<std::size_t>(device.ring.frames) *
                                         static_cast<std::size_t>(bytes)]);
        if (!ring.ring) {
            return false;
        }
        device.ring.bufferInfos[static_cast<std::size_t>(i)] =
            asio::ASIOBufferInfo{0, device.active.firstChannel + i, {nullptr, nullptr}};
    }
    // Callbacks may come from inside createBuffers already.
    setCallbackDevice(&device);
    char call[64];
    std::snprintf(call, sizeof call, "createBuffers(%d channels, %d frames)", channels,
                  device.ring.bufferSize);
    logResult(call, device.driver->createBuffers(device.ring.bufferInfos.data(), channels,
                                                 device.ring.bufferSize, &device.callbacks));
    device.life.buffersCreated = true;
    for (std::int32_t i = 0; i < channels; ++i) {
        const auto& info = device.ring.bufferInfos[static_cast<std::size_t>(i)];
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
        device.ring.activeChannels = static_cast<std::uint32_t>(channels);
        device.life.halvesLive = true;
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
        device.held.copyFreshFrom = device.held.framesConverted;
        device.held.replay.clear();
    }
    const std::size_t bytes = static_cast<std::size_t>(device.ring.frames) *
                              static_cast<std::size_t>(device.format.feedFrameBytes);
    if (device.held.feedCopy.size() == bytes) {
        return;
    }
    device.held.copyFreshFrom = device.held.framesConverted;
    try {
        device.held.feedCopy.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
        // Plays on without: a reset then loses what was queued, nothing else.
        device.held.feedCopy.clear();
        device.held.feedCopy.shrink_to_fit();
    }
}

// Main thread, during an open that will empty the rings. The converter engaged
// for the new stream holds nothing of the old one, so it is set aside while
// the old frames, in the old feed format, play. A paused stream is lifted: the
// open ends the pause anyway, and its frames were accepted.
void playOutPreviousStream(OutputDevice& device) {
    std::unique_ptr<resample::ResamplerRequest> next = std::move(device.link.resampler);
    if (device.life.paused.exchange(false) && !device.life.driverStopped) {
        device.life.driverStopped = true; // a pause stopped it without saying so
    }
    if (!playOut(device)) {
        platform::logLine("open: %d frames of the previous stream did not play",
                          device.ring.queuedFrames.load());
    }
    device.link.resampler = std::move(next);
}

std::int32_t failOpen(OutputDevice& device) {
    platform::logLine("open failed: closing the driver");
    closeDevice(device);
    return -1;
}

std::int32_t openLatency(const OutputDevice& device, std::int32_t rate) {
    std::int32_t ms =
        platform::mulDiv(device.ring.frames + device.counters.pipelineFrames.load(), 1000, rate);
    if (ms < 0) {
        ms = 0;
    }
    return device.active.resampleEnable ? ms + 8000 : ms;
}

} // namespace

void closeDriverBuffers(OutputDevice& device);

bool readLatencies(OutputDevice& device) {
    if (device.driver == nullptr || !device.life.buffersCreated) {
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
    device.counters.pipelineFrames = static_cast<std::int32_t>(2 * outputLatency);
    return true;
}

OutputDevice* createOutputDevice(const DriverSource& drivers, const platform::Clock& clock) {
    auto* device = new OutputDevice;
    device->drivers = drivers;
    device->clock = clock;
    device->deviceLock = platform::createLock();
    device->callbacks = driverCallbacks();
    platform::watchLogCounter("underruns", &device->counters.underruns);
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
    platform::unwatchLogCounter(&device->counters.underruns);
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
        device.settings.notifyWindow = settings.notifyWindow;
    }
    device.settings.driverIndex = settings.driverIndex;
    device.settings.processPriority = settings.processPriority;
    device.settings.threadPriority = settings.threadPriority;
    device.settings.bufferMultiplier = settings.bufferMultiplier;
    device.settings.firstChannel = settings.firstChannel;
    device.settings.keepDriverOpen = settings.keepDriverOpen;
    device.settings.monoToStereo = settings.monoToStereo;
    device.settings.inputMonitor = settings.inputMonitor;
    device.settings.resampleEnable = settings.resampleEnable;
    device.settings.resamplerPriority = settings.resamplerPriority;
    device.settings.resampleRate = settings.resampleRate;
    device.settings.resampleQuality = settings.resampleQuality;
}

namespace {

// What an open changes, worked out before anything is reconfigured. rate,
// isFloat and bits describe what the converters are fed: the resampler's
// output when one is engaged.
struct OpenChange {
    std::int32_t rate = 0;
    std::int32_t isFloat = 0;
    std::int32_t bits = 0;
    std::int32_t channels = 0;
    std::int32_t driverChannels = 0;
    bool duplicate = false;
    bool keptResampler = false;
    std::int64_t previousRate = 0;
    std::int64_t previousFrameBytes = 0;
    bool rateChanged = false;
    bool floatChanged = false;
    bool bitsChanged = false;
    bool channelsChanged = false;

    // New rings replace the old ones.
    bool emptied() const { return rateChanged || channelsChanged; }
};

// Main thread. Loads and prepares the driver unless a stream already has it.
bool loadAndPrepare(OutputDevice& device) {
    if (device.life.prepared) {
        return true;
    }
    return device.life.driverLoaded && device.driver != nullptr ? prepareDevice(device)
                                                                : loadAndInitDriver(device);
}

// Main thread. Records the client's format, engages the converter for it and
// works out what changes; false when the channels do not fit the driver.
bool takeClientFormat(OutputDevice& device, std::int32_t rate, std::int32_t bits,
                      std::int32_t channels, OpenChange& change) {
    change.rate = rate;
    change.isFloat = bits < 0 ? 1 : 0;
    change.bits = bits < 0 ? -bits : bits;
    change.channels = channels;
    change.previousRate = device.format.inputRate.load();
    change.previousFrameBytes = device.format.inputBytesPerFrame.load();
    device.format.inputRate = static_cast<std::uint32_t>(rate);
    device.format.inputBits = bits;
    device.format.inputChannels = static_cast<std::uint32_t>(channels);

    change.duplicate = device.active.monoToStereo && channels == 1;
    change.driverChannels = change.duplicate ? 2 : channels;
    if (device.active.firstChannel < 0 ||
        static_cast<std::int64_t>(change.driverChannels) + device.active.firstChannel >
            device.active.outputChannelCount) {
        return false;
    }
    device.format.inputBytesPerFrame = change.bits / 8 * channels;

    // A converter kept across a re-open after the settings turned resampling
    // off has no place here.
    if (!device.active.resampleEnable) {
        releaseResampler(device);
    }
    change.keptResampler =
        device.active.resampleEnable &&
        configureResampler(device, change.rate, change.isFloat, change.bits, channels);

    change.rateChanged = static_cast<std::uint32_t>(change.rate) != device.format.outputRate.load();
    change.floatChanged = change.isFloat != device.format.feedIsFloat;
    change.bitsChanged = change.bits != device.format.feedBits;
    change.channelsChanged =
        static_cast<std::uint32_t>(change.driverChannels) != device.ring.activeChannels;
    return true;
}

// Main thread. Asks the driver for the feed's rate.
bool setDriverRate(OutputDevice& device, std::int32_t rate) {
    char call[48];
    std::snprintf(call, sizeof call, "canSampleRate(%d)", rate);
    if (device.driver == nullptr ||
        logResult(call, device.driver->canSampleRate(rate)) != asio::ASE_OK) {
        return false;
    }
    std::snprintf(call, sizeof call, "setSampleRate(%d)", rate);
    logResult(call, device.driver->setSampleRate(rate));
    device.format.outputRate = static_cast<std::uint32_t>(rate);
    return true;
}

// Main thread. Sets the driver, the buffers and the converters up for the
// change; false when the driver refuses it.
bool applyFeedFormat(OutputDevice& device, const OpenChange& change) {
    if (change.emptied()) {
        // New rings are about to replace the old ones: what the previous
        // stream still holds plays out first, the old converter's tail that
        // configureResampler pushed in included.
        if (device.life.streamOpen) {
            playOutPreviousStream(device);
        }
        if (!device.life.driverStopped) {
            stopAndSilence(device);
            device.life.abortWrites = true;
            device.life.driverStopped = true;
        }
    }
    if (change.rateChanged && !setDriverRate(device, change.rate)) {
        return false;
    }
    if (change.floatChanged || change.bitsChanged) {
        device.format.feedIsFloat = change.isFloat;
        device.format.feedBits = change.bits;
        device.format.feedSampleBytes = change.bits / 8;
    }
    if (change.channelsChanged && !createChannelBuffers(device, change.driverChannels)) {
        return false;
    }
    if (change.floatChanged || change.bitsChanged || change.channelsChanged) {
        for (std::uint32_t c = 0; c < device.ring.activeChannels; ++c) {
            ChannelRing& ring = device.ring.channelRings[c];
            ring.converter = convert::selectConverter(ring.sampleType, device.format.feedIsFloat,
                                                      device.format.feedBits);
            if (ring.converter == nullptr) {
                return false;
            }
        }
    }
    device.format.monoDuplicating = change.duplicate;
    return true;
}

// Main thread. Empties the rings, or keeps what they and the previous stream
// hold, and starts the new stream's counters.
void startCounting(OutputDevice& device, const OpenChange& change, bool identical) {
    DeviceLockGuard guard(device);
    if (change.emptied()) {
        device.ring.writeIndex = 0;
        device.ring.readIndex = 0;
        device.ring.queuedFrames = 0;
        device.ring.uncountedFrames = 0;
        device.life.abortWrites = false;
    } else if (identical && change.keptResampler && change.previousRate > 0 &&
               change.previousFrameBytes > 0) {
        // The converter kept its backlog too: what was written, in output
        // frames, less what was played, plays uncounted. A rebuilt one was
        // drained into the rings, which then hold the whole old tail.
        const std::int64_t left =
            (device.counters.bytesWritten.load() / change.previousFrameBytes) * change.rate /
                change.previousRate -
            device.counters.framesPlayed.load();
        device.ring.uncountedFrames =
            static_cast<std::int32_t>(left < 0 ? 0 : (left > (1 << 30) ? (1 << 30) : left));
    } else {
        // Audio of the previous stream still queued, or still to be
        // placed before the new stream's, plays uncounted.
        device.ring.uncountedFrames =
            device.ring.queuedFrames.load() + static_cast<std::int32_t>(replayFrames(device));
    }
    device.counters.framesPlayed = 0;
    device.counters.bytesWritten = 0;
    // A reset asked for while this open ran (from inside setSampleRate or
    // createBuffers, say) is settled by it: never a second re-open.
    device.life.resetRequested = false;
    device.life.resetPending = false;
    // A pause stopped the driver without marking it stopped; with the pause
    // lifted the start rule must be able to start it again.
    if (device.life.paused.exchange(false) && !device.life.driverStopped) {
        device.life.driverStopped = true;
    }
    device.life.outputOpen = true;
    device.life.streamOpen = true;
}

} // namespace

std::int32_t openOutput(OutputDevice& device, std::int32_t rate, std::int32_t bits,
                        std::int32_t channels) {
    settleResetRequest(device);
    // The previous stream's queued audio survives a reset asked for since:
    // re-opened first, it plays before the new stream's.
    if (device.life.resetPending) {
        reopenIfResetPending(device);
    }
    // Refused before anything is stored: a zero rate or channel count would
    // be divided by later.
    if (rate < 1 || channels < 1 || !validFormat(bits)) {
        platform::logLine("open refused: %d Hz, %d bits, %d channels is no format the server takes",
                          rate, bits, channels);
        return failOpen(device);
    }
    OpenChange change;
    if (!loadAndPrepare(device) || !takeClientFormat(device, rate, bits, channels, change)) {
        return failOpen(device);
    }
    const bool identical = !change.rateChanged && !change.floatChanged && !change.bitsChanged &&
                           !change.channelsChanged &&
                           change.duplicate == device.format.monoDuplicating;
    const FeedFormat before = currentFeedFormat(device);
    if (!identical && !applyFeedFormat(device, change)) {
        return failOpen(device);
    }
    device.format.feedFrameBytes = device.format.feedSampleBytes * channels;
    const bool feedChanged = change.floatChanged || change.bitsChanged ||
                             before.frameBytes != device.format.feedFrameBytes ||
                             before.duplicate != device.format.monoDuplicating;
    if (change.emptied()) {
        forgetKeptFrames(device);
    } else {
        keepPreviousFrames(device, before, feedChanged);
    }
    sizeFeedCopy(device, change.emptied(), feedChanged);
    startCounting(device, change, identical);
    if (!device.life.timerRaised) {
        platform::timerBeginPeriod(1);
        device.life.timerRaised = true;
    }
    // A partial frame of the previous stream would shift every frame of the new one.
    device.held.pending.clear();
    return openLatency(device, change.rate);
}

void closeDriverBuffers(OutputDevice& device) {
    device.life.streamOpen = false;
    if (!device.life.driverStopped) {
        stopAndSilence(device);
        device.life.abortWrites = true;
        device.life.driverStopped = true;
    }
    applyPriorities(device, platform::ProcessPriority::Normal, platform::kPriorityNormal);
    disposeChannelBuffers(device);
    releaseResampler(device);
    device.held.pending.clear();
    device.held.pending.shrink_to_fit();
    forgetKeptFrames(device);
    device.held.replay.shrink_to_fit();
    device.held.olderCopy.shrink_to_fit();
    device.held.olderReplay.shrink_to_fit();
    device.held.feedCopy.clear();
    device.held.feedCopy.shrink_to_fit();
    if (device.life.timerRaised) {
        platform::timerEndPeriod(1);
        device.life.timerRaised = false;
    }
    device.ring.channelRings.clear();
    device.ring.bufferInfos.clear();
    device.life.prepared = false;
}

void closeDevice(OutputDevice& device) {
    if (device.life.prepared) {
        closeDriverBuffers(device);
    }
    if (device.drivers.unload != nullptr) {
        device.drivers.unload(device.drivers.context);
    }
    if (device.life.driverLoaded) {
        platform::logLine("driver closed");
    }
    device.driver = nullptr;
    device.life.driverLoaded = false;
}

void closeOutput(OutputDevice& device, bool keepOutputOnClose) {
    settleResetRequest(device);
    if (!device.active.keepOpen) {
        closeDevice(device);
    } else if (!keepOutputOnClose && device.life.prepared) {
        closeDriverBuffers(device);
    }
    device.life.outputOpen = false;
}

} // namespace quillon::device
