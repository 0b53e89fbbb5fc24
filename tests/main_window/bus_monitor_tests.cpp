// The Bus Monitor against the simulated board through the real library:
// what the main window sends shows up, named and attributed, and the
// window's filters, pause, export and wire capture work on it.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QScreen>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/register_link.h"
#include "device/register_map.h"
#include "device/setup_code.h"
#include "main_window/bus_monitor.h"
#include "main_window/main_form.h"
#include "shell/ui_services.h"
#include "support/two_chip_board.h"
#include "support/test_folder.h"

namespace {

using mainwindow::FrmBusMonitor;
using mainwindow::MainForm;

const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);

class BusMonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::chipAt(testsupport::kTfm4411At).powerOn();
        testsupport::connectTo(testsupport::kTfm4411At);
        form = std::make_unique<MainForm>();
        form->Setup_Device_Display();
        form->show();
    }
    void TearDown() override { form.reset(); }

    FrmBusMonitor* open()
    {
        auto* button = form->findChild<QPushButton*>(QStringLiteral("cmdBusMonitor"));
        EXPECT_NE(button, nullptr);
        if (button == nullptr)
            return nullptr;
        QTest::mouseClick(button, Qt::LeftButton);
        return form->findChild<FrmBusMonitor*>(QStringLiteral("frmBusMonitor"));
    }
    void runCycle()
    {
        for (int i = 0; i < 7; ++i)
            form->visualTimerTick();
    }
    static std::vector<std::string> column(FrmBusMonitor& m, int c)
    {
        std::vector<std::string> out;
        for (const auto& e : m.model().journal().entries())
            out.push_back(device::journalColumns(e, device::RegisterLink.DeviceId)[std::size_t(c)]);
        return out;
    }

    shell::ScopedScriptedUi ui;
    std::unique_ptr<MainForm> form;
};

TEST_F(BusMonitorTest, OpensBesideAboutModelessAndOnce)
{
    auto* about = form->findChild<QPushButton*>(QStringLiteral("Command3"));
    auto* button = form->findChild<QPushButton*>(QStringLiteral("cmdBusMonitor"));
    ASSERT_NE(about, nullptr);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(about->text(), "About");
    EXPECT_EQ(button->y(), about->y());
    EXPECT_GT(button->x(), about->x());
    // About stays centred in its tab.
    const int centre = about->mapTo(about->parentWidget(), QPoint(about->width() / 2, 0)).x();
    EXPECT_NEAR(centre, about->parentWidget()->width() / 2, 2);

    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->isVisible());
    EXPECT_FALSE(monitor->isModal());
    EXPECT_EQ(monitor->windowTitle(), "Bus Monitor");
    // The shortcut raises the same window.
    QTest::keyClick(form.get(), Qt::Key_B, Qt::ControlModifier);
    EXPECT_EQ(form->findChildren<FrmBusMonitor*>().size(), 1);
    // Opening it sent nothing on the bus.
    monitor->flush();
    EXPECT_EQ(monitor->model().rowCount(), 0);
}

TEST_F(BusMonitorTest, ShowsEveryTransferOfAVisualCycleWithItsCause)
{
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    QAbstractItemModelTester tester(&monitor->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto& proto = *device::ComPort()->PrinterPort()->SMBusProtocall();
    auto& bus = sim::board().port(0)->bus();
    bus.setTracing(true);
    bus.clearTrace();
    runCycle();
    monitor->flush();
    bus.setTracing(false);
    (void)proto;

    // One row per transfer the bus saw: every address byte with the write
    // bit that opened a message.
    int starts = 0;
    bool afterStart = false;
    for (const auto& e : bus.trace()) {
        if (afterStart && e.kind == sim::TraceEvent::Kind::Byte && (e.value & 1) == 0)
            ++starts;
        afterStart = e.kind == sim::TraceEvent::Kind::Start;
    }
    ASSERT_GT(starts, 0);
    EXPECT_EQ(monitor->model().rowCount(), starts);
    for (const std::string& cause : column(*monitor, 2))
        EXPECT_EQ(cause, "Visual Display cycle");
    const auto meanings = column(*monitor, 15);
    EXPECT_NE(std::find_if(meanings.begin(), meanings.end(),
                           [](const std::string& m) { return m.rfind("0Ah Local Temp", 0) == 0; }),
              meanings.end());
}

TEST_F(BusMonitorTest, EasySetupWritesAreNamedAndDecoded)
{
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    form->Command1_Click();
    monitor->flush();
    auto* writesOnly = monitor->findChild<QCheckBox*>(QStringLiteral("chkWritesOnly"));
    writesOnly->setChecked(true);
    ASSERT_GT(monitor->visibleRows(), 0);
    const std::string csv = monitor->visibleCsv();
    EXPECT_NE(csv.find("Easy Setup"), std::string::npos);
    EXPECT_NE(csv.find("22h Fan Speed Configuration ← 0xFF: Fan1 duty 100 %, Fan2 duty 100 %"), std::string::npos)
        << csv;
    EXPECT_EQ(csv.find(",read,"), std::string::npos);
}

TEST_F(BusMonitorTest, FiltersPauseAndFailures)
{
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    auto& proto = *device::ComPort()->PrinterPort()->SMBusProtocall();
    proto.PortRead(0x5C, 0x22);
    proto.PortRead(0x58, 0x3D);
    proto.PortWrite(0x5C, 0x22, 0x33);
    monitor->flush();
    ASSERT_EQ(monitor->model().rowCount(), 3);

    auto* address = monitor->findChild<QLineEdit*>(QStringLiteral("txtFilterAddress"));
    auto* reg = monitor->findChild<QLineEdit*>(QStringLiteral("txtFilterRegister"));
    QTest::keyClicks(address, "0x2c");
    EXPECT_EQ(monitor->visibleRows(), 1);
    address->clear();
    QTest::keyClicks(reg, "22h");
    EXPECT_EQ(monitor->visibleRows(), 2);
    // A half-typed entry filters nothing out and says so.
    reg->setText(QStringLiteral("0x"));
    EXPECT_EQ(monitor->visibleRows(), 3);
    EXPECT_FALSE(reg->toolTip().isEmpty());
    reg->clear();

    auto* pause = monitor->findChild<QPushButton*>(QStringLiteral("cmdPause"));
    QTest::mouseClick(pause, Qt::LeftButton);
    EXPECT_EQ(pause->text(), "&Resume");
    proto.PortRead(0x5C, 0x22);
    monitor->flush();
    EXPECT_EQ(monitor->model().rowCount(), 3);
    QTest::mouseClick(pause, Qt::LeftButton);
    proto.PortRead(0x5C, 0x22);
    monitor->flush();
    EXPECT_EQ(monitor->model().rowCount(), 4);

    // A claim refused by another process: the row says it failed, in text
    // and in colour.
    sim::board().port(0)->setHeldByOtherProcess(true);
    proto.PortRead(0x5C, 0x22);
    sim::board().port(0)->setHeldByOtherProcess(false);
    monitor->flush();
    auto* errorsOnly = monitor->findChild<QCheckBox*>(QStringLiteral("chkErrorsOnly"));
    errorsOnly->setChecked(true);
    ASSERT_EQ(monitor->visibleRows(), 1);
    auto* table = monitor->findChild<QTableView*>(QStringLiteral("tblJournal"));
    const QModelIndex result = table->model()->index(0, 14);
    EXPECT_TRUE(result.data().toString().startsWith(QStringLiteral("Failed: ")));
    EXPECT_TRUE(result.data(Qt::ForegroundRole).isValid());
}

// Paused, the status keeps counting what the program sends and the monitor
// does not record, also from a thread of its own (a fan measurement has one).
TEST_F(BusMonitorTest, PausedTheNotRecordedCountKeepsCounting)
{
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    auto* pause = monitor->findChild<QPushButton*>(QStringLiteral("cmdPause"));
    auto* status = monitor->findChild<QLabel*>(QStringLiteral("lblBusStatus"));
    QTest::mouseClick(pause, Qt::LeftButton);
    EXPECT_TRUE(status->text().endsWith(QStringLiteral("paused, 0 not recorded"))) << status->text().toStdString();
    runCycle();
    monitor->flush();
    const auto missed = [&] {
        const QString t = status->text();
        const int end = t.lastIndexOf(QStringLiteral(" not recorded"));
        const int start = t.lastIndexOf(QLatin1Char(' '), end - 1);
        return t.mid(start + 1, end - start - 1).toInt();
    };
    const int afterOne = missed();
    EXPECT_GT(afterOne, 0);
    std::thread other([] {
        for (int i = 0; i < 5; ++i)
            device::readRegister(device::reg::DeviceId);
    });
    other.join();
    runCycle();
    // The window's own flush timer moves the count on.
    EXPECT_TRUE(QTest::qWaitFor([&] { return missed() >= 2 * afterOne + 5; }, 3000)) << status->text().toStdString();
    EXPECT_EQ(monitor->model().rowCount(), 0);
    QTest::mouseClick(pause, Qt::LeftButton);
    EXPECT_EQ(status->text().indexOf(QStringLiteral("not recorded")), -1);
}

// The monitor opens wide enough for its columns where the screen has room:
// the row number of a long session, the result of a failure and the meaning.
TEST_F(BusMonitorTest, OpensWideEnoughForItsColumns)
{
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    QApplication::processEvents();
    auto* table = monitor->findChild<QTableView*>(QStringLiteral("tblJournal"));
    const QFontMetrics fm(table->font());
    EXPECT_GT(table->columnWidth(0), fm.horizontalAdvance(QStringLiteral("99999")) + 6);
    EXPECT_GT(table->columnWidth(14), fm.horizontalAdvance(QStringLiteral("Failed: no acknowledge")));
    int columns = 0;
    for (int c = 0; c < table->model()->columnCount(); ++c)
        columns += table->columnWidth(c);
    const int room = monitor->screen()->availableGeometry().width() - 40;
    if (columns + 60 <= room)
        EXPECT_GE(table->viewport()->width(), columns);
    else
        EXPECT_GE(monitor->width(), room - 1);
}

TEST_F(BusMonitorTest, HistoryIsBoundedAndRowsStayInStep)
{
    mainwindow::JournalModel model(4);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::pair<vexlink06::TransferRecord, std::string>> batch(3);
        model.append(batch);
    }
    EXPECT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.entry(0).sequence, 6U);
    std::vector<std::pair<vexlink06::TransferRecord, std::string>> big(10);
    model.append(big);
    EXPECT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.entry(3).sequence, 13U);
}

TEST_F(BusMonitorTest, ExportsTheVisibleRowsAndCapturesTheWires)
{
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    const auto dir = std::filesystem::path(::testing::TempDir());
    const auto csvPath = dir / "bus-monitor-export.csv";
    const auto vcdPath = dir / "bus-monitor-capture.vcd";
    ASSERT_TRUE(FrmBusMonitor::canCapture());

    ui->fileAnswers << QString::fromStdString(vcdPath.string());
    auto* capture = monitor->findChild<QPushButton*>(QStringLiteral("cmdCaptureVcd"));
    QTest::mouseClick(capture, Qt::LeftButton);
    EXPECT_EQ(capture->text(), "Stop &Capture");
    device::ComPort()->PrinterPort()->SMBusProtocall()->PortWrite(0x5C, 0x22, 0x44);
    QTest::mouseClick(capture, Qt::LeftButton);
    const std::string vcd = support::slurp(vcdPath);
    EXPECT_EQ(vcd.rfind("$date", 0), 0U);
    EXPECT_NE(vcd.find("$var wire 1 ! SCL $end"), std::string::npos);
    EXPECT_NE(vcd.find("printer_port_0x378"), std::string::npos);

    ui->fileAnswers << QString::fromStdString(csvPath.string());
    QTest::mouseClick(monitor->findChild<QPushButton*>(QStringLiteral("cmdExportCsv")), Qt::LeftButton);
    const std::string csv = support::slurp(csvPath);
    EXPECT_EQ(csv, monitor->visibleCsv());
    EXPECT_EQ(csv.rfind("#,Time,Cause,", 0), 0U);
    EXPECT_NE(csv.find("22h Fan Speed Configuration ← 0x44"), std::string::npos);
    std::filesystem::remove(csvPath);
    std::filesystem::remove(vcdPath);
}

TEST_F(BusMonitorTest, ExportsTheSessionAsAReplayThatChecksOutOnTheSameChip)
{
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    form->Command1_Click();  // Easy Setup: the writes to replay
    runCycle();              // reads that check them
    ui->messages.clear();    // Easy Setup's instructions
    // The filters narrow the rows shown, not the recording.
    monitor->findChild<QCheckBox*>(QStringLiteral("chkWritesOnly"))->setChecked(true);
    const auto dir = std::filesystem::path(::testing::TempDir());
    const auto jsonPath = dir / "bus-replay.json";
    ui->fileAnswers << QString::fromStdString(jsonPath.string());
    QTest::mouseClick(monitor->findChild<QPushButton*>(QStringLiteral("cmdExportReplay")), Qt::LeftButton);
    ASSERT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();

    const device::ReplayResult replay = device::parseReplayJson(support::slurp(jsonPath));
    ASSERT_TRUE(replay) << replay.error;
    EXPECT_EQ(replay.replay->deviceId, device::DeviceIdTFM4411);
    const auto& steps = replay.replay->steps;
    const auto speedWrite = std::find_if(steps.begin(), steps.end(), [](const device::ReplayStep& s) {
        return s.write && s.reg == device::reg::FanSpeedConfiguration && s.value == 0xFF;
    });
    ASSERT_NE(speedWrite, steps.end());
    ASSERT_TRUE(std::any_of(steps.begin(), steps.end(), [](const auto& s) { return !s.write; }));
    // Run again on the chip that made it, every check reads as recorded.
    for (const device::ReplayStep& s : steps) {
        device::RegisterLink.RegisterPointer = s.reg;
        if (s.write) {
            device::RegisterLink.DataByte = s.value;
            device::WriteRegister();
            continue;
        }
        device::ReadRegister();
        EXPECT_EQ(device::RegisterLink.ReadResult & s.mask, s.value & s.mask) << "register " << int(s.reg);
    }

    // The name's suffix picks the script; another suffix is refused.
    const auto shPath = dir / "bus-replay.sh";
    EXPECT_TRUE(monitor->exportReplay(QString::fromStdString(shPath.string())));
    EXPECT_NE(support::slurp(shPath).find("i2cset -y \"$bus\" \"$address\" 0x22 0xff"), std::string::npos);
    EXPECT_FALSE(monitor->exportReplay(QString::fromStdString((dir / "bus-replay.txt").string())));
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_TRUE(ui->messages.front().text.contains(QStringLiteral(".json, .sh or .py")));
    EXPECT_FALSE(std::filesystem::exists(dir / "bus-replay.txt"));
    std::filesystem::remove(jsonPath);
    std::filesystem::remove(shPath);
}

// The cells keep their laid-out texts for speed; they must look exactly as
// the standard delegate draws them: plain, failed (coloured), selected, and
// too narrow (elided).
TEST_F(BusMonitorTest, CellsLookAsTheStandardDelegateDrawsThem)
{
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    auto& proto = *device::ComPort()->PrinterPort()->SMBusProtocall();
    proto.PortRead(0x5C, 0x22);
    proto.PortWrite(0x5C, 0x22, 0x33);
    sim::board().port(0)->setHeldByOtherProcess(true);
    proto.PortRead(0x5C, 0x22);
    sim::board().port(0)->setHeldByOtherProcess(false);
    proto.PortRead(0x58, 0x3D);
    monitor->flush();
    auto* table = monitor->findChild<QTableView*>(QStringLiteral("tblJournal"));
    ASSERT_NE(table, nullptr);
    table->setColumnWidth(2, 40);
    table->selectRow(1);
    QApplication::processEvents();
    const QImage fast = table->viewport()->grab().toImage();
    QStyledItemDelegate standard;
    table->setItemDelegate(&standard);
    const QImage reference = table->viewport()->grab().toImage();
    table->setItemDelegate(nullptr);
    EXPECT_EQ(fast, reference);
}

// Pictures of the Bus Monitor after Easy Setup and a few visual cycles, and
// of the Main tab with its button, when asked for (FANSCOPE_SCREENSHOT_DIR).
TEST_F(BusMonitorTest, Screenshots)
{
    const QString dir = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set FANSCOPE_SCREENSHOT_DIR to write screenshots";
    form->selectTab(MainForm::TabMain);
    form->grab().save(dir + QStringLiteral("/main-tab-bus-monitor.png"));
    FrmBusMonitor* monitor = open();
    ASSERT_NE(monitor, nullptr);
    form->Command1_Click();
    form->findChild<QTimer*>(QStringLiteral("visual_timer"))->stop();
    for (int i = 0; i < 3; ++i) {
        sim::board().advanceMs(30);
        runCycle();
    }
    // One failure, to show how it looks.
    sim::board().port(0)->setHeldByOtherProcess(true);
    device::ComPort()->PrinterPort()->SMBusProtocall()->PortRead(0x5C, 0x22);
    sim::board().port(0)->setHeldByOtherProcess(false);
    runCycle();
    monitor->flush();
    monitor->resize(1600, 560);
    QApplication::processEvents();
    EXPECT_TRUE(monitor->grab().save(dir + QStringLiteral("/bus-monitor.png")));
}

}  // namespace
