// The checks the Linux helper makes before touching a controller.
#include <gtest/gtest.h>

#include "mb_safety.h"

namespace {

const char* kIoports = "0000-0cf7 : PCI Bus 0000:00\n"
                       "  0000-001f : dma1\n"
                       "0cf8-0cff : PCI conf1\n"
                       "efa0-efbf : 0000:00:1f.3\n"
                       "  efa0-efbf : i801_smbus\n"
                       "f000-f01f : 0000:00:1f.2\n";

TEST(MbSafety, ReadsTheSelectedLockdownMode)
{
    EXPECT_EQ(mbhelper::lockdownMode("none [integrity] confidentiality\n"), "integrity");
    EXPECT_EQ(mbhelper::lockdownMode("[none] integrity confidentiality\n"), "none");
    EXPECT_EQ(mbhelper::lockdownMode(""), "");
}

struct RoleCase {
    std::uint32_t id, classDword;
    const char* function;
    mbhelper::FunctionRole role;
};

// Which functions the helper may configure: the class code and the
// identity decide together, the location only for the generic ICH place.
TEST(MbSafety, OnlyRecognisedSMBusFunctionsMayBeConfigured)
{
    using R = mbhelper::FunctionRole;
    const RoleCase cases[] = {
        {0x24D38086, 0x0C050002, "0000:00:1f.3", R::SmbusController},  // ICH5
        {0x24D38086, 0x0C050002, "0000:00:1d.0", R::SmbusController},  // known wherever it sits
        {0x24D38086, 0x04030000, "0000:00:1f.3", R::Other},            // known identifier, not SMBus
        {0xA3488086, 0x04030000, "0000:00:1f.3", R::Other},            // audio where the ICH SMBus was
        {0xA3238086, 0x0C050000, "0000:00:1f.4", R::Other},            // recent SMBus the search does not know
        {0x27DA8086, 0x0C050000, "0000:00:1f.3", R::SmbusController},  // unknown Intel SMBus at the generic place
        {0x27DA10DE, 0x0C050000, "0000:00:1f.3", R::Other},            // ... but not another vendor's
        {0x71138086, 0x06800002, "0000:00:07.3", R::FamilyFunction},   // PIIX4: no SMBus class code
        {0x710110B9, 0x06800000, "0000:00:03.6", R::FamilyFunction},   // ALi
        {0xFFFFFFFF, 0xFFFFFFFF, "0000:00:1f.3", R::Other},            // nothing there
    };
    for (const RoleCase& c : cases)
        EXPECT_EQ(mbhelper::roleOf(c.id, c.classDword, c.function), c.role) << std::hex << c.id << " " << c.function;
}

TEST(MbSafety, ReadsOnlyTheIoResourcesOfAFunction)
{
    const auto ranges = mbhelper::ioResources("0x00000000efa0 0x00000000efbf 0x0000000000040101\n"
                                              "0x00000000f7000000 0x00000000f70000ff 0x0000000000140204\n"  // memory
                                              "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
                                              "0x0000000000010000 0x000000000001001f 0x0000000000040101\n"  // beyond
                                              "garbage\n");
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_TRUE(ranges[0].contains(0xEFA0, 0xEFBF));
    EXPECT_TRUE(ranges[0].contains(0xEFB4, 0xEFB4));
    EXPECT_FALSE(ranges[0].contains(0xEFBF, 0xEFC0));
    EXPECT_FALSE(ranges[0].contains(0xEF9F, 0xEFA0));
}

TEST(MbSafety, ClaimantsAreEveryoneButBridgeWindowsAndTheFunctionItself)
{
    const auto regions = mbhelper::ioRegions(kIoports);
    ASSERT_EQ(regions.size(), 6u);
    EXPECT_EQ(regions[1].name, "dma1");
    EXPECT_EQ(regions[1].parent, "PCI Bus 0000:00");
    EXPECT_EQ(regions[4].parent, "0000:00:1f.3");
    EXPECT_EQ(regions[5].parent, "");

    // The legacy DMA controller is someone's; the window around it is not.
    const auto dma = mbhelper::otherClaimant(regions, 0x03, 0x17, "0000:00:1f.3");
    ASSERT_TRUE(dma.has_value());
    EXPECT_EQ(dma->name, "dma1");
    // The SMBus function's own entry does not count, its driver does.
    const auto driver = mbhelper::otherClaimant(regions, 0xEFA0, 0xEFA0, "0000:00:1f.3");
    ASSERT_TRUE(driver.has_value());
    EXPECT_EQ(driver->name, "i801_smbus");
    EXPECT_EQ(driver->parent, "0000:00:1f.3");
    EXPECT_FALSE(mbhelper::otherClaimant(regions, 0xF000, 0xF01F, "0000:00:1f.2").has_value());
    // A range nobody lists is free.
    EXPECT_FALSE(mbhelper::otherClaimant(regions, 0x5000, 0x5014, "0000:00:07.3").has_value());
    // Lines that are not regions claim nothing.
    EXPECT_FALSE(mbhelper::otherClaimant(mbhelper::ioRegions("garbage\n-x : smbus\n"), 0, 0xFFFF, "").has_value());
}

}  // namespace
