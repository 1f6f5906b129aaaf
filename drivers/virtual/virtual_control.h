// The virtual ASIO driver's registrations and its run-time control block.
//
// Tests and tools include this header to know what each registration offers,
// to inject faults and to read what the driver saw. The control block is a
// named shared memory block ("quillon virtual driver control", or the name in
// QUILLON_VIRTUAL_CONTROL), one slot per registration, zero-filled = no fault.
// Every driver object maps it while it lives. A test in another process should
// open the block before the driver does and keep it open: on Linux the block
// vanishes with the mapping of the process that created it.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/asio.h"

namespace quillon::virtualdriver {

inline constexpr const char* kControlName = "quillon virtual driver control";
inline constexpr const char* kControlNameVariable = "QUILLON_VIRTUAL_CONTROL";
// When a slot names no capture file, half-buffers go to <dir>/<key name>.wav
// (or .raw) in this directory, if set.
inline constexpr const char* kCaptureDirVariable = "QUILLON_VIRTUAL_CAPTURE_DIR";

enum class Clock : std::uint8_t {
    RealTime,    // a thread calls bufferSwitch once per buffer period, like hardware
    FreeRunning, // the next half is asked for as soon as the last one was filled
};

struct Registration {
    const char* keyName; // Linux key name and Windows "software\asio" subkey
    const char* description;
    asio::AsioGuid clsid; // the COM class on Windows
    std::int32_t channels;
    asio::ASIOSampleType sampleType;
    double rates[6]; // accepted rates; unused slots 0
    std::int32_t preferredBufferSize;
    std::int32_t outputLatency; // frames
    bool supportsOutputReady;
    Clock clock;
};

constexpr asio::AsioGuid virtualClsid(std::uint8_t n) {
    return {0x8C3F2A10u, 0x5E4B, 0x4C1D, {0x9A, 0x7E, 0x3B, 0x6D, 0x0F, 0x21, 0xC4, n}};
}

inline constexpr Registration kRegistrations[] = {
    {"Quillon Virtual",
     "Quillon Virtual 16-bit Stereo",
     virtualClsid(0),
     2,
     asio::ASIOSTInt16LSB,
     {44100, 48000},
     512,
     512,
     true,
     Clock::RealTime},
    {"Quillon Virtual 24",
     "Quillon Virtual 24-bit Stereo",
     virtualClsid(1),
     2,
     asio::ASIOSTInt24LSB,
     {44100, 48000, 96000},
     256,
     300,
     false,
     Clock::RealTime},
    {"Quillon Virtual Float",
     "Quillon Virtual 32-bit Float Stereo",
     virtualClsid(2),
     2,
     asio::ASIOSTFloat32LSB,
     {44100, 48000, 88200, 96000, 192000},
     1024,
     1100,
     true,
     Clock::RealTime},
    {"Quillon Virtual Float64",
     "Quillon Virtual 64-bit Float 48 kHz",
     virtualClsid(3),
     2,
     asio::ASIOSTFloat64LSB,
     {48000},
     480,
     480,
     false,
     Clock::RealTime},
    {"Quillon Virtual 8ch",
     "Quillon Virtual 8-Channel 32-bit",
     virtualClsid(4),
     8,
     asio::ASIOSTInt32LSB,
     {44100, 48000, 96000},
     512,
     600,
     true,
     Clock::RealTime},
    {"Quillon Virtual BE",
     "Quillon Virtual Big-Endian 24-bit",
     virtualClsid(5),
     2,
     asio::ASIOSTInt24MSB,
     {44100, 48000},
     512,
     512,
     false,
     Clock::RealTime},
    {"Quillon Virtual Fast 16",
     "Quillon Virtual Free-Running 16-bit",
     virtualClsid(6),
     2,
     asio::ASIOSTInt16LSB,
     {44100, 48000, 96000},
     256,
     256,
     true,
     Clock::FreeRunning},
    {"Quillon Virtual Fast Float",
     "Quillon Virtual Free-Running Float",
     virtualClsid(7),
     2,
     asio::ASIOSTFloat32LSB,
     {44100, 48000, 96000, 192000},
     512,
     512,
     false,
     Clock::FreeRunning},
    {"Quillon Virtual Fast 16in32",
     "Quillon Virtual Free-Running 16 in 32 bits",
     virtualClsid(8),
     2,
     asio::ASIOSTInt32LSB16,
     {44100, 48000},
     256,
     256,
     false,
     Clock::FreeRunning},
    {"Quillon Virtual Long Name",
     "Quillon Virtual Driver With A Name Longer Than Thirty-Two",
     virtualClsid(9),
     2,
     asio::ASIOSTInt16LSB,
     {44100, 48000},
     256,
     256,
     false,
     Clock::FreeRunning},
    {"Quillon Virtual Name 63",
     "Quillon Virtual Driver Whose Description Is 63 Characters Long.",
     virtualClsid(10),
     2,
     asio::ASIOSTInt16LSB,
     {44100, 48000},
     256,
     256,
     false,
     Clock::FreeRunning},
    {"Quillon Virtual Name 64",
     "Quillon Virtual Driver Whose Description Is 64 Characters Long..",
     virtualClsid(11),
     2,
     asio::ASIOSTInt16LSB,
     {44100, 48000},
     256,
     256,
     false,
     Clock::FreeRunning},
};
inline constexpr int kRegistrationCount = sizeof kRegistrations / sizeof kRegistrations[0];
inline constexpr int kMaxRegistrations = 16;
static_assert(kRegistrationCount <= kMaxRegistrations);

// Index of the registration with this key name, or -1.
int findRegistration(const char* keyName);

// Written by tests, read by the driver at the moment each fault can strike.
struct Faults {
    std::atomic<std::int32_t> failInit;    // init answers 0 with an error message
    std::atomic<std::int32_t> refuseRates; // canSampleRate and setSampleRate answer ASE_NoClock
    // An asioMessage sent from the driver's thread once `messageAfterSwitches`
    // bufferSwitch calls returned since start; the driver clears the selector
    // when it has sent it, so a test can arm it again.
    std::atomic<std::int32_t> messageSelector;
    std::atomic<std::int32_t> messageValue;
    std::atomic<std::int32_t> messageAfterSwitches;
    // The next `lateSwitchCount` bufferSwitch calls (-1: all) come this many
    // milliseconds after their period started, as from a stalled interrupt.
    std::atomic<std::int32_t> lateSwitchMs;
    std::atomic<std::int32_t> lateSwitchCount;
    // Kept for the layout: stop now always waits until the clock thread, and
    // so any bufferSwitch in progress, has finished.
    std::atomic<std::int32_t> stopWaitsForCallback;
    // Replace the registration's values when nonzero.
    std::atomic<std::int32_t> channels;
    std::atomic<std::int32_t> preferredBufferSize;
    std::atomic<std::int32_t> outputLatency;
    std::atomic<std::int32_t> overrideSampleType;
    std::atomic<std::int32_t> sampleType;
    // An armed message is sent this many times (0 and 1: once), at most once
    // per start, `messageAfterSwitches` switches after it.
    std::atomic<std::int32_t> messageRepeat;
    // A message sent from inside setSampleRate (1) or createBuffers (2), as
    // drivers that reconfigure themselves there do; `insideTimes` times, -1: always.
    std::atomic<std::int32_t> messageInside;
    std::atomic<std::int32_t> insideSelector;
    std::atomic<std::int32_t> insideTimes;
    // Taken over by the values above when a message is sent, if nonzero: what
    // the driver reports from then on, as a device reconfigured by its panel.
    std::atomic<std::int32_t> nextOutputLatency;
    std::atomic<std::int32_t> nextBufferSize;
    std::atomic<std::int32_t> nextSampleType;
    // Each createBuffers starts a capture file of its own: the path named in
    // the slot, then path.1, path.2 and so on.
    std::atomic<std::int32_t> captureSeries;
};

// Written by the driver.
struct Status {
    std::atomic<std::int32_t> instances; // live driver objects
    std::atomic<std::int32_t> initCalls;
    std::atomic<std::int32_t> starts;
    std::atomic<std::int32_t> stops;
    std::atomic<std::int32_t> running;
    std::atomic<std::int32_t> callbackRunning;
    std::atomic<std::int32_t> bufferSwitches;
    std::atomic<std::int32_t> halvesCaptured;
    // Half-buffers played before the host had refilled them: its bufferSwitch
    // had not returned by the end of the period, or, when outputReady is
    // supported, outputReady had not been called since that switch began.
    std::atomic<std::int32_t> underruns;
    std::atomic<std::int32_t> outputReadyCalls;
    std::atomic<std::int32_t> messagesSent;
    std::atomic<std::int32_t> lastMessageResult;
    std::atomic<std::int32_t> bufferSize;
    std::atomic<std::int32_t> bufferChannels;
    std::atomic<std::int32_t> sampleRateHz;
    std::atomic<std::int32_t> messagesInside; // sent from setSampleRate or createBuffers
    std::atomic<std::int32_t> captureFiles;   // capture files opened
    // Longest time from a stop to the first start of the next driver object:
    // the gap a re-open leaves in the sound.
    std::atomic<std::int32_t> longestReopenGapUs;
    std::atomic<std::int64_t> lastStopTicks;
};

// A clock a test drives: while `stepped` is set when the driver starts, it
// makes a buffer switch only when one is owed, whatever its registration's
// clock, so what it plays does not depend on the machine's pace. Adding N to
// `owed` advances it by N switches (each plays the half filled at the one
// before, as in real time); Status.bufferSwitches tells when they are done.
struct SteppedClock {
    std::atomic<std::int32_t> stepped;
    std::atomic<std::int32_t> owed;
};

struct Slot {
    Faults faults;
    Status status;
    SteppedClock clock;
    // Capture file for the next createBuffers; empty = the directory rule.
    char capturePath[260];
};

struct Control {
    Slot slots[kMaxRegistrations];
};

// Capture files in a format WAV cannot hold (big-endian and 16/24 bits in 32)
// start with this header, followed by interleaved frames as the driver holds them.
struct RawCaptureHeader {
    char magic[8]; // "QVCAPRAW"
    std::int32_t sampleType;
    std::int32_t channels;
    std::int32_t sampleRate;
    std::int32_t bytesPerSample;
};
static_assert(sizeof(RawCaptureHeader) == 24);
inline constexpr char kRawCaptureMagic[8] = {'Q', 'V', 'C', 'A', 'P', 'R', 'A', 'W'};

} // namespace quillon::virtualdriver
