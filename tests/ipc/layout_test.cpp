// The block is a wire format shared with clients built elsewhere: these tests
// pin the offsets the accessors use and the byte order by the bytes they
// write, and the name-cut rule.
#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ipc/shared_block.h"

namespace ipc = quillon::ipc;

namespace {

std::vector<std::uint8_t> zeroBlock() {
    return std::vector<std::uint8_t>(512, 0);
}

TEST(Layout, IntegersAreLittleEndianAtTheirOffsets) {
    auto block = zeroBlock();
    ipc::storeI32(block.data(), ipc::kMainArg1, 0x11223344);
    EXPECT_EQ(block[264], 0x44);
    EXPECT_EQ(block[267], 0x11);
    ipc::storeI32(block.data(), ipc::kMainCommand, -1);
    EXPECT_EQ(ipc::loadI32(block.data(), ipc::kMainCommand), -1);
    EXPECT_EQ(block[263], 0xFF);
    ipc::storeU64(block.data(), ipc::kSetNotifyWindow, 0x0102030405060708ull);
    EXPECT_EQ(block[8], 0x08);
    EXPECT_EQ(block[15], 0x01);
}

TEST(Layout, SettingsLieAtTheirOffsetsAndBooleansCountAnyNonzero) {
    auto block = zeroBlock();
    ipc::DeviceSettings in;
    in.notifyWindow = 0xFEDCBA9876543210ull;
    in.driverIndex = 3;
    in.processPriority = 2;
    in.threadPriority = 3;
    in.bufferMultiplier = 7;
    in.firstChannel = 4;
    in.keepDriverOpen = true;
    in.monoToStereo = false;
    in.inputMonitor = true;
    in.resampleEnable = true;
    in.resamplerPriority = 1;
    in.resampleRate = 48000;
    in.resampleQuality = 5;
    ipc::writeSettings(block.data(), in);
    // Where a client built elsewhere reads and writes each field.
    auto wordAt = [&block](std::size_t offset) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) {
            v = v << 8 | block[offset + static_cast<std::size_t>(i)];
        }
        return static_cast<std::int32_t>(v);
    };
    const std::pair<std::size_t, std::int32_t> fields[] = {
        {8, 0x76543210}, {12, static_cast<std::int32_t>(0xFEDCBA98)},
        {16, 3},         {20, 2},
        {24, 3},         {28, 7},
        {32, 4},         {36, 1},
        {40, 0},         {44, 1},
        {48, 1},         {52, 1},
        {56, 48000},     {60, 5}};
    for (const auto& [offset, value] : fields) {
        EXPECT_EQ(wordAt(offset), value) << "offset " << offset;
    }
    // Nothing outside offsets 8..63 is touched.
    for (std::size_t i = 0; i < block.size(); ++i) {
        if (i < 8 || i >= 64) {
            ASSERT_EQ(block[i], 0) << "offset " << i;
        }
    }

    const ipc::DeviceSettings out = ipc::readSettings(block.data());
    EXPECT_EQ(out.notifyWindow, in.notifyWindow);
    EXPECT_EQ(out.driverIndex, 3);
    EXPECT_EQ(out.processPriority, 2);
    EXPECT_EQ(out.threadPriority, 3);
    EXPECT_EQ(out.bufferMultiplier, 7);
    EXPECT_EQ(out.firstChannel, 4);
    EXPECT_TRUE(out.keepDriverOpen);
    EXPECT_FALSE(out.monoToStereo);
    EXPECT_TRUE(out.inputMonitor);
    EXPECT_TRUE(out.resampleEnable);
    EXPECT_EQ(out.resamplerPriority, 1);
    EXPECT_EQ(out.resampleRate, 48000);
    EXPECT_EQ(out.resampleQuality, 5);

    // A client may send any nonzero word for true.
    block[40] = 0xF9; // -7
    block[41] = block[42] = block[43] = 0xFF;
    block[36] = 0;
    const ipc::DeviceSettings raw = ipc::readSettings(block.data());
    EXPECT_TRUE(raw.monoToStereo);
    EXPECT_FALSE(raw.keepDriverOpen);
}

TEST(Layout, DriverNameIsCutToSixtyFourBytes) {
    struct Case {
        std::size_t length;
        std::string expected; // empty: the name itself
    };
    const std::string longest(127, 'x');
    const std::array<Case, 5> cases{{
        {0, {}},
        {1, {}},
        {63, {}},
        {64, std::string(60, 'a') + "..."},
        {127, std::string(60, 'a') + "..."},
    }};
    for (const Case& c : cases) {
        std::string name(c.length, 'a');
        std::vector<std::uint8_t> block(512, 0xEE);
        ipc::writeDriverName(block.data(), name.c_str());
        const std::string expected = c.expected.empty() ? name : c.expected;
        const char* got = reinterpret_cast<const char*>(block.data() + ipc::kRtName);
        EXPECT_EQ(std::string(got), expected) << "length " << c.length;
        // The answer never reaches past offset 67, into the unused area.
        EXPECT_EQ(block[68], 0xEE) << "length " << c.length;
        EXPECT_EQ(block[3], 0xEE) << "length " << c.length;
    }
}

// A write's count is taken from the peer: the payload area's size is the last one accepted.
TEST(Payload, CountBound) {
    EXPECT_TRUE(ipc::payloadCountFits(0));
    EXPECT_TRUE(ipc::payloadCountFits(16776948));
    EXPECT_FALSE(ipc::payloadCountFits(16776949));
    EXPECT_FALSE(ipc::payloadCountFits(-1));
    EXPECT_FALSE(ipc::payloadCountFits(std::numeric_limits<std::int32_t>::min()));
}

} // namespace
