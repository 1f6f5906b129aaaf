// The probe against every registration of the virtual driver, whose
// capabilities are known, through the server's own driver list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/driver_list.h"
#include "probe_report.h"
#include "virtual_control.h"
#include "virtual_suite.h"

namespace quillon {
namespace {

class Probe : public e2e::VirtualDriverSuite {
protected:
    void SetUp() override {
        ASSERT_NE(control_, nullptr);
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        list_ = device::readDriverList();
    }
    void TearDown() override { device::freeDriverList(list_); }

    std::int32_t indexOf(const virtualdriver::Registration& registration) {
        for (const device::DriverEntry* e = list_->entries; e != nullptr; e = e->next) {
            if (std::strcmp(e->name, registration.description) == 0) {
                return e->index;
            }
        }
        ADD_FAILURE() << "not listed: " << registration.description;
        return -1;
    }

    device::DriverList* list_ = nullptr;
};

TEST_F(Probe, EveryRegistrationIsDescribedAsRegistered) {
    for (const virtualdriver::Registration& r : virtualdriver::kRegistrations) {
        SCOPED_TRACE(r.description);
        ctl::ProbeReport report;
        ASSERT_TRUE(ctl::probeDriver(*list_, indexOf(r), 0, &report));
        ASSERT_TRUE(report.loaded);
        ASSERT_TRUE(report.initialised) << report.errorMessage;
        EXPECT_EQ(report.listName, r.description);
        EXPECT_EQ(report.driverName, r.keyName);
        EXPECT_EQ(report.version, 1);
        EXPECT_EQ(report.inputs, 0);
        EXPECT_EQ(report.outputs, r.channels);
        ASSERT_EQ(report.channels.size(), static_cast<std::size_t>(r.channels));
        for (std::int32_t c = 0; c < r.channels; ++c) {
            const ctl::ProbeChannel& channel = report.channels[static_cast<std::size_t>(c)];
            EXPECT_FALSE(channel.isInput);
            EXPECT_EQ(channel.channel, c);
            EXPECT_EQ(channel.sampleType, r.sampleType);
            EXPECT_EQ(channel.name, "Out " + std::to_string(c + 1));
        }
        EXPECT_EQ(report.minBufferSize, 16);
        EXPECT_EQ(report.maxBufferSize, 8192);
        EXPECT_EQ(report.preferredBufferSize, r.preferredBufferSize);
        EXPECT_EQ(report.granularity, 1);
        std::vector<std::int32_t> accepted;
        for (const ctl::ProbeRate& rate : report.rates) {
            if (rate.accepted) {
                accepted.push_back(rate.rate);
            }
        }
        std::vector<std::int32_t> registered;
        for (const double rate : r.rates) {
            if (rate != 0) {
                registered.push_back(static_cast<std::int32_t>(rate));
            }
        }
        EXPECT_EQ(accepted, registered);
        EXPECT_EQ(report.currentRate, r.rates[0]);
        EXPECT_EQ(report.inputLatency, 0);
        EXPECT_EQ(report.outputLatency, r.outputLatency);
        ASSERT_EQ(report.clocks.size(), 1u);
        EXPECT_EQ(report.clocks[0].name, "Internal");
        EXPECT_TRUE(report.clocks[0].current);
        EXPECT_EQ(report.outputReady, r.supportsOutputReady);
        EXPECT_TRUE(report.failures.empty()) << report.failures.front();
        EXPECT_FALSE(report.ran);
    }
}

TEST_F(Probe, ARunTimesTheBufferSwitchesSilently) {
    const virtualdriver::Registration& r = virtualdriver::kRegistrations[0];
    ctl::ProbeReport report;
    ASSERT_TRUE(ctl::probeDriver(*list_, indexOf(r), 0.5, &report));
    ASSERT_TRUE(report.ran);
    EXPECT_TRUE(report.failures.empty()) << report.failures.front();
    EXPECT_GT(report.run.switches, 2);
    EXPECT_DOUBLE_EQ(report.run.expectedMs, 1000.0 * r.preferredBufferSize / r.rates[0]);
    EXPECT_LE(report.run.minMs, report.run.meanMs);
    EXPECT_LE(report.run.meanMs, report.run.maxMs);
    EXPECT_GE(report.run.jitterMs, 0.0);
    // The driver was given back: another probe loads it afresh.
    EXPECT_EQ(control_->slots[0].status.instances.load(), 0);
    const std::string json = ctl::probeJson(report);
    EXPECT_NE(json.find("\"run\":{\"seconds\":0.5,\"bufferSwitches\":"), std::string::npos) << json;
}

TEST_F(Probe, AFailedInitReportsTheDriversOwnText) {
    control_->slots[1].faults.failInit = 1;
    ctl::ProbeReport report;
    ASSERT_TRUE(ctl::probeDriver(*list_, indexOf(virtualdriver::kRegistrations[1]), 0, &report));
    EXPECT_TRUE(report.loaded);
    EXPECT_FALSE(report.initialised);
    EXPECT_EQ(report.errorMessage, "The virtual device is not available");
    EXPECT_NE(ctl::probeJson(report).find("\"error\":\"The virtual device is not available\""),
              std::string::npos);
    EXPECT_FALSE(ctl::probeDriver(*list_, list_->count, 0, &report));
}

} // namespace
} // namespace quillon
