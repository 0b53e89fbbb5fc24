// The program from the keyboard alone and through assistive tools: the
// wizard to the main window, every tab, the four fan dialogs opened from
// their mode captions; every interactive control carries a name. Each test
// runs in a process of its own (main.cpp).
#include "main_window/main_form.h"
#include "main_window/register_panel.h"
#include "shell/label_colour.h"
#include "shell/ui_services.h"
#include "startup/entry.h"
#include "startup/init_form.h"
#include "widgets/label_button.h"

#include <sim/sim.h>

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QPointer>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

namespace {

using mainwindow::MainForm;

// Controls a user operates: buttons, sliders, entries, lists, the labels
// used as buttons, and any custom widget that takes the Tab focus.
bool interactive(const QWidget* w)
{
    if (w->objectName() == QLatin1String("qt_tabwidget_tabbar"))
        return true;
    if (qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QAbstractSlider*>(w) ||
        qobject_cast<const QComboBox*>(w) || qobject_cast<const QAbstractItemView*>(w) || widgets::LabelButton::of(w))
        return true;
    if (auto* edit = qobject_cast<const QLineEdit*>(w))
        return !qobject_cast<const QComboBox*>(edit->parentWidget());  // a combo's own entry
    return (w->focusPolicy() & Qt::TabFocus) && !qobject_cast<const QLabel*>(w) &&
           !qobject_cast<const QTabWidget*>(w) && w->metaObject()->className() != QByteArray("QWidget");
}

// Names of the shown interactive controls that assistive tools cannot name.
QStringList unnamedControls(QWidget* window)
{
    QStringList unnamed;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || !interactive(w))
            continue;
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
        if (!face || face->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << QStringLiteral("%1 (%2)").arg(w->objectName(), QLatin1String(w->metaObject()->className()));
    }
    return unnamed;
}

class KeyboardAccess : public ::testing::Test {
protected:
    void start()
    {
        sim::board().configure(sim::Config{});
        wizard = startup::Main();
        ASSERT_TRUE(wizard);
    }
    void key(int k, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        QTest::keyClick(target, Qt::Key(k), mods);
        QCoreApplication::processEvents();
    }
    // Presses Tab until `wanted` holds for the focused control; false when a
    // whole round of the focus chain never reaches one.
    bool tabUntil(const std::function<bool(QWidget*)>& wanted)
    {
        for (int i = 0; i < 150; ++i) {
            if (QWidget* f = QApplication::focusWidget(); f && wanted(f))
                return true;
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        return false;
    }
    static bool named(QWidget* w, const char* prefix) { return w->objectName().startsWith(QLatin1String(prefix)); }
    MainForm* toMainWindow()
    {
        start();
        if (!wizard)
            return nullptr;
        for (int step = 0; step < 3 && wizard && wizard->isVisible(); ++step) {
            EXPECT_TRUE(unnamedControls(wizard).isEmpty())
                << "wizard step " << wizard->currentStep() << ": " << unnamedControls(wizard).join(", ").toStdString();
            QPointer<MainForm> loaded = wizard->loadedMainForm();
            if (loaded)
                main = loaded;
            QTest::keyClick(wizard->focusWidget() ? wizard->focusWidget() : wizard.data(), Qt::Key_Return);
            QCoreApplication::processEvents();
        }
        if (!main)
            return nullptr;
        main->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(main));
        return main;
    }
    void toTab(int index)
    {
        auto* bar = main->findChild<QTabWidget*>(QStringLiteral("Main_Form_Tab"))->tabBar();
        ASSERT_TRUE(tabUntil([bar](QWidget* w) { return w == bar; }));
        while (bar->currentIndex() != index)
            key(bar->currentIndex() < index ? Qt::Key_Right : Qt::Key_Left);
    }

    shell::ScopedScriptedUi ui;
    QPointer<startup::InitForm> wizard;
    QPointer<MainForm> main;
};

TEST_F(KeyboardAccess, WizardTabsAndDialogsByKeyboardWithEveryControlNamed)
{
    ASSERT_TRUE(toMainWindow());
    toTab(MainForm::TabMain);
    EXPECT_TRUE(unnamedControls(main).isEmpty()) << unnamedControls(main).join(", ").toStdString();

    toTab(MainForm::TabReadWrite);
    EXPECT_TRUE(unnamedControls(main).isEmpty()) << unnamedControls(main).join(", ").toStdString();
    ASSERT_TRUE(tabUntil([](QWidget* w) { return named(w, "read_writedisplaytext("); }));
    key(Qt::Key_Down);
    key(Qt::Key_Right);
    const QString entry = QApplication::focusWidget()->objectName();
    key(Qt::Key_Space);
    EXPECT_EQ(QStringLiteral("read_writedisplaytext(%1)").arg(main->registerPanel()->lastClickedIndex()), entry);
    ASSERT_TRUE(tabUntil([](QWidget* w) { return named(w, "bit7"); }));
    key(Qt::Key_Down);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), QStringLiteral("bit6"));
    ASSERT_TRUE(tabUntil([](QWidget* w) { return named(w, "SSRibbon5"); }));
    key(Qt::Key_Space);
    EXPECT_EQ(main->findChild<QLabel*>(QStringLiteral("continuous_reading_label"))->text(),
              QStringLiteral("Continuous Reading is On"));
    key(Qt::Key_Space);

    toTab(MainForm::TabVisual);
    EXPECT_TRUE(unnamedControls(main).isEmpty()) << unnamedControls(main).join(", ").toStdString();
    ASSERT_TRUE(tabUntil([](QWidget* w) { return named(w, "visualdisplaytext("); }));
    key(Qt::Key_Down);
    const QString selector = QApplication::focusWidget()->objectName();
    key(Qt::Key_Return);
    EXPECT_EQ(QStringLiteral("visualdisplaytext(%1)").arg(int(main->selectedParam())), selector);

    toTab(MainForm::TabControl);
    EXPECT_TRUE(unnamedControls(main).isEmpty()) << unnamedControls(main).join(", ").toStdString();
    const char* dialogs[] = {"frmSpinUp", "frmFiltered", "frmRPMFeedback", "frmPWMSelect"};
    for (int mode = 0; mode < 4; ++mode) {
        SCOPED_TRACE(dialogs[mode]);
        ASSERT_TRUE(QTest::qWaitForWindowActive(main));
        const QString caption = QStringLiteral("lblModes(%1)").arg(mode);
        ASSERT_TRUE(tabUntil([](QWidget* w) { return named(w, "lblModes("); }))
            << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString() : "no focus")
            << " tab " << main->findChild<QTabWidget*>(QStringLiteral("Main_Form_Tab"))->currentIndex();
        while (QApplication::focusWidget()->objectName() != caption)
            key(QApplication::focusWidget()->objectName() < caption ? Qt::Key_Down : Qt::Key_Up);
        key(Qt::Key_Space);
        EXPECT_EQ(shell::textColour(main->findChild<QLabel*>(caption)), shell::kGreen);
        QWidget* dialog = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == QLatin1String(dialogs[mode]) && top->isVisible())
                dialog = top;
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(unnamedControls(dialog).isEmpty()) << unnamedControls(dialog).join(", ").toStdString();
        // Back to the main window as the window manager does it.
        dialog->close();
        QApplication::setActiveWindow(main);
    }
}

}  // namespace

namespace {

// Captions on a dark desktop: readable at 4.5:1 in their own hue; the
// default palette and the colour the windows read back are unchanged.
TEST(DarkPalette, CaptionColoursReadOnADarkGroundAndReadBackAsSet)
{
    const QColor darkGround(0x35, 0x35, 0x35);
    for (std::uint32_t colour :
         {shell::kGreen, shell::kBrightGreen, shell::kYellow, shell::kRed, shell::kDarkRed, shell::kAppWorkspace}) {
        SCOPED_TRACE(colour);
        EXPECT_EQ(shell::shownColour(colour, QColor(0x20, 0x20, 0x20), false), colour) << "default palette";
        const QColor shown = QColor::fromRgb(shell::toRgb(shell::shownColour(colour, darkGround, true)));
        const QColor given = QColor::fromRgb(shell::toRgb(colour));
        EXPECT_GE(shell::contrastRatio(shown, darkGround), 4.5);
        if (given.hslHue() >= 0) {
            EXPECT_NEAR(shown.hslHue(), given.hslHue(), 2);
        }
        if (shell::contrastRatio(given, darkGround) >= 4.5) {
            EXPECT_EQ(shown, given) << "already readable";
        } else {  // the nearest: a shade darker would not read
            EXPECT_LT(
                shell::contrastRatio(
                    QColor::fromHslF(shown.hslHueF(), shown.hslSaturationF(), shown.lightnessF() - 0.01f), darkGround),
                4.5);
        }
    }
    EXPECT_EQ(shell::shownColour(shell::kAppWorkspace, QColor(0xF0, 0xF0, 0xF0), true), 0x707070u);
    EXPECT_NEAR(shell::contrastRatio(QColor::fromRgb(shell::toRgb(shell::kGreen)), darkGround), 2.4, 0.1);

    QPalette dark = QApplication::palette();
    dark.setColor(QPalette::Window, darkGround);
    dark.setColor(QPalette::WindowText, Qt::white);
    QApplication::setPalette(dark);
    QLabel label(QStringLiteral("RPM Feedback Mode"));
    shell::setTextColour(&label, shell::kGreen);
    EXPECT_EQ(shell::textColour(&label), shell::kGreen);
    EXPECT_GE(shell::contrastRatio(label.palette().color(QPalette::WindowText), darkGround), 4.5);
}

}  // namespace

namespace {

// A dark desktop palette as the common dark themes give it.
QPalette darkDesktopPalette()
{
    QPalette dark;
    const QColor window(0x35, 0x35, 0x35), base(0x2A, 0x2A, 0x2A), text(0xEE, 0xEE, 0xEE), muted(0x80, 0x80, 0x80);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window.lighter(120));
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::BrightText, Qt::white);
    dark.setColor(QPalette::ToolTipBase, base);
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::PlaceholderText, muted);
    dark.setColor(QPalette::Highlight, QColor(0x2A, 0x82, 0xDA));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Light, window.lighter(150));
    dark.setColor(QPalette::Midlight, window.lighter(125));
    dark.setColor(QPalette::Mid, window.darker(120));
    dark.setColor(QPalette::Dark, window.darker(150));
    dark.setColor(QPalette::Shadow, Qt::black);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, muted);
    return dark;
}

// Coloured captions (those whose colour the windows set and read back) that
// read at less than 4.5:1 on the ground they are drawn on; `checked` counts
// the captions looked at.
QStringList unreadableCaptions(QWidget* window, int* checked = nullptr)
{
    QStringList unreadable;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisible() || !w->property("fanscopeTextBgr").isValid())
            continue;
        if (checked)
            ++*checked;
        const QColor shown = w->palette().color(QPalette::WindowText);
        const QColor ground = w->palette().color(w->backgroundRole());
        if (const double ratio = shell::contrastRatio(shown, ground); ratio < 4.5)
            unreadable << QStringLiteral("%1 %2 on %3 (%4:1)")
                              .arg(w->objectName(), shown.name(), ground.name(), QString::number(ratio, 'f', 1));
    }
    return unreadable;
}

class DarkDesktop : public KeyboardAccess {
protected:
    void SetUp() override { QApplication::setPalette(darkDesktopPalette()); }
    void shoot(QWidget* window, const QString& name)
    {
        if (!shots.isEmpty()) {
            EXPECT_TRUE(window->grab().save(QStringLiteral("%1/%2.png").arg(shots, name)));
        }
    }
    const QString shots = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
};

// The wizard, every tab after a simulated minute of Easy Setup with the
// heater on, and the four fan dialogs, under a dark palette: every coloured
// caption reads; with FANSCOPE_SCREENSHOT_DIR set, pictures of each for the
// user guide.
TEST_F(DarkDesktop, EveryColouredCaptionReadsOnTheWizardAndEveryTab)
{
    // Board time runs only when the test moves it, so a minute passes at once.
    sim::Config config;
    config.time = sim::TimeMode::Manual;
    sim::board().configure(config);
    wizard = startup::Main();
    ASSERT_TRUE(wizard);
    for (int step = 0; step < 3 && wizard && wizard->isVisible(); ++step) {
        SCOPED_TRACE(step);
        EXPECT_TRUE(unreadableCaptions(wizard).isEmpty()) << unreadableCaptions(wizard).join(", ").toStdString();
        shoot(wizard, QStringLiteral("dark-wizard-%1").arg(step + 1));
        if (QPointer<MainForm> loaded = wizard->loadedMainForm())
            main = loaded;
        QTest::keyClick(wizard->focusWidget() ? wizard->focusWidget() : wizard.data(), Qt::Key_Return);
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(main);
    main->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(main));

    main->heaterTimer()->stop();
    main->selectTab(MainForm::TabVisual);
    main->Command1_Click();
    main->findChild<QTimer*>(QStringLiteral("visual_timer"))->stop();
    main->cmdEnable_Click();
    for (int tick = 0; tick < 2000; ++tick) {
        sim::board().advanceMs(30);
        main->visualTimerTick();
        if (tick % 7 == 0)
            main->heaterTick();
    }
    const std::pair<int, const char*> tabs[] = {{MainForm::TabMain, "dark-main-tab"},
                                                {MainForm::TabReadWrite, "dark-readwrite-tab"},
                                                {MainForm::TabVisual, "dark-visual-display"},
                                                {MainForm::TabControl, "dark-control-tab"}};
    for (const auto& [tab, name] : tabs) {
        SCOPED_TRACE(name);
        main->selectTab(tab);
        main->findChild<QTimer*>(QStringLiteral("visual_timer"))->stop();
        QCoreApplication::processEvents();
        int checked = 0;
        EXPECT_TRUE(unreadableCaptions(main, &checked).isEmpty()) << unreadableCaptions(main).join(", ").toStdString();
        if (tab != MainForm::TabMain) {
            EXPECT_GT(checked, 0) << "no coloured caption found";
        }
        shoot(main, QLatin1String(name));
    }

    // The four fan dialogs, and the Control tab with the chosen mode in green.
    const char* dialogs[] = {"frmSpinUp", "frmFiltered", "frmRPMFeedback", "frmPWMSelect"};
    for (int mode = 0; mode < 4; ++mode) {
        SCOPED_TRACE(dialogs[mode]);
        auto* caption = main->findChild<QLabel*>(QStringLiteral("lblModes(%1)").arg(mode));
        ASSERT_TRUE(caption && widgets::LabelButton::of(caption));
        widgets::LabelButton::of(caption)->activate();
        QCoreApplication::processEvents();
        EXPECT_EQ(shell::textColour(caption), shell::kGreen);
        EXPECT_TRUE(unreadableCaptions(main).isEmpty()) << unreadableCaptions(main).join(", ").toStdString();
        QWidget* dialog = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == QLatin1String(dialogs[mode]) && top->isVisible())
                dialog = top;
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(unreadableCaptions(dialog).isEmpty()) << unreadableCaptions(dialog).join(", ").toStdString();
        shoot(dialog, QStringLiteral("dark-%1").arg(QLatin1String(dialogs[mode])));
        dialog->close();
        QCoreApplication::processEvents();
    }
}

}  // namespace
