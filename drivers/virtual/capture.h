// Capture of the half-buffers the virtual driver plays, interleaved into one
// file: WAV for little-endian formats WAV can hold, raw with a small header
// for the rest.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "device/asio.h"

namespace quillon::virtualdriver {

struct Capture {
    std::FILE* file = nullptr;
    bool wav = false;
    int wavTag = 0;
    int sampleRate = 0;
    int channels = 0;
    int bytesPerSample = 0;
    std::int64_t dataBytes = 0;
    std::vector<std::uint8_t> frames; // one half-buffer, interleaved
};

// Host thread, with the clock stopped. Allocates everything writeHalf needs.
bool openCapture(Capture& capture, const char* path, asio::ASIOSampleType type, int channels,
                 int sampleRate, int bufferSize);
// Driver thread. Appends `frames` frames from one half of each channel buffer.
void writeHalf(Capture& capture, void* const* halves, int frames);
// Host thread, with the clock stopped. Completes the header sizes.
void closeCapture(Capture& capture);

} // namespace quillon::virtualdriver
