#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace quillon::tools {

// Sample layout of a WAV file's data: little-endian, interleaved.
struct WavFormat {
    int channels = 0;
    int sampleRate = 0;
    int bits = 0;         // container bits per sample: 8, 16, 24, 32 or (float) 32, 64
    bool isFloat = false; // IEEE float rather than integer PCM (8-bit PCM is unsigned)

    int frameBytes() const { return channels * (bits / 8); }
};

// Reads the header of a WAV file (plain PCM, IEEE float or WAVE_FORMAT_EXTENSIBLE carrying
// either) and leaves the stream at the first data byte.
class WavReader {
public:
    // False with a message in error when the file cannot be opened or is not a WAV file this
    // tool can read.
    bool open(const std::string& path, std::string& error);

    const WavFormat& format() const { return format_; }
    std::uint64_t frames() const { return dataBytes_ / format_.frameBytes(); }

    // Reads up to maxFrames whole frames; returns how many were read (0 at the end).
    std::size_t read(std::uint8_t* out, std::size_t maxFrames);

private:
    std::ifstream file_;
    WavFormat format_;
    std::uint64_t dataBytes_ = 0; // whole frames of the data chunk present in the file
    std::uint64_t dataRead_ = 0;
};

// Writes a WAV file: plain PCM or IEEE float for one or two channels, WAVE_FORMAT_EXTENSIBLE
// for more. The sizes in the header are filled in by finish.
class WavWriter {
public:
    bool open(const std::string& path, const WavFormat& format, std::string& error);
    bool write(const std::uint8_t* bytes, std::size_t frames);
    // Patches the sizes and closes; false when the file could not be completed (disk full, or
    // more data than a RIFF file can describe).
    bool finish(std::string& error);
    // Closes an unfinished file so that it can be removed.
    void abandon() { file_.close(); }

private:
    std::ofstream file_;
    WavFormat format_;
    std::uint64_t dataBytes_ = 0;
    std::streamoff riffSizeAt_ = 0, factAt_ = -1, dataSizeAt_ = 0;
};

} // namespace quillon::tools
