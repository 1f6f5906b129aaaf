#include "wav/wav.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace quillon::tools {

namespace {

constexpr std::uint16_t tagPcm = 1;
constexpr std::uint16_t tagFloat = 3;
constexpr std::uint16_t tagExtensible = 0xFFFE;

// Bytes 2..15 of the KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT GUIDs; bytes 0..1 carry the tag.
constexpr std::array<std::uint8_t, 14> subtypeTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void put16(std::vector<std::uint8_t>& v, std::uint32_t x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}
void putId(std::vector<std::uint8_t>& v, const char* id) {
    v.insert(v.end(), id, id + 4);
}

std::string describe(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

// Reads the format chunk's `size` bytes in f into format; false with a message in error when
// it describes nothing this reader can read.
bool parseFormat(const std::vector<std::uint8_t>& f, std::uint32_t size, WavFormat& format,
                 const std::string& path, std::string& error) {
    std::uint16_t tag = le16(&f[0]);
    format.channels = le16(&f[2]);
    format.sampleRate = static_cast<int>(le32(&f[4]));
    const std::uint16_t blockAlign = le16(&f[12]);
    format.bits = le16(&f[14]);
    if (tag == tagExtensible) {
        if (size < 40 || le16(&f[16]) < 22 ||
            std::memcmp(&f[26], subtypeTail.data(), subtypeTail.size()) != 0) {
            error = path + ": unsupported extensible format";
            return false;
        }
        tag = le16(&f[24]);
    }
    if (tag != tagPcm && tag != tagFloat) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%04X", tag);
        error = path + ": unsupported format tag " + code + " (only PCM and IEEE float)";
        return false;
    }
    format.isFloat = tag == tagFloat;
    const bool bitsOk = format.isFloat ? (format.bits == 32 || format.bits == 64)
                                       : (format.bits == 8 || format.bits == 16 ||
                                          format.bits == 24 || format.bits == 32);
    if (!bitsOk) {
        error = path + ": unsupported sample format: " + std::to_string(format.bits) + "-bit " +
                (format.isFloat ? "float" : "integer");
        return false;
    }
    if (format.channels < 1 || format.sampleRate <= 0 || blockAlign != format.frameBytes()) {
        error = path + ": inconsistent format chunk";
        return false;
    }
    return true;
}

} // namespace

bool WavReader::open(const std::string& path, std::string& error) {
    errno = 0;
    file_.open(path, std::ios::binary);
    if (!file_) {
        error = "cannot open " + describe(path);
        return false;
    }
    std::uint8_t head[12];
    if (!file_.read(reinterpret_cast<char*>(head), 12) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        error = path + ": not a WAV file";
        return false;
    }
    bool haveFormat = false;
    for (;;) {
        std::uint8_t chunk[8];
        if (!file_.read(reinterpret_cast<char*>(chunk), 8)) {
            error = path + (haveFormat ? ": no data chunk" : ": no format chunk");
            return false;
        }
        const std::uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || size > 1024) {
                error = path + ": malformed format chunk";
                return false;
            }
            std::vector<std::uint8_t> f(size + (size & 1));
            if (!file_.read(reinterpret_cast<char*>(f.data()),
                            static_cast<std::streamsize>(f.size()))) {
                error = path + ": truncated format chunk";
                return false;
            }
            if (!parseFormat(f, size, format_, path, error)) {
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                error = path + ": data before the format chunk";
                return false;
            }
            // A streamed or truncated file may claim more than it holds: take what is there.
            const std::streamoff start = file_.tellg();
            file_.seekg(0, std::ios::end);
            const std::streamoff end = file_.tellg();
            file_.seekg(start);
            std::uint64_t bytes =
                std::min<std::uint64_t>(size, static_cast<std::uint64_t>(end - start));
            dataBytes_ = bytes - bytes % format_.frameBytes();
            return true;
        } else {
            file_.seekg(static_cast<std::streamoff>(size) + (size & 1), std::ios::cur);
        }
    }
}

std::size_t WavReader::read(std::uint8_t* out, std::size_t maxFrames) {
    const std::uint64_t frameBytes = format_.frameBytes();
    const std::uint64_t left = (dataBytes_ - dataRead_) / frameBytes;
    const std::size_t frames = static_cast<std::size_t>(std::min<std::uint64_t>(left, maxFrames));
    if (frames == 0 || !file_.read(reinterpret_cast<char*>(out),
                                   static_cast<std::streamsize>(frames * frameBytes))) {
        return 0;
    }
    dataRead_ += frames * frameBytes;
    return frames;
}

bool WavWriter::open(const std::string& path, const WavFormat& format, std::string& error) {
    format_ = format;
    errno = 0;
    file_.open(path, std::ios::binary | std::ios::trunc);
    if (!file_) {
        error = "cannot create " + describe(path);
        return false;
    }
    const bool extensible = format.channels > 2;
    const std::uint16_t tag = format.isFloat ? tagFloat : tagPcm;
    std::vector<std::uint8_t> h;
    putId(h, "RIFF");
    riffSizeAt_ = static_cast<std::streamoff>(h.size());
    put32(h, 0);
    putId(h, "WAVE");
    putId(h, "fmt ");
    put32(h, extensible ? 40 : (format.isFloat ? 18 : 16));
    put16(h, extensible ? tagExtensible : tag);
    put16(h, static_cast<std::uint32_t>(format.channels));
    put32(h, static_cast<std::uint32_t>(format.sampleRate));
    put32(h, static_cast<std::uint32_t>(format.sampleRate) * format.frameBytes());
    put16(h, static_cast<std::uint32_t>(format.frameBytes()));
    put16(h, static_cast<std::uint32_t>(format.bits));
    if (extensible) {
        // Speaker masks of the usual layouts up to 7.1; anything wider is left unassigned.
        static constexpr std::uint32_t masks[9] = {0,    0x4,  0x3,   0x7,  0x33,
                                                   0x37, 0x3F, 0x13F, 0x63F};
        put16(h, 22);
        put16(h, static_cast<std::uint32_t>(format.bits));
        put32(h, format.channels <= 8 ? masks[format.channels] : 0);
        put16(h, tag);
        h.insert(h.end(), subtypeTail.begin(), subtypeTail.end());
    } else if (format.isFloat) {
        put16(h, 0);
    }
    if (format.isFloat) {
        putId(h, "fact");
        put32(h, 4);
        factAt_ = static_cast<std::streamoff>(h.size());
        put32(h, 0);
    }
    putId(h, "data");
    dataSizeAt_ = static_cast<std::streamoff>(h.size());
    put32(h, 0);
    file_.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
    if (!file_) {
        error = "cannot write " + describe(path);
        return false;
    }
    return true;
}

bool WavWriter::write(const std::uint8_t* bytes, std::size_t frames) {
    const std::uint64_t n = static_cast<std::uint64_t>(frames) * format_.frameBytes();
    file_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
    dataBytes_ += n;
    return static_cast<bool>(file_);
}

bool WavWriter::finish(std::string& error) {
    const std::streamoff dataStart = dataSizeAt_ + 4;
    const std::uint64_t riffSize =
        static_cast<std::uint64_t>(dataStart) - 8 + dataBytes_ + (dataBytes_ & 1);
    if (riffSize > 0xFFFFFFFFull) {
        error = "output too long for a WAV file (over 4 GiB)";
        return false;
    }
    if (dataBytes_ & 1) {
        file_.put(0);
    }
    auto patch = [&](std::streamoff at, std::uint64_t value) {
        std::vector<std::uint8_t> v;
        put32(v, static_cast<std::uint32_t>(value));
        file_.seekp(at);
        file_.write(reinterpret_cast<const char*>(v.data()), 4);
    };
    patch(riffSizeAt_, riffSize);
    if (factAt_ >= 0) {
        patch(factAt_, dataBytes_ / format_.frameBytes());
    }
    patch(dataSizeAt_, dataBytes_);
    file_.close();
    if (file_.fail()) {
        error = "cannot complete the output file";
        return false;
    }
    return true;
}

} // namespace quillon::tools
