// Port discovery, selection, claim discipline and the register classes.
#include "fixture.h"

namespace commstest {
namespace {

using vexlink06::False;
using vexlink06::True;

using ParallelPort = CommsTest;

sim::Config twoPorts()
{
    sim::Config config;
    config.ports.push_back(sim::PortConfig{});
    config.ports[1].base = 0x278;
    config.ports[1].chips.clear();
    return config;
}

TEST_F(ParallelPort, RegisterClassesPassBytesUnchanged)
{
    proto->setBitsToStayHigh(0xF0);
    printer->DataPort()->setValue(0x5A);
    EXPECT_EQ(port().data(), 0x5A);
    EXPECT_EQ(printer->DataPort()->Value(), 0x5A);
    printer->ControlPort()->setValue(0x0C);
    EXPECT_EQ(port().control(), 0x0C);
    EXPECT_EQ(printer->ControlPort()->Value(), 0x0C);
    printer->DataPort()->setValue(0);  // both lines released: status idle
    EXPECT_EQ(printer->StatusPort()->Value(), port().status());
    EXPECT_FALSE(port().claimed());
}

TEST_F(ParallelPort, RawPortAccessNeedsAClaim)
{
    proto->Portout(0x378, 0x42);  // claims around the write
    EXPECT_EQ(port().data(), 0x42);
    EXPECT_FALSE(port().claimed());
    EXPECT_EQ(proto->Portin(0x378), 0);  // no claim, no read
    printer->setLockPortOpen(True);
    EXPECT_EQ(proto->Portin(0x378), 0x42);
}

TEST_F(ParallelPort, BitsToStayHighEndsALock)
{
    printer->setLockPortOpen(True);
    ASSERT_TRUE(port().claimed());
    proto->setBitsToStayHigh(0xF0);
    EXPECT_EQ(port().data(), 0xF0);
    EXPECT_EQ(printer->LockPortOpen(), False);
    EXPECT_FALSE(port().claimed());
}

TEST_F(ParallelPort, UnknownAddressLeavesTheSelection)
{
    printer->setPortAddress(0x3BC);
    EXPECT_EQ(printer->PortAddress(), 0x378);
    proto->setPortAddress(0x3BC);
    EXPECT_EQ(proto->PortAddress(), 0x378);
    EXPECT_EQ(printer->PortAddressIndex(), 0);
}

TEST(ParallelPortFresh, TwoPortsSelectionByIndexAndAddress)
{
    inFreshProcess([] {
        sim::board().configure(twoPorts());
        auto printer = vexlink06::PrinterPort::create();
        EXPECT_EQ(printer->PrinterPortsDetected(), 2);
        EXPECT_EQ(printer->PortAddress(), 0x378);

        printer->setPortAddressIndex(1);
        EXPECT_EQ(printer->PortAddress(), 0x278);
        printer->DataPort()->setValue(0x99);
        EXPECT_EQ(sim::board().port(1)->data(), 0x99);
        EXPECT_EQ(sim::board().port(0)->data(), 0x00);

        printer->setPortAddress(0x378);
        EXPECT_EQ(printer->PortAddressIndex(), 0);
        printer->setPortAddress(0x999);  // not a port: back to the indexed base
        EXPECT_EQ(printer->PortAddress(), 0x378);

        // Index 3 of two: the address stays, and the claim asks for port 4,
        // which the driver does not have.
        printer->setPortAddressIndex(3);
        EXPECT_EQ(printer->PortAddressIndex(), 3);
        EXPECT_EQ(printer->PortAddress(), 0x378);
        printer->setLockPortOpen(True);
        EXPECT_EQ(printer->LockPortOpen(), False);
        EXPECT_EQ(printer->DataPort()->Value(), 0);
    });
}

TEST(ParallelPortFresh, DiscoveryRunsOncePerProcess)
{
    inFreshProcess([] {
        auto first = vexlink06::PrinterPort::create();
        sim::board().configure(twoPorts());
        auto second = vexlink06::PrinterPort::create();
        EXPECT_EQ(second->PrinterPortsDetected(), 2);  // asks the driver afresh
        second->setPortAddressIndex(1);                // but the scan saw one port
        EXPECT_EQ(second->PortAddress(), 0x378);
    });
}

TEST(ParallelPortFresh, PortsAppearingAfterStartUpKeepIndexAndAddressTogether)
{
    inFreshProcess([] {
        auto printer = vexlink06::PrinterPort::create();  // scans one port
        sim::board().configure(twoPorts());
        // Letting the address refreshes the count; the list must follow it.
        printer->setPortAddress(0x378);
        printer->setPortAddressIndex(1);
        EXPECT_EQ(printer->PortAddressIndex(), 1);
        EXPECT_EQ(printer->PortAddress(), 0x278);
        printer->DataPort()->setValue(0x5A);
        EXPECT_EQ(sim::board().port(1)->data(), 0x5A);
        EXPECT_EQ(sim::board().port(0)->data(), 0x00);
        printer->setPortAddressIndex(0);
        EXPECT_EQ(printer->PortAddress(), 0x378);
    });
}

TEST(ParallelPortFresh, NoPortsAtAll)
{
    inFreshProcess([] {
        sim::Config config;
        config.ports.clear();
        sim::board().configure(config);
        auto printer = vexlink06::PrinterPort::create();
        EXPECT_EQ(printer->PrinterPortsDetected(), 0);
        EXPECT_EQ(printer->PortAddress(), 0);
        EXPECT_EQ(printer->DataPort()->Value(), 0);
        printer->setLockPortOpen(True);
        EXPECT_EQ(printer->LockPortOpen(), False);
        EXPECT_EQ(printer->SMBusProtocall()->PortRead(0x5C, 0x3D), 0);
    });
}

TEST(ParallelPortFresh, RegisterBeyondTheAddressRangeIsAnOverflow)
{
    inFreshProcess([] {
        sim::Config config;
        config.ports[0].base = 0x7FFFFFFF;
        sim::board().configure(config);
        auto printer = vexlink06::PrinterPort::create();
        EXPECT_EQ(printer->PortAddress(), 0x7FFFFFFF);
        try {
            (void)printer->StatusPort()->Value();
            ADD_FAILURE() << "no overflow";
        } catch (const vexlink06::ComError& e) {
            EXPECT_EQ(e.number(), 6);
            EXPECT_EQ(e.description(), "Overflow");
        }
    });
}

}  // namespace
}  // namespace commstest
