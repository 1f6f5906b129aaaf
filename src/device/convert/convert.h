// Sample format converters: one routine per pair of stream format and driver
// sample type, chosen once per channel when a stream opens.
//
// Stream formats (all little-endian, interleaved in the payload):
//   Pcm8 (unsigned, 128 = zero), Pcm16, Pcm24 (packed), Pcm32, Float32, Float64.
// Driver types: the fourteen ASIO integer and float types of asio.h.
//
// The routines are pure: they read one source sample and write one destination
// slot, keep no state and never allocate, so they can run under deviceLock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/asio.h"

namespace quillon::convert {

// Converts the sample at src and stores it at dst in the driver's type.
using ConvertSample = void (*)(const std::uint8_t* src, std::uint8_t* dst);

// Converts count samples of one channel: the source is read every srcStride
// bytes (the interleaved frame size), the destination is written packed.
// Gives exactly the bytes that count calls of the matching ConvertSample give.
using ConvertRun = void (*)(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
                            std::size_t count);

struct Converter {
    ConvertSample one;
    ConvertRun run;
    int sourceBytes; // bytes of one stream sample: 1, 2, 3, 4 or 8
    int destBytes;   // bytes of one driver sample: 2, 3, 4 or 8
};

// Main thread, at open; not for the driver's callback (it need not be, but
// nothing there converts). Bits 8, 16 and 24 ignore isFloat; bits 32 take
// isFloat 0 (Pcm32) or 1 (Float32) only; bits 64 are always Float64. Returns
// null for any other bits, flag or driver type. The result is a static table
// entry and stays valid for the life of the process.
const Converter* selectConverter(asio::ASIOSampleType type, std::int32_t isFloat,
                                 std::int32_t bits);

} // namespace quillon::convert
