// The checks the Linux helper makes before touching a controller.
#include <gtest/gtest.h>

#include "mb_safety.h"

namespace {

const char* kIoports =
    "0000-0cf7 : PCI Bus 0000:00\n"
    "  0000-001f : dma1\n"
    "0cf8-0cff : PCI conf1\n"
    "efa0-efbf : 0000:00:1f.3\n"
    "  efa0-efbf : i801_smbus\n"
    "f000-f01f : 0000:00:1f.2\n";

TEST(MbSafety, FindsAKernelSMBusDriverOverlappingTheRange)
{
    const auto owner = mbhelper::findKernelSMBusOwner(kIoports, 0xEFA4, 0xEFA4);
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->name, "i801_smbus");
    EXPECT_EQ(owner->first, 0xEFA0u);
    EXPECT_EQ(owner->last, 0xEFBFu);
    // The PCI device entry and unrelated regions own nothing.
    EXPECT_FALSE(mbhelper::findKernelSMBusOwner(kIoports, 0xF000, 0xF003).has_value());
    EXPECT_FALSE(mbhelper::findKernelSMBusOwner(kIoports, 0xEF9F, 0xEF9F).has_value());
    EXPECT_TRUE(mbhelper::findKernelSMBusOwner(kIoports, 0xEF90, 0xEFA0).has_value());
    EXPECT_FALSE(mbhelper::findKernelSMBusOwner("garbage\n-x : smbus\n", 0, 0xFFFF).has_value());
}

TEST(MbSafety, ReadsTheSelectedLockdownMode)
{
    EXPECT_EQ(mbhelper::lockdownMode("none [integrity] confidentiality\n"), "integrity");
    EXPECT_EQ(mbhelper::lockdownMode("[none] integrity confidentiality\n"), "none");
    EXPECT_EQ(mbhelper::lockdownMode(""), "");
}

} // namespace
