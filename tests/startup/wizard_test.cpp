#include "device/register_link.h"
#include "main_window/main_form.h"
#include "shell/ui_services.h"
#include "shell/label_colour.h"
#include "startup/entry.h"
#include "startup/frm_splash.h"
#include "startup/init_form.h"
#include "support/close_inside_wait.h"

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <gtest/gtest.h>

namespace {

using startup::InitForm;

sim::PortConfig portWith(std::uint32_t base, std::vector<std::uint8_t> addresses, bool inverting = true)
{
    sim::PortConfig port;
    port.base = base;
    port.inverting = inverting;
    port.chips.clear();
    for (std::uint8_t a : addresses) {
        sim::ChipConfig chip;
        chip.address = a;
        port.chips.push_back(chip);
    }
    return port;
}

// Every test runs in a process of its own (see main.cpp), so the board is
// configured before anything loads the library.
class Wizard : public ::testing::Test {
protected:
    void start(const sim::Config& config = sim::Config{})
    {
        sim::board().configure(config);
        wizard = startup::Main();
    }

    template <class T = QWidget> T* child(const char* name)
    {
        auto* w = wizard->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(const char* name)
    {
        auto* b = child<QPushButton>(name);
        ASSERT_TRUE(b->isEnabled()) << name;
        b->click();
    }
    QString text(const char* name) { return child<QLabel>(name)->text(); }
    QListWidget* list() { return child<QListWidget>("SearchResultsLIST"); }
    QWidget* shownPanel() { return child<QStackedWidget>("panels")->currentWidget(); }
    void search()
    {
        click("NextCMD");
        click("NextCMD");
    }
    static std::shared_ptr<vexlink06::SMBusProtocall> protocall()
    {
        return device::ComPort()->PrinterPort()->SMBusProtocall();
    }

    shell::ScopedScriptedUi ui;
    QPointer<InitForm> wizard;
};

TEST_F(Wizard, DefaultBoardWalkThrough)
{
    start();
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isVisible());
    EXPECT_EQ(wizard->windowTitle(), QStringLiteral("TFM4410 Search Wizard"));
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_NE(w->objectName(), QStringLiteral("frmSplash")) << "the splash outlived the wizard";
    EXPECT_EQ(protocall()->BitsToStayHigh(), 240);
    EXPECT_EQ(shownPanel()->objectName(), QStringLiteral("WelcomePanel"));
    EXPECT_FALSE(child<QPushButton>("BackCMD")->isEnabled());
    EXPECT_FALSE(child<QPushButton>("FinishCMD")->isEnabled());

    click("NextCMD");
    EXPECT_EQ(shownPanel()->objectName(), QStringLiteral("SeclectComsMediumPanel"));
    EXPECT_TRUE(child<QPushButton>("BackCMD")->isEnabled());
    click("NextCMD");

    EXPECT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();
    EXPECT_EQ(wizard->currentStep(), 4);
    EXPECT_EQ(shownPanel()->objectName(), QStringLiteral("SearchResultsPanel"));
    ASSERT_EQ(list()->count(), 1);
    EXPECT_EQ(list()->item(0)->text(), QStringLiteral("Found an TFM4410 at:2Eh, on printer port:378h") +
                                           QString(50, u' ') + QStringLiteral("Printer 1"));
    EXPECT_EQ(list()->currentRow(), 0);
    EXPECT_EQ(text("SearchInsLBL"), QStringLiteral("Click 'Finish' to Continue"));
    EXPECT_FALSE(child<QPushButton>("NextCMD")->isEnabled());
    ASSERT_NE(wizard->loadedMainForm(), nullptr);
    EXPECT_FALSE(wizard->loadedMainForm()->isVisible());

    click("FinishCMD");
    EXPECT_EQ(device::RegisterLink.Medium, device::MediumPrinterPort);
    EXPECT_EQ(device::RegisterLink.PrinterMedium, 1);
    EXPECT_EQ(device::RegisterLink.DeviceAddress, 0x5C);
    EXPECT_EQ(device::ComPort()->PortType(), 1);
    EXPECT_EQ(protocall()->DeviceAddress(), 0x5C);
    EXPECT_EQ(device::ComPort()->PrinterPort()->PortAddressIndex(), 0);
    ASSERT_NE(mainwindow::mainForm(), nullptr);
    EXPECT_TRUE(mainwindow::mainForm()->isVisible());
    EXPECT_FALSE(wizard && wizard->isVisible());
    // The library now reaches the chip through what Finish configured.
    device::RegisterLink.RegisterPointer = 0x3D;
    device::ReadRegister();
    EXPECT_EQ(device::RegisterLink.ReadResult, 0x31);
}

// The search's transfers wait in the event loop; closed there, the wizard
// stays until the handler is done, and then closes.
TEST_F(Wizard, ClosedInsideATransferWaitTheWizardOutlivesTheHandler)
{
    start();
    ASSERT_TRUE(wizard);
    const testsupport::CloseInsideWait r = testsupport::closeInsideLibraryWait(wizard);
    EXPECT_TRUE(r.aliveAfterWait);
    EXPECT_TRUE(r.closedAfter);
}

TEST_F(Wizard, TwoChipsOnOnePortAreNumberedInAddressOrder)
{
    sim::Config config;
    config.ports = {portWith(0x378, {0x5C, 0x58})};
    start(config);
    search();
    ASSERT_EQ(list()->count(), 2);
    EXPECT_TRUE(list()->item(0)->text().startsWith(QStringLiteral("Found an TFM4410 at:2Ch, on printer port:378h")));
    EXPECT_TRUE(list()->item(0)->text().endsWith(QStringLiteral("Printer 1")));
    EXPECT_TRUE(list()->item(1)->text().startsWith(QStringLiteral("Found an TFM4410 at:2Eh, on printer port:378h")));
    EXPECT_TRUE(list()->item(1)->text().endsWith(QStringLiteral("Printer 2")));
}

// The standard (inverting) adapter answers only with the True line codes of
// pass 2; a non-inverting one only with the False codes of pass 1.
struct AdapterCase {
    bool inverting;
    vexlink06::VBool found;
};

class Adapter : public Wizard, public ::testing::WithParamInterface<AdapterCase> { };

TEST_P(Adapter, FoundInItsPassAndFinishRestoresTheSetting)
{
    sim::Config config;
    config.ports = {portWith(0x378, {0x5C}, GetParam().inverting)};
    start(config);
    search();
    ASSERT_EQ(wizard->printerResults().size(), 1u);
    EXPECT_EQ(wizard->printerResults()[0].dataInverted, GetParam().found);
    // Leave the other setting behind so Finish must restore it.
    protocall()->setDataInverted(GetParam().found == vexlink06::True ? vexlink06::False : vexlink06::True);
    click("FinishCMD");
    EXPECT_EQ(protocall()->DataInverted(), GetParam().found);
    device::RegisterLink.RegisterPointer = 0x3D;
    device::ReadRegister();
    EXPECT_EQ(device::RegisterLink.ReadResult, 0x31);
}

INSTANTIATE_TEST_SUITE_P(Passes, Adapter,
                         ::testing::Values(AdapterCase{true, vexlink06::True}, AdapterCase{false, vexlink06::False}));

TEST_F(Wizard, TwelveDevicesAndFinishOnTheTwelfth)
{
    sim::Config config;
    config.ports = {portWith(0x378, {0x58, 0x5C, 0x5A}), portWith(0x278, {0x58, 0x5C, 0x5A}),
                    portWith(0x3BC, {0x58, 0x5C, 0x5A}), portWith(0x2BC, {0x58, 0x5C, 0x5A})};
    start(config);
    search();
    ASSERT_EQ(list()->count(), 12);
    EXPECT_TRUE(list()->item(9)->text().endsWith(QStringLiteral("Printer 10")));
    EXPECT_TRUE(list()->item(11)->text().startsWith(QStringLiteral("Found an TFM4410 at:2Dh, on printer port:2BCh")));
    list()->setCurrentRow(11);
    click("FinishCMD");
    EXPECT_EQ(device::RegisterLink.DeviceAddress, 0x5A);
    EXPECT_EQ(device::ComPort()->PrinterPort()->PortAddressIndex(), 3);
    EXPECT_EQ(protocall()->DeviceAddress(), 0x5A);
    EXPECT_EQ(wizard ? wizard->printerPortBase() : 0x2BC, 0x2BC);
}

TEST_F(Wizard, FinishWithNothingSelectedStaysOnTheLastStep)
{
    start();
    search();
    list()->clearSelection();
    list()->setCurrentRow(-1);
    click("FinishCMD");
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isVisible());
    EXPECT_FALSE(wizard->finished());
    EXPECT_EQ(wizard->currentStep(), 4);
    EXPECT_EQ(device::RegisterLink.DeviceAddress, 0);
}

TEST_F(Wizard, NoMediumChosen)
{
    start();
    click("NextCMD");
    child<QCheckBox>("PPCheck")->setChecked(false);
    child<QCheckBox>("SMBusCheck")->setChecked(false);
    click("NextCMD");
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].text, QStringLiteral("Please select a search medium"));
    EXPECT_EQ(ui->messages[0].title, QStringLiteral("A problem was detected"));
    EXPECT_EQ(wizard->currentStep(), 2);
    EXPECT_EQ(wizard->loadedMainForm(), nullptr);
}

TEST_F(Wizard, BackFromResultsEmptiesTheListAndNumberingRestarts)
{
    start();
    child<QCheckBox>("SMBusCheck")->setChecked(false);
    search();
    ASSERT_EQ(list()->count(), 1);
    EXPECT_EQ(child<QProgressBar>("SearchProgress")->maximum(), 33);
    click("BackCMD");
    EXPECT_EQ(wizard->currentStep(), 2);
    EXPECT_EQ(list()->count(), 0);
    EXPECT_TRUE(wizard->printerResults().empty());
    EXPECT_TRUE(child<QPushButton>("NextCMD")->isEnabled());
    EXPECT_FALSE(child<QPushButton>("FinishCMD")->isEnabled());
    mainwindow::MainForm* first = wizard->loadedMainForm();
    click("NextCMD");
    ASSERT_EQ(list()->count(), 1);
    EXPECT_TRUE(list()->item(0)->text().endsWith(QStringLiteral("Printer 1")));
    EXPECT_EQ(wizard->loadedMainForm(), first);
}

TEST_F(Wizard, NoChipFoundDisablesFinish)
{
    sim::Config config;
    config.ports = {portWith(0x378, {})};
    start(config);
    search();
    EXPECT_EQ(list()->count(), 0);
    EXPECT_FALSE(child<QPushButton>("FinishCMD")->isEnabled());
    EXPECT_EQ(text("SearchResultsLBL"),
              QStringLiteral("Sorry, no TFM4410s were found. Please check all connections and try again"));
    EXPECT_EQ(text("SearchInsLBL"), QStringLiteral("Click Back to continue..."));
    EXPECT_TRUE(child<QPushButton>("BackCMD")->hasFocus() || !QApplication::focusWindow());
}

TEST_F(Wizard, NoParallelPortAndNoChipsetStillSearchesCleanly)
{
    sim::Config config;
    config.ports.clear();
    config.motherboard.southBridge = sim::SouthBridgePreset::None;
    start(config);
    ASSERT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();
    EXPECT_EQ(shownPanel()->objectName(), QStringLiteral("WelcomePanel"));
    search();
    EXPECT_EQ(wizard->currentStep(), 4);
    EXPECT_EQ(list()->count(), 0);
    EXPECT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();
}

TEST_F(Wizard, CancelEndsTheProgram)
{
    start();
    search();
    QPointer<mainwindow::MainForm> main = wizard->loadedMainForm();
    ASSERT_TRUE(main);
    click("CancelCMD");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(main.isNull());
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();
    // The main window's unload switched both heaters off.
    EXPECT_EQ(protocall()->BitsToStayHigh() & 0x30, 0);
}

struct ChipsetCase {
    sim::SouthBridgePreset preset;
    const char* textStart;  // nullptr: the designed text stays
    std::uint32_t colour;
    bool enabled;
    bool checked;
};

class ChipsetReport : public Wizard, public ::testing::WithParamInterface<ChipsetCase> { };

TEST_P(ChipsetReport, OnTheMediumPanel)
{
    const ChipsetCase& c = GetParam();
    sim::Config config;
    config.motherboard.southBridge = c.preset;
    start(config);
    auto* label = child<QLabel>("SMBusSearchDescLBL");
    auto* check = child<QCheckBox>("SMBusCheck");
    if (c.textStart) {
        EXPECT_TRUE(label->text().startsWith(QString::fromLatin1(c.textStart))) << label->text().toStdString();
        EXPECT_FALSE(label->text().contains(QStringLiteral("     ")));
        EXPECT_EQ(shell::textColour(label), c.colour);
    } else {
        EXPECT_EQ(label->text(), QStringLiteral("Connect the evaluation board to the printer port"));
    }
    EXPECT_EQ(check->isEnabled(), c.enabled);
    EXPECT_EQ(check->isChecked(), c.checked);
}

INSTANTIATE_TEST_SUITE_P(
    Presets, ChipsetReport,
    ::testing::Values(
        ChipsetCase{sim::SouthBridgePreset::Ich2443, "Found an ICH 2, Bus:0,Dev:", shell::kGreen, true, true},
        ChipsetCase{sim::SouthBridgePreset::Ich24D3, "Found an ICH 5, Bus:0,Dev:", shell::kGreen, true, true},
        ChipsetCase{sim::SouthBridgePreset::Ich2418, "The Intel chipset is not recognised", shell::kDarkRed, true,
                    true},
        ChipsetCase{sim::SouthBridgePreset::IntelHostBridge, "The Intel chipset is not recognised", shell::kDarkRed,
                    true, true},
        ChipsetCase{sim::SouthBridgePreset::Ali7101, "Found an ALi M1535+, Bus:0, Dev:", shell::kGreen, true, true},
        ChipsetCase{sim::SouthBridgePreset::None, "The available southbridge or ICH is currently unsupported.",
                    shell::kDarkRed, false, false},
        ChipsetCase{sim::SouthBridgePreset::Piix4, nullptr, 0, true, false}));

TEST_F(Wizard, ChipOnTheMotherboardSMBus)
{
    sim::Config config;
    config.ports.clear();
    config.motherboard.southBridge = sim::SouthBridgePreset::Ich24D3;
    sim::ChipConfig chip;
    chip.address = 0x5C;
    config.motherboard.chips = {chip};
    start(config);
    search();
    ASSERT_EQ(list()->count(), 1);
    EXPECT_EQ(list()->item(0)->text(), QStringLiteral("An TFM4410 was found at:2Eh, on the SMBus") + QString(98, u' ') +
                                           QStringLiteral("SMBus2E"));
    click("FinishCMD");
    EXPECT_EQ(device::RegisterLink.Medium, device::MediumChipsetSMBus);
    EXPECT_EQ(device::RegisterLink.PrinterMedium, 0);
    EXPECT_EQ(device::RegisterLink.DeviceAddress, 0x2E);
    EXPECT_EQ(device::ComPort()->PortType(), 0);
}

TEST(ChipsetText, FiveBlankRunsAreRemovedOnlyFromIchReports)
{
    const auto ich = startup::chipsetReport("ICH 2     , Bus:0,Dev:0,Fn:F3,Reg:0");
    ASSERT_TRUE(ich);
    EXPECT_EQ(ich->text, QStringLiteral("Found an ICH 2, Bus:0,Dev:0,Fn:F3,Reg:0"));
    const auto ali = startup::chipsetReport("ALi M1535+, Bus:0, Dev:11,Fn:0,Reg:0");
    ASSERT_TRUE(ali);
    EXPECT_EQ(ali->text, QStringLiteral("Found an ALi M1535+, Bus:0, Dev:11,Fn:0,Reg:0"));
    EXPECT_FALSE(startup::chipsetReport("PIIX4 Type, Bus:0,Dev:7,Fn:3,Reg:0"));
    EXPECT_FALSE(startup::chipsetReport(""));
}

}  // namespace

namespace {

// Writes the pictures the user guide shows; runs only when asked to.
TEST_F(Wizard, ScreenshotsForTheGuide)
{
    const QString dir = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set FANSCOPE_SCREENSHOT_DIR to write the screenshots";
    {
        startup::frmSplash splash;
        splash.setLoadingText(QStringLiteral("Loading Communications Module."));
        splash.show();
        EXPECT_TRUE(splash.grab().save(dir + QStringLiteral("/splash.png")));
    }
    start();
    EXPECT_TRUE(wizard->grab().save(dir + QStringLiteral("/wizard-1.png")));
    click("NextCMD");
    EXPECT_TRUE(wizard->grab().save(dir + QStringLiteral("/wizard-2.png")));
    child<QProgressBar>("SearchProgress")->setMaximum(66);
    child<QProgressBar>("SearchProgress")->setValue(24);
    child<QStackedWidget>("panels")->setCurrentWidget(child("SearchingPanel"));
    EXPECT_TRUE(wizard->grab().save(dir + QStringLiteral("/wizard-3.png")));
    child<QStackedWidget>("panels")->setCurrentWidget(child("SeclectComsMediumPanel"));
    click("NextCMD");
    EXPECT_TRUE(wizard->grab().save(dir + QStringLiteral("/wizard-4.png")));
}

}  // namespace
