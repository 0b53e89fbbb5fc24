// The Visual Display while the chip stops answering: its cycle goes on as
// before, and what it read from nobody is marked on the lamps and the gauge
// reading, in text as well as colour, until the chip answers again.
#include <gtest/gtest.h>

#include <QLabel>

#include <sim/sim.h>

#include "device/register_link.h"
#include "device/register_map.h"
#include "main_window/main_form.h"
#include "shell/ui_services.h"
#include "widgets/indicators.h"
#include "widgets/strip_chart.h"
#include "support/two_chip_board.h"

namespace {

using mainwindow::MainForm;

const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);
constexpr std::uint8_t Dual = testsupport::kTfm4411At;
const QString kLampTip = QStringLiteral("Interrupt Status: Green=OK, Red=Bad, Invisible=Disabled");

class ChipGone : public ::testing::Test {
protected:
    void SetUp() override
    {
        chip().powerOn();
        chip().poke(0x01, 0x30);  // local and remote 1 lamps shown
        testsupport::connectTo(Dual);
        device::RegisterLink.DeviceId = 0;
        form = std::make_unique<MainForm>();
        form->Setup_Device_Display();
        form->selectTab(MainForm::TabVisual);
    }
    void TearDown() override
    {
        form.reset();
        chip().setPresent(true);
    }
    static sim::Chip& chip() { return testsupport::chipAt(Dual); }
    void runCycle()
    {
        for (int i = 0; i < 7; ++i)
            form->visualTimerTick();
    }
    widgets::ToggleIndicator* lamp(int i)
    {
        return form->findChild<widgets::ToggleIndicator*>(QStringLiteral("SSPanel11(%1)").arg(i));
    }
    QLabel* reading() { return form->findChild<QLabel*>(QStringLiteral("lblGaugeReading")); }
    int points() { return form->findChild<widgets::StripChart*>(QStringLiteral("Strip2"))->pointCount(0); }

    shell::ScopedScriptedUi ui;
    std::unique_ptr<MainForm> form;
};

TEST_F(ChipGone, ReadingsFromNobodyAreMarkedUntilTheChipAnswers)
{
    runCycle();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(lamp(i)->noAnswer());
        EXPECT_EQ(lamp(i)->toolTip(), kLampTip);
    }
    EXPECT_FALSE(reading()->text().contains(QStringLiteral("no answer")));
    const int before = points();

    chip().setPresent(false);
    runCycle();
    // The cycle is the same: one local point per cycle, gone or not.
    EXPECT_EQ(points(), before + 1);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(lamp(i)->noAnswer()) << i;
        EXPECT_EQ(lamp(i)->stateText(), QStringLiteral("Lost"));
        EXPECT_TRUE(lamp(i)->toolTip().contains(QStringLiteral("the chip at 0x2E no longer answers")))
            << lamp(i)->toolTip().toStdString();
    }
    EXPECT_TRUE(reading()->text().endsWith(QStringLiteral(" (no answer)"))) << reading()->text().toStdString();
    EXPECT_EQ(reading()->toolTip(), QStringLiteral("the chip at 0x2E no longer answers"));
    runCycle();
    EXPECT_EQ(reading()->text().count(QStringLiteral("no answer")), 1);

    chip().setPresent(true);
    runCycle();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(lamp(i)->noAnswer());
        EXPECT_EQ(lamp(i)->toolTip(), kLampTip);
        EXPECT_NE(lamp(i)->stateText(), QStringLiteral("Lost"));
    }
    EXPECT_FALSE(reading()->text().contains(QStringLiteral("no answer")));
    EXPECT_TRUE(reading()->toolTip().isEmpty());
}

TEST_F(ChipGone, MarksHoldAfterEasySetup)
{
    form->resize(1000, 700);
    form->Command1_Click();
    runCycle();
    chip().setPresent(false);
    runCycle();
    const QString path = QStringLiteral("/tmp/fanscope-chip-gone.png");
    if (qEnvironmentVariableIsSet("FANSCOPE_SCREENSHOTS"))
        form->grab().save(path);
    EXPECT_TRUE(lamp(0)->noAnswer());
}

}  // namespace
