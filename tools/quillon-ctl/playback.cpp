#include "playback.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "client/client.h"
#include "platform/platform.h"
#include "virtual_report.h"

namespace quillon::ctl {

namespace {

// Large enough to keep the server's ring full between polls, small enough that
// the progress line moves.
constexpr std::size_t kMaxChunkBytes = 256 * 1024;
constexpr std::uint32_t kPollSleepMs = 5;
// The server took nothing for this long while playing: give up instead of hanging.
constexpr std::uint32_t kStallLimitMs = 15000;
// Beyond the sound's own length, what a quit that plays the end may take: the
// converter's flush and a driver that is slow to take the last buffers.
constexpr std::uint32_t kPlayOutSlackMs = 3000;

bool allDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

class Session {
public:
    Session(const char* name, const Options& options) : name_(name), options_(options) {}
    ~Session() {
        if (window_ != 0) {
            platform::destroyMessageWindow(window_);
        }
        client::disconnect(connection_);
    }

    int fail(int code, const char* step) {
        std::fprintf(stderr, "%s: %s: %s\n", name_, step, connection_.error.c_str());
        return code;
    }

    int run(const DeviceOptions& device, FrameSource& source);

private:
    int connect(const DeviceOptions& device);
    int open(const FrameSource& source);
    int writeAll(FrameSource& source);
    int drain(const FrameSource& source);
    int finish(const DeviceOptions& device, const FrameSource& source, std::int32_t playedMs,
               std::int32_t writtenMs);
    int resolveDriver(const std::string& wanted, std::int32_t* index, std::string* found);
    bool position(std::int32_t code, std::int32_t* ms) {
        return client::realTimeCommand(connection_, code, 0, ms, options_.timeoutMs);
    }
    bool positions(std::int32_t* played, std::int32_t* written) {
        return position(ipc::kRtOutputPosition, played) &&
               position(ipc::kRtWrittenPosition, written);
    }
    bool resetFailed();
    void progress(bool force);

    const char* name_;
    const Options& options_;
    client::Connection connection_;
    platform::WindowId window_ = 0;
    bool terminal_ = false;
    bool quiet_ = false;
    ipc::DeviceSettings settings_{};
    std::string driverName_;
    std::int32_t latencyMs_ = 0;
    bool resampling_ = false;
    // In keep-open mode with a converter the end of the sound stays in it, for a
    // next track of the same format: the output is kept at the close and the
    // quit plays it.
    bool tailAtQuit_ = false;
    std::uint32_t lastProgressMs_ = 0;
    std::int32_t lastPlayedMs_ = 0;
    std::int32_t lastWrittenMs_ = 0;
};

int Session::resolveDriver(const std::string& wanted, std::int32_t* index, std::string* found) {
    std::int32_t count = 0;
    if (!client::realTimeCommand(connection_, ipc::kRtDriverCount, 0, &count, options_.timeoutMs)) {
        return fail(kExitServer, "driver count");
    }
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < count; ++i) {
        std::string name;
        bool present = false;
        if (!client::driverName(connection_, i, &name, &present, options_.timeoutMs)) {
            return fail(kExitServer, "driver name");
        }
        names.push_back(present ? name : std::string());
    }
    if (allDigits(wanted)) {
        long value = std::strtol(wanted.c_str(), nullptr, 10);
        if (value < count) {
            *index = static_cast<std::int32_t>(value);
            *found = names[static_cast<std::size_t>(value)];
            return kExitOk;
        }
    } else {
        // An exact name first, so that two drivers differing only in case stay
        // apart; then any case; then the full name of a driver whose long name
        // the server cut to 60 characters and "...".
        for (int pass = 0; pass < 3; ++pass) {
            for (std::int32_t i = 0; i < count; ++i) {
                const std::string& name = names[static_cast<std::size_t>(i)];
                const bool cut = name.size() == 63 && name.ends_with("...");
                const bool match = pass == 0 ? name == wanted
                                   : pass == 1
                                       ? sameText(name, wanted)
                                       : cut && wanted.size() > 60 &&
                                             sameText(name.substr(0, 60), wanted.substr(0, 60));
                if (match) {
                    *index = i;
                    *found = name;
                    return kExitOk;
                }
            }
        }
    }
    std::fprintf(stderr, "%s: no ASIO driver \"%s\"; ", name_, wanted.c_str());
    if (count == 0) {
        std::fprintf(stderr, "none is installed\n");
    } else {
        std::fprintf(stderr, "installed:\n");
        for (std::int32_t i = 0; i < count; ++i) {
            std::fprintf(stderr, "  %d\t%s\n", i, names[static_cast<std::size_t>(i)].c_str());
        }
    }
    return kExitNoDriver;
}

// Reports a reset the server could not recover from, once it said so.
bool Session::resetFailed() {
    platform::WindowMessage message{};
    while (window_ != 0 && platform::receiveWindowMessage(window_, 0, &message)) {
        if (message.message == platform::kWmCommand &&
            message.wParam == ipc::kResetFailedCommandId) {
            std::fprintf(stderr, "%s: the driver asked for a reset and %s could not be re-opened\n",
                         name_, driverName_.c_str());
            return true;
        }
    }
    return false;
}

void Session::progress(bool force) {
    if (quiet_) {
        return;
    }
    const std::uint32_t now = platform::timerMs();
    const std::uint32_t interval = terminal_ ? 100 : 1000;
    if (!force && now - lastProgressMs_ < interval) {
        return;
    }
    lastProgressMs_ = now;
    std::int32_t played = 0;
    std::int32_t written = 0;
    if (!positions(&played, &written)) {
        return;
    }
    lastPlayedMs_ = played;
    lastWrittenMs_ = written;
    std::printf("%splayed %7.2f s  written %7.2f s  latency %d ms%s", terminal_ ? "\r" : "",
                played / 1000.0, written / 1000.0, latencyMs_, terminal_ ? "  " : "\n");
    std::fflush(stdout);
}

// Starts the server, picks the driver and sends the settings.
int Session::connect(const DeviceOptions& device) {
    if (!client::startServer(connection_, options_.serverPath, options_.readyTimeoutMs)) {
        return fail(kExitServer, "start");
    }
    settings_ = device.settings;
    if (int code = resolveDriver(device.driver, &settings_.driverIndex, &driverName_);
        code != kExitOk) {
        return code;
    }
    // Where the platform offers no window, playing still works; only the
    // failed-reset notice is lost, and a stalled server is caught by time.
    window_ = platform::createMessageWindow();
    settings_.notifyWindow = window_;
    if (!client::sendSettings(connection_, settings_, options_.timeoutMs)) {
        return fail(kExitServer, "settings");
    }
    return kExitOk;
}

int Session::open(const FrameSource& source) {
    std::int32_t opened = -1;
    if (!client::mainCommand(connection_, ipc::kMainOpen, source.rate, source.bits, source.channels,
                             &opened, options_.timeoutMs)) {
        return fail(kExitServer, "open");
    }
    if (opened < 0) {
        std::fprintf(stderr, "%s: %s could not be opened for %d Hz, %s, %d channel%s\n", name_,
                     driverName_.c_str(), source.rate, describeBits(source.bits).c_str(),
                     source.channels, source.channels == 1 ? "" : "s");
        return kExitOpenFailed;
    }
    resampling_ = opened >= 8000;
    latencyMs_ = resampling_ ? opened - 8000 : opened;
    tailAtQuit_ = settings_.keepDriverOpen && resampling_;
    if (!quiet_) {
        std::printf("playing %.2f s of %d Hz, %s, %d channel%s on %s (latency %d ms%s)\n",
                    static_cast<double>(source.totalFrames()) / source.rate, source.rate,
                    describeBits(source.bits).c_str(), source.channels,
                    source.channels == 1 ? "" : "s", driverName_.c_str(), latencyMs_,
                    resampling_ ? ", resampled" : "");
        std::fflush(stdout);
    }
    return kExitOk;
}

// Writes the whole source, as fast as the server takes it.
int Session::writeAll(FrameSource& source) {
    const auto frameBytes = static_cast<std::size_t>(source.frameBytes());
    std::vector<std::uint8_t> chunk(std::max(kMaxChunkBytes / frameBytes, std::size_t{1}) *
                                    frameBytes);
    std::size_t held = 0; // bytes read from the source, not yet taken by the server
    std::size_t heldAt = 0;
    std::uint32_t idleSince = platform::timerMs();
    for (;;) {
        if (held == 0) {
            held = source.read(chunk.data(), chunk.size() / frameBytes) * frameBytes;
            heldAt = 0;
            if (held == 0) {
                return kExitOk;
            }
        }
        std::int32_t writable = 0;
        if (!client::mainCommand(connection_, ipc::kMainQueryWritable, 0, 0, 0, &writable,
                                 options_.timeoutMs)) {
            return fail(kExitServer, "writable space");
        }
        if (resetFailed()) {
            return kExitResetFailed;
        }
        // Whole frames only, so a pause or a stop never leaves half a frame behind.
        std::size_t count = writable > 0 ? static_cast<std::size_t>(writable) : 0;
        count = std::min(count - count % frameBytes, held);
        if (count == 0) {
            if (platform::timerMs() - idleSince > kStallLimitMs) {
                std::fprintf(stderr, "%s: the server has taken no audio for %u s\n", name_,
                             kStallLimitMs / 1000);
                return kExitServer;
            }
            progress(false);
            platform::sleepMs(kPollSleepMs);
            continue;
        }
        std::int32_t result = 1;
        if (!client::writeAudio(connection_, chunk.data() + heldAt,
                                static_cast<std::int32_t>(count), &result, options_.timeoutMs)) {
            return fail(kExitServer, "write");
        }
        if (result != 0) {
            std::fprintf(stderr, "%s: the server closed the stream while playing\n", name_);
            return kExitResetFailed;
        }
        heldAt += count;
        held -= count;
        idleSince = platform::timerMs();
        progress(false);
    }
}

// The server answers nonzero while audio is still queued or audible. In
// keep-open mode it answers 0 at once, so this waits for the played position,
// unless the end stays in the converter for the quit to play.
int Session::drain(const FrameSource& source) {
    const std::uint64_t expectMs = source.totalFrames() * 1000 / static_cast<unsigned>(source.rate);
    const std::uint32_t drainStart = platform::timerMs();
    const std::uint32_t drainLimit = static_cast<std::uint32_t>(expectMs) +
                                     static_cast<std::uint32_t>(latencyMs_) + kStallLimitMs;
    for (;;) {
        std::int32_t playing = 0;
        if (!client::mainCommand(connection_, ipc::kMainQueryPlaying, 0, 0, 0, &playing,
                                 options_.timeoutMs)) {
            return fail(kExitServer, "drain");
        }
        if (resetFailed()) {
            return kExitResetFailed;
        }
        std::int32_t played = 0;
        std::int32_t written = 0;
        if (!positions(&played, &written)) {
            return fail(kExitServer, "position");
        }
        if (playing == 0 && (!settings_.keepDriverOpen || tailAtQuit_ || played >= written)) {
            return kExitOk;
        }
        if (platform::timerMs() - drainStart > drainLimit) {
            std::fprintf(stderr, "%s: the output did not finish playing\n", name_);
            return kExitServer;
        }
        progress(false);
        platform::sleepMs(10);
    }
}

// Closes the output and quits the server, which plays a kept tail first.
int Session::finish(const DeviceOptions& device, const FrameSource& source, std::int32_t playedMs,
                    std::int32_t writtenMs) {
    std::int32_t keep = device.keepOutputOnClose || tailAtQuit_ ? 1 : 0;
    std::memcpy(connection_.block + ipc::kKeepOutputOnClose, &keep, sizeof keep);
    std::int32_t ignored = 0;
    if (!client::mainCommand(connection_, ipc::kMainCloseOutput, 0, 0, 0, &ignored,
                             options_.timeoutMs)) {
        return fail(kExitServer, "close");
    }
    int exitCode = -1;
    // Shutdown unloads the driver and joins threads; give it more than one
    // command, and the time the rest of the sound takes when the quit plays it.
    std::uint32_t quitLimit = 3 * options_.timeoutMs;
    if (tailAtQuit_) {
        quitLimit += static_cast<std::uint32_t>(std::max(writtenMs - playedMs, 0)) +
                     static_cast<std::uint32_t>(latencyMs_) + 2 * kPlayOutSlackMs;
    }
    if (!client::quitServer(connection_, &exitCode, quitLimit)) {
        return fail(kExitServer, "quit");
    }
    if (exitCode != 0) {
        std::fprintf(stderr, "%s: the server ended with exit code %d\n", name_, exitCode);
        return kExitServer;
    }
    if (!quiet_) {
        std::printf("done: %llu frames written; played position %d ms, written position %d ms\n",
                    static_cast<unsigned long long>(source.totalFrames()), playedMs, writtenMs);
    }
    return kExitOk;
}

int Session::run(const DeviceOptions& device, FrameSource& source) {
    quiet_ = device.quiet;
    terminal_ = platform::stdoutIsTerminal();
    VirtualReport report;
    if (device.virtualReport && !report.open()) {
        std::fprintf(stderr, "%s: cannot open the virtual driver's control block\n", name_);
        return kExitServer;
    }
    if (int code = connect(device); code != kExitOk) {
        return code;
    }
    if (int code = open(source); code != kExitOk) {
        return code;
    }
    if (int code = writeAll(source); code != kExitOk) {
        return code;
    }
    if (int code = drain(source); code != kExitOk) {
        return code;
    }
    progress(true);
    if (!quiet_ && terminal_) {
        std::printf("\n");
    }
    std::int32_t playedMs = 0;
    std::int32_t writtenMs = 0;
    if (!positions(&playedMs, &writtenMs)) {
        return fail(kExitServer, "position");
    }
    if (int code = finish(device, source, playedMs, writtenMs); code != kExitOk) {
        return code;
    }
    if (device.virtualReport) {
        report.print(driverName_);
    }
    return kExitOk;
}

} // namespace

std::string describeBits(int bits) {
    return bits < 0 ? std::to_string(-bits) + "-bit float" : std::to_string(bits) + "-bit";
}

void addDeviceOptions(CLI::App& command, DeviceOptions& options) {
    ipc::DeviceSettings& s = options.settings;
    s.bufferMultiplier = 1;
    s.resampleRate = 48000;
    command.add_option("-d,--driver", options.driver, "driver index or name (see `drivers`)")
        ->capture_default_str();
    command
        .add_option("--buffer-multiplier", s.bufferMultiplier,
                    "ring length = driver buffer x (this + 1) x 4")
        ->capture_default_str()
        ->check(CLI::Range(0, 64));
    command.add_option("--first-channel", s.firstChannel, "first driver output channel used")
        ->check(CLI::NonNegativeNumber);
    command.add_flag("--keep-open", s.keepDriverOpen, "keep the driver loaded after closing");
    command.add_flag("--keep-output", options.keepOutputOnClose,
                     "with --keep-open, leave the output running after closing");
    command.add_flag("--mono-to-stereo", s.monoToStereo, "play a mono stream on two channels");
    command.add_flag("--input-monitor", s.inputMonitor, "ask the driver for input monitoring");
    command.add_option("--process-priority", s.processPriority, "0 normal, 1 high, 2 real-time");
    command.add_option("--thread-priority", s.threadPriority,
                       "0 normal, 1 above normal, 2 highest, 3 time-critical");
    command.add_flag("--resample", s.resampleEnable, "allow sample-rate conversion");
    command.add_option("--resample-rate", s.resampleRate, "rate to convert to, in Hz")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    command.add_option("--quality", s.resampleQuality, "resampler quality level");
    command.add_option("--resampler-priority", s.resamplerPriority,
                       "0 normal, 1 above normal, 2 highest, 3 time-critical");
    command.add_flag("-q,--quiet", options.quiet, "no progress output");
    command.add_flag("--virtual-report", options.virtualReport,
                     "at the end, print what the virtual test driver counted");
}

int playSource(const char* name, const Options& options, const DeviceOptions& device,
               FrameSource& source) {
    Session session(name, options);
    return session.run(device, source);
}

} // namespace quillon::ctl
