// The ASIO driver interface as a binary contract.
//
// Drivers are binaries built by others, so slot order, field widths and codes
// below must match theirs exactly. The interface is published with C `long`:
// 32 bits on Windows x64 (what Windows drivers are built with) and 64 bits on
// Linux (what Linux drivers are built with), so it is kept through one typedef.
#pragma once

#include <cstdint>
#include <type_traits>

namespace quillon::asio {

using AsioLong = long;
using ASIOBool = AsioLong;
using ASIOError = AsioLong;
using ASIOSampleType = AsioLong;
using ASIOSampleRate = double;

// A 64-bit count: two 32-bit halves where long is 32 bits (Windows), a plain
// long long where it is 64 bits (Linux).
struct AsioSamplesHalves {
    unsigned long hi;
    unsigned long lo;
};
using ASIOSamples = std::conditional_t<sizeof(AsioLong) == 4, AsioSamplesHalves, long long>;
using ASIOTimeStamp = ASIOSamples;

inline constexpr ASIOError ASE_OK = 0;
inline constexpr ASIOError ASE_SUCCESS = 0x3f4847a0;
inline constexpr ASIOError ASE_NotPresent = -1000;
inline constexpr ASIOError ASE_HWMalfunction = -999;
inline constexpr ASIOError ASE_InvalidParameter = -998;
inline constexpr ASIOError ASE_InvalidMode = -997;
inline constexpr ASIOError ASE_SPNotAdvancing = -996;
inline constexpr ASIOError ASE_NoClock = -995;
inline constexpr ASIOError ASE_NoMemory = -994;

// Sample type codes. Big-endian types are the little-endian code minus 16.
enum : ASIOSampleType {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB24 = 11,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB24 = 27,
};

// asioMessage selectors.
enum : AsioLong {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion = 2,
    kAsioResetRequest = 3,
    kAsioBufferSizeChange = 4,
    kAsioResyncRequest = 5,
    kAsioLatenciesChanged = 6,
    kAsioSupportsTimeInfo = 7,
    kAsioSupportsTimeCode = 8,
    kAsioMMCCommand = 9,
    kAsioSupportsInputMonitor = 10,
    kAsioSupportsInputGain = 11,
    kAsioSupportsInputMeter = 12,
    kAsioSupportsOutputGain = 13,
    kAsioSupportsOutputMeter = 14,
    kAsioOverload = 15,
};

// future() selectors.
enum : AsioLong {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead = 2,
    kAsioSetInputMonitor = 3,
    // Linux hosts announce the registration's key name (const char*) before init.
    kAsioSetInstanceName = 0x7F000001,
};

struct ASIOClockSource {
    AsioLong index;
    AsioLong associatedChannel;
    AsioLong associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    AsioLong channel;
    ASIOBool isInput;
    ASIOBool isActive;
    AsioLong channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    AsioLong channelNum;
    void* buffers[2];
};

struct ASIOInputMonitor {
    AsioLong input;
    AsioLong output;
    AsioLong gain;
    ASIOBool state;
    AsioLong pan;
};

// Opaque to the host: bufferSwitchTimeInfo returns null.
struct ASIOTime;

struct ASIOCallbacks {
    void (*bufferSwitch)(AsioLong doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate rate);
    AsioLong (*asioMessage)(AsioLong selector, AsioLong value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, AsioLong doubleBufferIndex,
                                      ASIOBool directProcess);
};

// Class id, laid out as COM's GUID.
struct AsioGuid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

// The driver object: IUnknown followed by the driver's methods, slots 0 to 23.
// No virtual destructor, so the slots follow declaration order on both ABIs.
// On Windows x64 there is one calling convention; no annotation is needed.
class IASIO {
public:
    virtual long QueryInterface(const AsioGuid& iid, void** object) = 0;    // 0
    virtual unsigned long AddRef() = 0;                                     // 1
    virtual unsigned long Release() = 0;                                    // 2
    virtual ASIOBool init(void* sysHandle) = 0;                             // 3
    virtual void getDriverName(char* name) = 0;                             // 4, 32 bytes
    virtual AsioLong getDriverVersion() = 0;                                // 5
    virtual void getErrorMessage(char* text) = 0;                           // 6, 124 bytes
    virtual ASIOError start() = 0;                                          // 7
    virtual ASIOError stop() = 0;                                           // 8
    virtual ASIOError getChannels(AsioLong* inputs, AsioLong* outputs) = 0; // 9
    virtual ASIOError getLatencies(AsioLong* input, AsioLong* output) = 0;  // 10
    virtual ASIOError getBufferSize(AsioLong* minSize, AsioLong* maxSize, AsioLong* preferred,
                                    AsioLong* granularity) = 0;                           // 11
    virtual ASIOError canSampleRate(ASIOSampleRate rate) = 0;                             // 12
    virtual ASIOError getSampleRate(ASIOSampleRate* rate) = 0;                            // 13
    virtual ASIOError setSampleRate(ASIOSampleRate rate) = 0;                             // 14
    virtual ASIOError getClockSources(ASIOClockSource* clocks, AsioLong* count) = 0;      // 15
    virtual ASIOError setClockSource(AsioLong reference) = 0;                             // 16
    virtual ASIOError getSamplePosition(ASIOSamples* position, ASIOTimeStamp* stamp) = 0; // 17
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;                          // 18
    virtual ASIOError createBuffers(ASIOBufferInfo* infos, AsioLong channels, AsioLong bufferSize,
                                    ASIOCallbacks* callbacks) = 0;   // 19
    virtual ASIOError disposeBuffers() = 0;                          // 20
    virtual ASIOError controlPanel() = 0;                            // 21
    virtual ASIOError future(AsioLong selector, void* argument) = 0; // 22
    virtual ASIOError outputReady() = 0;                             // 23

protected:
    ~IASIO() = default;
};

// Bytes one sample of a driver sample type occupies; 0 for types the host refuses.
constexpr int sampleTypeBytes(ASIOSampleType type) {
    switch (type) {
    case ASIOSTInt16MSB:
    case ASIOSTInt16LSB:
        return 2;
    case ASIOSTInt24MSB:
    case ASIOSTInt24LSB:
        return 3;
    case ASIOSTInt32MSB:
    case ASIOSTInt32LSB:
    case ASIOSTFloat32MSB:
    case ASIOSTFloat32LSB:
    case ASIOSTInt32MSB16:
    case ASIOSTInt32LSB16:
    case ASIOSTInt32MSB24:
    case ASIOSTInt32LSB24:
        return 4;
    case ASIOSTFloat64MSB:
    case ASIOSTFloat64LSB:
        return 8;
    default:
        return 0;
    }
}

// The name of a sample type code, for logs and reports; null for unknown codes.
constexpr const char* sampleTypeName(ASIOSampleType type) {
    switch (type) {
    case ASIOSTInt16MSB:
        return "Int16MSB";
    case ASIOSTInt24MSB:
        return "Int24MSB";
    case ASIOSTInt32MSB:
        return "Int32MSB";
    case ASIOSTFloat32MSB:
        return "Float32MSB";
    case ASIOSTFloat64MSB:
        return "Float64MSB";
    case ASIOSTInt32MSB16:
        return "Int32MSB16";
    case ASIOSTInt32MSB24:
        return "Int32MSB24";
    case ASIOSTInt16LSB:
        return "Int16LSB";
    case ASIOSTInt24LSB:
        return "Int24LSB";
    case ASIOSTInt32LSB:
        return "Int32LSB";
    case ASIOSTFloat32LSB:
        return "Float32LSB";
    case ASIOSTFloat64LSB:
        return "Float64LSB";
    case ASIOSTInt32LSB16:
        return "Int32LSB16";
    case ASIOSTInt32LSB24:
        return "Int32LSB24";
    default:
        return nullptr;
    }
}

// The name of an error code, for logs and reports; null for codes not listed above.
constexpr const char* errorName(ASIOError error) {
    switch (error) {
    case ASE_OK:
        return "ASE_OK";
    case ASE_SUCCESS:
        return "ASE_SUCCESS";
    case ASE_NotPresent:
        return "ASE_NotPresent";
    case ASE_HWMalfunction:
        return "ASE_HWMalfunction";
    case ASE_InvalidParameter:
        return "ASE_InvalidParameter";
    case ASE_InvalidMode:
        return "ASE_InvalidMode";
    case ASE_SPNotAdvancing:
        return "ASE_SPNotAdvancing";
    case ASE_NoClock:
        return "ASE_NoClock";
    case ASE_NoMemory:
        return "ASE_NoMemory";
    default:
        return nullptr;
    }
}

// The Windows x64 layout the drivers are built with.
static_assert(sizeof(AsioLong) != 4 || sizeof(void*) != 8 || sizeof(ASIOChannelInfo) == 52);
static_assert(sizeof(AsioLong) != 4 || sizeof(void*) != 8 || sizeof(ASIOBufferInfo) == 24);
static_assert(sizeof(AsioGuid) == 16);

} // namespace quillon::asio
