// Wire captures of the library's transfers, decoded by an independent I2C
// decoder (sigrok-cli) and compared with the transaction journal (address,
// direction, data) and with the simulated bus (acknowledges, which the
// printer port never samples).
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sim/wire_capture.h>
#include <vexlink06/journal.h>

#include "fixture.h"

namespace commstest {
namespace {

using vexlink06::False;
using vexlink06::TransferProtocol;
using vexlink06::TransferRecord;
using vexlink06::True;

using Tokens = std::vector<std::string>;

std::string hex(unsigned v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", v & 0xFFU);
    return text;
}

// sigrok's address/data row, one token per annotation: S, Sr, P, AW:2E,
// AR:2E, DW:14, DR:31, + (ACK), - (NACK).
Tokens decodeWithSigrok(const std::filesystem::path& vcd)
{
    const std::string command =
        "sigrok-cli -I vcd -i '" + vcd.string() + "' -P i2c:scl=SCL:sda=SDA -A i2c=addr-data 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {"<popen failed>"};
    std::string out;
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr)
        out += buffer.data();
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {"<sigrok-cli failed: " + out + ">"};
    Tokens tokens;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(": ");
        if (colon == std::string::npos)
            continue;
        const std::string a = line.substr(colon + 2);
        const auto value = [&](std::size_t prefix) { return a.substr(prefix); };
        if (a == "Start")
            tokens.push_back("S");
        else if (a == "Start repeat")
            tokens.push_back("Sr");
        else if (a == "Stop")
            tokens.push_back("P");
        else if (a == "ACK")
            tokens.push_back("+");
        else if (a == "NACK")
            tokens.push_back("-");
        else if (a.rfind("Address write: ", 0) == 0)
            tokens.push_back("AW:" + value(15));
        else if (a.rfind("Address read: ", 0) == 0)
            tokens.push_back("AR:" + value(14));
        else if (a.rfind("Data write: ", 0) == 0)
            tokens.push_back("DW:" + value(12));
        else if (a.rfind("Data read: ", 0) == 0)
            tokens.push_back("DR:" + value(11));
        // "Write" / "Read" repeat the R/W bit that the address token carries.
    }
    return tokens;
}

Tokens withoutAcks(const Tokens& tokens)
{
    Tokens out;
    for (const std::string& t : tokens)
        if (t != "+" && t != "-")
            out.push_back(t);
    return out;
}

Tokens acksOf(const Tokens& tokens)
{
    Tokens out;
    for (const std::string& t : tokens)
        if (t == "+" || t == "-")
            out.push_back(t);
    return out;
}

// The acknowledges the simulated bus saw, in order.
Tokens acksOfTrace(const std::vector<sim::TraceEvent>& trace)
{
    Tokens out;
    for (const sim::TraceEvent& e : trace)
        if (e.kind == sim::TraceEvent::Kind::Byte)
            out.push_back(e.ack ? "+" : "-");
    return out;
}

// What the journal's record says went over the wire, conditions included.
Tokens tokensOf(const TransferRecord& r, bool repeatedStart)
{
    const std::string a = hex(r.address);
    Tokens t{"S"};
    const auto writes = [&](const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to && i < bytes.size(); ++i)
            t.push_back("DW:" + hex(bytes[i]));
    };
    const auto reads = [&](const std::vector<std::uint8_t>& bytes, std::size_t from) {
        for (std::size_t i = from; i < bytes.size(); ++i)
            t.push_back("DR:" + hex(bytes[i]));
    };
    const auto turn = [&](bool repeated) {
        if (repeated) {
            t.push_back("Sr");
        } else {
            t.push_back("P");
            t.push_back("S");
        }
        t.push_back("AR:" + a);
    };
    switch (r.protocol) {
    case TransferProtocol::SendByte:
    case TransferProtocol::WriteByte:
    case TransferProtocol::WriteWord:
    case TransferProtocol::MemoryWrite:
    case TransferProtocol::BlockWrite:
        t.push_back("AW:" + a);
        if (r.command)
            t.push_back("DW:" + hex(*r.command));
        if (r.protocol == TransferProtocol::BlockWrite)
            t.push_back("DW:" + hex(static_cast<unsigned>(r.data.size())));
        writes(r.data, 0, r.data.size());
        if (r.pecSent)
            t.push_back("DW:" + hex(*r.pecSent));
        break;
    case TransferProtocol::ReceiveByte:
        t.push_back("AR:" + a);
        reads(r.data, 0);
        break;
    case TransferProtocol::ReadByte:
    case TransferProtocol::ReadWord:
        t.push_back("AW:" + a);
        t.push_back("DW:" + hex(*r.command));
        turn(repeatedStart && r.protocol == TransferProtocol::ReadByte);
        reads(r.data, 0);
        break;
    case TransferProtocol::MemoryRead:
        // data: the two address bytes, then the byte read.
        t.push_back("AW:" + a);
        writes(r.data, 0, 2);
        turn(false);
        reads(r.data, 2);
        break;
    case TransferProtocol::BlockRead:
        t.push_back("AW:" + a);
        t.push_back("DW:" + hex(*r.command));
        turn(true);
        t.push_back("DR:" + hex(static_cast<unsigned>(r.data.size())));
        reads(r.data, 0);
        if (r.pecReceived)
            t.push_back("DR:" + hex(*r.pecReceived));
        break;
    case TransferProtocol::Quick: t.push_back("AW:" + a); break;
    }
    t.push_back("P");
    return t;
}

std::string joined(const Tokens& tokens)
{
    std::string s;
    for (const std::string& t : tokens)
        s += (s.empty() ? "" : " ") + t;
    return s;
}

class WireCaptureTest : public CommsTest {
protected:
    void SetUp() override
    {
        CommsTest::SetUp();
        vexlink06::setTransferObserver([this](const TransferRecord& r) { records.push_back(r); });
        capture = std::make_unique<sim::WireCapture>(port());
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        vcd = std::filesystem::path(::testing::TempDir()) / (name + ".vcd");
    }
    void TearDown() override
    {
        capture.reset();
        vexlink06::setTransferObserver({});
        std::filesystem::remove(vcd);
        CommsTest::TearDown();
    }

    Tokens decoded()
    {
        {
            std::ofstream out(vcd);
            capture->writeVcd(out);
        }
        return decodeWithSigrok(vcd);
    }

    std::unique_ptr<sim::WireCapture> capture;
    std::filesystem::path vcd;
    std::vector<TransferRecord> records;
};

struct WireCase {
    const char* name;
    void (*run)(vexlink06::SMBusProtocall&, vexlink06::EEPROM&);
    bool repeatedStart;
};

class DecodedTransfer : public WireCaptureTest, public ::testing::WithParamInterface<WireCase> { };

TEST_P(DecodedTransfer, DecoderAgreesWithTheJournalAndTheBus)
{
    const WireCase& c = GetParam();
    auto eeprom = printer->EEPROM();
    port().eeprom()->poke(0x0102, 0x9A);
    proto->setDeviceAddress(0x5C);
    proto->setUsePEC(False);
    proto->setRepeatedStart(c.repeatedStart ? True : False);
    c.run(*proto, *eeprom);
    proto->setRepeatedStart(False);
    proto->setUsePEC(False);

    ASSERT_EQ(records.size(), 1U);
    const Tokens got = decoded();
    EXPECT_EQ(joined(withoutAcks(got)), joined(tokensOf(records[0], c.repeatedStart)));
    EXPECT_EQ(joined(acksOf(got)), joined(acksOfTrace(port().bus().trace()))) << trace();
    EXPECT_EQ(acksOf(got).size(), records[0].acks.size());
}

INSTANTIATE_TEST_SUITE_P(
    Wire, DecodedTransfer,
    ::testing::Values(WireCase{"ByteRead", [](auto& p, auto&) { p.PortRead(0x5C, 0x3D); }, false},
                      WireCase{"ByteReadRepeatedStart", [](auto& p, auto&) { p.PortRead(0x5C, 0x3D); }, true},
                      WireCase{"ByteWrite", [](auto& p, auto&) { p.PortWrite(0x5C, 0x14, 0x7F); }, false},
                      WireCase{"WordWrite", [](auto& p, auto&) { p.WriteWord(0x5C, 0x14, 4660.0F); }, false},
                      WireCase{"BlockWriteWithPec",
                               [](auto& p, auto&) {
                                   std::vector<std::int16_t> data(3 + 4);
                                   for (std::size_t i = 3; i < data.size(); ++i)
                                       data[i] = static_cast<std::int16_t>(0x40 + i);
                                   p.setUsePEC(True);
                                   p.BlockWrite(4, data);
                               },
                               false},
                      WireCase{"BlockRead", [](auto& p, auto&) { p.BlockRead(0, 0); }, false},
                      WireCase{"BlockReadWithPec",
                               [](auto& p, auto&) {
                                   p.setUsePEC(True);
                                   p.BlockRead(0, 0);
                               },
                               false},
                      WireCase{"AbsentDevice", [](auto& p, auto&) { p.PortRead(0x58, 0x3D); }, false},
                      WireCase{"EepromRead",
                               [](auto&, auto& e) {
                                   e.setDeviceAddress(0xA0);  // shared with the protocol object
                                   e.ReadByte(0x01, 0x02);
                               },
                               false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WireCaptureTest, LostArbitrationDecodesAlikeUpToTheLoss)
{
    // The other master wins at the second address bit, then the library
    // backs off and tries again. The decoder's address state does not end at
    // the stop after the loss, so what follows decodes out of frame there;
    // the decoder is compared up to the loss and the retry with the bus.
    // The capture watches the bus that configure() replaces: end it first.
    capture.reset();
    configure(configWithOtherMaster(sim::OtherMasterConfig::Mode::WinArbitration, 1, 1));
    capture = std::make_unique<sim::WireCapture>(port());
    proto->setArbitrationOn(True);
    proto->PortWrite(0x5C, 0x14, 0x66);
    ASSERT_EQ(records.size(), 1U);
    ASSERT_EQ(records[0].arbitrationRetries, 1);

    const Tokens got = withoutAcks(decoded());
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), "S");
    EXPECT_EQ(trace(), "S ?2 P S 5C+ 14+ 66+ P");
    EXPECT_EQ(joined(tokensOf(records[0], false)), "S AW:2E DW:14 DW:66 P");
}

TEST_F(WireCaptureTest, TimestampsGiveAPlausibleBitRate)
{
    proto->PortRead(0x5C, 0x3D);
    const auto& changes = capture->changes();
    std::vector<std::uint64_t> rises;
    for (const auto& c : changes)
        if (c.signal == sim::WireCapture::Change::Signal::Scl && c.value)
            rises.push_back(c.tick);
    // 4 bytes of 9 clocks each, and the clock rise of each stop.
    ASSERT_EQ(rises.size(), 38U);
    // The first byte's nine clocks: at least two port accesses per period,
    // so under 500 kHz whatever the host's speed; ticks never go back.
    const double seconds = static_cast<double>(rises[8] - rises[0]) * 100e-9;
    EXPECT_LT(8 / seconds, 500e3);
    for (std::size_t i = 1; i < changes.size(); ++i)
        EXPECT_GE(changes[i].tick, changes[i - 1].tick);
}

TEST_F(WireCaptureTest, PortRegistersAreInTheDump)
{
    proto->PortWrite(0x5C, 0x14, 0x7F);
    std::ostringstream out;
    capture->writeVcd(out);
    const std::string text = out.str();
    EXPECT_NE(text.find("$var wire 1 # data0 $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 / status7 $end"), std::string::npos);
    EXPECT_NE(text.find("$timescale 100 ns $end"), std::string::npos);
    EXPECT_TRUE(capture->hasPortRegisters());
}

}  // namespace
}  // namespace commstest
