// The search wizard from the keyboard: Enter is the enabled forward button,
// Escape is Cancel. Each test runs in a process of its own (main.cpp).
#include "main_window/main_form.h"
#include "shell/options.h"
#include "shell/ui_services.h"
#include "startup/entry.h"
#include "startup/init_form.h"

#include <sim/sim.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using startup::InitForm;

class WizardKeys : public ::testing::Test {
protected:
    void start(const sim::Config& config = sim::Config{})
    {
        sim::board().configure(config);
        wizard = startup::Main();
        ASSERT_TRUE(wizard);
    }
    void key(Qt::Key k)
    {
        // Keys go where the user's focus is; the wizard sees what the
        // focused control leaves alone.
        QWidget* target = wizard->focusWidget() ? wizard->focusWidget() : wizard.data();
        QTest::keyClick(target, k);
    }
    QPushButton* button(const char* name) { return wizard->findChild<QPushButton*>(QString::fromLatin1(name)); }

    shell::ScopedScriptedUi ui;
    QPointer<InitForm> wizard;
};

TEST_F(WizardKeys, EnterAloneGoesFromWelcomeToTheMainWindow)
{
    start();
    key(Qt::Key_Return);
    EXPECT_EQ(wizard->currentStep(), 2);
    key(Qt::Key_Enter);  // the keypad's Enter too: runs the search
    ASSERT_EQ(wizard->currentStep(), 4);
    ASSERT_TRUE(button("FinishCMD")->isEnabled());
    QPointer<mainwindow::MainForm> main = wizard->loadedMainForm();
    ASSERT_TRUE(main);
    key(Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_TRUE(wizard.isNull() || !wizard->isVisible());
    ASSERT_TRUE(main);
    EXPECT_TRUE(main->isVisible());
    EXPECT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();
}

TEST_F(WizardKeys, EnterWithoutASelectedEntryDoesNotFinish)
{
    start();
    key(Qt::Key_Return);
    key(Qt::Key_Return);
    ASSERT_EQ(wizard->currentStep(), 4);
    auto* list = wizard->findChild<QListWidget*>(QStringLiteral("SearchResultsLIST"));
    list->clearSelection();
    list->setFocus();
    key(Qt::Key_Return);
    ASSERT_TRUE(wizard);
    EXPECT_TRUE(wizard->isVisible());
    EXPECT_FALSE(wizard->finished());
}

TEST_F(WizardKeys, EnterOnAFocusedBackButtonGoesBack)
{
    start();
    key(Qt::Key_Return);
    ASSERT_EQ(wizard->currentStep(), 2);
    button("BackCMD")->setFocus();
    key(Qt::Key_Return);
    EXPECT_EQ(wizard->currentStep(), 1);
}

TEST_F(WizardKeys, EscapeCancelsOnEveryPanelWithAButton)
{
    for (int forward = 0; forward < 3; ++forward) {
        SCOPED_TRACE(forward);
        if (wizard)
            wizard->close();
        start();
        for (int i = 0; i < forward; ++i)
            key(Qt::Key_Return);
        QPointer<mainwindow::MainForm> main = wizard->loadedMainForm();
        key(Qt::Key_Escape);
        QCoreApplication::processEvents();
        EXPECT_TRUE(wizard.isNull() || !wizard->isVisible());
        EXPECT_TRUE(main.isNull());  // the search's main window goes with the wizard
    }
}

// Nothing the wizard or the window shows may pass for hardware: both name the
// simulated board, and only while it serves the bus.
TEST_F(WizardKeys, WizardAndMainWindowNameTheSimulatedBoard)
{
    start();
    auto* note = wizard->findChild<QLabel*>(QStringLiteral("SimulatedBoardLBL"));
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->text().startsWith(QStringLiteral("Simulated board (default configuration): ")))
        << note->text().toStdString();
    key(Qt::Key_Return);
    key(Qt::Key_Return);
    ASSERT_EQ(wizard->currentStep(), 4);
    QPointer<mainwindow::MainForm> main = wizard->loadedMainForm();
    ASSERT_TRUE(main);
    auto* badge = main->findChild<QLabel*>(QStringLiteral("SimulatedBoardBadge"));
    ASSERT_NE(badge, nullptr);
    EXPECT_EQ(badge->text(), QStringLiteral("Simulated board (default configuration)"));
    EXPECT_EQ(main->windowTitle(), QStringLiteral("TFM4411 Evaluation Software"));

    ::setenv("VEXLINK06_PLATFORM", "linux", 1);
    EXPECT_EQ(shell::simulatedBoardText(), "");
    ::setenv("VEXLINK06_PLATFORM", "sim", 1);
    ::setenv("FANSCOPE_SIM_CONFIG", "/tmp/board.json", 1);
    EXPECT_EQ(shell::simulatedBoardText(), "Simulated board (/tmp/board.json)");
    ::unsetenv("FANSCOPE_SIM_CONFIG");
}

// Alt+letter presses a button without an ampersand in its caption, and only
// while the button can be used.
TEST_F(WizardKeys, AltLetterPressesTheButtonWhoseCaptionStartsWithIt)
{
    start();
    EXPECT_EQ(button("NextCMD")->text(), QStringLiteral("Next >"));
    EXPECT_TRUE(button("NextCMD")->toolTip().contains(QStringLiteral("Alt+N")))
        << button("NextCMD")->toolTip().toStdString();
    QTest::keyClick(wizard.data(), Qt::Key_B, Qt::AltModifier);  // Back is disabled on the first step
    QTest::qWait(200);
    EXPECT_EQ(wizard->currentStep(), 1);
    QTest::keyClick(wizard.data(), Qt::Key_N, Qt::AltModifier);
    QTest::qWait(200);  // animateClick presses, then releases
    EXPECT_EQ(wizard->currentStep(), 2);
    QTest::keyClick(wizard.data(), Qt::Key_B, Qt::AltModifier);
    QTest::qWait(200);
    EXPECT_EQ(wizard->currentStep(), 1);
}

}  // namespace
