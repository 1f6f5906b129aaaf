// `tone`: plays a generated sine, or a logarithmic sweep, through the server.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands.h"
#include "playback.h"

namespace quillon::ctl {

namespace {

struct ToneOptions {
    double freq = 440.0;
    double to = 0.0; // sweep end; 0 = steady tone
    double seconds = 2.0;
    double amplitude = 0.5;
    int rate = 48000;
    int bits = 16;
    int channels = 2;
};

void putLittle(std::uint8_t* at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

class ToneSource : public FrameSource {
public:
    explicit ToneSource(const ToneOptions& tone) : tone_(tone) {
        rate = tone.rate;
        bits = tone.bits;
        channels = tone.channels;
        frames_ = static_cast<std::uint64_t>(std::llround(tone.seconds * tone.rate));
    }

    std::size_t read(std::uint8_t* out, std::size_t maxFrames) override {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(maxFrames, frames_ - next_));
        const int bytes = (bits < 0 ? -bits : bits) / 8;
        for (std::size_t f = 0; f < count; ++f, ++next_) {
            const double value = tone_.amplitude * std::sin(phase_);
            phase_ = std::fmod(phase_ + 2.0 * kPi * frequencyAt(next_) / rate, 2.0 * kPi);
            std::uint8_t sample[8];
            encode(value, sample);
            for (int c = 0; c < channels; ++c) {
                std::memcpy(out, sample, static_cast<std::size_t>(bytes));
                out += bytes;
            }
        }
        return count;
    }
    std::uint64_t totalFrames() const override { return frames_; }

private:
    static constexpr double kPi = 3.14159265358979323846;

    double frequencyAt(std::uint64_t frame) const {
        if (tone_.to <= 0.0 || frames_ < 2) {
            return tone_.freq;
        }
        // Equal time per octave, as the ear hears a sweep evenly.
        const double t = static_cast<double>(frame) / static_cast<double>(frames_ - 1);
        return tone_.freq * std::pow(tone_.to / tone_.freq, t);
    }

    void encode(double value, std::uint8_t* out) const {
        switch (bits) {
        case 8: // unsigned, centred on 128
            out[0] = static_cast<std::uint8_t>(128 + std::lround(value * 127.0));
            break;
        case 16:
        case 24:
        case 32: {
            const double full = std::ldexp(1.0, bits - 1) - 1.0;
            putLittle(out, static_cast<std::uint64_t>(std::llround(value * full)), bits / 8);
            break;
        }
        case -32: {
            const float f = static_cast<float>(value);
            std::memcpy(out, &f, 4);
            break;
        }
        default: // -64
            std::memcpy(out, &value, 8);
            break;
        }
    }

    ToneOptions tone_;
    std::uint64_t frames_ = 0;
    std::uint64_t next_ = 0;
    double phase_ = 0.0;
};

int runTone(const Options& options, const DeviceOptions& device, const ToneOptions& tone) {
    const double nyquist = tone.rate / 2.0;
    if (tone.freq <= 0.0 || tone.freq >= nyquist || tone.to < 0.0 || tone.to >= nyquist) {
        std::fprintf(stderr, "quillon-ctl tone: frequencies must lie between 0 and %.0f Hz\n",
                     nyquist);
        return kExitInput;
    }
    ToneSource source(tone);
    if (source.totalFrames() == 0) {
        std::fprintf(stderr, "quillon-ctl tone: the tone is shorter than one frame\n");
        return kExitInput;
    }
    return playSource("quillon-ctl tone", options, device, source);
}

} // namespace

void addToneCommand(CLI::App& app, const Options& options, int& exitCode) {
    auto* command = app.add_subcommand(
        "tone", "play a generated sine or sweep through the server; exit codes as for play");
    auto device = std::make_shared<DeviceOptions>();
    auto tone = std::make_shared<ToneOptions>();
    command->add_option("--freq", tone->freq, "frequency (sweep start), Hz")->capture_default_str();
    command->add_option("--to", tone->to, "sweep to this frequency, Hz (default: no sweep)");
    command->add_option("--seconds", tone->seconds, "duration")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    command->add_option("--amplitude", tone->amplitude, "peak level, 0 to 1")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    command->add_option("--rate", tone->rate, "sample rate, Hz")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    command->add_option("--bits", tone->bits, "8, 16, 24 or 32 for PCM; -32 or -64 for float")
        ->capture_default_str()
        ->check(CLI::IsMember({8, 16, 24, 32, -32, -64}));
    command->add_option("--channels", tone->channels, "channel count")
        ->capture_default_str()
        ->check(CLI::Range(1, 32));
    addDeviceOptions(*command, *device);
    command->callback(
        [&options, &exitCode, device, tone] { exitCode = runTone(options, *device, *tone); });
}

} // namespace quillon::ctl
