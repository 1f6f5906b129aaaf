#include "resample/dsp/sample_io.h"

#include <cstdlib>
#include <cstring>

#include "resample/resampler_base.h"

namespace quillon::dsp {

bool appendBytes(GrowableBuffer& buffer, const std::uint8_t* bytes, std::uint32_t n) {
    // 64-bit sums so that a need past the 32-bit capacity is refused instead of wrapping.
    std::uint64_t need = std::uint64_t{buffer.length} + n;
    if (need > maxBufferCapacity)
        return false;
    if (buffer.data == nullptr) {
        std::uint64_t capacity = 1024;
        while (capacity < need)
            capacity *= 2;
        auto* data = static_cast<std::uint8_t*>(std::malloc(capacity));
        if (data == nullptr)
            return false;
        buffer.data = data;
        buffer.capacity = static_cast<std::uint32_t>(capacity);
        buffer.length = 0;
    } else if (buffer.capacity < need) {
        std::uint64_t capacity = buffer.capacity;
        while (capacity < need)
            capacity *= 2;
        auto* data = static_cast<std::uint8_t*>(std::realloc(buffer.data, capacity));
        if (data == nullptr)
            return false; // realloc keeps the old block on failure
        buffer.data = data;
        buffer.capacity = static_cast<std::uint32_t>(capacity);
    }
    if (n != 0)
        std::memcpy(buffer.data + buffer.length, bytes, n);
    buffer.length += n;
    return true;
}

void releaseBuffer(GrowableBuffer& buffer) {
    std::free(buffer.data);
    buffer = GrowableBuffer{};
}

namespace {

template <typename Decode>
void decodeLoop(const std::uint8_t* in, double* out, std::size_t count, int width, Decode decode) {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        out[i] = decode(in + i * width);
        out[i + 1] = decode(in + (i + 1) * width);
        out[i + 2] = decode(in + (i + 2) * width);
        out[i + 3] = decode(in + (i + 3) * width);
    }
    for (; i < count; ++i)
        out[i] = decode(in + i * width);
}

// Little-endian reads assembled from bytes, so the decoders hold on any host and alignment.
std::int32_t read16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

std::int32_t read24(const std::uint8_t* p) {
    std::uint32_t u = p[0] | (p[1] << 8) | (std::uint32_t{p[2]} << 16);
    return static_cast<std::int32_t>(u << 8) >> 8; // sign from the high byte
}

std::uint32_t read32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

} // namespace

void decodeInput(const resample::Resampler_base& converter, int frames, int offsetFrames,
                 const std::uint8_t* input, double* work, int totalFrames) {
    const std::size_t channels = static_cast<std::size_t>(converter.channels);
    const std::size_t count = static_cast<std::size_t>(frames) * channels;
    double* out = work + static_cast<std::size_t>(offsetFrames) * channels;
    const int width = converter.inputBytesPerSample;
    if (converter.inputIsFloat == 0) {
        switch (width) {
        case 1:
            decodeLoop(input, out, count, 1,
                       [](const std::uint8_t* p) { return (p[0] - 128) / 127.0; });
            break;
        case 2:
            decodeLoop(input, out, count, 2,
                       [](const std::uint8_t* p) { return read16(p) / 32767.0; });
            break;
        case 3:
            decodeLoop(input, out, count, 3,
                       [](const std::uint8_t* p) { return read24(p) / 8388607.0; });
            break;
        case 4:
            decodeLoop(input, out, count, 4, [](const std::uint8_t* p) {
                return static_cast<std::int32_t>(read32(p)) / 2147483647.0;
            });
            break;
        default:
            break;
        }
    } else if (converter.inputIsFloat == 1) {
        if (width == 4) {
            decodeLoop(input, out, count, 4, [](const std::uint8_t* p) {
                float f;
                std::uint32_t u = read32(p);
                std::memcpy(&f, &u, sizeof f);
                return static_cast<double>(f);
            });
        } else if (width == 8 && count != 0) {
            std::memcpy(out, input, count * sizeof(double));
        }
    }
    if (totalFrames > frames)
        std::memset(out + count, 0,
                    static_cast<std::size_t>(totalFrames - frames) * channels * sizeof(double));
}

bool encodeOutput(resample::Resampler_base& converter, int frames, const double* values) {
    const std::int64_t v = std::int64_t{frames} * converter.channels;
    const std::int64_t s = converter.samplesToSkip;
    if (v > s) {
        std::uint64_t bytes = static_cast<std::uint64_t>(v - s) * sizeof(double);
        if (bytes > maxBufferCapacity)
            return false;
        if (!appendBytes(converter.outputBuffer, reinterpret_cast<const std::uint8_t*>(values + s),
                         static_cast<std::uint32_t>(bytes)))
            return false;
    }
    converter.samplesToSkip = static_cast<int>(s > v ? s - v : 0);
    return true;
}

} // namespace quillon::dsp
