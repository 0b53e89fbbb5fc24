// The Linux parallel-port platform on a machine without parallel ports.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <vexlink06/back_end.h>
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

// Nothing of the simulator in a process on real hardware: nothing to
// inspect, and the library never loads it.
TEST(LinuxPlatform, NoSimulatorToInspect)
{
    setenv("VEXLINK06_PLATFORM", "linux", 1);
    EXPECT_FALSE(vexlink06::backend::simulated());
    EXPECT_EQ(vexlink06::backend::simulatedBoard(), std::nullopt);
    EXPECT_EQ(vexlink06::backend::lostBoardReason(), "");
    EXPECT_FALSE(vexlink06::backend::captureAvailable());
    EXPECT_FALSE(vexlink06::backend::beginCapture(0x378));
    EXPECT_FALSE(vexlink06::backend::beginTrace());
    EXPECT_TRUE(vexlink06::backend::endTrace().empty());
    EXPECT_EQ(::dlopen("libfanscope_sim.so", RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
