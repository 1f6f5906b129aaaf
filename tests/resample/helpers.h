#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "resample/resampler_base.h"

namespace quillon::resample::testing {

inline ResamplerConfig makeConfig(int inputRate, int outputRate, int quality, int channels = 1,
                                  int inputIsFloat = 1, int inputBits = 64) {
    return {inputRate, outputRate, inputIsFloat, 1, inputBits, 64, channels, quality};
}

inline std::vector<std::uint8_t> asBytes(const std::vector<double>& values) {
    std::vector<std::uint8_t> bytes(values.size() * sizeof(double));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

inline std::vector<double> asDoubles(const dsp::GrowableBuffer& buffer) {
    std::vector<double> values(buffer.length / sizeof(double));
    if (!values.empty()) {
        std::memcpy(values.data(), buffer.data, values.size() * sizeof(double));
    }
    return values;
}

// Drives a converter the way the worker does: append, run whole steps, keep the rest in front.
inline void feed(Resampler_base& r, const std::uint8_t* bytes, std::uint32_t n, int final = 0) {
    if (n != 0) {
        dsp::appendBytes(r.inputBuffer, bytes, n);
    }
    convertSteps(r, final);
}

// The whole of input through a fresh converter in chunks of chunkBytes, flushed at the end.
inline std::vector<double> convertAll(const ResamplerConfig& config,
                                      const std::vector<std::uint8_t>& input,
                                      std::size_t chunkBytes) {
    std::unique_ptr<Resampler_base> r(createResampler(config));
    if (!r) {
        return {};
    }
    for (std::size_t at = 0; at < input.size(); at += chunkBytes) {
        const std::size_t n = std::min(chunkBytes, input.size() - at);
        feed(*r, input.data() + at, static_cast<std::uint32_t>(n));
    }
    feed(*r, nullptr, 0, 1);
    return asDoubles(r->outputBuffer);
}

} // namespace quillon::resample::testing
