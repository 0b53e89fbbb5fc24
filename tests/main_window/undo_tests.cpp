// Guarded writes in the program against the simulated board: every kind of
// write the windows make comes back with one undo, a recall shows exactly
// what it would change before it writes, and a refused undo writes nothing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QHeaderView>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/register_file.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "device/write_log.h"
#include "dialogs/dialogs.h"
#include "dialogs/frm_filtered.h"
#include "main_window/frm_save_reg.h"
#include "main_window/main_form.h"
#include "main_window/register_panel.h"
#include "main_window/save_recall_panel.h"
#include "main_window/undo_controls.h"
#include "shell/ui_services.h"
#include "support/bus_trace.h"
#include "support/two_chip_board.h"
#include "widgets/limits_gauge.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
namespace reg = device::reg;
using device::RegisterLink;
using mainwindow::MainForm;

constexpr std::uint8_t Dual = testsupport::kTfm4411At;
constexpr std::uint8_t Single = testsupport::kTfm4410At;

const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);

sim::Chip& chip(std::uint8_t address) { return testsupport::chipAt(address); }

using testsupport::registerWrites;

struct TracedBus {
    sim::Bus& bus = sim::board().port(0)->bus();
    TracedBus()
    {
        bus.clearTrace();
        bus.setTracing(true);
    }
    ~TracedBus() { bus.setTracing(false); }
    int writes() const { return registerWrites(bus.trace()); }
};

// Values every configuration register keeps as written (no software reset,
// no automatic control), different from the power-on ones.
void scramble(std::uint8_t address, unsigned seed)
{
    std::mt19937 rng(seed);
    for (const device::SavedRegister& r : device::SavedRegisters) {
        std::uint8_t v = std::uint8_t(rng());
        if (r.address == reg::Configuration1 || r.address == reg::Configuration2)
            v &= 0x7F;
        if (r.address == reg::Revision)
            v = std::uint8_t((chip(address).peek(reg::Revision) & 0x7F) | (v & 0x80));
        chip(address).poke(r.address, v);
    }
}

std::map<std::uint8_t, std::uint8_t> configuration(std::uint8_t address)
{
    std::map<std::uint8_t, std::uint8_t> values;
    for (const device::SavedRegister& r : device::SavedRegisters)
        if (!r.tfm4411Only || address == Dual)
            values[r.address] = chip(address).peek(r.address);
    values[reg::ManufacturersTest] = chip(address).peek(reg::ManufacturersTest);
    return values;
}

class UndoTest : public ::testing::TestWithParam<std::uint8_t> {
public:
    void SetUp() override
    {
        chip(Dual).powerOn();
        chip(Single).powerOn();
        device::writeLog().clear();
        testsupport::connectTo(address());
        RegisterLink.DeviceId = 0;  // the window reads it
        form = std::make_unique<MainForm>();
        form->Setup_Device_Display();
        form->show();
    }
    void TearDown() override { form.reset(); }

    std::uint8_t address() const { return GetParam(); }
    sim::Chip& c() { return chip(address()); }
    template <typename T> T* find(const QString& name) const
    {
        T* w = form->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name.toStdString();
        return w;
    }
    // A register file as a chip of `deviceId` holding `values` would save it.
    fs::path writeFile(int deviceId, const std::map<std::uint8_t, std::uint8_t>& values)
    {
        std::tm t{};
        t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 9;
        const auto lines = device::registerFileLines(deviceId, t, [&](std::uint8_t a) { return values.at(a); });
        const fs::path p = dir.path / ("regs" + std::to_string(++files) + ".txt");
        EXPECT_EQ(device::writeFileReplacing(p, device::registerFileText(lines)), "");
        return p;
    }
    void recall(const fs::path& file)
    {
        ui->fileAnswers << QString::fromStdString(file.string());
        form->saveRecallPanel()->cmdRecall_Click();
    }

    shell::ScopedScriptedUi ui;
    support::TestFolder dir{"fanscope-undo-"};
    int files = 0;
    std::unique_ptr<MainForm> form;
};

// ---- undo after each kind of write -----------------------------------------

struct WriteKind {
    const char* name;
    std::function<void(UndoTest&)> write;
    std::vector<std::uint8_t> changes;  // registers the write must change
};

const WriteKind kKinds[] = {
    {"PanelByteEntry",
     [](UndoTest& t) {
         auto* panel = t.form->registerPanel();
         t.form->selectTab(MainForm::TabReadWrite);
         panel->read_writedisplaytext_Click(19);  // Local Temp High Limit, 14h
         t.form->findChild<QLineEdit*>(QStringLiteral("Text6"))->setText(QStringLiteral("5A"));
         panel->Command4_Click();
     },
     {reg::LocalHighLimit}},
    {"PanelBit",
     [](UndoTest& t) {
         t.form->selectTab(MainForm::TabReadWrite);
         t.form->registerPanel()->read_writedisplaytext_Click(26);  // Fan Filter Control, 23h
         t.form->registerPanel()->bitClick(1);
     },
     {reg::FanFilterControl}},
    {"Dialog",
     [](UndoTest& t) {
         dialogs::showFiltered(t.form.get());
         auto* dialog = t.form->findChild<dialogs::frmFiltered*>();
         ASSERT_NE(dialog, nullptr);
         dialog->findChild<QPushButton*>(QStringLiteral("cmdFan1Filter"))->click();
         dialogs::unloadFiltered();
     },
     {reg::FanFilterControl}},
    {"EasySetup",
     [](UndoTest& t) {
         // As if the user had looked at them on the Read/Write tab first.
         for (std::uint8_t r : {reg::Remote1HighLimit, reg::LocalHighLimit, reg::Fan1TachLimit})
             device::readRegister(r);
         t.form->Command1_Click();
     },
     {reg::Remote1HighLimit, reg::LocalHighLimit, reg::Fan1TachLimit, reg::FanSpeedConfiguration, reg::Configuration1}},
    {"GaugeDrag",
     [](UndoTest& t) {
         t.form->selectTab(MainForm::TabVisual);
         t.form->visualdisplaytext_Click(0);  // Local: the gauge edits 15h and 14h
         auto* gauge = t.form->limitsGauge();
         // Several steps of one drag are one undo.
         for (double high : {80.0, 85.0, 95.0}) {
             gauge->setPointerValue(widgets::LimitsGauge::kHighPointer, high);
             t.form->bargraph_move(widgets::LimitsGauge::kHighPointer);
         }
     },
     {reg::LocalHighLimit}},
    {"Recall",
     [](UndoTest& t) {
         auto values = configuration(t.address());
         values[reg::Remote1ThermLimit] = 0x50;
         values[reg::Fan1Characteristics] ^= 0x38;
         t.recall(t.writeFile(RegisterLink.DeviceId, values));
     },
     {reg::Remote1ThermLimit, reg::Fan1Characteristics}},
};

TEST_P(UndoTest, EveryKindOfWriteComesBackWithOneUndo)
{
    for (const WriteKind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        c().powerOn();
        scramble(address(), 5);
        device::writeLog().clear();
        // What the windows have read so far is what the log knows.
        form->Setup_Device_Display();
        for (int i = 0; i < 7; ++i)
            form->visualTimerTick();
        const auto before = configuration(address());
        kind.write(*this);
        const auto written = configuration(address());
        for (std::uint8_t r : kind.changes)
            EXPECT_NE(written.at(r), before.at(r)) << int(r);
        ASSERT_TRUE(device::writeLog().canUndo());

        ASSERT_TRUE(mainwindow::undoLastWrite(form.get())) << find<QLabel>("cmdUndoWriteResult")->text().toStdString();
        const auto undone = configuration(address());
        for (std::uint8_t r : kind.changes)
            EXPECT_EQ(undone.at(r) & device::keptBits(r), before.at(r) & device::keptBits(r)) << int(r);
        EXPECT_TRUE(find<QLabel>("cmdUndoWriteControlResult")->text().startsWith("Undone: "));
    }
}

TEST_P(UndoTest, ShortcutsAndButtonsReachTheSameHistory)
{
    auto* button = find<QPushButton>("cmdUndoWrite");
    auto* control = find<QPushButton>("cmdUndoWriteControl");
    device::writeLog().clear();
    EXPECT_FALSE(button->isEnabled());
    c().poke(reg::LocalLowLimit, 3);
    device::readRegister(reg::LocalLowLimit);
    device::writeRegister(reg::LocalLowLimit, 9);
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(control->isEnabled());
    EXPECT_NE(control->toolTip().indexOf("Local Temp. Low Limit (15h)"), -1) << control->toolTip().toStdString();

    form->activateWindow();
    QApplication::setActiveWindow(form.get());
    QTest::keyClick(form.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(c().peek(reg::LocalLowLimit), 3);
    EXPECT_FALSE(button->isEnabled());
    QTest::keyClick(form.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(c().peek(reg::LocalLowLimit), 9);
    control->click();
    EXPECT_EQ(c().peek(reg::LocalLowLimit), 3);
    EXPECT_TRUE(ui->messages.empty());
}

// A status bit the chip set by itself, a limit changed by another program:
// the undo says why in a box and leaves the bus without a single write.
TEST_P(UndoTest, UndoAcrossAChangedRegisterIsRefused)
{
    c().poke(reg::Configuration1, 0x01);
    form->Get_Control_Status();
    device::writeLog().clear();
    device::readRegister(reg::Configuration1);
    {
        device::WriteAction action(device::WriteSource::FanControl, "Fan type");
        device::writeRegister(reg::Configuration1, 0x05);
    }
    c().poke(reg::Configuration1, 0x85);  // automatic control switched on meanwhile
    TracedBus bus;
    EXPECT_FALSE(mainwindow::undoLastWrite(form.get()));
    EXPECT_EQ(bus.writes(), 0);
    EXPECT_EQ(c().peek(reg::Configuration1), 0x85);
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].icon, shell::MsgIcon::Exclamation);
    EXPECT_NE(ui->messages[0].text.indexOf("Configuration 1 (00h) now holds 85h, not 05h"), -1)
        << ui->messages[0].text.toStdString();
}

// ---- recall preview ---------------------------------------------------------

// Files of either chip on either chip: the preview lists exactly the
// registers the recall would change, and Cancel writes nothing.
TEST_P(UndoTest, RecallPreviewListsExactlyTheDifferingRegisters)
{
    for (int fileChip : {device::DeviceIdTFM4410, device::DeviceIdTFM4411}) {
        SCOPED_TRACE(fileChip);
        scramble(address(), 11);
        std::map<std::uint8_t, std::uint8_t> fileValues;
        for (const device::SavedRegister& r : device::SavedRegisters)
            fileValues[r.address] = chip(address()).peek(r.address);
        // Change every third register the file holds.
        int n = 0;
        std::vector<std::uint8_t> expected;
        for (const device::SavedRegister& r : device::SavedRegisters) {
            if (r.tfm4411Only && fileChip == device::DeviceIdTFM4410)
                continue;
            if (n++ % 3 != 0 || r.address == reg::Revision)
                continue;
            fileValues[r.address] = std::uint8_t(fileValues[r.address] ^ 0x21);
            if (!r.tfm4411Only || address() == Dual)
                expected.push_back(r.address);
        }
        const fs::path file = writeFile(fileChip, fileValues);
        const auto before = configuration(address());

        ui->changeRequests.clear();
        ui->changeAnswers = {false};
        {
            TracedBus bus;
            recall(file);
            EXPECT_EQ(bus.writes(), 0);
        }
        EXPECT_EQ(configuration(address()), before);
        ASSERT_EQ(ui->changeRequests.size(), 1u);
        const shell::ChangesRequest& preview = ui->changeRequests[0];
        ASSERT_EQ(preview.rows.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const QStringList& row = preview.rows[i];
            EXPECT_EQ(row[1], QString::fromStdString(device::addressText(expected[i])));
            EXPECT_EQ(row[2], QString::fromStdString(device::addressText(before.at(expected[i]))));
            EXPECT_EQ(row[3], QString::fromStdString(device::addressText(fileValues.at(expected[i]))));
        }
        EXPECT_TRUE(ui->messages.empty());

        recall(file);  // answered Write
        for (std::uint8_t r : expected)
            EXPECT_EQ(c().peek(r), fileValues.at(r)) << int(r);
        ASSERT_TRUE(mainwindow::undoLastWrite(form.get()));
        EXPECT_EQ(configuration(address()), before);
    }
}

TEST_P(UndoTest, PreviewShowsNamesAndDecodedFields)
{
    scramble(address(), 3);
    c().poke(reg::Fan1Characteristics, 0x5D);
    auto values = configuration(address());
    values[reg::Fan1Characteristics] = 0xC7;
    recall(writeFile(RegisterLink.DeviceId, values));
    ASSERT_EQ(ui->changeRequests.size(), 1u);
    ASSERT_EQ(ui->changeRequests[0].rows.size(), 1u);
    EXPECT_EQ(ui->changeRequests[0].rows[0],
              (QStringList{"Fan1 Characteristics", "20h", "5Dh", "C7h", "SpinUp=5, PWM=3, Divisor(N)=1",
                           "SpinUp=7, PWM=0, Divisor(N)=3"}));
    EXPECT_EQ(ui->changeRequests[0].acceptText, "Write");
}

TEST_P(UndoTest, RecallOfWhatTheChipHoldsSaysSoAndWritesNothing)
{
    scramble(address(), 9);
    const fs::path file = writeFile(RegisterLink.DeviceId, configuration(address()));
    TracedBus bus;
    recall(file);
    EXPECT_EQ(bus.writes(), 0);
    EXPECT_TRUE(ui->changeRequests.empty());
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].text, "The chip already holds every value in this file. Nothing was written.");
    EXPECT_EQ(ui->messages[0].icon, shell::MsgIcon::Information);
}

// A drag of a gauge pointer that pauses longer than a moment, the Visual
// Display polling meanwhile, is still one undo step from press to release:
// the undo goes back to the value before the press, not to one in between.
TEST_P(UndoTest, AGaugeDragThatPausesIsOneUndoStep)
{
    using widgets::LimitsGauge;
    chip(address()).poke(reg::LocalHighLimit, 70);
    chip(address()).poke(reg::LocalLowLimit, 0);
    form->selectTab(MainForm::TabVisual);
    form->visualdisplaytext_Click(0);  // Local: the gauge edits 15h and 14h; the cycle runs
    LimitsGauge* gauge = form->limitsGauge();
    ASSERT_EQ(gauge->pointerValue(LimitsGauge::kHighPointer), 70);
    const int y = gauge->pointerHandle(LimitsGauge::kHighPointer).y();
    const auto at = [&](double value) { return QPoint(int(std::lround(gauge->track().xOf(value))), y); };
    QTest::mousePress(gauge, Qt::LeftButton, {}, gauge->pointerHandle(LimitsGauge::kHighPointer));
    QTest::mouseMove(gauge, at(80));
    ASSERT_GE(chip(address()).peek(reg::LocalHighLimit), 78);
    // Held still, longer than keyboard steps may lie apart.
    QTest::qWait(int(device::WriteAction::ContinueWithin.count()) + 300);
    QTest::mouseMove(gauge, at(95));
    QTest::mouseRelease(gauge, Qt::LeftButton, {}, at(95));
    ASSERT_GE(chip(address()).peek(reg::LocalHighLimit), 93);
    ASSERT_TRUE(mainwindow::undoLastWrite(form.get()));
    EXPECT_EQ(chip(address()).peek(reg::LocalHighLimit), 70);
    EXPECT_FALSE(device::writeLog().canUndo());
}

// The real dialog, as a user meets it: the rows are in its table, and Enter
// alone answers Cancel, so nothing reaches the chip by accident.
TEST_P(UndoTest, RealPreviewDialogDefaultsToCancel)
{
    scramble(address(), 21);
    auto values = configuration(address());
    values[reg::LocalThermLimit] = 0x50;
    values[reg::FanFilterControl] ^= 0x01;
    const fs::path file = writeFile(RegisterLink.DeviceId, values);
    const auto before = configuration(address());

    QString shown;
    int rows = 0;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        auto* table = dialog->findChild<QTableWidget*>(QStringLiteral("tblChanges"));
        rows = table->rowCount();
        shown = dialog->windowTitle();
        // Every column, "New fields" last, whole where the screen has room.
        const int room = dialog->screen()->availableGeometry().width() - 40;
        if (dialog->width() < room) {
            EXPECT_LE(table->horizontalHeader()->length(), table->viewport()->width());
        }
        const QFontMetrics fm(table->font());
        for (int r = 0; r < table->rowCount(); ++r)
            for (int c = 0; c < table->columnCount(); ++c)
                EXPECT_GE(table->columnWidth(c), fm.horizontalAdvance(table->item(r, c)->text())) << r << ", " << c;
        if (const char* dir = std::getenv("FANSCOPE_SCREENSHOT_DIR"))
            dialog->grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/recall-preview.png"));
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    // The file chooser is real too: answer it from the scripted list instead.
    struct FileOnly : shell::UiServices {
        std::unique_ptr<shell::UiServices> qt;
        QString path;
        shell::MsgResult message(QWidget* p, const shell::MessageRequest& r) override { return qt->message(p, r); }
        QString chooseFile(QWidget*, const shell::FileRequest&) override { return path; }
        bool confirmChanges(QWidget* p, const shell::ChangesRequest& r) override { return qt->confirmChanges(p, r); }
    };
    auto scripted = shell::setUi(nullptr);  // the fixture's, put back below
    auto service = std::make_unique<FileOnly>();
    service->qt = shell::setUi(nullptr);  // the Qt dialogs
    service->path = QString::fromStdString(file.string());
    shell::setUi(std::move(service));
    form->saveRecallPanel()->cmdRecall_Click();
    shell::setUi(std::move(scripted));
    EXPECT_EQ(shown, "Recall Previous Setup");
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(configuration(address()), before);
}

INSTANTIATE_TEST_SUITE_P(Chips, UndoTest, ::testing::Values(Single, Dual),
                         [](const auto& info) { return info.param == Dual ? "TFM4411" : "TFM4410"; });

}  // namespace
