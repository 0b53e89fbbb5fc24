// The search wizard names why a printer port could not answer, below the
// results texts, and says nothing for a port that is merely empty.
#include "startup/entry.h"
#include "startup/init_form.h"
#include "shell/ui_services.h"

#include <sim/sim.h>

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {

// Each test runs in a process of its own (main.cpp): the library scans the
// ports once.
class WizardPorts : public ::testing::Test {
protected:
    void search(const sim::Config& config)
    {
        sim::board().configure(config);
        wizard = startup::Main();
        ASSERT_TRUE(wizard);
        for (int i = 0; i < 2; ++i)
            wizard->findChild<QPushButton*>(QStringLiteral("NextCMD"))->click();
    }
    QLabel* label(const char* name) { return wizard->findChild<QLabel*>(QString::fromLatin1(name)); }
    int found() { return wizard->findChild<QListWidget*>(QStringLiteral("SearchResultsLIST"))->count(); }

    shell::ScopedScriptedUi ui;
    QPointer<startup::InitForm> wizard;
};

sim::Config boardWith(void (*change)(sim::PortConfig&))
{
    sim::Config config;
    change(config.ports.front());
    return config;
}

const QString kNoneFound = QStringLiteral("Sorry, no TFM4410s were found. Please check all connections and try again");

TEST_F(WizardPorts, HeldPortIsNamedBelowTheSpecifiedText)
{
    search(boardWith([](sim::PortConfig& p) { p.heldByOtherProcess = true; }));
    EXPECT_EQ(found(), 0);
    EXPECT_EQ(label("SearchResultsLBL")->text(), kNoneFound);
    QLabel* why = label("SearchProblemLBL");
    ASSERT_NE(why, nullptr);
    EXPECT_FALSE(why->isHidden());
    EXPECT_EQ(why->text(), QStringLiteral("printer port 378h is in use by another program"));
    // Below the specified text on the panel.
    EXPECT_GT(why->geometry().top(), label("SearchResultsLBL")->geometry().top());
    if (qEnvironmentVariableIsSet("FANSCOPE_SCREENSHOTS"))
        wizard->grab().save(QStringLiteral("/tmp/fanscope-wizard-held.png"));
}

TEST_F(WizardPorts, StuckClockIsNamed)
{
    search(boardWith([](sim::PortConfig& p) {
        sim::FaultConfig f;
        f.kind = sim::FaultConfig::Kind::SclLow;
        p.faults = {f};
    }));
    EXPECT_EQ(found(), 0);
    EXPECT_EQ(label("SearchResultsLBL")->text(), kNoneFound);
    EXPECT_EQ(label("SearchProblemLBL")->text(), QStringLiteral("the SMBus lines on printer port 378h are held low"));
    EXPECT_FALSE(label("SearchProblemLBL")->isHidden());
}

TEST_F(WizardPorts, EmptyOrHealthyPortsBlameNothingAndBackClears)
{
    search(boardWith([](sim::PortConfig& p) { p.chips.clear(); }));
    EXPECT_EQ(found(), 0);
    EXPECT_TRUE(label("SearchProblemLBL")->isHidden());
    EXPECT_TRUE(label("SearchProblemLBL")->text().isEmpty());
}

TEST_F(WizardPorts, ProblemTextGoesWithBack)
{
    search(boardWith([](sim::PortConfig& p) { p.heldByOtherProcess = true; }));
    ASSERT_FALSE(label("SearchProblemLBL")->isHidden());
    wizard->findChild<QPushButton*>(QStringLiteral("BackCMD"))->click();
    EXPECT_TRUE(label("SearchProblemLBL")->text().isEmpty());
}

TEST_F(WizardPorts, BoardThatAnswersIsFoundWithoutAWord)
{
    search(sim::Config{});
    EXPECT_EQ(found(), 1);
    EXPECT_TRUE(label("SearchProblemLBL")->isHidden());
}

}  // namespace
