// fanscope-cli's board memory and raw transfers, on both media, and their
// round trips on a shared board that outlives each command. Each run is a
// process of its own on a private simulated board (bus_tools_fixture.h).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "board/board_process.h"
#include "bus_tools_fixture.h"
#include "support/run_process.h"

namespace bustoolstest {
namespace {

// ---- board memory -------------------------------------------------------------------

TEST_F(BusToolsTest, EepromReadShowsAHexDumpOrSavesTheBytes)
{
    Result r = run({"eeprom", "read", "--length", "20", "--offset", "0x10"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 3u) << r.out;
    EXPECT_TRUE(contains(l[0], "simulated board")) << l[0];
    EXPECT_EQ(l[1], "0010: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff  ................");
    EXPECT_EQ(l[2], "0020: ff ff ff ff                                      ....");

    const fs::path saved = m_dir / "memory.bin";
    r = run({"eeprom", "read", saved.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(saved), std::string(256, '\xff'));

    r = run({"eeprom", "read", "--length", "5", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(5, '\xff'));
}

TEST_F(BusToolsTest, EepromWriteVerifiesWhatItWrote)
{
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes += static_cast<char>(i * 7);
    const fs::path data = file("data.bin", bytes);
    // Across a 128-byte page edge: every byte is its own write.
    Result r = run({"trace", "eeprom", "write", "-y", "--offset", "0x1f0", data.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "wrote and verified 300 bytes at 0x01f0..0x031b")) << r.out.substr(0, 200);
    EXPECT_TRUE(contains(r.out, "0xa0 ACK   address 0x50 write")) << r.out.substr(0, 400);

    // A board without the memory: nothing reads back.
    const fs::path bare = file("bare.json", R"({"ports": [{"eeprom": false}]})");
    r = run({"--sim-config", bare.string(), "eeprom", "write", "-y", data.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "the board memory reads back 0xff at 0x0000, not 0x00")) << r.err;
}

TEST_F(BusToolsTest, EepromWriteAsksAndRefusesBadInputBeforeTheBus)
{
    const fs::path data = file("data.bin", "abc");
    Result r = run({"trace", "eeprom", "write", data.string()}, "n\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "[y/N]")) << r.err;
    EXPECT_FALSE(contains(r.out, "address 0x50 write")) << r.out;

    struct Bad {
        std::vector<std::string> args;
        int status;
        const char* why;
    };
    const std::vector<Bad> cases{
        {{"eeprom", "write", "-y", file("empty.bin", "").string()}, 1, "empty, nothing to write"},
        {{"eeprom", "write", "-y", (m_dir / "none.bin").string()}, 1, "not a regular file"},
        {{"eeprom", "write", "-y", m_dir.string()}, 1, "not a regular file"},
        {{"eeprom", "write", "-y", "--offset", "0xffff", data.string()}, 2, "beyond the 64 KiB"},
        {{"eeprom", "read", "--offset", "0xff00", "--length", "0x101"}, 2, "beyond the 64 KiB"},
        {{"eeprom", "read", "--length", "65537"}, 2, "length '65537' is more than 0x10000"},
        {{"eeprom", "read", "--offset", "1h2"}, 2, "offset '1h2' is not a number"},
        {{"--medium", "i2c", "eeprom", "read"}, 1, "needs the printer port"},
    };
    for (const Bad& b : cases) {
        r = run(b.args);
        EXPECT_EQ(r.status, b.status) << b.args.back() << r.err;
        EXPECT_TRUE(contains(r.err, b.why)) << r.err;
    }
}

// ---- raw transfers --------------------------------------------------------------------

struct TransferCase {
    std::vector<std::string> args;
    int status;
    const char* expected;  // on stdout, or in the message
};

class TransferTest : public BusToolsTest, public ::testing::WithParamInterface<TransferCase> { };

TEST_P(TransferTest, OnBothMedia)
{
    for (const std::vector<std::string>& medium :
         {std::vector<std::string>{}, std::vector<std::string>{"--medium", "i2c"}}) {
        std::vector<std::string> args = medium;
        args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
        const Result r = run(args);
        EXPECT_EQ(r.status, GetParam().status) << r.err;
        EXPECT_TRUE(contains(GetParam().status == 0 ? r.out : r.err, GetParam().expected))
            << (medium.empty() ? "printer: " : "i2c: ") << r.out << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, TransferTest,
    ::testing::Values(
        // 46h at 14h is the low byte, 00h at 15h the high byte.
        TransferCase{{"transfer", "read-word", "0x14"}, 0, "0x0046\n"},
        TransferCase{{"transfer", "read-word", "18h"}, 0, "0x003c\n"},
        TransferCase{{"transfer", "read-block", "0xa1"},
                     0,
                     "0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08 0x09 0x0a 0x0b 0x0c 0x0d 0x0e 0x0f 0x10 0x11 0x12 "
                     "0x13 0x14 0x15 0x16 0x17 0x18 0x19 0x1a 0x1b 0x1c 0x1d 0x1e 0x1f\n"},
        TransferCase{{"transfer", "read-block", "--pec", "0xa1"}, 0, "0x00 0x01 0x02 0x03 "},
        TransferCase{{"transfer", "write-block", "-y", "0xa0", "1", "2", "3"}, 0, "written\n"},
        TransferCase{
            {"transfer", "write-block", "-y", "--pec", "0xa0", "1", "2", "3"}, 0, "written (PEC acknowledged)\n"},
        TransferCase{{"transfer", "write-word", "-y", "0x14", "0x1234"}, 0, "written\n"},
        TransferCase{{"transfer", "read-word", "--pec", "0x14"}, 2, "--pec goes with block transfers only"},
        TransferCase{{"transfer", "write-word", "-y", "--pec", "0x14", "1"}, 2, "--pec goes with block transfers only"},
        TransferCase{{"transfer", "write-word", "-y", "0x14", "0x10000"}, 2, "value '0x10000' is more than 0xffff"},
        TransferCase{{"transfer", "write-block", "-y", "0xa0", "0x100"}, 2, "byte '0x100' is more than 0xff"},
        TransferCase{{"transfer", "write-block", "-y", "0xa0", "0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",
                      "9",        "10",          "11", "12",   "13", "14", "15", "16", "17", "18", "19", "20", "21",
                      "22",       "23",          "24", "25",   "26", "27", "28", "29", "30", "31", "32"},
                     2,
                     "write-block takes 1 to 32 bytes"}));

// The word goes out low byte first on either medium, as SMBus words do.
TEST_F(BusToolsTest, WriteWordPutsTheLowByteFirst)
{
    const Result r = run({"trace", "transfer", "write-word", "-y", "0x14", "0x1234"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "  0x5c ACK   address 0x2e write\n  0x14 ACK\n  0x34 ACK\n  0x12 ACK\n  stop\n"))
        << r.out;
}

TEST_F(BusToolsTest, BlockWithPecCarriesTheCheckByteOnTheWire)
{
    const Result plain = run({"trace", "transfer", "write-block", "-y", "0xa0", "0x11", "0x22"});
    const Result pec = run({"trace", "transfer", "write-block", "-y", "--pec", "0xa0", "0x11", "0x22"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(pec.status, 0) << pec.err;
    EXPECT_TRUE(contains(plain.out, "  0x02 ACK\n  0x11 ACK\n  0x22 ACK\n  stop\n")) << plain.out;
    EXPECT_TRUE(contains(pec.out, "  0x02 ACK\n  0x11 ACK\n  0x22 ACK\n  0x")) << pec.out;
    EXPECT_FALSE(contains(pec.out, "  0x22 ACK\n  stop\n")) << pec.out;
}

TEST_F(BusToolsTest, TransfersTheMediumCannotMakeAreRefused)
{
    Result r = run({"transfer", "read-block", "0x14"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "on the printer port a block read sends command 0xa1")) << r.err;

    const fs::path mb = file("mb.json", R"({"motherboard": {"southBridge": "piix4", "chips": [{"address": "0x2e"}]}})");
    r = run({"--sim-config", mb.string(), "--medium", "smbus", "transfer", "read-word", "0x14"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "the chipset SMBus path makes byte transfers only")) << r.err;

    // An adapter without packet error checking refuses a PEC block.
    const fs::path nopec = file("nopec.json", R"({"i2cAdapters": [{"number": 1, "pec": false}]})");
    r = run({"--sim-config", nopec.string(), "--medium", "i2c", "transfer", "read-block", "--pec", "0xa1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(r.out.empty()) << r.out;
}

class TransferChipGoneTest : public BusToolsTest, public ::testing::WithParamInterface<std::vector<std::string>> { };

// The search reads the Device ID twice; the transfer then meets a chip that
// is gone. A short block or a missing answer fails, and no data is printed.
TEST_P(TransferChipGoneTest, FailsWithoutPrintingData)
{
    const fs::path config =
        file("gone.json", R"({"ports": [{"faults": [{"kind": "chipGone", "afterTransfers": 4}]}]})");
    std::vector<std::string> args{"--sim-config", config.string(), "transfer"};
    args.insert(args.end(), GetParam().begin(), GetParam().end());
    const Result r = run(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Transfers, TransferChipGoneTest,
                         ::testing::Values(std::vector<std::string>{"read-block", "0xa1"},
                                           std::vector<std::string>{"read-block", "--pec", "0xa1"},
                                           std::vector<std::string>{"read-word", "0x14"},
                                           std::vector<std::string>{"write-word", "-y", "0x14", "1"},
                                           std::vector<std::string>{"write-block", "-y", "--pec", "0xa0", "1"}));

// ---- round trips on a board that outlives each command ---------------------------

class SharedBoardTest : public BusToolsTest {
protected:
    Result shared(const std::vector<std::string>& args)
    {
        support::RunOptions options;
        options.dir = m_dir;
        options.input = "";
        options.env = {{"FANSCOPE_BOARD", socket().string()}, {"FANSCOPE_SIM_CONFIG", std::nullopt}};
        options.timeout = std::chrono::seconds(30);
        return support::runProcess(FANSCOPE_CLI, args, options);
    }
    fs::path socket() const { return m_dir / "board.sock"; }
};

TEST_F(SharedBoardTest, EepromWriteThenReadGivesTheFileBack)
{
    boardtest::BoardProcess board(socket());
    std::string bytes;
    for (int i = 0; i < 200; ++i)
        bytes += static_cast<char>(255 - i);
    const fs::path data = file("data.bin", bytes);
    Result r = shared({"eeprom", "write", "-y", "--offset", "0x7f80", data.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path back = m_dir / "back.bin";
    r = shared({"eeprom", "read", "--offset", "7F80h", "--length", "200", back.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(back), bytes);
    // Just before and after the written range the memory is still erased.
    r = shared({"eeprom", "read", "--offset", "0x7f7f", "--length", "1", "-"});
    EXPECT_EQ(r.out, "\xff");
    r = shared({"eeprom", "read", "--offset", "0x8048", "--length", "1", "-"});
    EXPECT_EQ(r.out, "\xff");
}

TEST_F(SharedBoardTest, WritesReadBackInLaterCommands)
{
    boardtest::BoardProcess board(socket());
    ASSERT_EQ(shared({"transfer", "write-block", "-y", "--pec", "0xa0", "0x41", "0x42", "0x43"}).status, 0);
    Result r = shared({"transfer", "read-block", "--pec", "0xa1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("0x41 0x42 0x43 0x03 ", 0), 0u) << r.out;

    ASSERT_EQ(shared({"transfer", "write-word", "-y", "0x14", "0x2d3c"}).status, 0);
    EXPECT_EQ(shared({"get", "0x14"}).out, "0x3c\n");
    EXPECT_EQ(shared({"get", "0x15"}).out, "0x2d\n");
    EXPECT_EQ(shared({"transfer", "read-word", "0x14"}).out, "0x2d3c\n");

    ASSERT_EQ(shared({"set", "-y", "-m", "0xf0", "0x14", "0x50"}).out, "0x3c -> 0x5c\n");
    EXPECT_EQ(shared({"get", "0x14"}).out, "0x5c\n");
}

}  // namespace
}  // namespace bustoolstest
