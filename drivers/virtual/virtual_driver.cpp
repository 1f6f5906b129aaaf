#include "virtual_driver.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "capture.h"
#include "platform/platform.h"
#include "virtual_control.h"

namespace quillon::virtualdriver {

using namespace asio;

namespace {

std::atomic<long> g_liveObjects{0};

constexpr AsioLong kMinBufferSize = 16;
constexpr AsioLong kMaxBufferSize = 8192;
constexpr long kOk = 0;                                       // S_OK
constexpr long kNoInterface = static_cast<long>(0x80004002L); // E_NOINTERFACE

constexpr AsioGuid kIUnknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool sameGuid(const AsioGuid& a, const AsioGuid& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void copyText(char* out, std::size_t room, const char* text) {
    std::snprintf(out, room, "%s", text);
}

// A template so that only the branch for this ABI's layout is compiled.
template <typename Samples> void setSamples(Samples* out, std::int64_t value) {
    if constexpr (std::is_same_v<Samples, long long>) {
        *out = value;
    } else {
        out->hi = static_cast<unsigned long>(static_cast<std::uint64_t>(value) >> 32);
        out->lo = static_cast<unsigned long>(static_cast<std::uint64_t>(value) & 0xFFFFFFFFu);
    }
}

class VirtualDriver final : public IASIO {
public:
    explicit VirtualDriver(int registration) : registration_(registration < 0 ? 0 : registration) {
        ++g_liveObjects;
        char name[128];
        if (!platform::getEnvironment(kControlNameVariable, name, sizeof name)) {
            copyText(name, sizeof name, kControlName);
        }
        controlMemory_ = platform::openSharedMemory(name, sizeof(Control));
        if (controlMemory_ != nullptr) {
            control_ = static_cast<Control*>(platform::sharedMemoryData(controlMemory_));
        }
        stopEvent_ = platform::createEvent(nullptr, true);
        ++slot().status.instances;
    }

    ~VirtualDriver() {
        disposeBuffers();
        --slot().status.instances;
        if (stopEvent_ != nullptr) {
            platform::closeHandle(stopEvent_);
        }
        if (controlMemory_ != nullptr) {
            platform::closeSharedMemory(controlMemory_);
        }
        --g_liveObjects;
    }

    long QueryInterface(const AsioGuid& iid, void** object) override {
        if (object == nullptr) {
            return kNoInterface;
        }
        if (sameGuid(iid, kIUnknown) || sameGuid(iid, config().clsid)) {
            AddRef();
            *object = this;
            return kOk;
        }
        *object = nullptr;
        return kNoInterface;
    }

    unsigned long AddRef() override { return ++references_; }

    unsigned long Release() override {
        unsigned long left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    ASIOBool init(void*) override {
        ++slot().status.initCalls;
        if (slot().faults.failInit.load() != 0) {
            copyText(errorMessage_, sizeof errorMessage_, "The virtual device is not available");
            initialised_ = false;
            return 0;
        }
        initialised_ = true;
        if (sampleRate_ == 0) {
            sampleRate_ = config().rates[0];
        }
        slot().status.sampleRateHz = static_cast<std::int32_t>(sampleRate_);
        return 1;
    }

    void getDriverName(char* name) override { copyText(name, 32, config().keyName); }

    AsioLong getDriverVersion() override { return 1; }

    void getErrorMessage(char* text) override { copyText(text, 124, errorMessage_); }

    ASIOError start() override {
        if (!running_) {
            joinClock(); // a previous stop may have left the thread finishing
        }
        std::lock_guard guard(mutex_);
        if (!buffersCreated_) {
            return ASE_InvalidMode;
        }
        if (running_) {
            return ASE_OK;
        }
        stopRequested_ = false;
        switchesSinceStart_ = 0;
        sentThisRun_ = false;
        running_ = true;
        thread_ = platform::startThread(clockMain, this);
        if (thread_ == nullptr) {
            running_ = false;
            return ASE_HWMalfunction;
        }
        if (starts_++ == 0) {
            noteReopenGap();
        }
        ++slot().status.starts;
        slot().status.running = 1;
        return ASE_OK;
    }

    ASIOError stop() override {
        platform::Thread* thread = nullptr;
        {
            std::lock_guard guard(mutex_);
            if (!running_) {
                return ASE_OK;
            }
            // Under the lock the clock thread checks this before each switch,
            // so no bufferSwitch begins once stop has returned.
            stopRequested_ = true;
            running_ = false;
            platform::setEvent(stopEvent_);
            thread = thread_;
        }
        ++slot().status.stops;
        slot().status.running = 0;
        slot().status.lastStopTicks = platform::perfCounter();
        // Once stop returns the clock thread touches neither the half-buffers
        // nor the rate: the host silences the one and the next open sets the
        // other. A stop from inside the callback leaves the join to start or
        // disposeBuffers.
        if (platform::currentThread() != thread) {
            joinClock();
        }
        return ASE_OK;
    }

    ASIOError getChannels(AsioLong* inputs, AsioLong* outputs) override {
        if (!initialised_) {
            return ASE_NotPresent;
        }
        if (inputs != nullptr) {
            *inputs = 0;
        }
        if (outputs != nullptr) {
            *outputs = channelCount();
        }
        return ASE_OK;
    }

    ASIOError getLatencies(AsioLong* input, AsioLong* output) override {
        if (!initialised_) {
            return ASE_NotPresent;
        }
        std::int32_t latency = slot().faults.outputLatency.load();
        if (input != nullptr) {
            *input = 0;
        }
        if (output != nullptr) {
            *output = latency != 0 ? latency : config().outputLatency;
        }
        return ASE_OK;
    }

    ASIOError getBufferSize(AsioLong* minSize, AsioLong* maxSize, AsioLong* preferred,
                            AsioLong* granularity) override {
        if (!initialised_) {
            return ASE_NotPresent;
        }
        std::int32_t size = slot().faults.preferredBufferSize.load();
        if (minSize != nullptr) {
            *minSize = kMinBufferSize;
        }
        if (maxSize != nullptr) {
            *maxSize = kMaxBufferSize;
        }
        if (preferred != nullptr) {
            *preferred = size != 0 ? size : config().preferredBufferSize;
        }
        if (granularity != nullptr) {
            *granularity = 1;
        }
        return ASE_OK;
    }

    ASIOError canSampleRate(ASIOSampleRate rate) override {
        if (!initialised_) {
            return ASE_NotPresent;
        }
        if (slot().faults.refuseRates.load() != 0) {
            return ASE_NoClock;
        }
        for (double accepted : config().rates) {
            if (accepted != 0 && accepted == rate) {
                return ASE_OK;
            }
        }
        return ASE_NoClock;
    }

    ASIOError getSampleRate(ASIOSampleRate* rate) override {
        if (!initialised_) {
            return ASE_NotPresent;
        }
        if (rate != nullptr) {
            *rate = sampleRate_;
        }
        return ASE_OK;
    }

    ASIOError setSampleRate(ASIOSampleRate rate) override {
        ASIOError accepted = canSampleRate(rate);
        if (accepted != ASE_OK) {
            return accepted;
        }
        {
            std::lock_guard guard(mutex_);
            if (running_) {
                return rate == sampleRate_ ? ASE_OK : ASE_InvalidMode;
            }
            sampleRate_ = rate;
            slot().status.sampleRateHz = static_cast<std::int32_t>(rate);
        }
        sendInsideMessage(1);
        return ASE_OK;
    }

    ASIOError getClockSources(ASIOClockSource* clocks, AsioLong* count) override {
        if (clocks == nullptr || count == nullptr || *count < 1) {
            return ASE_InvalidParameter;
        }
        *clocks = ASIOClockSource{0, -1, -1, 1, {}};
        copyText(clocks->name, sizeof clocks->name, "Internal");
        *count = 1;
        return ASE_OK;
    }

    ASIOError setClockSource(AsioLong reference) override {
        return reference == 0 ? ASE_OK : ASE_InvalidParameter;
    }

    ASIOError getSamplePosition(ASIOSamples* position, ASIOTimeStamp* stamp) override {
        if (!running_) {
            return ASE_SPNotAdvancing;
        }
        if (position != nullptr) {
            setSamples(position, samplePosition_.load());
        }
        if (stamp != nullptr) {
            setSamples(stamp, stampNs_.load());
        }
        return ASE_OK;
    }

    ASIOError getChannelInfo(ASIOChannelInfo* info) override {
        if (!initialised_) {
            return ASE_NotPresent;
        }
        if (info == nullptr || info->isInput != 0 || info->channel < 0 ||
            info->channel >= channelCount()) {
            return ASE_InvalidParameter;
        }
        const auto channel = static_cast<std::size_t>(info->channel);
        info->isActive = buffersCreated_ && channel < active_.size() && active_[channel] ? 1 : 0;
        info->channelGroup = 0;
        info->type = sampleType();
        std::snprintf(info->name, sizeof info->name, "Out %ld",
                      static_cast<long>(info->channel + 1));
        return ASE_OK;
    }

    ASIOError createBuffers(ASIOBufferInfo* infos, AsioLong channels, AsioLong bufferSize,
                            ASIOCallbacks* callbacks) override {
        const ASIOError result = createBuffersLocked(infos, channels, bufferSize, callbacks);
        if (result == ASE_OK) {
            sendInsideMessage(2);
        }
        return result;
    }

    ASIOError createBuffersLocked(ASIOBufferInfo* infos, AsioLong channels, AsioLong bufferSize,
                                  ASIOCallbacks* callbacks) {
        std::lock_guard guard(mutex_);
        if (!initialised_ || buffersCreated_) {
            return ASE_InvalidMode;
        }
        const int total = channelCount();
        if (infos == nullptr || callbacks == nullptr || callbacks->bufferSwitch == nullptr ||
            channels < 1 || channels > total) {
            return ASE_InvalidParameter;
        }
        if (bufferSize < kMinBufferSize || bufferSize > kMaxBufferSize) {
            return ASE_InvalidMode;
        }
        std::vector<bool> used(static_cast<std::size_t>(total), false);
        for (AsioLong i = 0; i < channels; ++i) {
            const ASIOBufferInfo& info = infos[i];
            if (info.isInput != 0 || info.channelNum < 0 || info.channelNum >= total ||
                used[static_cast<std::size_t>(info.channelNum)]) {
                return ASE_InvalidParameter;
            }
            used[static_cast<std::size_t>(info.channelNum)] = true;
        }
        type_ = sampleType();
        const int bytes = sampleTypeBytes(type_);
        if (bytes == 0) {
            return ASE_InvalidMode;
        }
        const std::size_t half = static_cast<std::size_t>(bufferSize) * bytes;
        memory_.assign(static_cast<std::size_t>(channels), std::vector<std::uint8_t>(2 * half, 0));
        halves_[0].assign(static_cast<std::size_t>(channels), nullptr);
        halves_[1].assign(static_cast<std::size_t>(channels), nullptr);
        for (AsioLong i = 0; i < channels; ++i) {
            auto& block = memory_[static_cast<std::size_t>(i)];
            infos[i].buffers[0] = halves_[0][static_cast<std::size_t>(i)] = block.data();
            infos[i].buffers[1] = halves_[1][static_cast<std::size_t>(i)] = block.data() + half;
        }
        active_ = used;
        callbacks_ = *callbacks;
        bufferSize_ = bufferSize;
        samplePosition_ = 0;
        buffersCreated_ = true;
        slot().status.bufferSize = static_cast<std::int32_t>(bufferSize);
        slot().status.bufferChannels = static_cast<std::int32_t>(channels);
        openCaptureFile(static_cast<int>(channels));
        return ASE_OK;
    }

    ASIOError disposeBuffers() override {
        stop();
        joinClock();
        std::lock_guard guard(mutex_);
        if (!buffersCreated_) {
            return ASE_InvalidMode;
        }
        closeCapture(capture_);
        memory_.clear();
        halves_[0].clear();
        halves_[1].clear();
        active_.clear();
        buffersCreated_ = false;
        return ASE_OK;
    }

    ASIOError controlPanel() override { return ASE_NotPresent; }

    ASIOError future(AsioLong selector, void* argument) override {
        if (selector == kAsioSetInstanceName && argument != nullptr) {
            int found = findRegistration(static_cast<const char*>(argument));
            if (found < 0) {
                return ASE_InvalidParameter;
            }
            std::lock_guard guard(mutex_);
            if (buffersCreated_) {
                return ASE_InvalidMode;
            }
            --slot().status.instances;
            registration_ = found;
            ++slot().status.instances;
            sampleRate_ = initialised_ ? config().rates[0] : 0;
            return ASE_SUCCESS;
        }
        return ASE_InvalidParameter;
    }

    ASIOError outputReady() override {
        if (!config().supportsOutputReady) {
            return ASE_NotPresent;
        }
        ++slot().status.outputReadyCalls;
        outputReadyCalled_ = true;
        return ASE_OK;
    }

private:
    const Registration& config() const { return kRegistrations[registration_]; }

    Slot& slot() { return control_ != nullptr ? control_->slots[registration_] : localSlot_; }

    int channelCount() {
        std::int32_t channels = slot().faults.channels.load();
        return channels > 0 ? channels : config().channels;
    }

    ASIOSampleType sampleType() {
        return slot().faults.overrideSampleType.load() != 0 ? slot().faults.sampleType.load()
                                                            : config().sampleType;
    }

    void openCaptureFile(int channels) {
        std::string path = slot().capturePath;
        const std::int32_t opened = slot().status.captureFiles++;
        if (!path.empty() && slot().faults.captureSeries.load() != 0 && opened > 0) {
            // Appended piece by piece: GCC 12 misreads `"." + std::string` as an
            // overlapping copy on 32-bit targets and stops the build.
            path += '.';
            path += std::to_string(opened);
        }
        char dir[512];
        if (path.empty() && platform::getEnvironment(kCaptureDirVariable, dir, sizeof dir)) {
            const bool wav = type_ == ASIOSTInt16LSB || type_ == ASIOSTInt24LSB ||
                             type_ == ASIOSTInt32LSB || type_ == ASIOSTFloat32LSB ||
                             type_ == ASIOSTFloat64LSB;
            path = std::string(dir) + platform::pathSeparator() + config().keyName +
                   (wav ? ".wav" : ".raw");
        }
        if (!path.empty()) {
            openCapture(capture_, path.c_str(), type_, channels, static_cast<int>(sampleRate_),
                        static_cast<int>(bufferSize_));
        }
    }

    // Waits for a clock thread that was told to stop. Not under mutex_: the
    // thread takes it once more before it sees the stop.
    void joinClock() {
        platform::Thread* thread = nullptr;
        {
            std::lock_guard guard(mutex_);
            std::swap(thread, thread_);
        }
        if (thread != nullptr) {
            platform::waitOne(platform::threadHandle(thread), platform::kInfinite);
            platform::closeThread(thread);
        }
    }

    static unsigned clockMain(void* self) {
        static_cast<VirtualDriver*>(self)->runClock();
        return 0;
    }

    bool allSilent(int half) const {
        const std::size_t bytes = static_cast<std::size_t>(bufferSize_) * sampleTypeBytes(type_);
        for (void* buffer : halves_[half]) {
            const auto* at = static_cast<const std::uint8_t*>(buffer);
            for (std::size_t i = 0; i < bytes; ++i) {
                if (at[i] != 0) {
                    return false;
                }
            }
        }
        return true;
    }

    // Waits until `deadline` on the counter; false when stop was asked for.
    bool waitUntil(std::int64_t deadline, std::int64_t frequency) {
        for (;;) {
            if (stopRequested_.load()) {
                return false;
            }
            std::int64_t now = platform::perfCounter();
            if (now >= deadline) {
                return true;
            }
            auto ms = static_cast<std::uint32_t>((deadline - now) * 1000 / frequency + 1);
            platform::waitOne(stopEvent_, ms);
        }
    }

    // Stepped clock: waits until a switch is owed and takes it; false when stop
    // was asked for.
    bool takeStep() {
        std::atomic<std::int32_t>& owed = slot().clock.owed;
        for (;;) {
            if (stopRequested_.load()) {
                return false;
            }
            std::int32_t n = owed.load();
            if (n > 0) {
                if (owed.compare_exchange_weak(n, n - 1)) {
                    return true;
                }
            } else {
                platform::waitOne(stopEvent_, 1);
            }
        }
    }

    // Real time: waits for the period's deadline, then as long as a late-switch
    // fault says; false when stop was asked for.
    bool awaitPeriod(std::int64_t deadline, std::int64_t frequency) {
        if (!waitUntil(deadline, frequency)) {
            return false;
        }
        Faults& faults = slot().faults;
        std::int32_t late = faults.lateSwitchCount.load();
        if (late != 0 && faults.lateSwitchMs.load() > 0) {
            platform::waitOne(stopEvent_, static_cast<std::uint32_t>(faults.lateSwitchMs.load()));
            if (late > 0) {
                faults.lateSwitchCount.compare_exchange_strong(late, late - 1);
            }
        }
        return true;
    }

    void noteReopenGap() {
        const std::int64_t stopped = slot().status.lastStopTicks.load();
        std::int64_t frequency = 0;
        if (stopped == 0 || !platform::perfFrequency(&frequency) || frequency <= 0) {
            return;
        }
        const std::int64_t us = (platform::perfCounter() - stopped) * 1000000 / frequency;
        const auto gap = static_cast<std::int32_t>(us < INT32_MAX ? us : INT32_MAX);
        std::int32_t longest = slot().status.longestReopenGapUs.load();
        while (gap > longest &&
               !slot().status.longestReopenGapUs.compare_exchange_weak(longest, gap)) {
        }
    }

    // The device reconfigures itself before it tells the host.
    void applyNextValues() {
        Faults& faults = slot().faults;
        if (std::int32_t latency = faults.nextOutputLatency.exchange(0); latency != 0) {
            faults.outputLatency = latency;
        }
        if (std::int32_t size = faults.nextBufferSize.exchange(0); size != 0) {
            faults.preferredBufferSize = size;
        }
        if (std::int32_t type = faults.nextSampleType.exchange(0); type != 0) {
            faults.sampleType = type;
            faults.overrideSampleType = 1;
        }
    }

    // Outside mutex_: the host may call back into the driver.
    void sendInsideMessage(std::int32_t where) {
        Faults& faults = slot().faults;
        std::int32_t times = faults.insideTimes.load();
        if (faults.messageInside.load() != where || times == 0 ||
            callbacks_.asioMessage == nullptr) {
            return;
        }
        if (times > 0 && !faults.insideTimes.compare_exchange_strong(times, times - 1)) {
            return;
        }
        applyNextValues();
        AsioLong result = callbacks_.asioMessage(faults.insideSelector.load(),
                                                 faults.messageValue.load(), nullptr, nullptr);
        slot().status.lastMessageResult = static_cast<std::int32_t>(result);
        ++slot().status.messagesInside;
    }

    void sendArmedMessage() {
        Faults& faults = slot().faults;
        std::int32_t selector = faults.messageSelector.load();
        if (selector == 0 || sentThisRun_ ||
            switchesSinceStart_ < faults.messageAfterSwitches.load() ||
            callbacks_.asioMessage == nullptr) {
            return;
        }
        // The last of the repeats disarms it; the others wait for the next start.
        if (faults.messageRepeat.fetch_sub(1) <= 1) {
            faults.messageRepeat = 0;
            if (!faults.messageSelector.compare_exchange_strong(selector, 0)) {
                return;
            }
        } else {
            sentThisRun_ = true;
        }
        applyNextValues();
        AsioLong result =
            callbacks_.asioMessage(selector, faults.messageValue.load(), nullptr, nullptr);
        slot().status.lastMessageResult = static_cast<std::int32_t>(result);
        ++slot().status.messagesSent;
    }

    void runClock() {
        std::int64_t frequency = 1000;
        if (!platform::perfFrequency(&frequency) || frequency <= 0) {
            frequency = 1000;
        }
        const bool stepped = slot().clock.stepped.load() != 0;
        const bool realTime = !stepped && config().clock == Clock::RealTime;
        // Real time and stepped play a half one period after the switch that filled it.
        const bool paced = stepped || realTime;
        if (realTime) {
            // As a hardware driver's interrupt thread would; best effort.
            platform::setCurrentThreadPriority(platform::kPriorityTimeCritical);
        }
        const auto period =
            static_cast<std::int64_t>(std::llround(bufferSize_ * frequency / sampleRate_));
        std::int64_t next = platform::perfCounter();
        int half = 0;
        int pending = -1;
        bool pendingInTime = true;
        const std::size_t channels = halves_[0].size();
        for (;;) {
            if (paced) {
                if (stepped ? !takeStep() : !awaitPeriod(next, frequency)) {
                    break;
                }
                // The half filled last period is what the hardware plays now.
                playHalf(pending, pendingInTime);
                pending = -1;
            }
            {
                std::lock_guard guard(mutex_);
                if (stopRequested_.load()) {
                    break;
                }
                slot().status.callbackRunning = 1;
                outputReadyCalled_ = false;
            }
            callbacks_.bufferSwitch(half, 1);
            slot().status.callbackRunning = 0;
            samplePosition_ += bufferSize_;
            std::int64_t ticks = platform::perfCounter();
            stampNs_ = ticks / frequency * 1000000000 + ticks % frequency * 1000000000 / frequency;
            ++switchesSinceStart_;
            ++slot().status.bufferSwitches;
            if (paced) {
                pending = half;
            }
            if (realTime) {
                std::int64_t now = platform::perfCounter();
                pendingInTime = now <= next + period;
                next += period;
                // After a stall, carry on from now instead of rushing through
                // the missed periods.
                if (now > next + period) {
                    next = now;
                }
            } else if (!stepped) {
                writeHalf(capture_, halves_[half].data(), static_cast<int>(bufferSize_));
                ++slot().status.halvesCaptured;
                // Silence means the host has nothing to give; do not spin on it.
                if (channels > 0 && allSilent(half)) {
                    platform::sleepMs(1);
                }
            }
            sendArmedMessage();
            half ^= 1;
        }
        // A stop lets the half the host already filled play out.
        playHalf(pending, pendingInTime);
    }

    void playHalf(int half, bool inTime) {
        if (half < 0) {
            return;
        }
        if (!inTime || (config().supportsOutputReady && !outputReadyCalled_)) {
            ++slot().status.underruns;
        }
        writeHalf(capture_, halves_[half].data(), static_cast<int>(bufferSize_));
        ++slot().status.halvesCaptured;
    }

    std::atomic<unsigned long> references_{1};
    int registration_;
    platform::SharedMemory* controlMemory_ = nullptr;
    Control* control_ = nullptr;
    Slot localSlot_{}; // when the control block cannot be mapped
    platform::Handle* stopEvent_ = nullptr;
    char errorMessage_[124] = "";
    bool initialised_ = false;
    double sampleRate_ = 0;

    std::mutex mutex_;
    bool buffersCreated_ = false;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    platform::Thread* thread_ = nullptr;
    ASIOCallbacks callbacks_{};
    ASIOSampleType type_ = ASIOSTInt16LSB;
    AsioLong bufferSize_ = 0;
    std::vector<std::vector<std::uint8_t>> memory_;
    std::vector<void*> halves_[2];
    std::vector<bool> active_;
    Capture capture_;

    std::atomic<bool> outputReadyCalled_{false};
    std::int32_t switchesSinceStart_ = 0;
    bool sentThisRun_ = false;
    int starts_ = 0;
    std::atomic<std::int64_t> samplePosition_{0};
    std::atomic<std::int64_t> stampNs_{0};
};

} // namespace

int findRegistration(const char* keyName) {
    for (int i = 0; i < kRegistrationCount; ++i) {
        if (std::strcmp(kRegistrations[i].keyName, keyName) == 0) {
            return i;
        }
    }
    return -1;
}

asio::IASIO* createVirtualDriver(int registration) {
    if (registration >= kRegistrationCount) {
        return nullptr;
    }
    return new (std::nothrow) VirtualDriver(registration);
}

long liveDriverObjects() {
    return g_liveObjects.load();
}

void formatClsid(const AsioGuid& id, char* out, std::size_t size) {
    std::snprintf(out, size, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(id.data1), id.data2, id.data3, id.data4[0], id.data4[1],
                  id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
}

} // namespace quillon::virtualdriver
