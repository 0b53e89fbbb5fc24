// The Linux parallel-port platform on a machine without parallel ports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <vexlink06/vexlink06.h>

namespace {

TEST(LinuxPlatform, NoPortsMeansZeroAndNoError)
{
    if (std::filesystem::exists("/proc/sys/dev/parport"))
        GTEST_SKIP() << "this machine has parallel ports";
    setenv("VEXLINK06_PLATFORM", "linux", 1);
    std::vector<std::string> messages;
    vexlink06::setMessageHook(
        [&](const std::string& title, const std::string& text) { messages.push_back(title + ": " + text); });
    auto printer = vexlink06::PrinterPort::create();
    EXPECT_EQ(printer->PrinterPortsDetected(), 0);
    EXPECT_EQ(printer->PortAddress(), 0);
    printer->setLockPortOpen(vexlink06::True);
    EXPECT_EQ(printer->LockPortOpen(), vexlink06::False);
    EXPECT_EQ(printer->SMBusProtocall()->PortRead(0x5C, 0x3D), 0);
    EXPECT_TRUE(messages.empty());
}

}  // namespace
