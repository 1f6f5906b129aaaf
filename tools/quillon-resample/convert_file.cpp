#include "convert_file.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/asio.h"
#include "device/convert/convert.h"
#include "resample/downsampler.h"
#include "resample/dsp/sample_io.h"
#include "resample/upsampler.h"
#include "wav/wav.h"

namespace quillon::tools {

namespace {

int outputBits(OutputFormat f) {
    switch (f) {
    case OutputFormat::f64:
        return 64;
    case OutputFormat::f32:
        return 32;
    case OutputFormat::s24:
        return 24;
    case OutputFormat::s16:
        return 16;
    }
    return 64;
}

// Integer output is what the server sends a driver of that type for 64-bit float samples, so
// the file sounds as the device would play it, whatever the FPU's rounding mode.
const convert::Converter& integerConverter(asio::ASIOSampleType type) {
    static const convert::Converter* const s16 =
        convert::selectConverter(asio::ASIOSTInt16LSB, 1, 64);
    static const convert::Converter* const s24 =
        convert::selectConverter(asio::ASIOSTInt24LSB, 1, 64);
    return type == asio::ASIOSTInt16LSB ? *s16 : *s24;
}

// Samples whose value, scaled by top and rounded to nearest (ties to even), falls outside
// -top - 1 .. top; NaN counts too. top is odd, so top + 0.5 rounds up past it and
// -top - 1.5 rounds to -top - 1.
std::uint64_t countClipped(const double* in, std::size_t n, double top) {
    std::uint64_t clipped = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double y = in[i] * top;
        clipped += !(y < top + 0.5 && y >= -top - 1.5);
    }
    return clipped;
}

std::uint64_t encodeInteger(const double* in, std::size_t n, asio::ASIOSampleType type, double top,
                            std::uint8_t* out) {
    if (n != 0) {
        integerConverter(type).run(reinterpret_cast<const std::uint8_t*>(in), sizeof(double), out,
                                   n);
    }
    return countClipped(in, n, top);
}

// Draws a bar on err while a long file converts; silent for short ones.
class Progress {
public:
    Progress(std::ostream& err, std::uint64_t total, bool show)
        : err_(err), total_(total), show_(show) {}
    void update(std::uint64_t done) {
        if (!show_ || total_ == 0) {
            return;
        }
        const int percent = static_cast<int>(std::min<std::uint64_t>(done * 100 / total_, 100));
        if (percent == shown_) {
            return;
        }
        shown_ = percent;
        std::string bar(40, '.');
        bar.replace(0, static_cast<std::size_t>(percent * 40 / 100),
                    static_cast<std::size_t>(percent * 40 / 100), '#');
        err_ << "\r[" << bar << "] " << percent << "%" << std::flush;
    }
    void done() {
        if (show_ && shown_ >= 0) {
            err_ << "\n";
        }
    }

private:
    std::ostream& err_;
    std::uint64_t total_;
    bool show_;
    int shown_ = -1;
};

const char* const kMe = "quillon-resample: ";

// One file's conversion from its opening to its end.
struct Conversion {
    WavReader reader;
    WavWriter writer;
    std::unique_ptr<resample::Resampler_base> converter;
    std::uint64_t expected = 0; // frames the output lasts
    std::uint64_t written = 0, clipped = 0;
    std::vector<std::uint8_t> scratch;
    std::vector<double> values;
};

// Hands over the converter's output, no more than the expected frames of it, and empties its
// buffer.
bool drainOutput(Conversion& c, OutputFormat format) {
    resample::Resampler_base& r = *c.converter;
    const std::size_t channels = static_cast<std::size_t>(r.channels);
    std::uint64_t frames = r.outputBuffer.length / sizeof(double) / channels;
    frames = std::min(frames, c.expected - c.written);
    const std::size_t n = static_cast<std::size_t>(frames) * channels;
    const std::size_t bytes = n * static_cast<std::size_t>(outputBits(format) / 8);
    if (c.scratch.size() < bytes) {
        c.scratch.resize(bytes);
    }
    if (c.values.size() < n) {
        c.values.resize(n);
    }
    if (n != 0) {
        std::memcpy(c.values.data(), r.outputBuffer.data, n * sizeof(double));
    }
    c.clipped += encodeSamples(c.values.data(), n, format, c.scratch.data());
    r.outputBuffer.length = 0;
    c.written += frames;
    return c.writer.write(c.scratch.data(), static_cast<std::size_t>(frames));
}

// The converter from the input's format to the output rate; false with a message on err.
bool createConverter(const ConvertOptions& options, Conversion& c, std::ostream& err) {
    const WavFormat in = c.reader.format();
    if (options.rate == in.sampleRate) {
        err << kMe << options.input << " is already at " << in.sampleRate
            << " Hz; nothing to convert\n";
        return false;
    }
    const resample::ResamplerConfig config{
        in.sampleRate, options.rate, in.isFloat ? 1 : 0, 1,
        in.bits,       64,           in.channels,        options.quality};
    c.converter.reset(resample::createResampler(config));
    if (!c.converter) {
        err << kMe << "cannot convert " << in.sampleRate << " Hz to " << options.rate
            << " Hz at quality " << options.quality
            << ": the lower rate divided by the rates' greatest common divisor must be 1, even "
               "or a multiple of 3, and both rates positive\n";
        return false;
    }
    return true;
}

// Opens the input, makes the converter and opens the output; false with a message on err.
bool openConversion(const ConvertOptions& options, Conversion& c, std::ostream& out,
                    std::ostream& err) {
    std::string error;
    if (!c.reader.open(options.input, error)) {
        err << kMe << error << "\n";
        return false;
    }
    if (!createConverter(options, c, err)) {
        return false;
    }
    if (!options.quiet) {
        out << describeDesign(*c.converter) << "\n" << std::flush;
    }
    const WavFormat in = c.reader.format();
    const WavFormat outFormat{in.channels, options.rate, outputBits(options.format),
                              options.format == OutputFormat::f64 ||
                                  options.format == OutputFormat::f32};
    if (!c.writer.open(options.output, outFormat, error)) {
        err << kMe << error << "\n";
        return false;
    }
    // Frames the whole file lasts at the new rate, rounded to nearest.
    c.expected =
        (c.reader.frames() * static_cast<std::uint64_t>(options.rate) * 2 + in.sampleRate) /
        (2 * static_cast<std::uint64_t>(in.sampleRate));
    return true;
}

// Streams the whole input through the converter into the output, then flushes it. False with
// what went wrong in error unless every expected frame was written.
bool convertAll(const ConvertOptions& options, Conversion& c, std::ostream& err,
                std::string& error) {
    const WavFormat in = c.reader.format();
    const std::uint64_t inFrames = c.reader.frames();
    resample::Resampler_base& r = *c.converter;
    // Long files (over half a minute) get a progress bar.
    Progress progress(err, inFrames, !options.quiet && inFrames > 30ull * in.sampleRate);
    const std::size_t chunkFrames = 16384;
    std::vector<std::uint8_t> chunk(chunkFrames * static_cast<std::size_t>(in.frameBytes()));
    std::uint64_t read = 0;
    for (;;) {
        const std::size_t n = c.reader.read(chunk.data(), chunkFrames);
        if (n == 0) {
            break;
        }
        read += n;
        if (!dsp::appendBytes(r.inputBuffer, chunk.data(),
                              static_cast<std::uint32_t>(n * in.frameBytes())) ||
            !resample::convertSteps(r, 0)) {
            error = "out of memory";
            return false;
        }
        if (!drainOutput(c, options.format)) {
            error = "cannot write " + options.output;
            return false;
        }
        progress.update(read);
    }
    if (read != inFrames) {
        error = "cannot read " + options.input;
        return false;
    }
    // Flush: the frames left over and the filters' delay; the converter ends the output where
    // the input ends.
    if (!resample::convertSteps(r, 1)) {
        error = "out of memory";
        return false;
    }
    if (!drainOutput(c, options.format)) {
        error = "cannot write " + options.output;
        return false;
    }
    if (c.written != c.expected) {
        error = "the converter ended after " + std::to_string(c.written) + " frames of " +
                std::to_string(c.expected);
        return false;
    }
    progress.update(inFrames);
    progress.done();
    return true;
}

} // namespace

std::string describeDesign(const resample::Resampler_base& converter) {
    std::ostringstream s;
    s << converter.inputRate << " Hz -> " << converter.outputRate << " Hz, ";
    if (auto* u = dynamic_cast<const resample::Upsampler*>(&converter)) {
        s << "Upsampler: stage factor " << u->stageFactor << ", short filter " << u->polyLength
          << " taps (" << u->phaseCount << " phases x " << u->tapsPerPhase << "), long filter "
          << u->fftFilterLength << " taps at " << u->midRate << " Hz, block " << u->blockLength
          << ", delay " << u->samplesToSkip / u->channels << " frames";
    } else if (auto* d = dynamic_cast<const resample::Downsampler*>(&converter)) {
        s << "Downsampler: stage factor " << d->stageFactor << ", long filter "
          << d->fftFilterLength << " taps at " << d->midRate << " Hz (cut-off " << d->cutoffHz
          << " Hz), short filter " << d->polyLength << " taps (" << d->phaseCount << " phases x "
          << d->tapsPerPhase << "), block " << d->blockLength << ", delay "
          << d->samplesToSkip / d->channels << " frames";
    }
    return s.str();
}

std::uint64_t encodeSamples(const double* in, std::size_t n, OutputFormat format,
                            std::uint8_t* out) {
    std::uint64_t clipped = 0;
    switch (format) {
    case OutputFormat::f64:
        if (n != 0) { // an empty output may have no storage at all
            std::memcpy(out, in, n * sizeof(double));
        }
        break;
    case OutputFormat::f32:
        for (std::size_t i = 0; i < n; ++i) {
            const float f = static_cast<float>(in[i]);
            std::memcpy(out + 4 * i, &f, 4);
        }
        break;
    case OutputFormat::s24:
        clipped = encodeInteger(in, n, asio::ASIOSTInt24LSB, 8388607.0, out);
        break;
    case OutputFormat::s16:
        clipped = encodeInteger(in, n, asio::ASIOSTInt16LSB, 32767.0, out);
        break;
    }
    return clipped;
}

int convertFile(const ConvertOptions& options, std::ostream& out, std::ostream& err) {
    Conversion c;
    if (!openConversion(options, c, out, err)) {
        return 1;
    }
    std::string error;
    if (!convertAll(options, c, err, error) || !c.writer.finish(error)) {
        err << kMe << error << "\n";
        c.writer.abandon();
        std::remove(options.output.c_str());
        return 1;
    }
    if (c.clipped != 0) {
        err << kMe << "warning: " << c.clipped << " samples clipped\n";
    }
    return 0;
}

} // namespace quillon::tools
