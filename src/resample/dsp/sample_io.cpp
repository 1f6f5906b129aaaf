#include "resample/dsp/sample_io.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "resample/dsp/pcm.h"

namespace quillon::dsp {

bool reserveBytes(GrowableBuffer& buffer, std::uint64_t need) {
    if (need > kMaxBufferCapacity)
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
    return true;
}

bool appendBytes(GrowableBuffer& buffer, const std::uint8_t* bytes, std::uint32_t n) {
    // 64-bit sums so that a need past the 32-bit capacity is refused instead of wrapping.
    if (!reserveBytes(buffer, std::uint64_t{buffer.length} + n))
        return false;
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

template <double (*decode)(const std::uint8_t*)>
void decodeLoop(const std::uint8_t* in, double* out, std::size_t count, int width) {
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

// Sample decoders, one per input format.
constexpr auto decodeU8 = decodeSample<Pcm8>;
constexpr auto decodeS16 = decodeSample<Pcm16>;
constexpr auto decodeS24 = decodeSample<Pcm24>;
constexpr auto decodeS32 = decodeSample<Pcm32>;
constexpr auto decodeF32 = decodeSample<Float32>;
constexpr auto decodeF64 = decodeSample<Float64>;

enum class InputFormat { none, u8, s16, s24, s32, f32, f64 };

InputFormat formatOf(const InputLayout& layout) {
    const int width = layout.bytesPerSample;
    if (layout.isFloat == 0) {
        switch (width) {
        case 1:
            return InputFormat::u8;
        case 2:
            return InputFormat::s16;
        case 3:
            return InputFormat::s24;
        case 4:
            return InputFormat::s32;
        default:
            return InputFormat::none;
        }
    }
    if (layout.isFloat == 1 && width == 4)
        return InputFormat::f32;
    if (layout.isFloat == 1 && width == 8)
        return InputFormat::f64;
    return InputFormat::none;
}

// One channel's frames, each followed by STEP - 1 zeros (STEP 0: step given at run time). The
// caller has checked that every gap fits below the limit.
template <double (*Decode)(const std::uint8_t*), int STEP>
void stuffChannel(const std::uint8_t* p, std::size_t frameBytes, double* o, int count,
                  int runtimeStep) {
    const int step = STEP ? STEP : runtimeStep;
    for (int f = 0; f < count; ++f, o += step) {
        o[0] = Decode(p + static_cast<std::size_t>(f) * frameBytes);
        for (int z = 1; z < step; ++z)
            o[z] = 0.0;
    }
}

template <double (*Decode)(const std::uint8_t*)>
void stuffLoop(const std::uint8_t* in, std::size_t width, std::size_t channels, int frames,
               double* const* out, int first, int step, int totalFrames, int limit) {
    const std::size_t frameBytes = width * channels;
    // Frames whose stuffed place lies below limit, of them the decoded ones, and of those the
    // ones whose whole gap fits too.
    const int placed = first >= limit ? 0 : std::min(totalFrames, (limit - first - 1) / step + 1);
    const int decoded = std::min(frames, placed);
    const int whole = std::min(decoded, (limit - first) / step);
    // One channel at a time: each pass writes one array front to back.
    for (std::size_t c = 0; c < channels; ++c) {
        const std::uint8_t* p = in + c * width;
        double* o = out[c] + first;
        switch (step) {
        case 1:
            stuffChannel<Decode, 1>(p, frameBytes, o, whole, 1);
            break;
        case 2:
            stuffChannel<Decode, 2>(p, frameBytes, o, whole, 2);
            break;
        case 3:
            stuffChannel<Decode, 3>(p, frameBytes, o, whole, 3);
            break;
        default:
            stuffChannel<Decode, 0>(p, frameBytes, o, whole, step);
            break;
        }
        // A last decoded frame whose gap limit cuts short, then silence up to limit.
        int from = first + whole * step;
        if (whole < decoded) {
            out[c][from] = Decode(p + static_cast<std::size_t>(whole) * frameBytes);
            ++from;
        }
        std::fill(out[c] + std::min(from, limit), out[c] + limit, 0.0);
    }
}

} // namespace

void decodeInput(const InputLayout& layout, int frames, int offsetFrames, const std::uint8_t* input,
                 double* work, int totalFrames) {
    const std::size_t channels = static_cast<std::size_t>(layout.channels);
    const std::size_t count = static_cast<std::size_t>(frames) * channels;
    double* out = work + static_cast<std::size_t>(offsetFrames) * channels;
    switch (formatOf(layout)) {
    case InputFormat::u8:
        decodeLoop<decodeU8>(input, out, count, 1);
        break;
    case InputFormat::s16:
        decodeLoop<decodeS16>(input, out, count, 2);
        break;
    case InputFormat::s24:
        decodeLoop<decodeS24>(input, out, count, 3);
        break;
    case InputFormat::s32:
        decodeLoop<decodeS32>(input, out, count, 4);
        break;
    case InputFormat::f32:
        decodeLoop<decodeF32>(input, out, count, 4);
        break;
    case InputFormat::f64:
        if (count != 0)
            std::memcpy(out, input, count * sizeof(double));
        break;
    case InputFormat::none:
        break;
    }
    if (totalFrames > frames)
        std::memset(out + count, 0,
                    static_cast<std::size_t>(totalFrames - frames) * channels * sizeof(double));
}

void decodeStuffed(const InputLayout& layout, int frames, const std::uint8_t* input,
                   double* const* out, int first, int step, int totalFrames, int limit) {
    const std::size_t channels = static_cast<std::size_t>(layout.channels);
    const std::size_t width = static_cast<std::size_t>(layout.bytesPerSample);
    for (std::size_t c = 0; c < channels; ++c)
        for (int i = 0; i < first && i < limit; ++i)
            out[c][i] = 0.0;
    auto run = [&](auto loop, int decoded) {
        loop(input, width, channels, decoded, out, first, step, totalFrames, limit);
    };
    switch (formatOf(layout)) {
    case InputFormat::u8:
        run(stuffLoop<decodeU8>, frames);
        break;
    case InputFormat::s16:
        run(stuffLoop<decodeS16>, frames);
        break;
    case InputFormat::s24:
        run(stuffLoop<decodeS24>, frames);
        break;
    case InputFormat::s32:
        run(stuffLoop<decodeS32>, frames);
        break;
    case InputFormat::f32:
        run(stuffLoop<decodeF32>, frames);
        break;
    case InputFormat::f64:
        run(stuffLoop<decodeF64>, frames);
        break;
    case InputFormat::none: // nothing decodes: the block is silence
        run(stuffLoop<decodeF64>, 0);
        break;
    }
}

} // namespace quillon::dsp
