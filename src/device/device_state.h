// The output device record and the operations shared by its three parts:
// set-up (output_device.cpp), the ring traffic with the driver's callback
// (playback.cpp) and the playback commands (control.cpp). Tests include it to
// build devices over a fake driver and a fake clock.
//
// Threads: the main thread runs every set-up, command, start, stop and
// conversion; the driver's thread runs bufferSwitch and asioMessage; the
// real-time thread writes settings and reads counters. Anything the latter two
// read without deviceLock is an atomic, read whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "device/asio.h"
#include "device/convert/convert.h"
#include "device/output_device.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "resample/worker.h"

namespace quillon::device {

// Where driver objects come from: the installed list in the server, a fake
// in tests.
struct DriverSource {
    void* context = nullptr;
    // Instantiates the driver registered at `index` itself and makes it
    // current; false when there is no such entry or it cannot be created.
    bool (*load)(void* context, std::int32_t index, asio::IASIO** driver) = nullptr;
    // Releases the current driver object, if any.
    void (*unload)(void* context) = nullptr;
};

// One ring of samples already in the driver's type, per used driver channel.
struct ChannelRing {
    asio::ASIOSampleType sampleType = 0;
    std::int32_t bytesPerSample = 0;
    std::unique_ptr<std::uint8_t[]> ring;
    const convert::Converter* converter = nullptr;
};

// Rings are refused above this many bytes per channel: byte offsets stay
// 32-bit and a bad multiplier cannot ask for gigabytes.
inline constexpr std::int64_t kMaxRingBytes = std::int64_t{1} << 30;
// Bounds on what a driver may report before the open refuses it: far beyond
// any real interface, small enough that no size derived from them overflows.
inline constexpr std::int64_t kMaxDriverChannels = 4096;
inline constexpr std::int64_t kMaxDriverBufferFrames = std::int64_t{1} << 20;
inline constexpr std::int64_t kMaxDriverLatencyFrames = std::int64_t{1} << 24;

// How frames are laid out when they are fed to the converters.
struct FeedFormat {
    std::int32_t isFloat = -1;
    std::int32_t bits = 0;
    std::int32_t sampleBytes = 0;
    std::int32_t frameBytes = 0;
    bool duplicate = false; // one mono sample for two driver channels
};

// A run of frames in one feed format, numbered as framesConverted counts them.
struct FeedRun {
    FeedFormat format;
    std::int64_t firstFrame = 0;
    std::vector<std::uint8_t> bytes;
};

// The client's settings: written by the real-time thread at any time, read by
// the main thread when it prepares a driver.
struct RequestedSettings {
    std::atomic<std::uint64_t> notifyWindow{0};
    std::atomic<std::int32_t> driverIndex{0};
    std::atomic<std::int32_t> processPriority{0};
    std::atomic<std::int32_t> threadPriority{0};
    std::atomic<std::int32_t> bufferMultiplier{0};
    std::atomic<std::int32_t> firstChannel{0};
    std::atomic<bool> keepDriverOpen{false};
    std::atomic<bool> monoToStereo{false};
    std::atomic<bool> inputMonitor{false};
    std::atomic<bool> resampleEnable{false};
    std::atomic<std::int32_t> resamplerPriority{0};
    std::atomic<std::int32_t> resampleRate{0};
    std::atomic<std::int32_t> resampleQuality{0};
};

// What the loaded driver was prepared with: the settings in force until the
// next preparation, and the driver's own layout. Main thread.
struct ActiveSettings {
    std::int32_t firstChannel = 0;
    bool monoToStereo = false;
    bool keepOpen = false;
    bool resampleEnable = false;
    std::int32_t resampleRate = 0;
    std::int32_t resampleQuality = 0;
    std::int32_t outputChannelCount = 0;
    // Changed only with the driver stopped; the callback reads it under deviceLock.
    bool useOutputReady = false;
};

// The lifecycle flags; their legal combinations are the table in
// invariants.h. Main thread, but for what the comments say.
struct Lifecycle {
    bool driverLoaded = false;
    bool prepared = false;
    bool buffersCreated = false;
    // A 1 ms system timer period asked for while a stream is open: the waits
    // that still time out then do so on time under Windows' default 15.6 ms.
    bool timerRaised = false;
    // Set by a stop: writes in progress drop what they hold.
    bool abortWrites = false;
    // Read by the real-time thread.
    std::atomic<bool> streamOpen{false};
    std::atomic<bool> driverStopped{true};
    std::atomic<bool> outputOpen{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> resetPending{false};
    // Between start and stop, set under deviceLock: only then may a buffer
    // switch take frames, so a callback arriving late after stop cannot eat
    // audio a resume would play.
    std::atomic<bool> driverRunning{false};
    // From the creation of the driver buffers to their disposal, set under
    // deviceLock: only then may a switch outside start and stop touch them.
    std::atomic<bool> halvesLive{false};
    // Set by a reset request from any thread; the main thread acts on it.
    std::atomic<bool> resetRequested{false};
    // Set by the driver's thread when it reports new latencies; the main
    // thread re-reads them.
    std::atomic<bool> latencyChanged{false};
    // While a reset closes and re-opens the driver, the real-time answers hold
    // the positions taken just before the close.
    std::atomic<bool> reopening{false};
};

// The stream's formats: what the client sends and what the rings are fed
// (the converter's output when one is engaged). Main thread; the atomics are
// read by the real-time thread for the positions.
struct StreamFormat {
    std::atomic<std::uint32_t> inputRate{0};
    std::int32_t inputBits = 0;
    std::uint32_t inputChannels = 0;
    std::atomic<std::int32_t> inputBytesPerFrame{0};
    std::atomic<std::uint32_t> outputRate{0};
    std::int32_t feedIsFloat = -1;
    std::int32_t feedBits = 0;
    std::int32_t feedSampleBytes = 0;
    std::int32_t feedFrameBytes = 0;
    // A mono stream played on two channels.
    bool monoDuplicating = false;
};

// The rings and the driver's half-buffers. The main thread and the driver's
// callback change them only under deviceLock; queuedFrames is also read
// without it, as a whole.
struct RingState {
    std::uint32_t activeChannels = 0;
    std::int32_t bufferSize = 0;
    std::int32_t frames = 0;
    std::int32_t writeIndex = 0;
    std::int32_t readIndex = 0;
    // Queued frames of the stream before the last open: they play uncounted.
    std::int32_t uncountedFrames = 0;
    std::atomic<std::int32_t> queuedFrames{0};
    std::vector<ChannelRing> channelRings;
    std::vector<asio::ASIOBufferInfo> bufferInfos;
};

// Audio held beside the rings, main thread only (the callback never reads it).
struct HeldAudio {
    // Client bytes taken but not yet in the rings: the incomplete trailing
    // frame, and while paused whatever did not fit. Whole frames held here
    // never pass one payload: a write that could is refused.
    std::vector<std::uint8_t> pending;
    // Frames of this stream taken back from the rings of a closed driver, in
    // the feed format; they go into the rings before anything else.
    std::vector<std::uint8_t> replay;
    // Every frame in the rings also in the format it was fed in, at the same
    // frame index: what a re-open refills the new rings from, whatever their
    // sample type or length.
    std::vector<std::uint8_t> feedCopy;
    // Frames ever converted into the rings, and the first of them whose copy is
    // in the current feed format (a format-only change leaves older ones behind).
    std::int64_t framesConverted = 0;
    std::int64_t copyFreshFrom = 0;
    // An open that changes only the feed format keeps the queued frames in the
    // rings: their copies stay here in the format they were fed in, oldest
    // first, until they have played.
    std::vector<FeedRun> olderCopy;
    // Frames to place in a format older than the current one (taken back at a
    // re-open, or not yet placed at a format change); they go in before `replay`.
    std::vector<FeedRun> olderReplay;
};

// The positions' counters: written by the main thread and the callback, read
// by the real-time thread without a lock, each as a whole.
struct Counters {
    // Buffer switches that found less than a buffer queued; the log reports it.
    std::atomic<std::int64_t> underruns{0};
    std::atomic<std::int64_t> framesPlayed{0};
    std::atomic<std::int64_t> bytesWritten{0};
    std::atomic<std::int64_t> lastSwitchTime{0};
    std::atomic<bool> switchSeen{false};
    std::atomic<std::int64_t> pauseTime{0};
    std::atomic<std::int32_t> pipelineFrames{0};
    // What the real-time channel answers while a re-open runs.
    std::atomic<std::int32_t> heldPlayedMs{0};
    std::atomic<std::int32_t> heldWrittenMs{0};
};

// The sample-rate converter engaged for the stream. Main thread only; the
// worker runs every command. Tests give the device a worker of their own.
struct ResamplerLink {
    resample::ResamplerWorker* worker = &resample::processWorker();
    // Held only while the worker holds a converter for this stream.
    std::unique_ptr<resample::ResamplerRequest> resampler;
    // The client format the converter was built for; rate 0 once it has been
    // flushed at the end of a stream, so the next open builds a fresh one.
    std::int32_t inputRate = 0;
    std::int32_t inputIsFloat = -1;
    std::int32_t inputBits = 0;
    std::int32_t channels = 0;
};

struct OutputDevice {
    RequestedSettings settings;
    ActiveSettings active;
    Lifecycle life;
    StreamFormat format;
    RingState ring;
    HeldAudio held;
    Counters counters;
    ResamplerLink link;

    // Set at creation, main thread.
    DriverSource drivers;
    platform::Clock clock;
    std::int64_t (*fakeNow)(void* context) = nullptr; // tests step time themselves
    void* fakeNowContext = nullptr;
    platform::Thread* realTimeThread = nullptr;
    platform::Lock* deviceLock = nullptr;
    asio::ASIOCallbacks callbacks{};
    // Set by every buffer switch that took frames: a write waiting for room
    // wakes on it instead of polling.
    platform::Handle* roomEvent = nullptr;
    // The loaded driver; the callback reads it under deviceLock.
    asio::IASIO* driver = nullptr;
};

// Main thread (never the callback). Logs a driver call's result and hands it on.
inline asio::ASIOError logResult(const char* call, asio::ASIOError result) {
    if (const char* name = asio::errorName(result)) {
        platform::logLine("%s: %s", call, name);
    } else {
        platform::logLine("%s: %ld", call, static_cast<long>(result));
    }
    return result;
}

// Main thread. Never null.
OutputDevice* createOutputDevice(const DriverSource& drivers, const platform::Clock& clock);
// Main thread, before use; tests only.
void setClockOverride(OutputDevice& device, std::int64_t (*now)(void*), void* context);
// Any thread; callback-safe.
std::int64_t readClock(const OutputDevice& device);

// Main thread. Converts the whole frames of the pending bytes followed by
// `data` into the rings, starting the driver by the start rule. Waits for
// room unless paused or told not to; what it does not place stays pending.
void feedRing(OutputDevice& device, bool startNow, std::int32_t byteCount, const std::uint8_t* data,
              bool mayWait = true);
// Driver's thread (the callback). Fills half-buffer `index` from the rings.
void bufferSwitch(OutputDevice& device, std::int32_t index);
// Driver's thread. The answer to asioMessage.
asio::AsioLong handleAsioMessage(OutputDevice* device, asio::AsioLong selector,
                                 asio::AsioLong value);
// Main thread. Stops the driver outside deviceLock, then silences its buffers.
asio::ASIOError stopAndSilence(OutputDevice& device);
// Main thread.
void startDriver(OutputDevice& device);
// Main thread. Zeroes both halves of every used channel's driver buffer.
void silenceHalfBuffers(OutputDevice& device);
// Main thread. Client bytes that fit now, ignoring the open and pause checks.
std::int64_t writableSpace(const OutputDevice& device);
// Any thread. Output frames since the last buffer switch (paused: until the pause).
std::int32_t elapsedFrames(const OutputDevice& device);
// Main thread, during an open. Engages, keeps or drops the converter for the
// client's format; with one engaged, rate, isFloat and bits become its output.
// true when the converter already engaged for this format was kept.
bool configureResampler(OutputDevice& device, std::int32_t& rate, std::int32_t& isFloat,
                        std::int32_t& bits, std::int32_t channels);
// Main thread. Marks the engaged converter as serving no client format, so the
// next open builds a fresh one.
void forgetResamplerFormat(OutputDevice& device);
// Main thread. Flushes the engaged converter, if any, and places all it makes
// in the rings as the driver takes it; its format is forgotten once the flush
// is complete. Stops early on abort, pause, reset or 3 s in which the driver
// took nothing. true when the converter holds nothing more.
bool flushConverter(OutputDevice& device);
// Main thread. Performs a pending reset: closes the driver and opens the same
// format again, keeping every accepted frame. false when the stream is gone.
bool reopenIfResetPending(OutputDevice& device);
// Main thread. Plays everything the stream still holds (rings, replay, held
// frames, the converter's output) and waits until the driver's pipeline has
// played it too. Starts a stopped driver. Gives up on an abort, a reset, or
// 3 s in which the driver took nothing; true when all of it played.
bool playOut(OutputDevice& device);
// Main thread. Frames taken back at a re-open not yet in the rings.
std::int64_t replayFrames(const OutputDevice& device);
// Main thread. Reads the driver's output latency into pipelineFrames; false
// (and the old value kept) when the driver reports an absurd one.
bool readLatencies(OutputDevice& device);

// What a re-open takes back from the rings of the driver it closes.
struct QueuedAudio {
    std::vector<FeedRun> older;       // fed in earlier formats; they play first
    std::vector<std::uint8_t> frames; // feed format, oldest first
    std::int32_t uncounted = 0;       // leading frames of the stream before the last open
    std::int32_t frameBytes = 0;
    std::int32_t isFloat = -1;
    std::int32_t bits = 0;
    std::uint32_t rate = 0;
};
// Main thread, with the driver stopped. Takes the queued frames and the
// replay not yet placed, each in the format it was fed in.
QueuedAudio takeQueuedAudio(OutputDevice& device);
// Main thread. The current feed format.
FeedFormat currentFeedFormat(const OutputDevice& device);
// Main thread, during an open that keeps the rings. The previous stream's
// frames not yet in the rings (the replay, whole frames held back) go in
// before the new stream's; when the feed format changed (`before` is the old
// one) the queued frames' copies are kept in it, so a reset loses none of them.
void keepPreviousFrames(OutputDevice& device, const FeedFormat& before, bool formatChanged);
// Main thread, when the rings are emptied: forgets every kept copy and replay.
void forgetKeptFrames(OutputDevice& device);
// A wait for the driver to take audio gives up after this long without any.
inline constexpr std::int64_t kStallMs = 3000;
// Main thread. Waits until a buffer switch frees room, or a short while.
void waitForRoom(OutputDevice& device);
// Any thread. Milliseconds of a monotonic clock, for bounds measured in seconds.
std::int64_t monotonicMs();

// Process-wide: the device the driver's callbacks serve, set when buffers are
// created for it and cleared when they are disposed.
const asio::ASIOCallbacks& driverCallbacks();
void setCallbackDevice(OutputDevice* device);
void clearCallbackDevice(OutputDevice* device);

} // namespace quillon::device
