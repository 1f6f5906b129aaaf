// The block is a wire format shared with clients built elsewhere: these tests
// pin every offset and the byte order, and the name-cut rule.
#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>
#include <vector>

#include "ipc/shared_block.h"

namespace ipc = quillon::ipc;

// Checked by the compiler as well, so a shifted field fails every build.
static_assert(ipc::kSharedBlockSize == 16777216);
static_assert(ipc::kKeepOutputOnClose == 0 && ipc::kRtCommand == 4 && ipc::kRtArgs == 8);
static_assert(ipc::kRtName == 4 && ipc::kRtNameSize == 64);
static_assert(ipc::kMainCommand == 260 && ipc::kMainArg1 == 264 && ipc::kMainArg2 == 268 &&
              ipc::kMainArg3 == 272 && ipc::kPayload == 268);
static_assert(ipc::kSetNotifyWindow == 8 && ipc::kSetDriverIndex == 16 &&
              ipc::kSetProcessPriority == 20 && ipc::kSetThreadPriority == 24 &&
              ipc::kSetBufferMultiplier == 28 && ipc::kSetFirstChannel == 32 &&
              ipc::kSetKeepDriverOpen == 36 && ipc::kSetMonoToStereo == 40 &&
              ipc::kSetInputMonitor == 44 && ipc::kSetResampleEnable == 48 &&
              ipc::kSetResamplerPriority == 52 && ipc::kSetResampleRate == 56 &&
              ipc::kSetResampleQuality == 60);
// The two channels' areas never overlap, so both may be in flight at once.
static_assert(ipc::kRtName + ipc::kRtNameSize <= ipc::kMainCommand);
static_assert(ipc::kPayload + ipc::kPayloadSize == ipc::kSharedBlockSize);

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

TEST(Layout, SettingsRoundTripAndBooleansCountAnyNonzero) {
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
    // Nothing outside offsets 8..63 is touched.
    EXPECT_EQ(ipc::loadI32(block.data(), ipc::kRtCommand), 0);
    EXPECT_EQ(ipc::loadI32(block.data(), 64), 0);
    EXPECT_EQ(ipc::loadI32(block.data(), ipc::kSetResampleRate), 48000);

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
    ipc::storeI32(block.data(), ipc::kSetMonoToStereo, -7);
    ipc::storeI32(block.data(), ipc::kSetKeepDriverOpen, 0);
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
