// quillon-resample's WAV reading and writing, sample encoding, and whole-file conversion.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>
#include <vector>

#include "convert_file.h"
#include "wav/wav.h"

namespace quillon::tools {
namespace {

std::string tempPath(const std::string& name) {
    return (::testing::TempDir() + "quillon_rs_" + name);
}

std::vector<std::uint8_t> fileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

TEST(Wav, WrittenFilesReadBackInEveryLayout) {
    const WavFormat formats[] = {{1, 8000, 16, false}, {2, 44100, 24, false}, {3, 48000, 32, true},
                                 {2, 96000, 64, true}, {6, 22050, 16, false}, {1, 11025, 8, false}};
    for (const auto& f : formats) {
        SCOPED_TRACE(::testing::Message()
                     << f.channels << "ch " << f.bits << (f.isFloat ? "f" : "i"));
        const std::string path = tempPath("layout.wav");
        std::vector<std::uint8_t> data(static_cast<std::size_t>(f.frameBytes()) * 37);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        WavWriter w;
        std::string error;
        ASSERT_TRUE(w.open(path, f, error)) << error;
        ASSERT_TRUE(w.write(data.data(), 30));
        ASSERT_TRUE(w.write(data.data() + 30 * f.frameBytes(), 7));
        ASSERT_TRUE(w.finish(error)) << error;

        WavReader r;
        ASSERT_TRUE(r.open(path, error)) << error;
        EXPECT_EQ(r.format().channels, f.channels);
        EXPECT_EQ(r.format().sampleRate, f.sampleRate);
        EXPECT_EQ(r.format().bits, f.bits);
        EXPECT_EQ(r.format().isFloat, f.isFloat);
        ASSERT_EQ(r.frames(), 37u);
        std::vector<std::uint8_t> back(data.size());
        EXPECT_EQ(r.read(back.data(), 20), 20u);
        EXPECT_EQ(r.read(back.data() + 20 * f.frameBytes(), 100), 17u);
        EXPECT_EQ(r.read(back.data(), 100), 0u);
        EXPECT_EQ(back, data);
        // The RIFF size covers the whole file.
        const auto bytes = fileBytes(path);
        const std::uint32_t riff = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | bytes[7] << 24;
        EXPECT_EQ(riff + 8, bytes.size());
        std::remove(path.c_str());
    }
}

// A hand-made header: 'fmt ' of the given bytes, then an odd-sized chunk to skip, then data.
std::vector<std::uint8_t> makeWav(const std::vector<std::uint8_t>& fmt, std::uint32_t dataSize,
                                  std::size_t dataPresent) {
    std::vector<std::uint8_t> v = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    auto put32 = [&](std::uint32_t x) {
        for (int i = 0; i < 4; ++i) {
            v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
        }
    };
    v.insert(v.end(), {'f', 'm', 't', ' '});
    put32(static_cast<std::uint32_t>(fmt.size()));
    v.insert(v.end(), fmt.begin(), fmt.end());
    v.insert(v.end(), {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0});
    v.insert(v.end(), {'d', 'a', 't', 'a'});
    put32(dataSize);
    v.insert(v.end(), dataPresent, 0x11);
    return v;
}

std::vector<std::uint8_t> fmtChunk(std::uint16_t tag, int channels, int bits, int blockAlign,
                                   const std::vector<std::uint8_t>& extra = {}) {
    std::vector<std::uint8_t> f(16 + extra.size(), 0);
    f[0] = static_cast<std::uint8_t>(tag);
    f[1] = static_cast<std::uint8_t>(tag >> 8);
    f[2] = static_cast<std::uint8_t>(channels);
    f[4] = 0x44; // 44100 Hz
    f[5] = 0xAC;
    f[12] = static_cast<std::uint8_t>(blockAlign);
    f[14] = static_cast<std::uint8_t>(bits);
    std::copy(extra.begin(), extra.end(), f.begin() + 16);
    return f;
}

std::vector<std::uint8_t> extensibleTail(std::uint16_t subtype, std::uint8_t guidByte4 = 0x00) {
    return {22, 0,    24, 0,         3,    0,    0, 0,    static_cast<std::uint8_t>(subtype),
            0,  0,    0,  guidByte4, 0,    0x10, 0, 0x80, 0,
            0,  0xAA, 0,  0x38,      0x9B, 0x71};
}

TEST(Wav, ReadsExtensibleAndRefusesWhatItCannotRead) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> file;
        bool ok;
    };
    const Case cases[] = {
        {"extensible 24-bit PCM", makeWav(fmtChunk(0xFFFE, 2, 24, 6, extensibleTail(1)), 60, 60),
         true},
        {"truncated data keeps whole frames", makeWav(fmtChunk(1, 2, 16, 4), 4000, 4 * 9 + 3),
         true},
        {"unknown extensible subtype",
         makeWav(fmtChunk(0xFFFE, 2, 24, 6, extensibleTail(1, 9)), 60, 60), false},
        {"compressed tag", makeWav(fmtChunk(0x55, 2, 16, 4), 40, 40), false},
        {"12-bit integer", makeWav(fmtChunk(1, 1, 12, 2), 40, 40), false},
        {"16-bit float", makeWav(fmtChunk(3, 1, 16, 2), 40, 40), false},
        {"block align mismatch", makeWav(fmtChunk(1, 2, 16, 3), 40, 40), false},
        {"no channels", makeWav(fmtChunk(1, 0, 16, 0), 40, 40), false},
        {"short format chunk", makeWav(std::vector<std::uint8_t>(10, 1), 40, 40), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = tempPath("case.wav");
        writeBytes(path, c.file);
        WavReader r;
        std::string error;
        EXPECT_EQ(r.open(path, error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(r.frames(), r.format().bits == 24 ? 10u : 9u);
        } else {
            EXPECT_NE(error.find("case.wav"), std::string::npos) << error;
        }
        std::remove(path.c_str());
    }
    // Not a WAV file at all, and no file.
    const std::string path = tempPath("junk.wav");
    writeBytes(path, {'j', 'u', 'n', 'k'});
    WavReader r;
    std::string error;
    EXPECT_FALSE(r.open(path, error));
    EXPECT_FALSE(WavReader().open(tempPath("missing.wav"), error));
    std::remove(path.c_str());
}

TEST(Wav, IntegerEncodingRoundsAndClips) {
    const double in[] = {1.0, -1.0, 0.5 / 32767,  -0.5 / 32767 - 1e-9,
                         1.5, -2.0, std::nan(""), -1.0000305};
    std::uint8_t out[2 * 8];
    EXPECT_EQ(encodeSamples(in, 8, OutputFormat::s16, out), 3u);
    std::int16_t s[8];
    std::memcpy(s, out, sizeof s);
    EXPECT_EQ(s[0], 32767);
    EXPECT_EQ(s[1], -32767);
    EXPECT_EQ(s[2], 0); // ties to even
    EXPECT_EQ(s[3], -1);
    EXPECT_EQ(s[4], 32767);
    EXPECT_EQ(s[5], -32768);
    EXPECT_EQ(s[6], 0);
    EXPECT_EQ(s[7], -32768); // the most negative code itself is not a clip
    std::uint8_t o24[3 * 2];
    const double in24[] = {-1.0, 0.25};
    EXPECT_EQ(encodeSamples(in24, 2, OutputFormat::s24, o24), 0u);
    EXPECT_EQ(o24[0] | o24[1] << 8 | o24[2] << 16, 0x800001);
    EXPECT_EQ(o24[3] | o24[4] << 8 | o24[5] << 16, 2097152); // 0.25 * 8388607 rounded
}

// A host or driver may leave the FPU rounding upward or toward zero: the integer output is the
// same bytes as under the default mode. The scaled values here are exact, off the half steps.
TEST(Wav, IntegerEncodingIgnoresRoundingMode) {
    const double in[] = {0.25,
                         -0.25,
                         0.125,
                         -0.375,
                         std::ldexp(1.0, -16),
                         std::ldexp(3.0, -16),
                         -std::ldexp(1.0, -16),
                         std::ldexp(1.0, -24),
                         -std::ldexp(5.0, -25)};
    const std::size_t n = sizeof in / sizeof in[0];
    for (OutputFormat format : {OutputFormat::s16, OutputFormat::s24}) {
        std::uint8_t nearest[3 * n];
        encodeSamples(in, n, format, nearest);
        for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
            std::uint8_t other[3 * n];
            std::fesetround(mode);
            encodeSamples(in, n, format, other);
            std::fesetround(FE_TONEAREST);
            const std::size_t bytes = n * (format == OutputFormat::s16 ? 2 : 3);
            EXPECT_EQ(std::memcmp(nearest, other, bytes), 0) << "mode " << mode;
        }
    }
}

TEST(Wav, ConvertsAWholeFile) {
    const std::string in = tempPath("in.wav");
    const std::string out = tempPath("out.wav");
    const int frames = 30000;
    std::vector<std::int16_t> samples(frames * 2);
    for (int i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<std::int16_t>(
            std::lround(16000 * std::sin(2 * std::numbers::pi * 1000.0 * i / 44100)));
        samples[2 * i + 1] = static_cast<std::int16_t>(-samples[2 * i]);
    }
    WavWriter w;
    std::string error;
    ASSERT_TRUE(w.open(in, {2, 44100, 16, false}, error));
    ASSERT_TRUE(w.write(reinterpret_cast<const std::uint8_t*>(samples.data()), frames));
    ASSERT_TRUE(w.finish(error));

    std::ostringstream o, e;
    ConvertOptions options{in, out, 48000, 0, OutputFormat::f32, true};
    ASSERT_EQ(convertFile(options, o, e), 0) << e.str();
    { // closed again before the file is removed (Windows keeps open files)
        WavReader r;
        ASSERT_TRUE(r.open(out, error)) << error;
        EXPECT_EQ(r.format().sampleRate, 48000);
        EXPECT_TRUE(r.format().isFloat);
        EXPECT_EQ(r.format().bits, 32);
        // The whole file, tail included: 30000 * 48000 / 44100 = 32653.06 frames.
        ASSERT_EQ(r.frames(), 32653u);
        std::vector<float> y(32653 * 2);
        ASSERT_EQ(r.read(reinterpret_cast<std::uint8_t*>(y.data()), 32653), 32653u);
        // Starts on time: the converted sine matches the original at the new rate, first frame on,
        // give or take the 0.653 frames the design leaves after its dropped samples at this level.
        const double tau = 0.653;
        double worst = 0;
        for (int i = 0; i < 32000; ++i) {
            const double expect =
                16000.0 / 32767 * std::sin(2 * std::numbers::pi * 1000.0 * (i - tau) / 48000);
            // Ignore the first and last frames, where the sine starts and stops abruptly.
            if (i > 600 && i < 32000) {
                worst = std::max(worst, std::abs(y[2 * i] - expect));
                worst = std::max(worst, std::abs(y[2 * i + 1] + expect));
            }
        }
        EXPECT_LT(worst, 2e-4); // 16-bit source and float output
    }
    // Refused pair, same rate, missing input: exit code 1 with a message and no output file.
    std::remove(out.c_str());
    std::ostringstream o1, e1;
    EXPECT_EQ(
        convertFile({tempPath("missing.wav"), out, 48000, 0, OutputFormat::f32, true}, o1, e1), 1);
    EXPECT_NE(e1.str().find("missing.wav"), std::string::npos);
    for (int rate : {44100, 31500}) { // 31500 = 44100 * 5 / 7: e = 5
        std::ostringstream o2, e2;
        ConvertOptions bad{in, out, rate, 0, OutputFormat::f32, true};
        EXPECT_EQ(convertFile(bad, o2, e2), 1);
        EXPECT_FALSE(e2.str().empty());
        EXPECT_TRUE(fileBytes(out).empty());
    }
    std::remove(in.c_str());
}

// Every level and output format, both directions, on a file shorter than one step: the first
// steps yield nothing past the dropped delay, the flush yields all of it, and the written file
// holds exactly the input's length at the new rate. Run under the sanitizers in CI.
TEST(Wav, ConvertsShortFilesAtEveryQuality) {
    const std::string in = tempPath("short-in.wav");
    const std::string out = tempPath("short-out.wav");
    for (const int rate : {44100, 48000}) {
        const int target = rate == 44100 ? 48000 : 44100;
        const int frames = 3001;
        std::vector<std::int16_t> samples(frames * 2);
        for (int i = 0; i < frames * 2; ++i) {
            samples[i] = static_cast<std::int16_t>(9000 * std::sin(0.01 * i) + 3000);
        }
        WavWriter w;
        std::string error;
        ASSERT_TRUE(w.open(in, {2, rate, 16, false}, error));
        ASSERT_TRUE(w.write(reinterpret_cast<const std::uint8_t*>(samples.data()), frames));
        ASSERT_TRUE(w.finish(error));
        const auto want =
            static_cast<std::uint64_t>((std::int64_t{frames} * target * 2 + rate) / (2 * rate));
        for (int quality = 0; quality <= 4; ++quality) {
            // The formats differ only in the encoding, so one level runs them all.
            std::vector<OutputFormat> formats{OutputFormat::f64};
            if (quality == 0) {
                formats.insert(formats.end(),
                               {OutputFormat::f32, OutputFormat::s24, OutputFormat::s16});
            }
            for (const OutputFormat format : formats) {
                SCOPED_TRACE(::testing::Message() << rate << " -> " << target << " q" << quality
                                                  << " format " << static_cast<int>(format));
                std::ostringstream o, e;
                ASSERT_EQ(convertFile({in, out, target, quality, format, true}, o, e), 0)
                    << e.str();
                WavReader r;
                ASSERT_TRUE(r.open(out, error)) << error;
                EXPECT_EQ(r.frames(), want);
            }
        }
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
}

} // namespace
} // namespace quillon::tools
