// The kernel adapters' object before and after the root object: a client on
// the kernel adapters alone never creates the root, and a root created later
// takes over the same object, so the two never select different buses.
// A binary of its own: the root is process-wide, and nothing may create it
// before these run.
#include <gtest/gtest.h>

#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/register_link.h"

namespace device {
namespace {

TEST(KernelAdapterBeforeRoot, ASessionOnTheAdaptersLeavesTheRootUncreatedAndTheRootTakesItsObjectOver)
{
    ASSERT_FALSE(ComPortCreated());
    ProbeRequest request;
    request.media = {Medium::KernelAdapter};
    request.stopOnError = true;
    const ProbeReport report = probe(request);
    ASSERT_FALSE(report.chips.empty());
    const ChipLocation chip = report.chips.front();
    Session session(chip);
    EXPECT_TRUE(isKnownDeviceId(session.read(0x3D)));
    EXPECT_FALSE(ComPortCreated()) << "the kernel adapters alone need no chipset or printer port search";

    const auto early = kernelAdapter();
    EXPECT_EQ(early->Bus(), chip.port);
    ASSERT_NE(ComPort(), nullptr);
    EXPECT_EQ(ComPort()->KernelAdapter(), early);
    EXPECT_EQ(kernelAdapter(), early);
    // The session goes on on the same object, its bus kept.
    EXPECT_TRUE(isKnownDeviceId(session.read(0x3D)));
    EXPECT_EQ(ComPort()->KernelAdapter()->Bus(), chip.port);
}

}  // namespace
}  // namespace device
