// The Read/Write panel, data logging and register save/recall against the
// simulated board through the real library: what the windows write must
// arrive in the chip, and the files must hold exactly the expected bytes.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/data_log.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "main_window/frm_save_reg.h"
#include "main_window/latest_readings.h"
#include "main_window/logging_panel.h"
#include "main_window/register_panel.h"
#include "main_window/save_recall_panel.h"
#include "shell/label_colour.h"
#include "shell/ui_services.h"
#include "support/two_chip_board.h"
#include "support/watchdog.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
using device::RegisterLink;
using mainwindow::RegisterPanel;

constexpr std::uint8_t Dual = testsupport::kTfm4411At;
constexpr std::uint8_t Single = testsupport::kTfm4410At;
using testsupport::connectTo;

const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);

sim::Chip& chip(std::uint8_t address) { return testsupport::chipAt(address); }

using support::slurp;

QString inFolder(const support::TestFolder& dir, const char* name)
{
    return QString::fromStdString((dir.path / name).string());
}

template <class T> T* child(QWidget* w, const QString& name)
{
    T* c = w->findChild<T*>(name);
    EXPECT_NE(c, nullptr) << name.toStdString();
    return c;
}

QString text(QWidget* w, const char* name) { return child<QLabel>(w, QString::fromLatin1(name))->text(); }

QString bitsShown(QWidget* panel)
{
    QString s;
    for (int bit = 7; bit >= 0; --bit)
        s += text(panel, QStringLiteral("bit%1").arg(bit).toLatin1().constData());
    return s;
}

// ---- register panel -----------------------------------------------------------

class RegisterPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        connectTo(Dual);
        panel.enter();
    }
    void select(int index)
    {
        // Clicking the entry that is already current would make none current.
        if (panel.listEntryColour(index) == device::ColourCurrentHover ||
            panel.listEntryColour(index) == device::ColourCurrent)
            return;
        panel.read_writedisplaytext_Click(index);
    }
    QLineEdit* hex() { return child<QLineEdit>(&panel, QStringLiteral("Text6")); }
    QLineEdit* dec() { return child<QLineEdit>(&panel, QStringLiteral("Text7")); }
    unsigned buttonColour(const char* name)
    {
        return child<QPushButton>(&panel, QString::fromLatin1(name))->property("backColour").toUInt();
    }

    RegisterPanel panel;
};

TEST_F(RegisterPanelTest, FirstVisitSelectsCompanyIdAndReadsIt)
{
    EXPECT_EQ(panel.lastClickedIndex(), 1);
    EXPECT_EQ(text(&panel, "current_reg_type_label"), QStringLiteral("Company ID"));
    EXPECT_EQ(text(&panel, "current_reg_address_label"), QStringLiteral("3E"));
    EXPECT_FALSE(hex()->isEnabled());
}

struct EntryCase {
    bool useHex;
    const char* typed;
    bool writes;
    int written;
    const char* hexAfter;
    const char* decAfter;
};

class ByteEntry : public RegisterPanelTest, public ::testing::WithParamInterface<EntryCase> { };

TEST_P(ByteEntry, ValidatesBeforeWriting)
{
    const EntryCase& c = GetParam();
    chip(Dual).poke(device::reg::LocalHighLimit, 0x5A);
    select(19);  // Local Temp. High Limit, writable
    ASSERT_EQ(text(&panel, "current_reg_address_label"), QStringLiteral("14"));
    QLineEdit* box = c.useHex ? hex() : dec();
    box->setText(QString::fromLatin1(c.typed));
    if (*c.typed) {
        EXPECT_EQ(buttonColour(c.useHex ? "Command4" : "Command5"), 0xFFu);
    }
    c.useHex ? panel.Command4_Click() : panel.Command5_Click();

    EXPECT_EQ(chip(Dual).peek(device::reg::LocalHighLimit), c.writes ? c.written : 0x5A);
    EXPECT_EQ(hex()->text(), QString::fromLatin1(c.hexAfter));
    EXPECT_EQ(dec()->text(), QString::fromLatin1(c.decAfter));
    EXPECT_EQ(buttonColour(c.useHex ? "Command4" : "Command5"), c.writes ? 0xFF00u : 0xFFu);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ByteEntry,
    ::testing::Values(EntryCase{true, "1G", false, 0, "00", ""}, EntryCase{true, "0G0F", false, 0, "00", ""},
                      EntryCase{true, "0", false, 0, "00", "00"}, EntryCase{true, "", false, 0, "00", "00"},
                      EntryCase{true, "100", false, 0, "00", "00"}, EntryCase{true, "00", true, 0, "00", "0"},
                      EntryCase{true, "4b", true, 0x4B, "4b", "75"}, EntryCase{false, "256", false, 0, "00", "00"},
                      EntryCase{false, "0", false, 0, "00", "00"}, EntryCase{false, "1x", false, 0, "", "00"},
                      EntryCase{false, "200", true, 200, "C8", "200"}));

TEST_F(RegisterPanelTest, WrittenByteIsShownUntilTheNextRead)
{
    select(5);  // Configuration 2
    hex()->setText(QStringLiteral("FF"));
    panel.Command4_Click();
    EXPECT_EQ(dec()->text(), QStringLiteral("255"));
    EXPECT_EQ(bitsShown(&panel), QStringLiteral("11111111"));
    EXPECT_EQ(RegisterLink.ShowDataByte, 0);
    chip(Dual).powerOn();
}

TEST_F(RegisterPanelTest, BitToggleWritesOnlyWritableRegisters)
{
    chip(Dual).poke(device::reg::Remote1HighLimit, 0x50);
    select(17);  // Remote1 Temp. High Limit
    ASSERT_EQ(bitsShown(&panel), QStringLiteral("01010000"));
    panel.bitClick(3);
    EXPECT_EQ(chip(Dual).peek(device::reg::Remote1HighLimit), 0x58);
    EXPECT_EQ(bitsShown(&panel), QStringLiteral("01011000"));
    panel.bitClick(6);
    EXPECT_EQ(chip(Dual).peek(device::reg::Remote1HighLimit), 0x18);

    select(21);  // Device ID, read only
    const QString before = bitsShown(&panel);
    panel.bitClick(0);
    EXPECT_EQ(bitsShown(&panel), before);
    EXPECT_EQ(chip(Dual).peek(device::reg::DeviceId), 0x31);
}

TEST_F(RegisterPanelTest, ContinuousReadingFollowsTheChipAndStopsWithTheTab)
{
    QTimer* timer3 = panel.findChild<QTimer*>(QStringLiteral("Timer3"));
    ASSERT_NE(timer3, nullptr);
    select(20);  // Local Temp. Low Limit
    panel.setContinuousReading(true);
    EXPECT_TRUE(timer3->isActive());
    EXPECT_EQ(text(&panel, "continuous_reading_label"), QStringLiteral("Continuous Reading is On"));
    chip(Dual).poke(device::reg::LocalLowLimit, 0xA5);
    panel.Timer3_Tick();
    EXPECT_EQ(bitsShown(&panel), QStringLiteral("10100101"));
    panel.leave();
    EXPECT_FALSE(timer3->isActive());
    panel.setContinuousReading(true);
    panel.enter();
    EXPECT_FALSE(timer3->isActive());
    EXPECT_EQ(text(&panel, "continuous_reading_label"), QStringLiteral("Continuous Reading is Off"));
    EXPECT_EQ(panel.lastClickedIndex(), 20);  // reselected on re-entry
}

TEST_F(RegisterPanelTest, ClickingTheCurrentEntryLeavesNoneCurrent)
{
    select(3);
    EXPECT_EQ(panel.listEntryColour(3), device::ColourCurrentHover);
    EXPECT_EQ(panel.listEntryColour(1), shell::kAppWorkspace);
    panel.hoverEntry(4);
    EXPECT_EQ(panel.listEntryColour(4), device::ColourHover);
    panel.hoverEntry(3);
    EXPECT_EQ(panel.listEntryColour(4), shell::kAppWorkspace);
    EXPECT_EQ(panel.listEntryColour(3), device::ColourCurrentHover);
    panel.hoverEntry(0);
    EXPECT_EQ(panel.listEntryColour(3), device::ColourCurrent);
    panel.hoverEntry(3);
    panel.read_writedisplaytext_Click(3);
    for (int i = 1; i <= 35; ++i)
        EXPECT_FALSE(device::isSelectionColour(panel.listEntryColour(i))) << i;
}

TEST_F(RegisterPanelTest, SingleChannelListHidesAndRenames)
{
    panel.setupForDevice(0x30);
    int visible = 0;
    for (int i = 1; i <= 35; ++i)
        visible += child<QLabel>(&panel, QStringLiteral("read_writedisplaytext(%1)").arg(i))->isHidden() ? 0 : 1;
    EXPECT_EQ(visible, 26);
    EXPECT_EQ(text(&panel, "read_writedisplaytext(12)"), QStringLiteral("Fan Speed"));
    EXPECT_EQ(text(&panel, "read_writedisplaytext(13)"), QStringLiteral("Remote Temp (8Msb)"));
    EXPECT_EQ(text(&panel, "read_writedisplaytext(10)"), QStringLiteral("Remote Tmin/Trange"));
    panel.setupForDevice(0x31);
    EXPECT_EQ(text(&panel, "read_writedisplaytext(12)"), QStringLiteral("Fan1 Speed "));
    EXPECT_FALSE(child<QLabel>(&panel, QStringLiteral("read_writedisplaytext(35)"))->isHidden());
}

// ---- data logging ----------------------------------------------------------------

class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto& latest = mainwindow::LatestReadings();
        latest.localTemp = 25.25f;
        latest.remote1Temp = 40.5f;
        latest.remote2Temp = -3.0f;
        latest.fan1Rpm = 3375.0f;
        latest.fan2Rpm = 0.0f;
        panel.setClocks([this] { return now; }, [] { return QTime(9, 5, 7); });
    }
    void tick(std::chrono::milliseconds step = std::chrono::milliseconds(5))
    {
        now += step;
        panel.Timer1_Tick();
    }
    void start(const QString& file)
    {
        ui->fileAnswers << file;
        panel.MakeLog_CMD_Click();
    }
    QString count() { return text(&panel, "Label14"); }

    shell::ScopedScriptedUi ui;
    support::TestFolder dir{"fanscope-panels-"};
    mainwindow::LoggingPanel panel;
    device::LogSchedule::Clock::time_point now{std::chrono::hours(1000)};
};

TEST_F(LoggingTest, FileBytesForBothChips)
{
    for (std::uint8_t address : {Single, Dual}) {
        connectTo(address);
        chip(address).poke(device::reg::FanSpeedConfiguration, 0xF7);
        const QString file = inFolder(dir, address == Single ? "single.xls" : "dual.xls");
        start(file);
        ASSERT_TRUE(panel.logging());
        for (int i = 0; i < 2001; ++i)
            tick();  // 10 s at delay 5: rows at 0, 5 and 10 s
        const std::string row = address == Single ? "\r09:05:07\t 25.25 \t 40.5 \t 3375 \t47\r\n"
                                                  : "\r09:05:07\t 25.25 \t 40.5 \t 3375 \t47\t-3 \t 0 \t100\r\n";
        EXPECT_EQ(slurp(file.toStdString()), std::string(device::logHeader(RegisterLink.DeviceId)) + row + row + row);
        EXPECT_EQ(count(), QStringLiteral(" 3"));
        child<QCheckBox>(&panel, QStringLiteral("Check3"))->setCheckState(Qt::Unchecked);
        panel.Check3_Click();
        EXPECT_FALSE(panel.logging());
        EXPECT_TRUE(child<QPushButton>(&panel, QStringLiteral("MakeLog_CMD"))->isEnabled());
    }
}

TEST_F(LoggingTest, ExistingFileGetsTheRestartMarker)
{
    connectTo(Single);
    chip(Single).poke(device::reg::FanSpeedConfiguration, 0x00);
    const QString file = inFolder(dir, "old.xls");
    device::appendToFile(file.toStdString(), "earlier run");
    start(file);
    tick();
    EXPECT_EQ(slurp(file.toStdString()), "earlier run\r\t\t\tRestart\r09:05:07\t 25.25 \t 40.5 \t 3375 \t0\r\n");
    // The chooser does not offer to replace a file the log appends to.
    ASSERT_FALSE(ui->fileRequests.empty());
    EXPECT_TRUE(ui->fileRequests.back().save);
    EXPECT_FALSE(ui->fileRequests.back().confirmReplace);
}

TEST_F(LoggingTest, DelayZeroLogsEveryTickAndLargeDelaysAreCapped)
{
    connectTo(Dual);
    QLineEdit* delay = child<QLineEdit>(&panel, QStringLiteral("Text1"));
    delay->setText(QStringLiteral("7200"));
    EXPECT_EQ(delay->text(), QStringLiteral("3600"));
    delay->setText(QStringLiteral("0"));
    start(inFolder(dir, "fast.xls"));
    for (int i = 0; i < 10; ++i)
        tick();
    EXPECT_EQ(count(), QStringLiteral(" 10"));
}

TEST_F(LoggingTest, NameMustEndInLowerCaseXls)
{
    connectTo(Dual);
    start(inFolder(dir, "run.XLS"));
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].title, QStringLiteral("There was a Problem!"));
    EXPECT_EQ(ui->messages[0].icon, shell::MsgIcon::Exclamation);
    EXPECT_FALSE(panel.logging());
    EXPECT_FALSE(fs::exists(dir.path / "run.XLS"));
}

TEST_F(LoggingTest, UnwritableFileStopsLoggingWithTheErrorMessage)
{
    connectTo(Dual);
    const QString file = inFolder(dir, "log.xls");
    start(file);
    tick();
    const std::string written = slurp(file.toStdString());
    // The file is taken away and something that cannot take a row put in its place.
    fs::rename(file.toStdString(), (dir.path / "kept.xls"));
    fs::create_directory(file.toStdString());
    tick(std::chrono::seconds(6));
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].title, QStringLiteral("Error"));
    EXPECT_EQ(ui->messages[0].text, QStringLiteral("There has been a problem writing to the log file.\r"
                                                   "This file may be locked by another application."));
    EXPECT_FALSE(panel.logging());
    EXPECT_FALSE(panel.findChild<QTimer*>(QStringLiteral("Timer1"))->isActive());
    EXPECT_TRUE(child<QPushButton>(&panel, QStringLiteral("MakeLog_CMD"))->isEnabled());
    EXPECT_EQ(slurp(dir.path / "kept.xls"), written);  // rows already written stay
    tick(std::chrono::seconds(6));
    EXPECT_EQ(ui->messages.size(), 1u);
}

TEST_F(LoggingTest, FullDiskStopsWithErrorAndLeavesOnlyCompleteRows)
{
    connectTo(Dual);
    // A 16 KiB file system of its own, or where it cannot be mounted a
    // file-size limit: either way the kernel refuses a row part-way.
    const fs::path small = dir.path / "small";
    fs::create_directory(small);
    const bool mounted = ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") == 0;
    rlimit oldLimit{};
    if (!mounted) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &oldLimit);
        rlimit limit = oldLimit;
        limit.rlim_cur = 16 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    const QString file = QString::fromStdString((small / "log.xls").string());
    child<QLineEdit>(&panel, QStringLiteral("Text1"))->setText(QStringLiteral("0"));
    start(file);
    for (int i = 0; i < 5000 && ui->messages.empty(); ++i)
        tick();
    const std::string written = slurp(file.toStdString());
    if (mounted)
        ::umount(small.c_str());
    else
        ::setrlimit(RLIMIT_FSIZE, &oldLimit);

    ASSERT_EQ(ui->messages.size(), 1u) << "the disk never filled";
    EXPECT_EQ(ui->messages[0].title, QStringLiteral("Error"));
    EXPECT_FALSE(panel.logging());
    // The header, then only whole rows: each starts with CR, holds the dual
    // chip's eight columns and ends with CR LF.
    const std::string header(device::logHeader(RegisterLink.DeviceId));
    ASSERT_TRUE(written.starts_with(header));
    std::string rows = written.substr(header.size());
    ASSERT_FALSE(rows.empty());
    EXPECT_TRUE(rows.ends_with("\r\n"));
    for (std::size_t at = 0; at < rows.size();) {
        const std::size_t end = rows.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "half a row at byte " << header.size() + at;
        const std::string row = rows.substr(at, end - at);
        EXPECT_EQ(row.front(), '\r');
        EXPECT_EQ(std::count(row.begin(), row.end(), '\t'), 7) << row;
        at = end + 2;
    }
}

TEST_F(LoggingTest, ReadOnlyFolderRefusesTheHeader)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores folder permissions";
    connectTo(Dual);
    fs::permissions(dir.path, fs::perms::owner_read | fs::perms::owner_exec);
    start(inFolder(dir, "new.xls"));
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].title, QStringLiteral("Error"));
    EXPECT_FALSE(panel.logging());
}

// ---- save and recall ---------------------------------------------------------------

// The chip keeps only bit 7 of the Revision register when written.
std::uint8_t keptBits(std::uint8_t address) { return address == device::reg::Revision ? 0x80 : 0xFF; }

std::map<std::uint8_t, std::uint8_t> savedSet(std::uint8_t address)
{
    std::map<std::uint8_t, std::uint8_t> values;
    for (const device::SavedRegister& r : device::SavedRegisters)
        values[r.address] = chip(address).peek(r.address) & keptBits(r.address);
    return values;
}

// Values the chip keeps as written: software reset and automatic control stay off.
void scramble(std::uint8_t address, unsigned seed)
{
    std::mt19937 rng(seed);
    for (const device::SavedRegister& r : device::SavedRegisters) {
        std::uint8_t v = std::uint8_t(rng());
        if (r.address == device::reg::Configuration1 || r.address == device::reg::Configuration2)
            v &= 0x7F;
        chip(address).poke(r.address, v);
    }
}

class SaveRecallTest : public ::testing::Test {
protected:
    QString save(const QString& file)
    {
        mainwindow::frmSaveReg window;
        window.setClock([] { return QDateTime(QDate(2026, 12, 8), QTime(16, 21, 5)); });
        ui->fileAnswers << file;
        window.cmdSetPath_Click();
        EXPECT_TRUE(child<QPushButton>(&window, QStringLiteral("cmdSave"))->isEnabled());
        window.cmdSave_Click();
        return ui->fileRequests.back().proposedName;
    }
    void recall(const QString& file)
    {
        ui->fileAnswers << file;
        panel.cmdRecall_Click();
    }

    shell::ScopedScriptedUi ui;
    support::TestFolder dir{"fanscope-panels-"};
    mainwindow::SaveRecallPanel panel;
};

TEST_F(SaveRecallTest, SavedFileHoldsTheChipsValuesByteForByte)
{
    for (std::uint8_t address : {Single, Dual}) {
        connectTo(address);
        scramble(address, address);
        std::map<std::uint8_t, std::uint8_t> values;
        for (const device::SavedRegister& r : device::SavedRegisters)
            values[r.address] = chip(address).peek(r.address);
        const QString file = inFolder(dir, "regs.txt");
        const QString proposed = save(file);
        EXPECT_TRUE(proposed.endsWith(address == Single ? "/TFM4410_Registers.txt" : "/TFM4411_Registers.txt"));

        std::tm t{};
        t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 8, t.tm_hour = 16, t.tm_min = 21, t.tm_sec = 5;
        const std::string expected = device::registerFileText(
            device::registerFileLines(RegisterLink.DeviceId, t, [&](std::uint8_t a) { return values.at(a); }));
        const std::string actual = slurp(file.toStdString());
        EXPECT_EQ(actual, expected);
        EXPECT_EQ(std::count(actual.begin(), actual.end(), '\n'), address == Single ? 23 : 30);
        EXPECT_NE(actual.find("\r\nSaved : 2026-12-08 at 16:21:05\r\n"), std::string::npos);
    }
}

TEST_F(SaveRecallTest, RecallRestoresEveryRegisterAfterScrambling)
{
    for (std::uint8_t address : {Single, Dual}) {
        connectTo(address);
        scramble(address, 100 + address);
        const auto saved = savedSet(address);
        const QString file = inFolder(dir, "roundtrip.txt");
        save(file);
        scramble(address, 200 + address);
        recall(file);
        EXPECT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();
        const auto restored = savedSet(address);
        for (const device::SavedRegister& r : device::SavedRegisters) {
            if (r.tfm4411Only && address == Single)
                continue;
            EXPECT_EQ(int(restored.at(r.address)), int(saved.at(r.address))) << int(r.address);
        }
    }
}

TEST_F(SaveRecallTest, DualChannelFileOnSingleChannelChipSkipsWhatItLacks)
{
    connectTo(Dual);
    scramble(Dual, 7);
    const QString file = inFolder(dir, "dual.txt");
    save(file);
    connectTo(Single);
    scramble(Single, 8);
    const auto before = savedSet(Single);
    recall(file);
    const auto after = savedSet(Single);
    for (const device::SavedRegister& r : device::SavedRegisters) {
        if (r.tfm4411Only)
            EXPECT_EQ(after.at(r.address), before.at(r.address)) << int(r.address);
        else
            EXPECT_EQ(after.at(r.address), chip(Dual).peek(r.address) & keptBits(r.address)) << int(r.address);
    }
}

TEST_F(SaveRecallTest, MalformedFilesWriteNothing)
{
    connectTo(Dual);
    std::vector<fs::path> files;
    const fs::path corpus = fs::path(std::getenv("FANSCOPE_SOURCE_DIR")) / "tests" / "fuzz" / "corpus";
    for (const auto& e : fs::directory_iterator(corpus))
        if (e.path().filename().string().starts_with("bad-"))
            files.push_back(e.path());
    const fs::path megabyte = dir.path / "megabyte-line.txt";
    device::appendToFile(megabyte, std::string(device::FileTitleTFM4411) + "\r\n" + std::string(1 << 20, 'x') + "\r\n");
    files.push_back(megabyte);
    files.push_back(dir.path / "missing.txt");
    ASSERT_GE(files.size(), 15u);

    for (const fs::path& f : files) {
        SCOPED_TRACE(f.filename().string());
        scramble(Dual, 42);
        const auto before = savedSet(Dual);
        ui->messages.clear();
        recall(QString::fromStdString(f.string()));
        EXPECT_EQ(savedSet(Dual), before);
        ASSERT_EQ(ui->messages.size(), 1u);
        EXPECT_EQ(ui->messages[0].text, QStringLiteral("Invalid File Selected"));
        EXPECT_EQ(ui->messages[0].icon, shell::MsgIcon::Critical);
    }
}

TEST_F(SaveRecallTest, NamedPipeIsRefusedWithoutWaiting)
{
    connectTo(Dual);
    const fs::path fifo = dir.path / "regs.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    scramble(Dual, 7);
    const auto before = savedSet(Dual);
    {
        support::Watchdog watchdog(std::chrono::seconds(10), "recall of a named pipe");
        recall(QString::fromStdString(fifo.string()));
    }
    EXPECT_EQ(savedSet(Dual), before);
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].text, QStringLiteral("Invalid File Selected"));
    EXPECT_EQ(ui->messages[0].icon, shell::MsgIcon::Critical);
}

TEST_F(SaveRecallTest, FailedSaveSaysSoAndLeavesNoPartialFile)
{
    connectTo(Dual);
    // A folder where the file should go: the final rename cannot replace it.
    const QString target = inFolder(dir, "regs.txt");
    fs::create_directory(target.toStdString());
    mainwindow::frmSaveReg window;
    ui->fileAnswers << target;
    window.cmdSetPath_Click();
    window.cmdSave_Click();
    EXPECT_TRUE(fs::is_directory(target.toStdString()));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].icon, shell::MsgIcon::Critical);
}

TEST_F(SaveRecallTest, ChipGoneBeforeSaveWritesNoFile)
{
    connectTo(Dual);
    const QString kept = inFolder(dir, "kept.txt");
    std::ofstream(kept.toStdString(), std::ios::binary) << "an earlier save";
    const QString fresh = inFolder(dir, "fresh.txt");
    struct Back {
        ~Back() { chip(Dual).setPresent(true); }
    } back;
    chip(Dual).setPresent(false);
    for (const QString& target : {kept, fresh}) {
        ui->messages.clear();
        save(target);
        ASSERT_EQ(ui->messages.size(), 1u);
        EXPECT_TRUE(ui->messages[0].text.contains(QStringLiteral("the chip at 0x2E no longer answers")))
            << ui->messages[0].text.toStdString();
        EXPECT_EQ(ui->messages[0].icon, shell::MsgIcon::Critical);
    }
    EXPECT_EQ(slurp(kept.toStdString()), "an earlier save");
    EXPECT_FALSE(fs::exists(fresh.toStdString()));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

}  // namespace
