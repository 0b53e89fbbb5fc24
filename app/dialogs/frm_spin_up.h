// The automatic fan-speed control dialog: automatic control on/off, which
// temperature channels drive which fan, each fan's spin-up time, and Tmin /
// Trange of the temperature channels. Every change goes to the chip at once.
#pragma once

#include <chiplaw/auto_control.h>
#include "dialogs/dialog_support.h"
#include "dialogs/frm_control_curves.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include <QPointer>

class QComboBox;
class QLabel;
class QTimer;

namespace Ui {
class frmSpinUp;
}

namespace dialogs {

// Which combo of frmSpinUp has the focus: 1 spin-up 1, 2 spin-up 2,
// 3 Trange, 4 Tmin, 0 none. Read by its combo timer.
extern std::int16_t SpinUpFocusCode;

// Spin-up time (ms) of codes 0..7 of Fan Characteristics bits 2..0.
inline constexpr std::array<std::string_view, 8> SpinUpTimeTexts{"200",  "400",  "600",  "800",
                                                                 "1000", "2000", "4000", "8000"};
// Trange lists the degrees of codes 0..4 of Tmin/Trange bits 2..0 (5..7
// have no entry). Tmin is bits 7..3 in steps of 4 degrees; the list also
// offers 128, which the field cannot hold. The numbers are the device
// layer's.
inline constexpr int TminStep = chiplaw::TminStepDegrees;
inline constexpr int TminCodes = chiplaw::TminCodeCount;

class frmSpinUp : public FanDialog {
    Q_OBJECT

public:
    explicit frmSpinUp(QWidget* owner = nullptr);
    ~frmSpinUp() override;

    void Form_Load();
    void ShowChannelLimits();

    void optLocal_Click();
    void optRemote1_Click();
    void optRemote2_Click();
    void optCon_Click(int n);
    void cmdControl_Click();
    void cmdFanReset_Click();
    void tmrCheckCombos_Timer();

    // The Tmin/Trange register of the chosen channel.
    std::uint8_t channelRegister() const;

    // Opens (or raises) the Control Curves window.
    void cmdCurves_Click();
    frmControlCurves* curvesWindow() const { return m_curves; }
    // After a curve drag wrote a Tmin/Trange register: choose that channel
    // and show its values, as a click on its button does.
    void followChannel(std::uint8_t tminTrangeRegister);

protected:
    void aboutToUnload() override;

private:
    void cutDownForSingleChannel();
    void setControlState(bool on);
    void selectControlOperation(int n);
    void showSpinUp(std::uint8_t reg, QComboBox* combo, QLabel* bits);
    // Writes what a focused combo shows; the timer's work for one code.
    void commitCombo(std::int16_t code);
    void commitSpinUp(std::uint8_t reg, QComboBox* combo, QLabel* bits);

    std::unique_ptr<Ui::frmSpinUp> ui;
    QTimer* m_tmrCheckCombos = nullptr;
    FocusCodeTracker* m_focus = nullptr;
    QPointer<frmControlCurves> m_curves;
};

}  // namespace dialogs
