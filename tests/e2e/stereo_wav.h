// A 16-bit stereo WAV file from raw frames, for the suites that hand files to the tools.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wav/wav.h"

namespace quillon::e2e {

inline void writeStereo16(const std::string& path, int rate,
                          const std::vector<std::uint8_t>& frames) {
    tools::WavFormat format;
    format.channels = 2;
    format.sampleRate = rate;
    format.bits = 16;
    tools::WavWriter writer;
    std::string error;
    EXPECT_TRUE(writer.open(path, format, error)) << error;
    EXPECT_TRUE(writer.write(frames.data(), frames.size() / 4));
    EXPECT_TRUE(writer.finish(error)) << error;
}

} // namespace quillon::e2e
