#pragma once

#include <cstdint>

namespace quillon::dsp {

// How a converter's input is laid out: interleaved frames of `channels` samples, each
// `bytesPerSample` bytes of little-endian integer PCM (isFloat 0; 8-bit is unsigned) or IEEE
// float (isFloat 1).
struct InputLayout {
    int channels;
    int bytesPerSample;
    int isFloat;
};

// Byte buffer that grows by doubling from 1024 bytes. Bytes always start at offset 0;
// consumers take bytes from the front by moving the rest down.
struct GrowableBuffer {
    std::uint8_t* data = nullptr; // null until the first append
    std::uint32_t capacity = 0;   // 1024 * 2^k once allocated
    std::uint32_t length = 0;
};

// Largest capacity a buffer may reach: doubling must never wrap the 32-bit capacity.
inline constexpr std::uint32_t kMaxBufferCapacity = 0x80000000u;

// Appends n bytes. Returns false, leaving the buffer unchanged, when the buffer would have to
// pass kMaxBufferCapacity or the allocation fails. Resampler worker thread.
bool appendBytes(GrowableBuffer& buffer, const std::uint8_t* bytes, std::uint32_t n);

// Grows the block, keeping its bytes, until it holds at least need bytes. false, with the buffer
// unchanged, when need passes kMaxBufferCapacity or the allocation fails. Resampler worker thread.
bool reserveBytes(GrowableBuffer& buffer, std::uint64_t need);

// Frees the block and empties the buffer.
void releaseBuffer(GrowableBuffer& buffer);

// Decodes frames interleaved frames of the input layout into work[offsetFrames * channels ...],
// then writes (totalFrames - frames) frames of 0.0 after them. A sample format outside the
// table decodes nothing (the zero tail is still written). Resampler worker thread.
void decodeInput(const InputLayout& layout, int frames, int offsetFrames, const std::uint8_t* input,
                 double* work, int totalFrames);

// Decodes frames interleaved frames as decodeInput does, but straight into one array per
// channel, zero-stuffed: frame f of channel c goes to out[c][first + f * step], and every other
// position below limit gets 0.0 (those before first, the step - 1 after each frame, and those of
// the silent frames from `frames` up to totalFrames). Positions from limit on are not touched.
// This is the block a Downsampler convolves, built in one pass. Resampler worker thread.
void decodeStuffed(const InputLayout& layout, int frames, const std::uint8_t* input,
                   double* const* out, int first, int step, int totalFrames, int limit);

} // namespace quillon::dsp
