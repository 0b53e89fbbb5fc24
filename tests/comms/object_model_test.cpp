// Creation, shared settings and the fixed-result classes.
#include "fixture.h"

namespace commstest {
namespace {

using vexlink06::False;
using vexlink06::True;

using ObjectModel = CommsTest;

TEST_F(ObjectModel, NewProtocallResetsSharedSettingsForEveryObject)
{
    proto->setBitsToStayHigh(0x30);
    proto->setMaxArbitrationDenials(5);
    proto->setDelay(0.25F);
    proto->setDataInverted(False);  // loads the plain codes

    auto second = vexlink06::SMBusProtocall::create();
    EXPECT_EQ(proto->BitsToStayHigh(), 0);
    EXPECT_EQ(proto->MaxArbitrationDenials(), 20);
    EXPECT_EQ(proto->Delay(), 0.0F);
    EXPECT_EQ(proto->DataInverted(), False);
    // ...but the inverted codes are back: idle is 0, not 3.
    clearLogs();
    second->StopBit();
    ASSERT_FALSE(dataWrites().empty());
    EXPECT_EQ(dataWrites().back(), 0x00);
}

TEST_F(ObjectModel, SecondPrinterPortSharesTheFirstsSettings)
{
    printer->setDeviceAddress(0x5A);
    printer->setDataInverted(True);
    auto second = vexlink06::PrinterPort::create();
    EXPECT_EQ(second->DeviceAddress(), 0x5A);
    EXPECT_EQ(second->DataInverted(), True);
    EXPECT_EQ(second->PortAddress(), 0x378);
    EXPECT_EQ(second->SMBusProtocall()->DeviceAddress(), 0x5A);
    second->EEPROM()->setDeviceAddress(0xA0);
    EXPECT_EQ(proto->DeviceAddress(), 0xA0);
}

TEST_F(ObjectModel, ObjectPropertiesAndStoredOnlyFields)
{
    auto root = vexlink06::TvxComPort::create();
    ASSERT_TRUE(root->PrinterPort());
    ASSERT_TRUE(root->USB());
    ASSERT_TRUE(root->SMBus());
    root->setPortType(7);
    EXPECT_EQ(root->PortType(), 7);

    auto p = root->PrinterPort();
    auto eeprom = p->EEPROM();
    ASSERT_TRUE(eeprom);
    EXPECT_EQ(p->EEPROM(), eeprom);
    p->setEEPROM(nullptr);
    auto fresh = p->EEPROM();
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh, eeprom);

    p->setDataPort(nullptr);
    EXPECT_FALSE(p->DataPort());  // only EEPROM re-creates itself
    root->setPrinterPort(printer);
    EXPECT_EQ(root->PrinterPort(), printer);
}

TEST_F(ObjectModel, UsbPlaceholdersAnswerWithFixedResults)
{
    auto usb = vexlink06::USB::create();
    EXPECT_EQ(usb->BoardControlPort(), 0);
    usb->setBoardControlPort(0x1234);
    EXPECT_EQ(usb->BoardControlPort(), 0x1234);
    EXPECT_EQ(usb->EvalBoardID(), 0);
    EXPECT_EQ(usb->LoadFirmware(""), False);
    EXPECT_EQ(usb->LoadFirmware("/nonexistent/firmware.hex"), False);
    for (int protocol : {0, 1, 255})
        EXPECT_EQ(usb->CommsAvailable(static_cast<std::uint8_t>(protocol)), False);
    auto bus = usb->USBSMBus();
    ASSERT_TRUE(bus);
    bus->ByteWriteSAP(0x5C, 0x14, 1);
    bus->ByteWriteDAP(0x5C, 0x10014, 1);
    EXPECT_EQ(bus->ByteReadSAP(0x5C, 0x3D), 0);
    EXPECT_EQ(bus->ByteReadDAP(0x5C, -1), 0);
    EXPECT_TRUE(dataWrites().empty());
}

TEST(ObjectModelFresh, MissingPlatformLibraryShowsTheCreationBoxAndKeepsTheRoot)
{
    inFreshProcess([] {
        setenv("VEXLINK06_PLATFORM", "absent", 1);
        std::vector<Message> shown;
        vexlink06::setMessageHook([&](const std::string& title, const std::string& text) {
            shown.push_back({title, text});
        });
        auto root = vexlink06::TvxComPort::create();
        ASSERT_TRUE(root);
        EXPECT_TRUE(root->USB());
        EXPECT_FALSE(root->PrinterPort());
        bool found = false;
        for (const auto& m : shown)
            found = found || (m.title == "ComportClassInit Error" && m.text == "Error:48, Error in loading DLL");
        EXPECT_TRUE(found);
    });
}

}  // namespace
}  // namespace commstest
