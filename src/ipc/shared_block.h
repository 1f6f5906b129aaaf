// The wire contract between a client and the server: object names, the byte
// layout of the shared block, and the command codes of both channels.
//
//   offset   0  keepOutputOnClose            (client -> close output)
//            4  rtCommand / rtName[64]       real-time channel: code in, result out
//            8  rtArgs[56]                   driver index, or DeviceSettings
//           68  ... not used by the server ...
//          260  mainCommand                  main channel: code in, result out
//          264  mainArg1
//          268  mainArg2 / payload...        payload overlays the open's arguments
//          272  mainArg3
//   16 MiB end
//
// All integers are little-endian; fields are read and written through the
// accessors below (memcpy), never through a struct cast, so alignment and
// aliasing never matter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillon::ipc {

inline constexpr const char* kSharedBlockName = "quillon(x64) Common_Buff";
inline constexpr const char* kServerMsgName = "quillon(x64) Server_Msg";
inline constexpr const char* kServerRetMsgName = "quillon(x64) Server_RetMsg";
inline constexpr const char* kRealTimeMsgName = "quillon(x64) Server_RealTime_Msg";
inline constexpr const char* kRealTimeRetMsgName = "quillon(x64) Server_RealTime_RetMsg";
inline constexpr const char* kClientReadyName = "quillon(x64) Client_ReadyServer";
// Held by the one live server of these names; a second server that finds it
// taken leaves at once. Clients never open it.
inline constexpr const char* kServerLockName = "quillon(x64) Server_Lock";

// Exit codes of the server process.
inline constexpr int kExitDone = 0;          // after quit, or after its client ended
inline constexpr int kExitStartFailed = 1;   // a shared object could not be made
inline constexpr int kExitAnotherServer = 2; // a live server already serves these names

inline constexpr std::size_t kSharedBlockSize = 16u * 1024u * 1024u;

// Byte offsets.
inline constexpr std::size_t kKeepOutputOnClose = 0;
inline constexpr std::size_t kRtCommand = 4;
inline constexpr std::size_t kRtArgs = 8;
inline constexpr std::size_t kRtArgsSize = 56;
inline constexpr std::size_t kRtName = 4;
inline constexpr std::size_t kRtNameSize = 64;
inline constexpr std::size_t kMainCommand = 260;
inline constexpr std::size_t kMainArg1 = 264;
inline constexpr std::size_t kMainArg2 = 268;
inline constexpr std::size_t kMainArg3 = 272;
inline constexpr std::size_t kPayload = 268;
inline constexpr std::size_t kPayloadSize = kSharedBlockSize - kPayload;

// DeviceSettings, the argument of real-time command 3, at these offsets.
inline constexpr std::size_t kSetNotifyWindow = 8; // 64-bit window handle
inline constexpr std::size_t kSetDriverIndex = 16;
inline constexpr std::size_t kSetProcessPriority = 20;
inline constexpr std::size_t kSetThreadPriority = 24;
inline constexpr std::size_t kSetBufferMultiplier = 28;
inline constexpr std::size_t kSetFirstChannel = 32;
inline constexpr std::size_t kSetKeepDriverOpen = 36;
inline constexpr std::size_t kSetMonoToStereo = 40;
inline constexpr std::size_t kSetInputMonitor = 44;
inline constexpr std::size_t kSetResampleEnable = 48;
inline constexpr std::size_t kSetResamplerPriority = 52;
inline constexpr std::size_t kSetResampleRate = 56;
inline constexpr std::size_t kSetResampleQuality = 60;

static_assert(kPayloadSize == 16776948);
static_assert(kRtName + kRtNameSize == 68);
static_assert(kRtArgs + kRtArgsSize == 64);
static_assert(kSetResampleQuality + 4 == kRtArgs + kRtArgsSize);

// Main-channel command codes.
enum MainCode : std::int32_t {
    kMainQuit = 2,
    kMainOpen = 5,
    kMainCloseOutput = 6,
    kMainQueryWritable = 7,
    kMainWrite = 8,
    kMainQueryPlaying = 9,
    kMainPause = 10,
    kMainSeek = 11,
};

// Real-time command codes.
enum RtCode : std::int32_t {
    kRtDriverCount = 0,
    kRtDriverName = 1,
    kRtSettings = 3,
    kRtResetRequest = 4,
    kRtOutputPosition = 12,
    kRtWrittenPosition = 13,
};

// The notification posted to the client's window when a reset re-open fails.
inline constexpr std::uint32_t kResetFailedCommandId = 40047;

// The client's settings as the server keeps them.
struct DeviceSettings {
    std::uint64_t notifyWindow = 0;
    std::int32_t driverIndex = 0;
    std::int32_t processPriority = 0;
    std::int32_t threadPriority = 0;
    std::int32_t bufferMultiplier = 0;
    std::int32_t firstChannel = 0;
    bool keepDriverOpen = false;
    bool monoToStereo = false;
    bool inputMonitor = false;
    bool resampleEnable = false;
    std::int32_t resamplerPriority = 0;
    std::int32_t resampleRate = 0;
    std::int32_t resampleQuality = 0;
};

// Little-endian loads and stores at a byte offset. The host byte order of every
// supported target is little-endian, so these are plain copies.
inline std::int32_t loadI32(const void* block, std::size_t offset) {
    std::int32_t v;
    std::memcpy(&v, static_cast<const unsigned char*>(block) + offset, sizeof v);
    return v;
}
inline void storeI32(void* block, std::size_t offset, std::int32_t v) {
    std::memcpy(static_cast<unsigned char*>(block) + offset, &v, sizeof v);
}
inline std::uint64_t loadU64(const void* block, std::size_t offset) {
    std::uint64_t v;
    std::memcpy(&v, static_cast<const unsigned char*>(block) + offset, sizeof v);
    return v;
}
inline void storeU64(void* block, std::size_t offset, std::uint64_t v) {
    std::memcpy(static_cast<unsigned char*>(block) + offset, &v, sizeof v);
}

// Reads a settings record from the block. Booleans count as true when nonzero.
inline DeviceSettings readSettings(const void* block) {
    DeviceSettings s;
    s.notifyWindow = loadU64(block, kSetNotifyWindow);
    s.driverIndex = loadI32(block, kSetDriverIndex);
    s.processPriority = loadI32(block, kSetProcessPriority);
    s.threadPriority = loadI32(block, kSetThreadPriority);
    s.bufferMultiplier = loadI32(block, kSetBufferMultiplier);
    s.firstChannel = loadI32(block, kSetFirstChannel);
    s.keepDriverOpen = loadI32(block, kSetKeepDriverOpen) != 0;
    s.monoToStereo = loadI32(block, kSetMonoToStereo) != 0;
    s.inputMonitor = loadI32(block, kSetInputMonitor) != 0;
    s.resampleEnable = loadI32(block, kSetResampleEnable) != 0;
    s.resamplerPriority = loadI32(block, kSetResamplerPriority);
    s.resampleRate = loadI32(block, kSetResampleRate);
    s.resampleQuality = loadI32(block, kSetResampleQuality);
    return s;
}

// Writes a settings record into the block (the client's side).
inline void writeSettings(void* block, const DeviceSettings& s) {
    storeU64(block, kSetNotifyWindow, s.notifyWindow);
    storeI32(block, kSetDriverIndex, s.driverIndex);
    storeI32(block, kSetProcessPriority, s.processPriority);
    storeI32(block, kSetThreadPriority, s.threadPriority);
    storeI32(block, kSetBufferMultiplier, s.bufferMultiplier);
    storeI32(block, kSetFirstChannel, s.firstChannel);
    storeI32(block, kSetKeepDriverOpen, s.keepDriverOpen ? 1 : 0);
    storeI32(block, kSetMonoToStereo, s.monoToStereo ? 1 : 0);
    storeI32(block, kSetInputMonitor, s.inputMonitor ? 1 : 0);
    storeI32(block, kSetResampleEnable, s.resampleEnable ? 1 : 0);
    storeI32(block, kSetResamplerPriority, s.resamplerPriority);
    storeI32(block, kSetResampleRate, s.resampleRate);
    storeI32(block, kSetResampleQuality, s.resampleQuality);
}

// Whether a write's byte count from the peer lies inside the payload area: a count outside it
// would have the server read past the mapping.
inline bool payloadCountFits(std::int32_t count) {
    return count >= 0 && static_cast<std::size_t>(count) <= kPayloadSize;
}

// A driver name in room bytes (room > 4): whole when shorter than room characters, else its
// first room - 4 characters and "...". Writes at most room bytes including the terminator.
inline void cutName(const char* name, char* out, std::size_t room) {
    const std::size_t len = std::strlen(name);
    if (len < room) {
        std::memcpy(out, name, len + 1);
    } else {
        std::memcpy(out, name, room - 4);
        std::memcpy(out + room - 4, "...", 4);
    }
}

// The 64-byte driver-name answer: whole below 64 characters, else 60 characters
// and "...".
inline void writeDriverName(void* block, const char* name) {
    cutName(name, static_cast<char*>(block) + kRtName, kRtNameSize);
}

} // namespace quillon::ipc
