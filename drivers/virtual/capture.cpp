#include "capture.h"

#include <cstring>

#include "virtual_control.h"

namespace quillon::virtualdriver {

namespace {

void put16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t* at, std::uint32_t value) {
    put16(at, value);
    put16(at + 2, value >> 16);
}

// WAV format tag for a sample type, or 0 when WAV cannot carry it as is.
int wavFormat(asio::ASIOSampleType type) {
    switch (type) {
    case asio::ASIOSTInt16LSB:
    case asio::ASIOSTInt24LSB:
    case asio::ASIOSTInt32LSB:
        return 1; // integer PCM
    case asio::ASIOSTFloat32LSB:
    case asio::ASIOSTFloat64LSB:
        return 3; // IEEE float
    default:
        return 0;
    }
}

//  0 "RIFF" | 4 size-8 | 8 "WAVE" | 12 "fmt " 16 | 20 tag ch rate byteRate align bits
// 36 "data" | 40 data size | 44 frames
void wavHeader(std::uint8_t* header, int tag, int channels, int rate, int bytes,
               std::int64_t dataBytes) {
    auto data = static_cast<std::uint32_t>(dataBytes);
    std::memcpy(header, "RIFF", 4);
    put32(header + 4, 36 + data);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, 16);
    put16(header + 20, static_cast<std::uint32_t>(tag));
    put16(header + 22, static_cast<std::uint32_t>(channels));
    put32(header + 24, static_cast<std::uint32_t>(rate));
    put32(header + 28, static_cast<std::uint32_t>(rate * channels * bytes));
    put16(header + 32, static_cast<std::uint32_t>(channels * bytes));
    put16(header + 34, static_cast<std::uint32_t>(bytes * 8));
    std::memcpy(header + 36, "data", 4);
    put32(header + 40, data);
}

} // namespace

bool openCapture(Capture& capture, const char* path, asio::ASIOSampleType type, int channels,
                 int sampleRate, int bufferSize) {
    closeCapture(capture);
    capture.bytesPerSample = asio::sampleTypeBytes(type);
    capture.channels = channels;
    capture.dataBytes = 0;
    capture.frames.assign(static_cast<std::size_t>(bufferSize) * channels * capture.bytesPerSample,
                          0);
    capture.file = std::fopen(path, "wb");
    if (capture.file == nullptr) {
        return false;
    }
    capture.wavTag = wavFormat(type);
    capture.sampleRate = sampleRate;
    capture.wav = capture.wavTag != 0;
    if (capture.wav) {
        std::uint8_t header[44];
        wavHeader(header, capture.wavTag, channels, sampleRate, capture.bytesPerSample, 0);
        std::fwrite(header, 1, sizeof header, capture.file);
    } else {
        RawCaptureHeader header{};
        std::memcpy(header.magic, kRawCaptureMagic, sizeof header.magic);
        header.sampleType = static_cast<std::int32_t>(type);
        header.channels = channels;
        header.sampleRate = sampleRate;
        header.bytesPerSample = capture.bytesPerSample;
        std::fwrite(&header, 1, sizeof header, capture.file);
    }
    return true;
}

void writeHalf(Capture& capture, void* const* halves, int frames) {
    if (capture.file == nullptr) {
        return;
    }
    const int bytes = capture.bytesPerSample;
    std::uint8_t* out = capture.frames.data();
    for (int frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < capture.channels; ++channel) {
            std::memcpy(out, static_cast<const std::uint8_t*>(halves[channel]) + frame * bytes,
                        static_cast<std::size_t>(bytes));
            out += bytes;
        }
    }
    std::size_t size = static_cast<std::size_t>(out - capture.frames.data());
    capture.dataBytes +=
        static_cast<std::int64_t>(std::fwrite(capture.frames.data(), 1, size, capture.file));
}

void closeCapture(Capture& capture) {
    if (capture.file == nullptr) {
        return;
    }
    if (capture.wav) {
        std::uint8_t header[44];
        wavHeader(header, capture.wavTag, capture.channels, capture.sampleRate,
                  capture.bytesPerSample, capture.dataBytes);
        std::fseek(capture.file, 0, SEEK_SET);
        std::fwrite(header, 1, sizeof header, capture.file);
    }
    std::fclose(capture.file);
    capture.file = nullptr;
}

} // namespace quillon::virtualdriver
