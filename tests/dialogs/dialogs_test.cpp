// The fan dialogs against the simulated chip's register file, through the
// real register link and library. Both variants sit on one bus, so a test
// picks its chip by address and Device ID.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/register_link.h"
#include "device/register_map.h"
#include "dialogs/dialogs.h"
#include "dialogs/frm_filtered.h"
#include "dialogs/frm_pwm_select.h"
#include "dialogs/frm_rpm_feedback.h"
#include "dialogs/frm_spin_up.h"
#include "shell/label_colour.h"
#include "widgets/indicators.h"
#include "support/close_inside_wait.h"
#include "support/two_chip_board.h"

#include <optional>
#include <vector>

namespace {

const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);

struct Write {
    std::uint8_t reg;
    std::uint8_t value;
};

class DialogTest : public ::testing::Test {
protected:
    void useChip(bool single)
    {
        testsupport::connectTo(single ? testsupport::kTfm4410At : testsupport::kTfm4411At, false);
    }
    sim::Chip& chip() { return *sim::board().chip(device::RegisterLink.DeviceAddress); }
    sim::Bus& bus() { return sim::board().port(0)->bus(); }

    void SetUp() override
    {
        useChip(false);
        bus().setTracing(true);
        bus().clearTrace();
    }
    void TearDown() override
    {
        dialogs::unloadAll();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        bus().setTracing(false);
    }

    // Register writes to our chip seen on the wires since the last clear.
    std::vector<Write> writesTo(std::optional<std::uint8_t> reg = std::nullopt)
    {
        std::vector<Write> writes;
        std::vector<std::uint8_t> frame;
        auto close = [&] {
            if (frame.size() == 3 && frame[0] == device::RegisterLink.DeviceAddress && (!reg || frame[1] == *reg))
                writes.push_back({frame[1], frame[2]});
            frame.clear();
        };
        for (const auto& e : bus().trace()) {
            if (e.kind == sim::TraceEvent::Kind::Byte)
                frame.push_back(e.value);
            else
                close();
        }
        close();
        return writes;
    }

    template <class Dialog> Dialog* current()
    {
        for (auto* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<Dialog*>(w); d && !d->unloaded())
                return d;
        return nullptr;
    }
    template <class T> static T* child(QObject* parent, const char* name)
    {
        auto* found = parent->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    static QString text(QObject* d, const char* name) { return child<QLabel>(d, name)->text(); }
    // Focuses a combo and types its text, as a user choosing an entry does.
    static void choose(QObject* d, const char* combo, const QString& value)
    {
        auto* c = child<QComboBox>(d, combo);
        c->window()->activateWindow();
        c->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
        c->setEditText(value);
    }
};

// --- spin-up and automatic control ---------------------------------------

TEST_F(DialogTest, SpinUpLoadsControlStateAndTogglesOnCaption)
{
    chip().poke(device::reg::Configuration1, 0xE0);
    dialogs::showSpinUp(nullptr);
    auto* d = current<dialogs::frmSpinUp>();
    ASSERT_NE(d, nullptr);
    auto* control = child<QPushButton>(d, "cmdControl");
    auto* lamp = child<widgets::StatusShape>(d, "Shape1");
    EXPECT_EQ(control->text(), "Disable Control");
    EXPECT_EQ(lamp->fillBgr(), 0x00FF00u);
    EXPECT_TRUE(child<QRadioButton>(d, "optCon3")->isChecked());
    EXPECT_EQ(text(d, "lblControlBits"), "1 1");

    control->click();
    EXPECT_EQ(chip().peek(device::reg::Configuration1), 0x60);
    EXPECT_EQ(control->text(), "Enable Control");
    EXPECT_EQ(lamp->fillBgr(), 0x0000FFu);

    child<QRadioButton>(d, "optCon1")->click();
    EXPECT_EQ(chip().peek(device::reg::Configuration1), 0x20);
    EXPECT_EQ(text(d, "lblControlBits"), "0 1");

    bus().clearTrace();
    child<QPushButton>(d, "cmdFanReset")->click();
    ASSERT_EQ(writesTo().size(), 1u);
    EXPECT_EQ(chip().peek(device::reg::FanSpeedConfiguration), 0x55);
}

// Closed while one of its handlers' transfers waits in the event loop, a
// dialog stays until the handler is done, and then closes.
TEST_F(DialogTest, ClosedInsideATransferWaitADialogOutlivesTheHandler)
{
    dialogs::showPWMSelect(nullptr);
    auto* d = current<dialogs::frmPWMSelect>();
    ASSERT_NE(d, nullptr);
    const testsupport::CloseInsideWait r = testsupport::closeInsideLibraryWait(d);
    EXPECT_TRUE(r.aliveAfterWait);
    EXPECT_TRUE(r.closedAfter);
}

TEST_F(DialogTest, SpinUpComboIsWrittenByTimerOnlyWhileFocused)
{
    chip().poke(device::reg::Fan1Characteristics, 0xC5);
    dialogs::showSpinUp(nullptr);
    auto* d = current<dialogs::frmSpinUp>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(child<QComboBox>(d, "cmbSpinUp1")->currentText(), "2000");
    EXPECT_EQ(text(d, "lblSpinUpBits1"), "1 0 1");
    auto* timer = child<QTimer>(d, "tmrCheckCombos");
    EXPECT_EQ(timer->interval(), 250);
    EXPECT_TRUE(timer->isActive());

    // Not focused: the timer leaves the chip alone.
    child<QComboBox>(d, "cmbSpinUp1")->setEditText("8000");
    bus().clearTrace();
    d->tmrCheckCombos_Timer();
    EXPECT_TRUE(writesTo().empty());

    choose(d, "cmbSpinUp1", "8000");
    EXPECT_EQ(dialogs::SpinUpFocusCode, 1);
    d->tmrCheckCombos_Timer();
    EXPECT_EQ(chip().peek(device::reg::Fan1Characteristics), 0xC7);
    EXPECT_EQ(text(d, "lblSpinUpBits1"), "1 1 1");

    // A choice made just before the focus moves on is not lost.
    child<QComboBox>(d, "cmbSpinUp1")->setEditText("400");
    child<QPushButton>(d, "cmdControl")->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    EXPECT_EQ(dialogs::SpinUpFocusCode, 0);
    EXPECT_EQ(chip().peek(device::reg::Fan1Characteristics), 0xC1);
}

TEST_F(DialogTest, SpinUpShowsChannelLimits)
{
    chip().poke(device::reg::Remote1TminTrange, 0x61);
    chip().poke(device::reg::LocalTminTrange, 0x87);  // Trange 7 has no text
    dialogs::showSpinUp(nullptr);
    auto* d = current<dialogs::frmSpinUp>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(child<QComboBox>(d, "cmbTrange")->currentText(), "10");
    EXPECT_EQ(text(d, "lblTrangeBits"), "0 0 1");
    EXPECT_EQ(child<QComboBox>(d, "cmbTmin")->currentText(), "48");
    EXPECT_EQ(text(d, "lblTminBits"), "0 1 1 0 0");
    EXPECT_EQ(text(d, "lblSelectedTemp"), "Remote1 Tmin/Trange");

    child<QRadioButton>(d, "optLocal")->click();
    EXPECT_EQ(text(d, "lblSelectedTemp"), "Local Tmin/Trange");
    EXPECT_EQ(child<QComboBox>(d, "cmbTrange")->currentText(), "10");
    EXPECT_EQ(child<QComboBox>(d, "cmbTmin")->currentText(), "64");
}

struct TminCase {
    const char* text;
    std::optional<std::uint8_t> written;  // from 0x61
};

class TminChoice : public DialogTest, public ::testing::WithParamInterface<TminCase> { };

TEST_P(TminChoice, WritesMatchingEntryOnly)
{
    chip().poke(device::reg::Remote1TminTrange, 0x61);
    dialogs::showSpinUp(nullptr);
    auto* d = current<dialogs::frmSpinUp>();
    ASSERT_NE(d, nullptr);
    choose(d, "cmbTmin", QString::fromLatin1(GetParam().text));
    bus().clearTrace();
    d->tmrCheckCombos_Timer();
    const auto writes = writesTo(device::reg::Remote1TminTrange);
    if (GetParam().written) {
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].value, *GetParam().written);
    } else {
        EXPECT_TRUE(writes.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, TminChoice,
                         ::testing::Values(TminCase{"124", 0xF9}, TminCase{"0", 0x01}, TminCase{"128", std::nullopt},
                                           TminCase{"50", std::nullopt}, TminCase{" 48", std::nullopt}));

TEST_F(DialogTest, SpinUpLoadUnloadsFilterAndSetAutoControlSwitches)
{
    dialogs::showFiltered(nullptr);
    ASSERT_TRUE(dialogs::isFilteredLoaded());
    // From the filter dialog's own button: it is unloaded while it runs.
    child<QPushButton>(current<dialogs::frmFiltered>(), "cmdSetControl")->click();
    EXPECT_TRUE(dialogs::isSpinUpLoaded());
    EXPECT_FALSE(dialogs::isFilteredLoaded());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(current<dialogs::frmFiltered>(), nullptr);

    // Closing by the user unloads too; showing again reloads.
    current<dialogs::frmSpinUp>()->close();
    EXPECT_FALSE(dialogs::isSpinUpLoaded());
    dialogs::showSpinUp(nullptr);
    EXPECT_TRUE(dialogs::isSpinUpLoaded());
}

// --- RPM feedback ----------------------------------------------------------

TEST_F(DialogTest, RpmFeedbackTurnsSpeedIntoCountAndEnables)
{
    chip().poke(device::reg::Fan1Characteristics, 0x45);  // N = 2
    chip().poke(device::reg::Configuration1, 0x9D);
    dialogs::showRPMFeedback(nullptr);
    auto* d = current<dialogs::frmRPMFeedback>();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(child<QRadioButton>(d, "optN2")->isChecked());
    EXPECT_EQ(text(d, "lblControlBits"), "0 1");
    EXPECT_EQ(text(d, "lblCountResult"), "135");  // 2500 RPM at load

    child<QLineEdit>(d, "txtRPMValue")->setText("3375");
    child<QPushButton>(d, "cmdCalc")->click();
    EXPECT_EQ(text(d, "lblCountResult"), "100");
    auto* enable = child<QPushButton>(d, "cmdRPMEnable");
    ASSERT_TRUE(enable->isEnabled());
    enable->click();
    EXPECT_EQ(chip().peek(device::reg::Fan1TachLimit), 100);
    EXPECT_EQ(chip().peek(device::reg::Configuration1), (0x9D & 0x7F) | 0x60);
    QString bits;
    for (int bit = 7; bit >= 0; --bit)
        bits += d->lblTachBit(bit)->text();
    EXPECT_EQ(bits, "01100100");
    EXPECT_EQ(d->lblTachBit(2)->objectName(), "lblTachBit(2)");

    // Too slow for a byte, and no count at all: nothing to enable.
    for (const char* speed : {"300", "1"}) {
        child<QLineEdit>(d, "txtRPMValue")->setText(speed);
        child<QPushButton>(d, "cmdCalc")->click();
        EXPECT_FALSE(enable->isEnabled()) << speed;
    }
    // Not a speed: nothing changes.
    child<QLineEdit>(d, "txtRPMValue")->setText("3375");
    child<QPushButton>(d, "cmdCalc")->click();
    for (const char* bad : {"0", "-5", "fast"}) {
        child<QLineEdit>(d, "txtRPMValue")->setText(bad);
        child<QPushButton>(d, "cmdCalc")->click();
        EXPECT_EQ(text(d, "lblCountResult"), "100") << bad;
    }
}

TEST_F(DialogTest, RpmFeedbackDivisorOfFanTwoIsWrittenOnce)
{
    chip().poke(device::reg::Fan2Characteristics, 0x15);
    dialogs::showRPMFeedback(nullptr);
    auto* d = current<dialogs::frmRPMFeedback>();
    ASSERT_NE(d, nullptr);
    child<QRadioButton>(d, "optFan2")->click();
    EXPECT_EQ(child<QGroupBox>(d, "SSPanel1")->title(), "Fan2 Divisor");
    EXPECT_EQ(text(d, "lblFanTachHi"), "Fan2 Tach High Limit");
    bus().clearTrace();
    child<QRadioButton>(d, "optN8")->click();
    const auto writes = writesTo(device::reg::Fan2Characteristics);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, 0xD5);
    EXPECT_EQ(text(d, "lblControlBits"), "1 1");
    EXPECT_EQ(text(d, "lblCountResult"), "33");  // 2500 RPM at N = 8
}

// --- filter ----------------------------------------------------------------

TEST_F(DialogTest, FilterLoadsRegisterAndButtonsToggleBack)
{
    chip().poke(device::reg::FanFilterControl, 0x91);
    dialogs::showFiltered(nullptr);
    auto* d = current<dialogs::frmFiltered>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(child<QPushButton>(d, "cmdFan1Filter")->text(), "Disable Fan1 Filter");
    EXPECT_EQ(text(d, "lblEnable1"), "1");
    EXPECT_EQ(child<QPushButton>(d, "cmdFan2Filter")->text(), "Enable Fan2 Filter");
    EXPECT_EQ(child<QPushButton>(d, "cmdDisableSpin")->text(), "Enable Spin-Up");
    EXPECT_EQ(child<QComboBox>(d, "cmbIncRate")->currentText(), "1");
    EXPECT_EQ(text(d, "lblIncBits"), "0 0");
    EXPECT_EQ(child<QComboBox>(d, "cmbSampleRate")->currentText(), "1400");
    EXPECT_EQ(text(d, "lblSampleBits"), "1 0 0");

    for (const char* button : {"cmdFan1Filter", "cmdFan2Filter", "cmdDisableSpin"}) {
        child<QPushButton>(d, button)->click();
        EXPECT_NE(chip().peek(device::reg::FanFilterControl), 0x91) << button;
        child<QPushButton>(d, button)->click();
        EXPECT_EQ(chip().peek(device::reg::FanFilterControl), 0x91) << button;
    }
}

struct FilterCase {
    const char* combo;
    const char* text;
    std::optional<std::uint8_t> written;  // from 0x91
    const char* bitsLabel;
    const char* bits;
};

class FilterChoice : public DialogTest, public ::testing::WithParamInterface<FilterCase> { };

TEST_P(FilterChoice, WritesFieldWhileFocused)
{
    const auto& c = GetParam();
    chip().poke(device::reg::FanFilterControl, 0x91);
    dialogs::showFiltered(nullptr);
    auto* d = current<dialogs::frmFiltered>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(child<QTimer>(d, "tmrFilter")->interval(), 500);
    choose(d, c.combo, QString::fromLatin1(c.text));
    bus().clearTrace();
    d->tmrFilter_Timer();
    const auto writes = writesTo(device::reg::FanFilterControl);
    if (c.written) {
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].value, *c.written);
    } else {
        EXPECT_TRUE(writes.empty());
    }
    EXPECT_EQ(text(d, c.bitsLabel), QString::fromLatin1(c.bits));
}

INSTANTIATE_TEST_SUITE_P(Texts, FilterChoice,
                         ::testing::Values(FilterCase{"cmbSampleRate", "11200", 0x9D, "lblSampleBits", "1 1 1"},
                                           FilterCase{"cmbSampleRate", "87.5", 0x81, "lblSampleBits", "0 0 0"},
                                           FilterCase{"cmbSampleRate", "300", std::nullopt, "lblSampleBits", "1 0 0"},
                                           FilterCase{"cmbIncRate", "8", 0xF1, "lblIncBits", "1 1"},
                                           FilterCase{"cmbIncRate", "3", std::nullopt, "lblIncBits", "0 0"}));

TEST_F(DialogTest, FilterSampleRateFollowsLocaleDecimalForm)
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    chip().poke(device::reg::FanFilterControl, 0x00);
    dialogs::showFiltered(nullptr);
    auto* d = current<dialogs::frmFiltered>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(child<QComboBox>(d, "cmbSampleRate")->currentText(), "87,5");
    EXPECT_EQ(child<QComboBox>(d, "cmbSampleRate")->itemText(0), "87,5");
    chip().poke(device::reg::FanFilterControl, 0x1C);
    choose(d, "cmbSampleRate", "87,5");
    d->tmrFilter_Timer();
    EXPECT_EQ(chip().peek(device::reg::FanFilterControl), 0x00);
    QLocale::setDefault(previous);
}

// --- PWM selection ---------------------------------------------------------

TEST_F(DialogTest, PwmSelectShowsAndWritesDutyCycles)
{
    chip().poke(device::reg::FanSpeedConfiguration, 0x5E);
    dialogs::showPWMSelect(nullptr);
    auto* d = current<dialogs::frmPWMSelect>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(child<QComboBox>(d, "cmbFan1")->currentText(), "93 %");
    EXPECT_EQ(child<QComboBox>(d, "cmbFan2")->currentText(), "33 %");
    EXPECT_EQ(child<QTimer>(d, "tmrEnable")->interval(), 20);
    d->tmrEnable_Timer();
    EXPECT_EQ(text(d, "lblPWM1"), "1 1 1 0");
    EXPECT_EQ(text(d, "lblPWM2"), "0 1 0 1");

    chip().poke(device::reg::Configuration1, 0xFD);
    child<QComboBox>(d, "cmbFan1")->setEditText("60 %");
    child<QComboBox>(d, "cmbFan2")->setEditText("80 %");
    child<QPushButton>(d, "cmdEnablePWM")->click();
    EXPECT_EQ(chip().peek(device::reg::FanSpeedConfiguration), 0xC9);
    EXPECT_EQ(chip().peek(device::reg::Configuration1), 0x1D);

    // A fan-1 text outside the list writes no duty; the mode still changes.
    chip().poke(device::reg::Configuration1, 0xE0);
    child<QComboBox>(d, "cmbFan1")->setEditText("60%");
    bus().clearTrace();
    child<QPushButton>(d, "cmdEnablePWM")->click();
    EXPECT_TRUE(writesTo(device::reg::FanSpeedConfiguration).empty());
    EXPECT_EQ(chip().peek(device::reg::Configuration1), 0x00);

    // A fan-2 text outside the list keeps fan 2 running as it was.
    child<QComboBox>(d, "cmbFan1")->setEditText("40 %");
    child<QComboBox>(d, "cmbFan2")->setEditText("50 %");
    child<QPushButton>(d, "cmdEnablePWM")->click();
    EXPECT_EQ(chip().peek(device::reg::FanSpeedConfiguration), 0xC6);
}

TEST_F(DialogTest, PwmSelectLeavesCombosForCodesWithoutEntry)
{
    chip().poke(device::reg::FanSpeedConfiguration, 0x00);
    dialogs::showPWMSelect(nullptr);
    auto* d = current<dialogs::frmPWMSelect>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(child<QComboBox>(d, "cmbFan1")->currentText(), "93 %");
    EXPECT_EQ(child<QComboBox>(d, "cmbFan2")->currentText(), "93 %");
}

// --- the single-channel chip -----------------------------------------------

TEST_F(DialogTest, SingleChannelLayouts)
{
    QSize full[4];
    auto sizes = [&](QSize* out) {
        dialogs::showSpinUp(nullptr);
        out[0] = current<dialogs::frmSpinUp>()->size();
        dialogs::showRPMFeedback(nullptr);
        out[1] = current<dialogs::frmRPMFeedback>()->size();
        dialogs::showPWMSelect(nullptr);
        out[3] = current<dialogs::frmPWMSelect>()->size();
        dialogs::showFiltered(nullptr);  // after spin-up, which unloads it
        out[2] = current<dialogs::frmFiltered>()->size();
    };
    sizes(full);
    dialogs::unloadAll();
    useChip(true);
    QSize cut[4];
    sizes(cut);
    EXPECT_LT(cut[0].height(), full[0].height());
    EXPECT_LT(cut[1].height(), full[1].height());
    EXPECT_LT(cut[2].width(), full[2].width());
    EXPECT_LT(cut[3].width(), full[3].width());

    auto* spin = current<dialogs::frmSpinUp>();
    ASSERT_NE(spin, nullptr);
    for (const char* hidden : {"optRemote2", "Label9", "Label8", "cmbSpinUp2", "optCon1", "optCon2", "panSpinUpBits2"})
        EXPECT_TRUE(child<QWidget>(spin, hidden)->isHidden()) << hidden;
    EXPECT_EQ(child<QRadioButton>(spin, "optRemote1")->text(), "Remote");
    EXPECT_EQ(text(spin, "Label2"), "Fan SpinUp Time (ms)");
    EXPECT_EQ(text(spin, "Label3"), "Fan Characteristics");
    EXPECT_EQ(child<QPushButton>(spin, "cmdFanReset")->text(), "Reset Fan to 33%");
    EXPECT_EQ(child<QRadioButton>(spin, "optCon0")->text(), "Remote Temp Controls Fan");
    EXPECT_EQ(text(spin, "lblSelectedTemp"), "Remote Tmin/Trange");
    child<QRadioButton>(spin, "optRemote1")->click();
    EXPECT_EQ(text(spin, "lblSelectedTemp"), "Remote Tmin/Trange");
    bus().clearTrace();
    child<QPushButton>(spin, "cmdFanReset")->click();
    EXPECT_EQ(chip().peek(device::reg::FanSpeedConfiguration), 0x55);

    auto* rpm = current<dialogs::frmRPMFeedback>();
    EXPECT_TRUE(child<QWidget>(rpm, "grpFanSelect")->isHidden());
    EXPECT_EQ(child<QGroupBox>(rpm, "SSPanel1")->title(), "Fan Divisor");
    EXPECT_EQ(text(rpm, "lblFanChars"), "Fan Characteristics");
    EXPECT_EQ(text(rpm, "lblFanTachHi"), "Fan Tach High Limit");

    dialogs::showFiltered(nullptr);
    auto* filter = current<dialogs::frmFiltered>();
    EXPECT_TRUE(child<QWidget>(filter, "cmdFan2Filter")->isHidden());
    EXPECT_TRUE(child<QWidget>(filter, "panEnable2")->isHidden());
    auto* fan1 = child<QPushButton>(filter, "cmdFan1Filter");
    const auto before = fan1->text();
    EXPECT_TRUE(before == "Enable Fan Filter" || before == "Disable Fan Filter");
    fan1->click();
    EXPECT_NE(fan1->text(), before);
    EXPECT_TRUE(fan1->text() == "Enable Fan Filter" || fan1->text() == "Disable Fan Filter");

    auto* pwm = current<dialogs::frmPWMSelect>();
    EXPECT_EQ(pwm->windowTitle(), "PWM");
    EXPECT_TRUE(child<QWidget>(pwm, "cmbFan2")->isHidden());
    EXPECT_TRUE(child<QWidget>(pwm, "lblFan2")->isHidden());
    EXPECT_EQ(text(pwm, "lblPWM2"), "X X X X");
    EXPECT_EQ(shell::textColour(child<QLabel>(pwm, "lblPWM2")), shell::kAppWorkspace);
    child<QComboBox>(pwm, "cmbFan1")->setEditText("47 %");
    child<QPushButton>(pwm, "cmdEnablePWM")->click();
    EXPECT_EQ(chip().peek(device::reg::FanSpeedConfiguration), 0x07);
}

// Pictures of every dialog for both chips side by side, when asked for
// (FANSCOPE_SCREENSHOT_DIR); run under a real display server for fonts.
TEST_F(DialogTest, Screenshots)
{
    const QString dir = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set FANSCOPE_SCREENSHOT_DIR to write screenshots";
    struct Shot {
        const char* file;
        void (*show)(QWidget*);
        const char* name;
    };
    const Shot shots[] = {{"spinup.png", dialogs::showSpinUp, "frmSpinUp"},
                          {"rpm-feedback.png", dialogs::showRPMFeedback, "frmRPMFeedback"},
                          {"filter.png", dialogs::showFiltered, "frmFiltered"},
                          {"pwm-select.png", dialogs::showPWMSelect, "frmPWMSelect"}};
    for (const auto& shot : shots) {
        QImage images[2];
        for (int single = 0; single < 2; ++single) {
            useChip(single == 1);
            dialogs::unloadAll();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            shot.show(nullptr);
            QWidget* w = nullptr;
            for (auto* top : QApplication::topLevelWidgets())
                if (top->objectName() == shot.name && top->isVisible())
                    w = top;
            ASSERT_NE(w, nullptr);
            // Let the dialogs' timers run once (the duty-cycle bits).
            QEventLoop settle;
            QTimer::singleShot(100, &settle, &QEventLoop::quit);
            settle.exec();
            images[single] = w->grab().toImage();
        }
        QImage both(images[0].width() + images[1].width() + 16, std::max(images[0].height(), images[1].height()),
                    QImage::Format_RGB32);
        both.fill(Qt::white);
        QPainter p(&both);
        p.drawImage(0, 0, images[0]);
        p.drawImage(images[0].width() + 16, 0, images[1]);
        p.end();
        EXPECT_TRUE(both.save(QDir(dir).filePath(QString::fromLatin1(shot.file))));
    }
}

}  // namespace
