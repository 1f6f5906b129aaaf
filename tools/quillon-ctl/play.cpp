// `play FILE.wav`: plays a WAV file through the server.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "commands.h"
#include "playback.h"
#include "wav/wav.h"

namespace quillon::ctl {

namespace {

class WavSource : public FrameSource {
public:
    bool open(const std::string& path, std::string& error) {
        if (!reader_.open(path, error)) {
            return false;
        }
        const tools::WavFormat& format = reader_.format();
        rate = format.sampleRate;
        channels = format.channels;
        bits = format.isFloat ? -format.bits : format.bits;
        return true;
    }
    std::size_t read(std::uint8_t* out, std::size_t maxFrames) override {
        return reader_.read(out, maxFrames);
    }
    std::uint64_t totalFrames() const override { return reader_.frames(); }

private:
    tools::WavReader reader_;
};

int runPlay(const Options& options, const DeviceOptions& device, const std::string& path) {
    WavSource source;
    std::string error;
    if (!source.open(path, error)) {
        std::fprintf(stderr, "quillon-ctl play: %s: %s\n", path.c_str(), error.c_str());
        return kExitInput;
    }
    if (source.totalFrames() == 0) {
        std::fprintf(stderr, "quillon-ctl play: %s: no audio in the file\n", path.c_str());
        return kExitInput;
    }
    return playSource("quillon-ctl play", options, device, source);
}

} // namespace

void addPlayCommand(CLI::App& app, const Options& options, int& exitCode) {
    auto* command = app.add_subcommand(
        "play", "play a WAV file (8/16/24/32-bit PCM or 32/64-bit float) through the server; "
                "exit codes: 1 server, 2 file, 3 driver, 4 open, 5 failed reset");
    auto device = std::make_shared<DeviceOptions>();
    auto path = std::make_shared<std::string>();
    command->add_option("file", *path, "WAV file to play")->required();
    addDeviceOptions(*command, *device);
    command->callback(
        [&options, &exitCode, device, path] { exitCode = runPlay(options, *device, *path); });
}

} // namespace quillon::ctl
