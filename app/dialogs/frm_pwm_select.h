// The PWM duty-cycle dialog: fixed duty cycles per fan, written to Fan Speed
// Configuration (22h) together with direct PWM control in Configuration 1.
#pragma once

#include "dialogs/dialog_support.h"

#include <memory>

class QTimer;

namespace Ui {
class frmPWMSelect;
}

namespace dialogs {

// Duty codes the list offers, from the highest entry down: "93 %" .. "33 %".
inline constexpr int PwmListHighestCode = 14;
inline constexpr int PwmListLowestCode = 5;

// List text of a duty code ("60 %"), empty for a code the list lacks.
QString dutyListText(int code);
// Duty code for a list text, compared exactly (blank before the sign).
std::optional<int> dutyCodeForText(const QString& text);

class frmPWMSelect : public FanDialog {
    Q_OBJECT

public:
    explicit frmPWMSelect(QWidget* owner = nullptr);
    ~frmPWMSelect() override;

    void Form_Load();
    void ShowDutyCycles(int fanSpeedConfig);
    void tmrEnable_Timer();
    void cmdEnablePWM_Click();

private:
    std::unique_ptr<Ui::frmPWMSelect> ui;
    QTimer* m_tmrEnable = nullptr;
};

}  // namespace dialogs
