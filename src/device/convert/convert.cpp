#include "device/convert/convert.h"

#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

#include "resample/dsp/pcm.h"

// Every routine is decode -> value -> encode, instantiated per (source format,
// destination) pair. `run` inlines the very same step as `one`, so the two give
// identical bytes and the loop has no format branch in it.

namespace quillon::convert {
namespace {

using dsp::byteSwap;
using dsp::Float32;
using dsp::Float64;
using dsp::loadLE;
using dsp::Pcm16;
using dsp::Pcm24;
using dsp::Pcm32;
using dsp::Pcm8;

static_assert(std::numeric_limits<double>::is_iec559 && std::numeric_limits<float>::is_iec559,
              "float destinations store IEEE bit patterns");

// ---------------------------------------------------------------- byte order

template <class U, bool BigEndian> void store(std::uint8_t* p, U v) {
    if constexpr ((std::endian::native == std::endian::big) != BigEndian) {
        v = byteSwap(v);
    }
    std::memcpy(p, &v, sizeof v);
}

// ------------------------------------------------------ integer destinations

// v / 2^K rounded to nearest, ties to even, then limited to P bits. Exact in
// integers: the arithmetic shift floors, the remainder decides. Ties to even
// are symmetric, so rounding from the floor equals rounding the magnitude.
template <int K, int P> std::int32_t roundShift(std::int32_t v) {
    constexpr std::int32_t half = std::int32_t{1} << (K - 1);
    constexpr std::int32_t hi = static_cast<std::int32_t>((std::int64_t{1} << (P - 1)) - 1);
    const std::int32_t q = v >> K;
    const std::int32_t rem = v & ((std::int32_t{1} << K) - 1);
    const std::int32_t r = q + ((rem > half) | ((rem == half) & (q & 1)));
    // Only the top codes round up past the limit; the floor of the most
    // negative input is the most negative output.
    return r > hi ? hi : r;
}

// x * (2^(P-1) - 1) rounded to nearest, ties to even, saturated to P bits.
// The value is limited in double before it is cast, so the cast is always in
// range; NaN becomes 0 (silence) rather than a full-scale click.
template <int P> std::int32_t roundScaled(double x) {
    constexpr double scale = static_cast<double>((std::int64_t{1} << (P - 1)) - 1);
    constexpr double hi = scale;
    constexpr double lo = -scale - 1.0;
    double y = x * scale;
    y = y > hi ? hi : y;
    y = y < lo ? lo : y;
    y = y == y ? y : 0.0;
    // Truncation is toward zero, so the fraction f carries the sign of y and
    // y - t is exact; deciding on f itself, rather than truncating |y| + 0.5,
    // leaves no second rounding that could carry a value just under one half up.
    // Independent of the FPU rounding mode, which a driver may have changed.
    const std::int32_t t = static_cast<std::int32_t>(y);
    const double f = y - static_cast<double>(t);
    const std::int32_t odd = t & 1;
    const std::int32_t up = (f > 0.5) | ((f == 0.5) & odd);
    const std::int32_t down = (f < -0.5) | ((f == -0.5) & odd);
    // Stays within [lo, hi]: both are integers and y lies between them.
    return t + up - down;
}

template <class S, int P> std::int32_t toInteger(const std::uint8_t* src) {
    if constexpr (!S::integer) {
        return roundScaled<P>(S::load(src));
    } else if constexpr (P >= S::bits) {
        // Exact: |v| <= 2^(bits-1), so the product fits in P <= 32 bits.
        return S::load(src) * (std::int32_t{1} << (P - S::bits));
    } else {
        return roundShift<S::bits - P, P>(S::load(src));
    }
}

// P-bit integer stored in Width bytes; a 4-byte container holds it
// sign-extended, which the int32 already is.
template <int P, int Width, bool BigEndian> struct IntDest {
    static constexpr int bytes = Width;
    template <class S> static void convert(const std::uint8_t* src, std::uint8_t* dst) {
        const std::int32_t v = toInteger<S, P>(src);
        if constexpr (Width == 2) {
            store<std::uint16_t, BigEndian>(dst, static_cast<std::uint16_t>(v));
        } else if constexpr (Width == 4) {
            store<std::uint32_t, BigEndian>(dst, static_cast<std::uint32_t>(v));
        } else {
            static_assert(Width == 3);
            const auto u = static_cast<std::uint32_t>(v);
            dst[BigEndian ? 2 : 0] = static_cast<std::uint8_t>(u);
            dst[1] = static_cast<std::uint8_t>(u >> 8);
            dst[BigEndian ? 0 : 2] = static_cast<std::uint8_t>(u >> 16);
        }
    }
};

// -------------------------------------------------------- float destinations

// Limited to [-1, 1] in double before narrowing: narrowing is monotone and +-1
// are exact in both precisions, so this equals limiting after narrowing, and a
// double beyond float's range is never narrowed. NaN passes unchanged.
template <class S, class T> T toFloat(const std::uint8_t* src) {
    double d = dsp::decodeSample<S>(src);
    d = d > 1.0 ? 1.0 : d;
    d = d < -1.0 ? -1.0 : d;
    return static_cast<T>(d);
}

template <class T, bool BigEndian> struct FloatDest {
    static constexpr int bytes = sizeof(T);
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    template <class S> static void convert(const std::uint8_t* src, std::uint8_t* dst) {
        store<Bits, BigEndian>(dst, std::bit_cast<Bits>(toFloat<S, T>(src)));
    }
};

// ------------------------------------------------------------------ routines

template <class S, class D> void convertOne(const std::uint8_t* src, std::uint8_t* dst) {
    D::template convert<S>(src, dst);
}

template <class S, class D>
void convertRun(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
                std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        D::template convert<S>(src + i * srcStride, dst + i * D::bytes);
    }
}

template <class S, class D> constexpr Converter entry() {
    return Converter{&convertOne<S, D>, &convertRun<S, D>, S::bytes, D::bytes};
}

// One row per driver type; columns in the order of SourceColumn.
template <class D> constexpr std::array<Converter, 6> row() {
    return {entry<Pcm8, D>(),  entry<Pcm16, D>(),   entry<Pcm24, D>(),
            entry<Pcm32, D>(), entry<Float32, D>(), entry<Float64, D>()};
}

enum SourceColumn { kPcm8, kPcm16, kPcm24, kPcm32, kFloat32, kFloat64 };

constexpr auto int16LSB = row<IntDest<16, 2, false>>();
constexpr auto int16MSB = row<IntDest<16, 2, true>>();
constexpr auto int24LSB = row<IntDest<24, 3, false>>();
constexpr auto int24MSB = row<IntDest<24, 3, true>>();
constexpr auto int32LSB = row<IntDest<32, 4, false>>();
constexpr auto int32MSB = row<IntDest<32, 4, true>>();
constexpr auto int32LSB16 = row<IntDest<16, 4, false>>();
constexpr auto int32MSB16 = row<IntDest<16, 4, true>>();
constexpr auto int32LSB24 = row<IntDest<24, 4, false>>();
constexpr auto int32MSB24 = row<IntDest<24, 4, true>>();
constexpr auto float32LSB = row<FloatDest<float, false>>();
constexpr auto float32MSB = row<FloatDest<float, true>>();
constexpr auto float64LSB = row<FloatDest<double, false>>();
constexpr auto float64MSB = row<FloatDest<double, true>>();

const std::array<Converter, 6>* rowFor(asio::ASIOSampleType type) {
    switch (type) {
    case asio::ASIOSTInt16LSB:
        return &int16LSB;
    case asio::ASIOSTInt16MSB:
        return &int16MSB;
    case asio::ASIOSTInt24LSB:
        return &int24LSB;
    case asio::ASIOSTInt24MSB:
        return &int24MSB;
    case asio::ASIOSTInt32LSB:
        return &int32LSB;
    case asio::ASIOSTInt32MSB:
        return &int32MSB;
    case asio::ASIOSTInt32LSB16:
        return &int32LSB16;
    case asio::ASIOSTInt32MSB16:
        return &int32MSB16;
    case asio::ASIOSTInt32LSB24:
        return &int32LSB24;
    case asio::ASIOSTInt32MSB24:
        return &int32MSB24;
    case asio::ASIOSTFloat32LSB:
        return &float32LSB;
    case asio::ASIOSTFloat32MSB:
        return &float32MSB;
    case asio::ASIOSTFloat64LSB:
        return &float64LSB;
    case asio::ASIOSTFloat64MSB:
        return &float64MSB;
    default:
        return nullptr;
    }
}

int columnFor(std::int32_t isFloat, std::int32_t bits) {
    switch (bits) {
    case 8:
        return kPcm8;
    case 16:
        return kPcm16;
    case 24:
        return kPcm24;
    case 32:
        return isFloat == 0 ? kPcm32 : isFloat == 1 ? kFloat32 : -1;
    case 64:
        return kFloat64;
    default:
        return -1;
    }
}

} // namespace

const Converter* selectConverter(asio::ASIOSampleType type, std::int32_t isFloat,
                                 std::int32_t bits) {
    const auto* r = rowFor(type);
    const int column = columnFor(isFloat, bits);
    if (r == nullptr || column < 0) {
        return nullptr;
    }
    return &(*r)[static_cast<std::size_t>(column)];
}

} // namespace quillon::convert
