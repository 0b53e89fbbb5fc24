// Without a motherboard helper library the search cannot start: creation
// reports it once and the object still works as an unsupported controller.
// Its own process, because the platform is chosen at the library's first call.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <vexlink06/vexlink06.h>

namespace {

TEST(MissingHelper, CreationReportsLoadErrorAndTheObjectStaysUsable)
{
    setenv("VEXLINK06_PLATFORM", "absent", 1);
    std::vector<std::string> messages;
    vexlink06::setMessageHook(
        [&](const std::string& title, const std::string& text) { messages.push_back(title + "|" + text); });
    auto smbus = vexlink06::SMBus::create();
    ASSERT_NE(smbus, nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"SMBus ClassInit|Error:48, Error in loading DLL"});
    EXPECT_EQ(smbus->DeviceID(), 0);
    EXPECT_EQ(smbus->DevicePresent(0x2E), vexlink06::False);
    EXPECT_EQ(smbus->PortRead(0x2E, 0x3D), 0);

    // Members that need the helper fail with its error instead of a box.
    try {
        smbus->ReadBase(0x400);
        FAIL() << "ReadBase succeeded without a helper";
    } catch (const vexlink06::ComError& e) {
        EXPECT_EQ(e.number(), 48);
    }
    messages.clear();
    EXPECT_EQ(smbus->ReadPCI(0, 31, 3, 0), 0);
    EXPECT_EQ(messages, std::vector<std::string>{"Hardware SMBus, mvarReadPCI|Error:48, Error in loading DLL"});
    vexlink06::setMessageHook({});
}

}  // namespace
