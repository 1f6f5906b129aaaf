// The driver list over real registrations: a private folder root on Linux,
// Wine's registry on Windows, with the virtual driver as the installed driver.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/driver_list.h"
#include "install.h"
#include "test_support.h"

using namespace quillon;
using quillon::testing::ScopedRoot;

namespace {

std::string rootName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

struct ListNames {
    std::vector<std::string> names;
    std::vector<int> indices;
};

ListNames namesOf(const device::DriverList& list) {
    ListNames out;
    for (const device::DriverEntry* entry = list.entries; entry != nullptr; entry = entry->next) {
        out.names.emplace_back(entry->name);
        out.indices.push_back(entry->index);
    }
    return out;
}

// A registration of the virtual driver under key `key` (its configuration on
// Windows comes from the CLSID, on Linux from the key name).
void addVirtual(ScopedRoot& root, const char* key, const char* description, int registration = 0) {
    std::string clsid =
        quillon::testing::clsidText(virtualdriver::kRegistrations[registration].clsid);
    std::string server = quillon::testing::virtualDriverPath();
    root.add(key, clsid.c_str(), description, server.c_str(), nullptr, true);
}

// The virtual driver stays installed throughout, as its classes are shared
// with other tests of the same Wine prefix.
class DriverListTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        platform::setDriverRoot(nullptr);
        std::string error;
        ASSERT_TRUE(virtualdriver::installVirtualDriver(
            quillon::testing::virtualDriverPath().c_str(), &error))
            << error;
    }
};

} // namespace

TEST_F(DriverListTest, NoRootGivesAnEmptyListWithoutStartingTheHost) {
    ScopedRoot root(rootName()); // nothing written: the root does not exist
    device::DriverList* list = device::readDriverList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->entries, nullptr);
    EXPECT_EQ(list->loadedIndex, -1);
    EXPECT_FALSE(list->hostStarted);
    asio::IASIO* current = reinterpret_cast<asio::IASIO*>(list);
    EXPECT_FALSE(device::loadDriverByName(*list, "Quillon Virtual", &current));
    EXPECT_FALSE(device::loadDriverByIndex(*list, 0, &current));
    EXPECT_EQ(device::findDriverEntry(*list, 0), nullptr);
    device::freeDriverList(list);
}

TEST_F(DriverListTest, UnusableKeysAreSkippedAndTakeNoIndex) {
    ScopedRoot root(rootName());
    const std::string server = quillon::testing::virtualDriverPath();
    const std::string missing = quillon::testing::missingFilePath();
    const std::string clsid = quillon::testing::clsidText(virtualdriver::kRegistrations[0].clsid);
    const std::string unregistered = "{8C3F2A10-5E4B-4C1D-9A7E-3B6D0F21C4FF}";
    // Enumeration is by key name, case-insensitively, whatever the writing order.
    root.add("delta missing server", "{8C3F2A10-5E4B-4C1D-9A7E-3B6D0F21C4FE}", "D",
             missing.c_str());
    root.add("Charlie", clsid.c_str(), nullptr, server.c_str(), nullptr, true);
    root.add("alpha", clsid.c_str(), "Alpha Described", server.c_str(), nullptr, true);
    root.add("Bravo no driver", nullptr, "B", nullptr);
    // A key name too long for the name buffer drops that key only.
    // Built in place: GCC 12 warns falsely of an overlapping copy on "c" + string.
    std::string longKey(141, 'x');
    longKey.front() = 'c';
    root.add(longKey.c_str(), clsid.c_str(), "Long Key", server.c_str(), nullptr, true);
    root.add("echo", clsid.c_str(), "Echo Described", server.c_str(), nullptr, true);
    if (!quillon::testing::kWindowsRegistry) {
        // Hidden entries are not registrations.
        root.add(".hidden", nullptr, "Hidden", server.c_str());
    }
    if (quillon::testing::kWindowsRegistry) {
        // A class id that names no registered class, and a key without a class id
        // whose (would-be) server exists.
        root.add("Beta unregistered class", unregistered.c_str(), "X", nullptr);
        root.add("Bz no clsid", nullptr, "Y", server.c_str());
    }

    device::DriverList* list = device::readDriverList();
    ListNames got = namesOf(*list);
    EXPECT_EQ(got.names,
              (std::vector<std::string>{"Alpha Described", "Charlie", "Echo Described"}));
    EXPECT_EQ(got.indices, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(list->count, 3);
    EXPECT_TRUE(list->hostStarted);
    ASSERT_NE(device::findDriverEntry(*list, 2), nullptr);
    EXPECT_STREQ(device::findDriverEntry(*list, 2)->name, "Echo Described");
    EXPECT_EQ(device::findDriverEntry(*list, 3), nullptr);
    EXPECT_EQ(device::findDriverEntry(*list, -1), nullptr);
    device::freeDriverList(list);
}

TEST_F(DriverListTest, ClassIdsMatchWhateverTheirCase) {
    if (!quillon::testing::kWindowsRegistry) {
        GTEST_SKIP() << "class ids exist only with the registry";
    }
    ScopedRoot root(rootName());
    const std::string server = quillon::testing::virtualDriverPath();
    // Class keys of their own, so that each is created in the spelling given.
    const asio::AsioGuid upperId{
        0x8C3F2A10u, 0x5E4B, 0x4C1D, {0x9A, 0x7E, 0x3B, 0x6D, 0x0F, 0x21, 0xC4, 0xAB}};
    const asio::AsioGuid lowerId{
        0x8C3F2A10u, 0x5E4B, 0x4C1D, {0x9A, 0x7E, 0x3B, 0x6D, 0x0F, 0x21, 0xC4, 0xCD}};
    auto lowered = [](std::string text) {
        for (char& c : text) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return text;
    };
    const std::string upper = quillon::testing::clsidText(upperId);
    const std::string lower = lowered(quillon::testing::clsidText(lowerId));
    root.add("case one", upper.c_str(), nullptr, server.c_str(), lowered(upper).c_str());
    root.add("case two", lower.c_str(), nullptr, server.c_str(),
             quillon::testing::clsidText(lowerId).c_str());
    ASSERT_NE(upper, lowered(upper)); // the two spellings really differ

    device::DriverList* list = device::readDriverList();
    ASSERT_EQ(list->count, 2);
    const device::DriverEntry* one = device::findDriverEntry(*list, 0);
    const device::DriverEntry* two = device::findDriverEntry(*list, 1);
    EXPECT_STREQ(one->name, "case one");
    EXPECT_EQ(std::memcmp(&one->clsid, &upperId, 16), 0);
    EXPECT_EQ(std::memcmp(&two->clsid, &lowerId, 16), 0);
    device::freeDriverList(list);
}

TEST_F(DriverListTest, NameFormsCutAtTheirLimits) {
    struct Case {
        std::size_t length;
        const char* shortForm; // expected length pattern: whole, or cut
        std::size_t shortLength;
        std::size_t longLength;
    };
    const Case cases[] = {
        {0, "", 0, 0},    {31, "", 31, 31}, {32, "", 31, 32},
        {63, "", 31, 63}, {64, "", 31, 63}, {127, "", 31, 63},
    };
    for (const Case& c : cases) {
        std::string name;
        for (std::size_t i = 0; i < c.length; ++i) {
            name += static_cast<char>('a' + i % 26);
        }
        char shortForm[32];
        char longForm[64];
        device::shortName(name.c_str(), shortForm);
        device::longName(name.c_str(), longForm);
        ASSERT_EQ(std::strlen(shortForm), c.shortLength) << c.length;
        ASSERT_EQ(std::strlen(longForm), c.longLength) << c.length;
        if (c.length < 32) {
            EXPECT_EQ(name, shortForm);
        } else {
            EXPECT_EQ(name.substr(0, 28) + "...", shortForm);
        }
        if (c.length < 64) {
            EXPECT_EQ(name, longForm);
        } else {
            EXPECT_EQ(name.substr(0, 60) + "...", longForm);
        }
    }
}

TEST_F(DriverListTest, LongDescriptionsAreCutTo127Characters) {
    ScopedRoot root(rootName());
    std::string description(200, 'd');
    description.replace(0, 10, "0123456789");
    addVirtual(root, "long", description.c_str());
    device::DriverList* list = device::readDriverList();
    ASSERT_EQ(list->count, 1);
    EXPECT_EQ(std::string(list->entries->name), description.substr(0, 127));
    device::freeDriverList(list);
}

TEST_F(DriverListTest, SharedShortNamesLoadTheLowerIndexByNameAndEachByIndex) {
    ScopedRoot root(rootName());
    quillon::testing::ControlBlock control;
    control.clear();
    const char* prefix = "A Shared Name That Runs Past 28 Characters";
    addVirtual(root, "first", (std::string(prefix) + " one").c_str(), 0);
    addVirtual(root, "second", (std::string(prefix) + " two").c_str(), 0);
    device::DriverList* list = device::readDriverList();
    ASSERT_EQ(list->count, 2);
    char shared[32];
    device::shortName(list->entries->name, shared);

    asio::IASIO* current = nullptr;
    ASSERT_TRUE(device::loadDriverByIndex(*list, 1, &current));
    EXPECT_EQ(list->loadedIndex, 1);
    EXPECT_EQ(current, device::findDriverEntry(*list, 1)->driver);
    ASSERT_TRUE(device::loadDriverByName(*list, shared, &current));
    EXPECT_EQ(list->loadedIndex, 0);
    EXPECT_EQ(device::findDriverEntry(*list, 1)->driver, nullptr);
    // Every instantiation was released once: only the current object lives.
    EXPECT_EQ(control.slot("Quillon Virtual").status.instances.load(), 1);
    device::unloadDriver(*list);
    EXPECT_EQ(list->loadedIndex, -1);
    EXPECT_EQ(control.slot("Quillon Virtual").status.instances.load(), 0);
    EXPECT_FALSE(device::loadDriverByName(*list, "no such driver", &current));
    device::freeDriverList(list);
}

TEST_F(DriverListTest, FailedInstantiationBringsThePreviousDriverBack) {
    ScopedRoot root(rootName());
    quillon::testing::ControlBlock control;
    control.clear();
    const std::string junk = quillon::testing::junkFilePath();
    const std::string junkClsid = "{8C3F2A10-5E4B-4C1D-9A7E-3B6D0F21C4FD}";
    addVirtual(root, "a good", "Good Twin", 0);
    addVirtual(root, "b good", "Good Twin", 0);
    root.add("c broken", junkClsid.c_str(), "Broken", junk.c_str());
    device::DriverList* list = device::readDriverList();
    ASSERT_EQ(list->count, 3); // the broken one is listed: its file exists

    asio::IASIO* current = nullptr;
    EXPECT_FALSE(device::loadDriverByName(*list, "Broken", &current));
    EXPECT_EQ(current, nullptr);
    EXPECT_EQ(list->loadedIndex, -1);

    // By name the previous driver comes back by its name: the first twin.
    ASSERT_TRUE(device::loadDriverByIndex(*list, 1, &current));
    EXPECT_FALSE(device::loadDriverByName(*list, "Broken", &current));
    EXPECT_EQ(list->loadedIndex, 0);
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(current, device::findDriverEntry(*list, 0)->driver);

    // By index it is the very entry that was loaded.
    ASSERT_TRUE(device::loadDriverByIndex(*list, 1, &current));
    EXPECT_FALSE(device::loadDriverByIndex(*list, 2, &current));
    EXPECT_EQ(list->loadedIndex, 1);
    EXPECT_EQ(current, device::findDriverEntry(*list, 1)->driver);
    EXPECT_NE(current->init(nullptr), 0);
    EXPECT_EQ(control.slot("Quillon Virtual").status.instances.load(), 1);

    device::freeDriverList(list);
    EXPECT_EQ(control.slot("Quillon Virtual").status.instances.load(), 0);
}

TEST_F(DriverListTest, InstalledVirtualDriverIsListedInOrderAndRemovable) {
    // The default root: QUILLON_ASIO_ROOT on Linux, software\asio on Windows.
    platform::setDriverRoot(nullptr);
    std::string error;
    const std::string path = quillon::testing::virtualDriverPath();
    ASSERT_TRUE(virtualdriver::installVirtualDriver(path.c_str(), &error)) << error;

    device::DriverList* list = device::readDriverList();
    std::vector<std::string> expected;
    std::vector<const virtualdriver::Registration*> sorted;
    for (const auto& item : virtualdriver::kRegistrations) {
        sorted.push_back(&item);
    }
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) {
        std::string x = a->keyName, y = b->keyName;
        for (char& c : x) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        for (char& c : y) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return x < y;
    });
    std::vector<std::string> got;
    for (const device::DriverEntry* entry = list->entries; entry != nullptr; entry = entry->next) {
        for (auto* item : sorted) {
            if (std::strcmp(entry->keyName, item->keyName) == 0) {
                got.emplace_back(entry->name);
            }
        }
    }
    for (auto* item : sorted) {
        expected.emplace_back(item->description);
    }
    EXPECT_EQ(got, expected);

    // Each registration instantiates its own configuration.
    for (int i = 0; i < list->count; ++i) {
        const device::DriverEntry* entry = device::findDriverEntry(*list, i);
        int registration = virtualdriver::findRegistration(entry->keyName);
        if (registration < 0) {
            continue;
        }
        asio::IASIO* current = nullptr;
        ASSERT_TRUE(device::loadDriverByIndex(*list, i, &current)) << entry->keyName;
        ASSERT_NE(current->init(nullptr), 0);
        asio::AsioLong inputs = -1, outputs = -1;
        current->getChannels(&inputs, &outputs);
        EXPECT_EQ(outputs, virtualdriver::kRegistrations[registration].channels) << entry->keyName;
        char name[32];
        current->getDriverName(name);
        EXPECT_EQ(std::string(virtualdriver::kRegistrations[registration].keyName).substr(0, 31),
                  name);
    }
    device::freeDriverList(list);

    ASSERT_TRUE(virtualdriver::removeVirtualDriver(path.c_str(), &error)) << error;
    list = device::readDriverList();
    for (const device::DriverEntry* entry = list->entries; entry != nullptr; entry = entry->next) {
        EXPECT_LT(virtualdriver::findRegistration(entry->keyName), 0) << entry->keyName;
    }
    device::freeDriverList(list);

    EXPECT_FALSE(
        virtualdriver::installVirtualDriver(quillon::testing::junkFilePath().c_str(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(virtualdriver::installVirtualDriver(path.c_str(), &error)) << error;
}

TEST_F(DriverListTest, ServerFilesOnLongPathsAreFound) {
    // Past 128 characters, where the classic existence test gives up.
    ScopedRoot root(rootName());
    std::filesystem::path dir =
        std::filesystem::path(quillon::testing::virtualDriverPath()).parent_path() /
        std::string(70, 'l') / std::string(70, 'p');
    std::filesystem::create_directories(dir);
    std::filesystem::path copy = dir / QUILLON_VIRTUAL_DRIVER_FILE;
    {
        std::ifstream from(quillon::testing::virtualDriverPath(), std::ios::binary);
        std::ofstream(copy, std::ios::binary | std::ios::trunc) << from.rdbuf();
    }
    ASSERT_GT(copy.string().size(), 150u);
    const char* clsid = "{8C3F2A10-5E4B-4C1D-9A7E-3B6D0F21C4FB}";
    root.add("far away", clsid, "Far Away", copy.string().c_str());
    device::DriverList* list = device::readDriverList();
    ASSERT_EQ(list->count, 1);
    EXPECT_STREQ(list->entries->name, "Far Away");
    device::freeDriverList(list);
}

TEST_F(DriverListTest, RegistryValuesThatExactlyFillTheirBuffersAreRead) {
    if (!quillon::testing::kWindowsRegistry) {
        GTEST_SKIP() << "the value buffers belong to the registry reads";
    }
    ScopedRoot root(rootName());
    // A class id of 255 characters fills the 256-byte buffer with its
    // terminator. It parses as no class id, but a class key of that name
    // exists, so the key is listed (with a zero class id).
    std::string longClass(255, 'c');
    longClass.front() = '{';
    longClass.back() = '}';
    ASSERT_EQ(longClass.size() + 1, 256u);
    root.add("full clsid", longClass.c_str(), "Full Clsid",
             quillon::testing::virtualDriverPath().c_str());
    // A server path of 511 characters fills the 512-byte buffer. It names the
    // driver through one long environment variable, so the expanded path is
    // short enough for the existence test.
    const std::string file = quillon::testing::virtualDriverPath();
    const std::size_t slash = file.find_last_of("\\/");
    const std::string tail = file.substr(slash);
    const std::string variable = "QUILLON_" + std::string(511 - tail.size() - 10, 'P');
    const std::string longPath = "%" + variable + "%" + tail;
    ASSERT_EQ(longPath.size() + 1, 512u);
    ASSERT_TRUE(platform::setEnvironment(variable.c_str(), file.substr(0, slash).c_str()));
    root.add("full path", "{8C3F2A10-5E4B-4C1D-9A7E-3B6D0F21C4FA}", "Full Path", longPath.c_str());

    device::DriverList* list = device::readDriverList();
    const ListNames got = namesOf(*list);
    EXPECT_EQ(got.names, (std::vector<std::string>{"Full Clsid", "Full Path"}));
    device::freeDriverList(list);
    platform::setEnvironment(variable.c_str(), nullptr);
}
