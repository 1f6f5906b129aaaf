// Shared by `play` and `tone`: the device options every playing command takes,
// a source of interleaved frames, and the loop that feeds the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "commands.h"
#include "ipc/shared_block.h"

namespace CLI {
class App;
}

namespace quillon::ctl {

// Exit codes of the playing commands, so scripts can tell failures apart.
enum PlayExit : int {
    kExitOk = 0,
    kExitServer = 1,      // the server did not start, died or stopped answering
    kExitInput = 2,       // missing or unreadable file, unsupported format, bad option
    kExitNoDriver = 3,    // no driver by that name or index
    kExitOpenFailed = 4,  // the server could not open the driver for this format
    kExitResetFailed = 5, // the driver asked for a reset and the output could not come back
};

struct DeviceOptions {
    std::string driver = "0"; // index, or the name `quillon-ctl drivers` shows
    ipc::DeviceSettings settings;
    bool keepOutputOnClose = false;
    bool quiet = false;
    bool virtualReport = false; // print the virtual driver's counters at the end
};

// Adds the options that fill `options` to a playing subcommand.
void addDeviceOptions(CLI::App& command, DeviceOptions& options);

// Interleaved little-endian frames in the format the open command names.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Fills up to maxFrames whole frames; 0 at the end.
    virtual std::size_t read(std::uint8_t* out, std::size_t maxFrames) = 0;
    virtual std::uint64_t totalFrames() const = 0;
    int rate = 0;
    int bits = 0; // negative for IEEE float, as the open command takes it
    int channels = 0;
    int frameBytes() const { return channels * ((bits < 0 ? -bits : bits) / 8); }
};

// Starts the server, plays `source` to the end and shuts the server down.
// `name` prefixes messages ("quillon-ctl play").
int playSource(const char* name, const Options& options, const DeviceOptions& device,
               FrameSource& source);

// "16-bit", "32-bit float" and so on, for messages.
std::string describeBits(int bits);

} // namespace quillon::ctl
