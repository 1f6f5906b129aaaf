#include "device/convert/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using quillon::convert::Converter;
using quillon::convert::selectConverter;
namespace asio = quillon::asio;
using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------------ formats

enum Source { Pcm8, Pcm16, Pcm24, Pcm32, Float32, Float64 };

struct SourceInfo {
    const char* name;
    std::int32_t isFloat;
    std::int32_t bits;
    int bytes;
};

constexpr SourceInfo kSources[] = {{"Pcm8", 0, 8, 1},     {"Pcm16", 0, 16, 2},
                                   {"Pcm24", 0, 24, 3},   {"Pcm32", 0, 32, 4},
                                   {"Float32", 1, 32, 4}, {"Float64", 0, 64, 8}};

struct DestInfo {
    asio::ASIOSampleType type;
    const char* name;
    bool isFloat;
    int precision; // integer bits, or 32 / 64 for floats
    int width;
    bool big;
};

constexpr DestInfo kDests[] = {
    {asio::ASIOSTInt16LSB, "Int16LSB", false, 16, 2, false},
    {asio::ASIOSTInt16MSB, "Int16MSB", false, 16, 2, true},
    {asio::ASIOSTInt24LSB, "Int24LSB", false, 24, 3, false},
    {asio::ASIOSTInt24MSB, "Int24MSB", false, 24, 3, true},
    {asio::ASIOSTInt32LSB, "Int32LSB", false, 32, 4, false},
    {asio::ASIOSTInt32MSB, "Int32MSB", false, 32, 4, true},
    {asio::ASIOSTInt32LSB16, "Int32LSB16", false, 16, 4, false},
    {asio::ASIOSTInt32MSB16, "Int32MSB16", false, 16, 4, true},
    {asio::ASIOSTInt32LSB24, "Int32LSB24", false, 24, 4, false},
    {asio::ASIOSTInt32MSB24, "Int32MSB24", false, 24, 4, true},
    {asio::ASIOSTFloat32LSB, "Float32LSB", true, 32, 4, false},
    {asio::ASIOSTFloat32MSB, "Float32MSB", true, 32, 4, true},
    {asio::ASIOSTFloat64LSB, "Float64LSB", true, 64, 8, false},
    {asio::ASIOSTFloat64MSB, "Float64MSB", true, 64, 8, true},
};

const Converter& converterFor(Source s, const DestInfo& d) {
    const Converter* c = selectConverter(d.type, kSources[s].isFloat, kSources[s].bits);
    EXPECT_NE(c, nullptr) << kSources[s].name << " -> " << d.name;
    static const Converter none{};
    return c != nullptr ? *c : none;
}

// Little-endian source samples, built byte by byte.
Bytes le(std::uint64_t v, int n) {
    Bytes b(static_cast<std::size_t>(n));
    for (auto& byte : b) {
        byte = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
    return b;
}
Bytes pcm8(int code) {
    return le(static_cast<std::uint64_t>(code), 1);
}
Bytes pcm16(std::int64_t v) {
    return le(static_cast<std::uint64_t>(v), 2);
}
Bytes pcm24(std::int64_t v) {
    return le(static_cast<std::uint64_t>(v), 3);
}
Bytes pcm32(std::int64_t v) {
    return le(static_cast<std::uint64_t>(v), 4);
}
Bytes f32(float v) {
    return le(std::bit_cast<std::uint32_t>(v), 4);
}
Bytes f64(double v) {
    return le(std::bit_cast<std::uint64_t>(v), 8);
}

// Reads a destination sample back in the driver's byte order.
std::uint64_t readRaw(const DestInfo& d, const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < d.width; ++i) {
        v = (v << 8) | p[d.big ? i : d.width - 1 - i];
    }
    return v;
}
std::int64_t readInt(const DestInfo& d, const std::uint8_t* p) {
    const int shift = 64 - 8 * d.width;
    return static_cast<std::int64_t>(readRaw(d, p) << shift) >> shift;
}
double readFloat(const DestInfo& d, const std::uint8_t* p) {
    const std::uint64_t raw = readRaw(d, p);
    return d.width == 4 ? std::bit_cast<float>(static_cast<std::uint32_t>(raw))
                        : std::bit_cast<double>(raw);
}

Bytes convertOne(Source s, const DestInfo& d, const Bytes& in) {
    Bytes out(static_cast<std::size_t>(d.width), 0xA5);
    const Converter& c = converterFor(s, d);
    if (c.one != nullptr) {
        c.one(in.data(), out.data());
    }
    return out;
}

// The run routine over every case of each source at once: the samples lie at
// an odd stride with junk between them, so it must step by the stride and stop
// at the count. `check(case, out)` then applies to each of its results, as it
// does to the single-sample routine's.
template <typename Case, typename Check>
void checkRun(const DestInfo& d, const std::vector<Case>& cases, Check check) {
    constexpr std::size_t kGuard = 16;
    for (int s = Pcm8; s <= Float64; ++s) {
        std::vector<const Case*> ofSource;
        for (const Case& c : cases) {
            if (c.source == s) {
                ofSource.push_back(&c);
            }
        }
        const std::size_t stride = 3 * static_cast<std::size_t>(kSources[s].bytes) + 1;
        Bytes frames(ofSource.size() * stride + 1, 0xC3);
        for (std::size_t i = 0; i < ofSource.size(); ++i) {
            std::copy(ofSource[i]->in.begin(), ofSource[i]->in.end(), frames.begin() + i * stride);
        }
        const std::size_t width = static_cast<std::size_t>(d.width);
        Bytes out(ofSource.size() * width + kGuard, 0x5A);
        const Converter& c = converterFor(static_cast<Source>(s), d);
        if (c.run != nullptr) {
            c.run(frames.data(), stride, out.data(), ofSource.size());
        }
        for (std::size_t i = 0; i < ofSource.size(); ++i) {
            check(*ofSource[i], out.data() + i * width);
        }
        EXPECT_EQ(Bytes(out.end() - kGuard, out.end()), Bytes(kGuard, 0x5A))
            << kSources[s].name << " -> " << d.name << ": the run wrote past its count";
    }
}

bool sameFloat(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A Float64 sample whose product with scale rounds to exactly y, so rounding
// cases can be aimed at precisely.
double preimage(double y, double scale) {
    double x = y / scale;
    for (int i = 0; i < 64 && x * scale != y; ++i) {
        x = std::nextafter(x, x * scale < y ? kInf : -kInf);
    }
    EXPECT_EQ(x * scale, y) << "no double maps onto " << y;
    return x;
}

// --------------------------------------------------------- integer results

struct IntCase {
    const char* what;
    Source source;
    Bytes in;
    std::int64_t p16, p24, p32; // expected result for each precision
};

void checkIntegerCases(const std::vector<IntCase>& cases) {
    for (const auto& d : kDests) {
        if (d.isFloat) {
            continue;
        }
        // For a 4-byte container the whole 32 bits are read as signed, so
        // equality also checks the sign extension above the P bits.
        auto check = [&d](const IntCase& c, const std::uint8_t* out) {
            const std::int64_t want = d.precision == 16 ? c.p16 : d.precision == 24 ? c.p24 : c.p32;
            EXPECT_EQ(readInt(d, out), want)
                << kSources[c.source].name << " " << c.what << " -> " << d.name;
        };
        for (const auto& c : cases) {
            check(c, convertOne(c.source, d, c.in).data());
        }
        checkRun(d, cases, check);
    }
}

TEST(ConvertToInteger, IntegerSources) {
    checkIntegerCases({
        {"zero", Pcm8, pcm8(128), 0, 0, 0},
        {"top", Pcm8, pcm8(255), 32512, 8323072, 2130706432},
        {"most negative", Pcm8, pcm8(0), -32768, -8388608, -2147483648LL},
        {"one below zero", Pcm8, pcm8(127), -256, -65536, -16777216},
        {"zero", Pcm16, pcm16(0), 0, 0, 0},
        {"top", Pcm16, pcm16(32767), 32767, 8388352, 2147418112},
        {"most negative", Pcm16, pcm16(-32768), -32768, -8388608, -2147483648LL},
        {"-2", Pcm16, pcm16(-2), -2, -512, -131072},
        {"zero", Pcm24, pcm24(0), 0, 0, 0},
        {"top rounds past the limit", Pcm24, pcm24(8388607), 32767, 8388607, 2147483392},
        {"most negative", Pcm24, pcm24(-8388608), -32768, -8388608, -2147483648LL},
        {"1.5 ties to even", Pcm24, pcm24(384), 2, 384, 98304},
        {"2.5 ties to even", Pcm24, pcm24(640), 2, 640, 163840},
        {"just past 2.5", Pcm24, pcm24(641), 3, 641, 164096},
        {"-1.5 ties to even", Pcm24, pcm24(-384), -2, -384, -98304},
        {"-2.5 ties to even", Pcm24, pcm24(-640), -2, -640, -163840},
        {"just past -2.5", Pcm24, pcm24(-641), -3, -641, -164096},
        {"-0.5 ties to zero", Pcm24, pcm24(-128), 0, -128, -32768},
        {"32767.5 ties up, then clamps", Pcm24, pcm24(8388480), 32767, 8388480, 2147450880},
        {"-32767.5 ties to even", Pcm24, pcm24(-8388480), -32768, -8388480, -2147450880},
        {"zero", Pcm32, pcm32(0), 0, 0, 0},
        {"top", Pcm32, pcm32(2147483647), 32767, 8388607, 2147483647},
        {"most negative", Pcm32, pcm32(-2147483648LL), -32768, -8388608, -2147483648LL},
        {"-1", Pcm32, pcm32(-1), 0, 0, -1},
        {"-128", Pcm32, pcm32(-128), 0, 0, -128},
        {"-384", Pcm32, pcm32(-384), 0, -2, -384},
        {"1.5 at 16 bits", Pcm32, pcm32(98304), 2, 384, 98304},
        {"2.5 at 16 bits", Pcm32, pcm32(163840), 2, 640, 163840},
        {"-2.5 at 16 bits", Pcm32, pcm32(-163840), -2, -640, -163840},
        {"0.5 at 16 bits", Pcm32, pcm32(32768), 0, 128, 32768},
        {"just past 0.5", Pcm32, pcm32(32769), 1, 128, 32769},
        {"-0.5 and a bit", Pcm32, pcm32(-32769), -1, -128, -32769},
        {"2.5 at 24 bits", Pcm32, pcm32(640), 0, 2, 640},
    });
}

TEST(ConvertToInteger, FloatSources) {
    std::vector<IntCase> cases;
    for (const Source s : {Float32, Float64}) {
        auto in = [s](double x) { return s == Float32 ? f32(static_cast<float>(x)) : f64(x); };
        const std::vector<IntCase> common = {
            {"zero", s, in(0.0), 0, 0, 0},
            {"negative zero", s, in(-0.0), 0, 0, 0},
            {"full scale", s, in(1.0), 32767, 8388607, 2147483647},
            {"negative full scale", s, in(-1.0), -32767, -8388607, -2147483647},
            {"2.0 clamps", s, in(2.0), 32767, 8388607, 2147483647},
            {"-2.0 clamps", s, in(-2.0), -32768, -8388608, -2147483648LL},
            {"just past full scale", s, in(std::nextafter(1.0f, 2.0f)), 32767, 8388607, 2147483647},
            {"just past negative full scale", s, in(std::nextafter(-1.0f, -2.0f)), -32767, -8388608,
             -2147483648LL},
            {"0.5 ties up to even", s, in(0.5), 16384, 4194304, 1073741824},
            {"-0.5 ties up to even", s, in(-0.5), -16384, -4194304, -1073741824},
            {"+inf saturates", s, in(kInf), 32767, 8388607, 2147483647},
            {"-inf saturates", s, in(-kInf), -32768, -8388608, -2147483648LL},
            {"NaN is silence", s, in(kNaN), 0, 0, 0},
            {"negative NaN is silence", s, in(-kNaN), 0, 0, 0},
            {"huge", s, in(3e38), 32767, 8388607, 2147483647},
        };
        cases.insert(cases.end(), common.begin(), common.end());
    }
    cases.push_back({"1e300", Float64, f64(1e300), 32767, 8388607, 2147483647});
    cases.push_back({"-1e300", Float64, f64(-1e300), -32768, -8388608, -2147483648LL});
    checkIntegerCases(cases);

    // Doubles reach values that single precision cannot: exact ties below and
    // above even numbers, and products a hair under one half. Each is aimed at
    // one precision.
    struct Aimed {
        int precision;
        double y;       // the scaled value the sample is chosen to produce
        bool justBelow; // aim at the largest product below y instead
        std::int64_t want;
    };
    const std::vector<Aimed> aimed = {
        {16, 2.5, false, 2},         {16, -2.5, false, -2},
        {16, 3.5, false, 4},         {16, 0.5, false, 0},
        {24, 2.5, false, 2},         {24, -3.5, false, -4},
        {24, 32767.5, false, 32768}, {32, 2.5, false, 2},
        {32, -4.5, false, -4},       {32, 1e9 + 0.5, false, 1000000000},
        {16, 32766.5, false, 32766}, {16, -32767.5, false, -32768},
        {16, 0.5, true, 0},          {32, -0.5, true, 0},
        {24, 1.5, true, 1},          {32, 2147483646.5, true, 2147483646},
    };
    for (const auto& a : aimed) {
        const double scale = static_cast<double>((std::int64_t{1} << (a.precision - 1)) - 1);
        double x = preimage(a.y, scale);
        while (a.justBelow && std::fabs(x * scale) >= std::fabs(a.y)) {
            x = std::nextafter(x, 0.0);
        }
        ASSERT_GT(std::fabs(x * scale), std::fabs(a.y) - 1e-6);
        const Bytes in = f64(x);
        for (const auto& d : kDests) {
            if (!d.isFloat && d.precision == a.precision) {
                EXPECT_EQ(readInt(d, convertOne(Float64, d, in).data()), a.want)
                    << a.y << " -> " << d.name;
            }
        }
    }
}

// ----------------------------------------------------------- float results

struct FloatCase {
    const char* what;
    Source source;
    Bytes in;
    double want; // the double result; single destinations expect it narrowed
};

TEST(ConvertToFloat, AllSources) {
    const float justPast = std::nextafter(1.0f, 2.0f);
    const std::vector<FloatCase> cases = {
        {"zero", Pcm8, pcm8(128), 0.0},
        {"top", Pcm8, pcm8(255), 1.0},
        {"most negative clamps", Pcm8, pcm8(0), -1.0},
        {"one step", Pcm8, pcm8(129), 1.0 / 127.0},
        {"zero", Pcm16, pcm16(0), 0.0},
        {"top", Pcm16, pcm16(32767), 1.0},
        {"most negative clamps", Pcm16, pcm16(-32768), -1.0},
        {"negative full scale", Pcm16, pcm16(-32767), -1.0},
        {"one step down", Pcm16, pcm16(-1), -1.0 / 32767.0},
        {"zero", Pcm24, pcm24(0), 0.0},
        {"top", Pcm24, pcm24(8388607), 1.0},
        {"most negative clamps", Pcm24, pcm24(-8388608), -1.0},
        {"a code", Pcm24, pcm24(-1234567), -1234567.0 / 8388607.0},
        {"zero", Pcm32, pcm32(0), 0.0},
        {"top", Pcm32, pcm32(2147483647), 1.0},
        {"most negative clamps", Pcm32, pcm32(-2147483648LL), -1.0},
        {"a code", Pcm32, pcm32(123456789), 123456789.0 / 2147483647.0},
        {"zero", Float32, f32(0.0f), 0.0},
        {"negative zero kept", Float32, f32(-0.0f), -0.0},
        {"in range", Float32, f32(-0.3f), static_cast<double>(-0.3f)},
        {"just past full scale", Float32, f32(justPast), 1.0},
        {"1.5 clamps", Float32, f32(1.5f), 1.0},
        {"-1.5 clamps", Float32, f32(-1.5f), -1.0},
        {"+inf clamps", Float32, f32(INFINITY), 1.0},
        {"-inf clamps", Float32, f32(-INFINITY), -1.0},
        {"NaN passes", Float32, f32(NAN), kNaN},
        {"zero", Float64, f64(0.0), 0.0},
        {"negative zero kept", Float64, f64(-0.0), -0.0},
        {"in range", Float64, f64(0.1), 0.1},
        {"1.5 clamps", Float64, f64(1.5), 1.0},
        {"just past full scale", Float64, f64(std::nextafter(1.0, 2.0)), 1.0},
        {"just past negative full scale", Float64, f64(std::nextafter(-1.0, -2.0)), -1.0},
        {"beyond single range", Float64, f64(1e300), 1.0},
        {"beyond single range, negative", Float64, f64(-1e300), -1.0},
        {"-inf clamps", Float64, f64(-kInf), -1.0},
        {"NaN passes", Float64, f64(kNaN), kNaN},
        {"below single precision", Float64, f64(1e-300), 1e-300},
    };
    for (const auto& d : kDests) {
        if (!d.isFloat) {
            continue;
        }
        auto check = [&d](const FloatCase& c, const std::uint8_t* out) {
            const double want = d.width == 4 ? static_cast<float>(c.want) : c.want;
            EXPECT_TRUE(sameFloat(readFloat(d, out), want))
                << kSources[c.source].name << " " << c.what << " -> " << d.name << ": got "
                << readFloat(d, out) << ", want " << want;
        };
        for (const auto& c : cases) {
            check(c, convertOne(c.source, d, c.in).data());
        }
        checkRun(d, cases, check);
    }
}

// -------------------------------------------------------------- byte layout

TEST(ConvertLayout, ByteOrderAndSignExtension) {
    struct Layout {
        asio::ASIOSampleType type;
        Source source;
        Bytes in;
        Bytes want;
    };
    const std::vector<Layout> layouts = {
        {asio::ASIOSTInt16LSB, Pcm16, pcm16(0x1234), {0x34, 0x12}},
        {asio::ASIOSTInt16MSB, Pcm16, pcm16(0x1234), {0x12, 0x34}},
        {asio::ASIOSTInt24LSB, Pcm16, pcm16(0x1234), {0x00, 0x34, 0x12}},
        {asio::ASIOSTInt24MSB, Pcm16, pcm16(0x1234), {0x12, 0x34, 0x00}},
        {asio::ASIOSTInt32LSB, Pcm16, pcm16(0x1234), {0x00, 0x00, 0x34, 0x12}},
        {asio::ASIOSTInt32MSB, Pcm16, pcm16(0x1234), {0x12, 0x34, 0x00, 0x00}},
        {asio::ASIOSTInt32LSB16, Pcm16, pcm16(0x1234), {0x34, 0x12, 0x00, 0x00}},
        {asio::ASIOSTInt32MSB16, Pcm16, pcm16(0x1234), {0x00, 0x00, 0x12, 0x34}},
        {asio::ASIOSTInt32LSB24, Pcm16, pcm16(0x1234), {0x00, 0x34, 0x12, 0x00}},
        {asio::ASIOSTInt32MSB24, Pcm16, pcm16(0x1234), {0x00, 0x12, 0x34, 0x00}},
        {asio::ASIOSTInt16MSB, Pcm16, pcm16(-2), {0xFF, 0xFE}},
        {asio::ASIOSTInt24MSB, Pcm24, pcm24(-2), {0xFF, 0xFF, 0xFE}},
        {asio::ASIOSTInt24LSB, Pcm24, pcm24(-2), {0xFE, 0xFF, 0xFF}},
        {asio::ASIOSTInt32LSB16, Pcm16, pcm16(-2), {0xFE, 0xFF, 0xFF, 0xFF}},
        {asio::ASIOSTInt32MSB16, Pcm16, pcm16(-2), {0xFF, 0xFF, 0xFF, 0xFE}},
        {asio::ASIOSTInt32LSB24, Pcm24, pcm24(-2), {0xFE, 0xFF, 0xFF, 0xFF}},
        {asio::ASIOSTInt32MSB24, Pcm24, pcm24(-2), {0xFF, 0xFF, 0xFF, 0xFE}},
        {asio::ASIOSTInt32MSB, Pcm32, pcm32(0x12345678), {0x12, 0x34, 0x56, 0x78}},
        {asio::ASIOSTFloat32LSB, Float64, f64(0.25), {0x00, 0x00, 0x80, 0x3E}},
        {asio::ASIOSTFloat32MSB, Float64, f64(0.25), {0x3E, 0x80, 0x00, 0x00}},
        {asio::ASIOSTFloat64LSB, Float64, f64(0.25), {0, 0, 0, 0, 0, 0, 0xD0, 0x3F}},
        {asio::ASIOSTFloat64MSB, Float64, f64(0.25), {0x3F, 0xD0, 0, 0, 0, 0, 0, 0}},
        {asio::ASIOSTFloat32MSB, Float32, f32(-0.5f), {0xBF, 0x00, 0x00, 0x00}},
        {asio::ASIOSTFloat64MSB, Pcm16, pcm16(-32768), {0xBF, 0xF0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& d : kDests) {
        std::vector<Layout> ofDest;
        for (const auto& l : layouts) {
            if (l.type == d.type) {
                ofDest.push_back(l);
            }
        }
        auto check = [&d](const Layout& l, const std::uint8_t* out) {
            EXPECT_EQ(Bytes(out, out + d.width), l.want)
                << kSources[l.source].name << " -> " << d.name;
        };
        for (const auto& l : ofDest) {
            check(l, convertOne(l.source, d, l.in).data());
        }
        checkRun(d, ofDest, check);
    }
}

// ---------------------------------------------------------------- selection

TEST(SelectConverter, FollowsBitsAndFlag) {
    for (const auto& d : kDests) {
        // 8, 16 and 24 bits ignore the flag, 64 bits is always double.
        for (const std::int32_t bits : {8, 16, 24, 64}) {
            const Converter* plain = selectConverter(d.type, 0, bits);
            ASSERT_NE(plain, nullptr);
            for (const std::int32_t flag : {1, 2, -1}) {
                EXPECT_EQ(selectConverter(d.type, flag, bits), plain) << d.name << " " << bits;
            }
        }
        for (int s = Pcm8; s <= Float64; ++s) {
            const Converter& c = converterFor(static_cast<Source>(s), d);
            EXPECT_EQ(c.sourceBytes, kSources[s].bytes) << kSources[s].name << " -> " << d.name;
            EXPECT_EQ(c.destBytes, d.width) << kSources[s].name << " -> " << d.name;
        }
        const Converter* pcm32 = selectConverter(d.type, 0, 32);
        const Converter* float32 = selectConverter(d.type, 1, 32);
        ASSERT_NE(pcm32, nullptr);
        ASSERT_NE(float32, nullptr);
        EXPECT_NE(pcm32, float32);
        EXPECT_EQ(pcm32->sourceBytes, 4);
        EXPECT_EQ(selectConverter(d.type, 2, 32), nullptr) << d.name;
        EXPECT_EQ(selectConverter(d.type, -1, 32), nullptr) << d.name;
        for (const std::int32_t bits : {0, 1, 7, 12, 20, 31, 48, 63, 65, 128, -16}) {
            EXPECT_EQ(selectConverter(d.type, 0, bits), nullptr) << d.name << " " << bits;
            EXPECT_EQ(selectConverter(d.type, 1, bits), nullptr) << d.name << " " << bits;
        }
    }
    for (const asio::ASIOSampleType type :
         {-1L, 5L, 6L, 7L, 9L, 10L, 12L, 15L, 21L, 23L, 25L, 26L, 28L, 32L, 40L, 0x10000L}) {
        for (const std::int32_t bits : {8, 16, 24, 32, 64}) {
            EXPECT_EQ(selectConverter(type, 0, bits), nullptr) << type << " " << bits;
        }
    }
}

} // namespace
