// The register file and the data log, byte for byte, without a window.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "device/data_log.h"
#include "device/register_file.h"
#include "device/register_map.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
using device::RegisterValue;

std::tm fixedTime()
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 16;
    t.tm_min = 21;
    t.tm_sec = 5;
    return t;
}

std::uint8_t sample(std::uint8_t address) { return static_cast<std::uint8_t>(address * 7 + 3); }

std::string fileText(int deviceId)
{
    return device::registerFileText(device::registerFileLines(deviceId, fixedTime(), sample));
}

using support::slurp;

TEST(RegisterFileText, SingleChannelFileByteForByte)
{
    const std::string expected = "TFM4410 Evaluation Software v1.04\r\n"
                                 "Saved : 2026-12-08 at 16:21:05\r\n"
                                 "\r\n"
                                 "Register   \t\tAddress\t\tValue\r\n"
                                 "\r\n"
                                 "Configuration1        \t0h        \t3h\r\n"
                                 "Configuration2        \t1h        \tAh\r\n"
                                 "Local Temp Offset\t0Dh        \t5Eh\r\n"
                                 "Remote1 Temp Offset\t0Eh        \t65h\r\n"
                                 "Fan1 Tach Limit        \t10h        \t73h\r\n"
                                 "Local High Limit\t14h        \t8Fh\r\n"
                                 "Local Low Limit        \t15h        \t96h\r\n"
                                 "Local Therm Limit\t16h        \t9Dh\r\n"
                                 "Remote1 High Limit\t18h        \tABh\r\n"
                                 "Remote1 Low Limit\t19h        \tB2h\r\n"
                                 "Remote1 Therm Limit\t1Ah        \tB9h\r\n"
                                 "Fan1 Characteristics\t20h        \tE3h\r\n"
                                 "Fan Speed Config.\t22h       \tF1h\r\n"
                                 "Fan Filter        \t23h        \tF8h\r\n"
                                 "Local Tmin/Trange \t24h        \tFFh\r\n"
                                 "Remote1 Tmin/Trange \t25h        \t6h\r\n"
                                 "THERM/Revision        \t3Fh        \tBCh\r\n"
                                 "\r\n";
    EXPECT_EQ(fileText(device::DeviceIdTFM4410), expected);
}

TEST(RegisterFileText, LineCountsAndDualChannelRows)
{
    const auto single = device::registerFileLines(device::DeviceIdTFM4410, fixedTime(), sample);
    const auto dual = device::registerFileLines(device::DeviceIdTFM4411, fixedTime(), sample);
    EXPECT_EQ(single.size(), 22u);
    EXPECT_EQ(dual.size(), 29u);
    EXPECT_EQ(dual[0], "TFM4411 Evaluation Software v1.04");
    EXPECT_EQ(dual[9], "Remote2 Temp Offset\t0Fh        \t6Ch");
    EXPECT_EQ(dual[27], "Remote2 Tmin/Trange \t26h        \tDh");
    EXPECT_EQ(dual[28], "THERM/Revision        \t3Fh        \tBCh");
}

TEST(RegisterFileText, ValueColumn)
{
    EXPECT_EQ(device::valueText(0x00), "0h");
    EXPECT_EQ(device::valueText(0x05), "5h");
    EXPECT_EQ(device::valueText(0x10), "10h");
    EXPECT_EQ(device::valueText(0xA5), "A5h");
    EXPECT_EQ(device::valueText(0xFF), "FFh");
}

TEST(RegisterFileRead, EverySavedFileRecallsOnEitherChip)
{
    for (int fileChip : {0x30, 0x31}) {
        const device::RegisterFileResult r = device::parseRegisterFile(fileText(fileChip));
        ASSERT_TRUE(r) << r.error;
        EXPECT_EQ(r.file->titleDeviceId, fileChip);
        for (const RegisterValue& v : r.file->registers)
            EXPECT_EQ(v.value, sample(v.address));
        EXPECT_EQ(r.file->registers.front().address, 0x00);
        EXPECT_EQ(r.file->registers.back().address, 0x3F);

        const auto onSingle = device::recallWrites(*r.file, 0x30);
        const auto onDual = device::recallWrites(*r.file, 0x31);
        EXPECT_EQ(onSingle.size(), 17u);
        EXPECT_EQ(onDual.size(), fileChip == 0x30 ? 17u : 24u);
        for (const RegisterValue& v : onSingle) {
            const device::RegisterEntry* e = device::registerEntryByAddress(v.address);
            ASSERT_NE(e, nullptr);
            EXPECT_FALSE(e->tfm4411Only) << int(v.address);
        }
    }
}

TEST(RegisterFileRead, RefusesWhatIsNotARegisterFile)
{
    const std::string good = fileText(0x31);
    std::string megabyteLine = good.substr(0, good.find("Configuration1")) + std::string(1 << 20, 'A') + "\r\n";
    std::string nothingButTitle = "TFM4411 Evaluation Software v1.04\r\n";
    for (const std::string& text :
         {megabyteLine, nothingButTitle, std::string("\r\n"), good.substr(0, good.size() - 40)}) {
        const device::RegisterFileResult r = device::parseRegisterFile(text);
        EXPECT_FALSE(r);
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(RegisterFileWrite, ReplacesTheOldFileWhole)
{
    support::TestFolder dir{"fanscope-regfile-"};
    const fs::path file = dir.path / "TFM4411_Registers.txt";
    ASSERT_EQ(device::writeFileReplacing(file, "old contents"), "");
    ASSERT_EQ(device::writeFileReplacing(file, fileText(0x31)), "");
    EXPECT_EQ(slurp(file), fileText(0x31));
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(RegisterFileWrite, FailedRenameLeavesNoTemporaryFile)
{
    support::TestFolder dir{"fanscope-regfile-"};
    const fs::path target = dir.path / "is-a-folder";
    fs::create_directory(target);
    fs::path inside = target / "keep";
    std::ofstream(inside) << "x";
    EXPECT_NE(device::writeFileReplacing(target, fileText(0x31)), "");
    EXPECT_EQ(slurp(inside), "x");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
    EXPECT_NE(device::writeFileReplacing(dir.path / "missing-folder" / "x.txt", "x"), "");
}

TEST(RegisterFileWrite, FailureLeavesTheOldFileAsItWas)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores file permissions";
    support::TestFolder dir{"fanscope-regfile-"};
    const fs::path file = dir.path / "regs.txt";
    ASSERT_EQ(device::writeFileReplacing(file, "previous save"), "");

    fs::permissions(dir.path, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_NE(device::writeFileReplacing(file, fileText(0x31)), "");
    fs::permissions(dir.path, fs::perms::owner_all);
    EXPECT_EQ(slurp(file), "previous save");

    fs::permissions(file, fs::perms::owner_read);
    EXPECT_NE(device::writeFileReplacing(file, fileText(0x31)), "");
    EXPECT_EQ(slurp(file), "previous save");
}

// ---- data log ---------------------------------------------------------------

TEST(DataLog, Headers)
{
    EXPECT_EQ(device::logHeader(0x30), "Time\tInt (\xB0"
                                       "C)\tExt (\xB0"
                                       "C)\tFan RPM\tPWM %");
    EXPECT_EQ(device::logHeader(0x31), "Time\tInt (\xB0"
                                       "C)\tExt1 (\xB0"
                                       "C)\tFan1 RPM\tPWM1 %\tExt2 (\xB0"
                                       "C)\tFan2 RPM\tPWM2 %");
    EXPECT_EQ(device::LogRestartMarker, "\r\t\t\tRestart");
}

TEST(DataLog, NumbersAsThePrintStatementWritesThem)
{
    struct Case {
        float value;
        const char* text;
    };
    for (const Case& c : {Case{25.25f, " 25.25 "}, Case{0.0f, " 0 "}, Case{-0.0f, " 0 "}, Case{-1.25f, "-1.25 "},
                          Case{3375.0f, " 3375 "}, Case{127.875f, " 127.875 "}, Case{-128.0f, "-128 "},
                          Case{0.1f, " 0.1 "}, Case{225000.0f, " 225000 "}}) {
        EXPECT_EQ(device::logNumber(c.value), c.text) << c.value;
    }
    EXPECT_EQ(device::logNumber(25.25f, ','), " 25,25 ");
}

TEST(DataLog, RowsForBothChips)
{
    device::LogReadings r{25.25f, 40.5f, -3.0f, 3375.0f, 0.0f, "47", "100"};
    EXPECT_EQ(device::logRow(9, 5, 7, r, 0x30), "\r09:05:07\t 25.25 \t 40.5 \t 3375 \t47\r\n");
    EXPECT_EQ(device::logRow(23, 59, 59, r, 0x31), "\r23:59:59\t 25.25 \t 40.5 \t 3375 \t47\t-3 \t 0 \t100\r\n");
}

TEST(DataLog, DelayTextAndFileName)
{
    EXPECT_EQ(device::leadingNumber("5"), 5);
    EXPECT_EQ(device::leadingNumber(" 12abc"), 12);
    EXPECT_EQ(device::leadingNumber("abc"), 0);
    EXPECT_EQ(device::leadingNumber(""), 0);
    EXPECT_EQ(device::leadingNumber("1.5"), 1.5);
    EXPECT_EQ(device::leadingNumber("-3"), -3);
    EXPECT_TRUE(device::isLogFileName("/tmp/run.xls"));
    EXPECT_FALSE(device::isLogFileName("/tmp/run.XLS"));
    EXPECT_FALSE(device::isLogFileName("/tmp/run.xlsx"));
}

TEST(DataLog, ScheduleIsMonotonicAndHonoursTheDelay)
{
    using namespace std::chrono_literals;
    device::LogSchedule s;
    const auto t0 = device::LogSchedule::Clock::time_point{} + 86'000s;  // where the old clock wrapped
    EXPECT_TRUE(s.takeRow(t0, 5));
    int rows = 0;
    for (auto t = t0 + 5ms; t < t0 + 20s; t += 5ms)
        rows += s.takeRow(t, 5);
    EXPECT_EQ(rows, 3);  // at 5, 10 and 15 s
    s.restart();
    EXPECT_TRUE(s.takeRow(t0 + 21s, 5));
    EXPECT_TRUE(s.takeRow(t0 + 21s, 0));
    EXPECT_TRUE(s.takeRow(t0 + 21s, -1));
}

TEST(DataLog, AppendReportsFailure)
{
    support::TestFolder dir{"fanscope-regfile-"};
    const fs::path file = dir.path / "log.xls";
    EXPECT_FALSE(device::fileHasContent(file));
    EXPECT_EQ(device::appendToFile(file, "a"), "");
    EXPECT_EQ(device::appendToFile(file, "b"), "");
    EXPECT_EQ(slurp(file), "ab");
    EXPECT_TRUE(device::fileHasContent(file));
    EXPECT_NE(device::appendToFile(dir.path / "no" / "log.xls", "a"), "");
}

}  // namespace
