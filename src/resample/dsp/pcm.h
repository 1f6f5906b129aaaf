// The stream's PCM formats, read from little-endian bytes: the one decoding rule the server's
// sample converters and the sample-rate converters' input share.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillon::dsp {

template <class U> constexpr U byteSwap(U v) {
    U r = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) {
        r = static_cast<U>((r << 8) | (v & 0xFF));
        v = static_cast<U>(v >> 8);
    }
    return r;
}

template <class U> U loadLE(const std::uint8_t* p) {
    U v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = byteSwap(v);
    }
    return v;
}

// Integer formats decode to a signed value of `bits` precision and map to
// +-1.0 by dividing by their largest positive code.

struct Pcm8 {
    static constexpr bool integer = true;
    static constexpr int bits = 8;
    static constexpr int bytes = 1;
    static constexpr double fullScale = 127.0;
    static std::int32_t load(const std::uint8_t* p) {
        return static_cast<std::int32_t>(p[0]) - 128;
    }
};

struct Pcm16 {
    static constexpr bool integer = true;
    static constexpr int bits = 16;
    static constexpr int bytes = 2;
    static constexpr double fullScale = 32767.0;
    static std::int32_t load(const std::uint8_t* p) {
        return static_cast<std::int16_t>(loadLE<std::uint16_t>(p));
    }
};

struct Pcm24 {
    static constexpr bool integer = true;
    static constexpr int bits = 24;
    static constexpr int bytes = 3;
    static constexpr double fullScale = 8388607.0;
    static std::int32_t load(const std::uint8_t* p) {
        return static_cast<std::int8_t>(p[2]) * 65536 + p[1] * 256 + p[0];
    }
};

struct Pcm32 {
    static constexpr bool integer = true;
    static constexpr int bits = 32;
    static constexpr int bytes = 4;
    static constexpr double fullScale = 2147483647.0;
    static std::int32_t load(const std::uint8_t* p) {
        return static_cast<std::int32_t>(loadLE<std::uint32_t>(p));
    }
};

struct Float32 {
    static constexpr bool integer = false;
    static constexpr int bytes = 4;
    static double load(const std::uint8_t* p) {
        return std::bit_cast<float>(loadLE<std::uint32_t>(p));
    }
};

struct Float64 {
    static constexpr bool integer = false;
    static constexpr int bytes = 8;
    static double load(const std::uint8_t* p) {
        return std::bit_cast<double>(loadLE<std::uint64_t>(p));
    }
};

// A stream sample as a double: integer codes divided by their largest positive code (so the
// most negative code lies just below -1), float samples as they are.
template <class S> double decodeSample(const std::uint8_t* p) {
    if constexpr (S::integer) {
        return static_cast<double>(S::load(p)) / S::fullScale;
    } else {
        return S::load(p);
    }
}

} // namespace quillon::dsp
