// The wizard and the main window over the kernel-adapter medium on the
// simulated PC's adapters. Each test runs in a process of its own (the
// startup tests' main), so the board is configured before the library loads.
#include "device/register_link.h"
#include "main_window/main_form.h"
#include "shell/label_colour.h"
#include "shell/ui_services.h"
#include "startup/entry.h"
#include "startup/init_form.h"
#include "widgets/limits_gauge.h"

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class I2cWizard : public ::testing::Test {
protected:
    void start(const sim::Config& config)
    {
        sim::board().configure(config);
        wizard = startup::Main();
        ASSERT_TRUE(wizard);
        child<QPushButton>("NextCMD")->click();
    }
    // Finishes the wizard and runs the Visual Display cycle on the local
    // temperature, its limits on the gauge; no boxes from before count.
    mainwindow::MainForm* finishOnVisualDisplay()
    {
        child<QPushButton>("FinishCMD")->click();
        auto* main = mainwindow::mainForm();
        if (main == nullptr)
            return nullptr;
        for (auto* tabs : main->findChildren<QTabWidget*>())
            for (int i = 0; i < tabs->count(); ++i)
                if (tabs->tabText(i) == QStringLiteral("Visual Display"))
                    tabs->setCurrentIndex(i);
        main->visualdisplaytext_Click(0);  // starts the cycle
        QTest::qWait(600);
        ui->messages.clear();
        return main;
    }
    template <class T = QWidget> T* child(const char* name)
    {
        auto* w = wizard->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QListWidget* list() { return child<QListWidget>("SearchResultsLIST"); }
    QCheckBox* i2c() { return child<QCheckBox>("I2CCheck"); }
    QString description() { return child<QLabel>("I2CSearchDescLBL")->text(); }
    void searchOnlyI2c()
    {
        child<QCheckBox>("PPCheck")->setChecked(false);
        child<QCheckBox>("SMBusCheck")->setChecked(false);
        ASSERT_TRUE(i2c()->isEnabled());
        i2c()->setChecked(true);
        child<QPushButton>("NextCMD")->click();
    }

    shell::ScopedScriptedUi ui;
    QPointer<startup::InitForm> wizard;
};

sim::Config withBridge()
{
    sim::Config c;
    sim::I2cAdapterConfig bridge;
    bridge.number = 4;
    bridge.name = "USB bridge";
    bridge.bus = "own";
    sim::ChipConfig single;
    single.variant = sim::ChipVariant::Tfm4410;
    single.address = 0x5A;
    sim::ChipConfig owned;
    owned.address = 0x58;
    bridge.chips = {single, owned};
    bridge.driverOwned = {0x2C};
    c.i2cAdapters.push_back(bridge);
    return c;
}

TEST_F(I2cWizard, DefaultBoardFromTheWizardToTheMainWindow)
{
    start(sim::Config{});
    EXPECT_EQ(i2c()->text(), QStringLiteral("Kernel I2C/SMBus Adapters"));
    EXPECT_FALSE(i2c()->isChecked());
    EXPECT_EQ(description(), QStringLiteral("Found 1 adapter: i2c-1 (SMBus I801 adapter at efa0)"));
    // The specified choices keep their texts and their designed states.
    EXPECT_TRUE(child<QCheckBox>("PPCheck")->isChecked());
    EXPECT_EQ(child<QLabel>("USBSearchDescLBL")->text(),
              QStringLiteral("Connect the evaluation board to the printer port"));

    searchOnlyI2c();
    EXPECT_TRUE(ui->messages.empty());
    EXPECT_EQ(child<QProgressBar>("SearchProgress")->maximum(), 33);
    ASSERT_EQ(list()->count(), 1);
    EXPECT_EQ(list()->item(0)->text(),
              QStringLiteral("An TFM4410 was found at:2Eh, on i2c-1 (SMBus I801 adapter at efa0)"));
    // The search only read identification registers: no quick write, no register written.
    EXPECT_EQ(sim::board().chip(0x5C)->peek(0x22), 0x55);

    child<QPushButton>("FinishCMD")->click();
    EXPECT_EQ(device::RegisterLink.Medium, device::MediumKernelAdapter);
    EXPECT_EQ(device::RegisterLink.PrinterMedium, 0);
    EXPECT_EQ(device::RegisterLink.DeviceAddress, 0x2E);
    EXPECT_EQ(device::RegisterLink.DeviceId, 0x31);
    EXPECT_EQ(device::ComPort()->KernelAdapter()->Bus(), 1);
    auto* main = mainwindow::mainForm();
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(main->isVisible());
    // The window's own timers read the chip over the adapter.
    sim::board().chip(0x5C)->poke(0x14, 0x4B);
    EXPECT_EQ(device::readRegister(0x14), 0x4B);
    device::writeRegister(0x15, 0x05);
    EXPECT_EQ(sim::board().chip(0x5C)->peek(0x15), 0x05);
    QTest::qWait(1500);
    EXPECT_TRUE(main->isVisible());
    if (const char* dir = std::getenv("FANSCOPE_SCREENSHOT_DIR"))
        main->grab().save(QDir(dir).filePath(QStringLiteral("i2c-main-window.png")));
}

TEST_F(I2cWizard, BridgeEntriesSkipDriverOwnedAddressesAndFinishOnTheBridge)
{
    start(withBridge());
    EXPECT_EQ(description(),
              QStringLiteral("Found 2 adapters: i2c-1 (SMBus I801 adapter at efa0), i2c-4 (USB bridge)"));
    searchOnlyI2c();
    ASSERT_EQ(list()->count(), 2);
    EXPECT_EQ(list()->item(0)->text(),
              QStringLiteral("An TFM4410 was found at:2Eh, on i2c-1 (SMBus I801 adapter at efa0)"));
    EXPECT_EQ(list()->item(1)->text(), QStringLiteral("An TFM4410 was found at:2Dh, on i2c-4 (USB bridge)"));
    list()->setCurrentRow(1);
    child<QPushButton>("FinishCMD")->click();
    EXPECT_EQ(device::ComPort()->KernelAdapter()->Bus(), 4);
    EXPECT_EQ(device::RegisterLink.DeviceAddress, 0x2D);
    EXPECT_EQ(device::RegisterLink.DeviceId, 0x30);
}

TEST_F(I2cWizard, UnpluggedAdapterWhileMonitoringKeepsTheWindowRunning)
{
    start(sim::Config{});
    searchOnlyI2c();
    auto* main = finishOnVisualDisplay();
    ASSERT_NE(main, nullptr);
    sim::board().i2cAdapter(1)->unplug();
    QTest::qWait(1500);
    EXPECT_TRUE(main->isVisible());
    // No box per tick: the lamps and the gauge reading say what happened.
    EXPECT_TRUE(ui->messages.empty()) << ui->messages.size()
                                      << " boxes, first: " << ui->messages.front().text.toStdString();
    auto* reading = main->findChild<QLabel*>(QStringLiteral("lblGaugeReading"));
    ASSERT_NE(reading, nullptr);
    EXPECT_TRUE(reading->text().endsWith(QStringLiteral(" (no answer)"))) << reading->text().toStdString();
    EXPECT_EQ(reading->toolTip(), QStringLiteral("i2c-1 has gone away: was the adapter unplugged?"));
    try {
        device::readRegister(0x3D);
        ADD_FAILURE() << "a read over the unplugged adapter succeeded";
    } catch (const vexlink06::ComError& e) {
        EXPECT_EQ(e.description(), "i2c-1 has gone away: was the adapter unplugged?");
    }
}

struct Unusable {
    const char* name;
    const char* json;
    const char* text;
};

class I2cWizardUnusable : public I2cWizard, public ::testing::WithParamInterface<Unusable> { };

TEST_P(I2cWizardUnusable, ChoiceIsDisabledAndSaysWhy)
{
    start(sim::parseConfig(GetParam().json));
    EXPECT_FALSE(i2c()->isEnabled());
    EXPECT_FALSE(i2c()->isChecked());
    EXPECT_EQ(description(), QString::fromLatin1(GetParam().text));
    EXPECT_EQ(child<QLabel>("I2CSearchDescLBL")->palette().color(QPalette::WindowText), QColor(0xC0, 0, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Wizard, I2cWizardUnusable,
    ::testing::Values(Unusable{"moduleNotLoaded", R"({"i2cDev": false})",
                               "No kernel I2C device files: load the i2c-dev module (sudo modprobe i2c-dev)."},
                      Unusable{"permission", R"({"i2cAdapters": [{"accessDenied": true}]})",
                               "No permission on /dev/i2c-1: join the group i2c and log in again."},
                      Unusable{"none", R"({"i2cAdapters": []})", "The kernel offers no I2C adapters."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(I2cWizard, AnAdapterThatVanishesDuringTheSearchIsReportedOnce)
{
    start(sim::parseConfig(R"({"i2cAdapters": [{"vanishAfter": 1}]})"));
    searchOnlyI2c();
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages.front().title, QStringLiteral("InitFrm, Search I2C Adapters"));
    EXPECT_EQ(ui->messages.front().text, QStringLiteral("Error:68, i2c-1 has gone away: was the adapter unplugged?"));
    EXPECT_EQ(list()->count(), 0);
}

}  // namespace

// A USB bridge unplugged and plugged in again under another number: the
// window says it is lost (the badge, the lamps, the reading) without a box,
// finds it again by its name, and re-reads what it shows from the chip there.
TEST_F(I2cWizard, ABridgeRepluggedUnderAnotherNumberIsFoundAgainByItsName)
{
    start(withBridge());
    searchOnlyI2c();
    ASSERT_EQ(list()->count(), 2);
    list()->setCurrentRow(1);
    auto* main = finishOnVisualDisplay();
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(device::ComPort()->KernelAdapter()->Bus(), 4);
    auto* badge = main->findChild<QLabel*>(QStringLiteral("SimulatedBoardBadge"));
    ASSERT_NE(badge, nullptr);
    const QString boardText = badge->text();
    auto* reading = main->findChild<QLabel*>(QStringLiteral("lblGaugeReading"));
    ASSERT_NE(reading, nullptr);
    sim::I2cAdapter* bridge = sim::board().i2cAdapter(4);
    ASSERT_NE(bridge, nullptr);
    sim::Chip* chip = sim::board().findChip(bridge->bus(), 0x5A);
    ASSERT_NE(chip, nullptr);

    bridge->unplug();
    QTest::qWait(1200);
    EXPECT_TRUE(ui->messages.empty()) << ui->messages.size()
                                      << " boxes, first: " << ui->messages.front().text.toStdString();
    const QString gone = QStringLiteral("i2c-4 has gone away: was the adapter unplugged?");
    EXPECT_EQ(badge->text(), QStringLiteral("I2C adapter lost"));
    EXPECT_FALSE(badge->isHidden());
    EXPECT_TRUE(badge->toolTip().startsWith(gone)) << badge->toolTip().toStdString();
    EXPECT_TRUE(reading->text().endsWith(QStringLiteral(" (no answer)"))) << reading->text().toStdString();
    EXPECT_EQ(reading->toolTip(), gone);
    if (const char* dir = std::getenv("FANSCOPE_SCREENSHOT_DIR"))
        main->grab().save(QDir(dir).filePath(QStringLiteral("i2c-adapter-lost.png")));
    // Still away after several ticks: the lost adapter is not taken for back.
    QTest::qWait(600);
    EXPECT_EQ(badge->text(), QStringLiteral("I2C adapter lost"));

    // Back as i2c-7, with a high limit the window has not seen.
    chip->poke(0x14, 0x3C);
    bridge->replug(7);
    QTest::qWait(1500);
    EXPECT_EQ(device::ComPort()->KernelAdapter()->Bus(), 7);
    EXPECT_EQ(badge->text(), boardText);
    EXPECT_FALSE(reading->text().endsWith(QStringLiteral(" (no answer)"))) << reading->text().toStdString();
    EXPECT_TRUE(reading->toolTip().isEmpty()) << reading->toolTip().toStdString();
    EXPECT_EQ(main->limitsGauge()->pointerValue(widgets::LimitsGauge::kHighPointer), 60.0)
        << "the window did not re-read the chip on the adapter that came back";
    EXPECT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();
}
