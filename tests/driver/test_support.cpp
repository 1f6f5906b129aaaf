#include "test_support.h"

#include <cstring>
#include <fstream>

#include "common/virtual_control_block.h"
#include "virtual_driver.h"

namespace quillon::testing {

namespace {

std::string besideExecutable(const char* file) {
    char dir[1024] = "";
    platform::executableDirectory(dir, sizeof dir);
    return std::string(dir) + file;
}

} // namespace

std::string virtualDriverPath() {
    return besideExecutable(QUILLON_VIRTUAL_DRIVER_FILE);
}

std::string missingFilePath() {
    return besideExecutable("no-such-driver.bin");
}

std::string junkFilePath() {
    std::string path = besideExecutable("junk-driver.bin");
    std::ofstream(path) << "not a library\n";
    return path;
}

std::string clsidText(const asio::AsioGuid& clsid) {
    char text[64];
    virtualdriver::formatClsid(clsid, text, sizeof text);
    return text;
}

ControlBlock::ControlBlock() : memory_(openVirtualControl()), control_(controlIn(memory_)) {}

ControlBlock::~ControlBlock() {
    if (memory_ != nullptr) {
        platform::closeSharedMemory(memory_);
    }
}

virtualdriver::Slot& ControlBlock::slot(const char* keyName) {
    static virtualdriver::Slot unmapped{};
    int index = virtualdriver::findRegistration(keyName);
    if (control_ == nullptr || index < 0) {
        return unmapped;
    }
    return control_->slots[index];
}

void ControlBlock::clear() {
    if (control_ != nullptr) {
        // Atomics are plain words in the block; zero is "no fault".
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
    }
}

ScopedRoot::ScopedRoot(const std::string& name) {
    std::string root = std::string(QUILLON_TEST_DRIVER_ROOT) + platform::pathSeparator() + name;
    platform::setDriverRoot(root.c_str());
}

ScopedRoot::~ScopedRoot() {
    for (const Written& item : written_) {
        platform::DriverRegistration registration{
            item.keyName.c_str(), item.hasClsid ? item.clsid.c_str() : nullptr, nullptr,
            item.hasClass ? "" : nullptr,
            item.classKeyName.empty() ? nullptr : item.classKeyName.c_str()};
        platform::removeDriverRegistration(registration);
    }
    platform::setDriverRoot(nullptr);
}

void ScopedRoot::add(const char* keyName, const char* clsid, const char* description,
                     const char* server, const char* classKeyName, bool sharedClass) {
    if (sharedClass && kWindowsRegistry) {
        server = nullptr;
    }
    platform::DriverRegistration registration{keyName, clsid, description, server, classKeyName};
    platform::writeDriverRegistration(registration);
    written_.push_back({keyName, clsid != nullptr ? clsid : "",
                        classKeyName != nullptr ? classKeyName : "", clsid != nullptr,
                        server != nullptr});
}

} // namespace quillon::testing
