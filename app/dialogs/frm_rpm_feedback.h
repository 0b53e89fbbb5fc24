// The RPM feedback dialog: the chip regulates a fan to the speed whose tach
// count sits in the fan's Tach High Limit. The user picks the fan and its
// divisor, types a speed, and the dialog turns it into that count.
#pragma once

#include "dialogs/dialog_support.h"

#include <array>
#include <memory>

class QLabel;

namespace Ui {
class frmRPMFeedback;
}

namespace dialogs {

class frmRPMFeedback : public FanDialog {
    Q_OBJECT

public:
    explicit frmRPMFeedback(QWidget* owner = nullptr);
    ~frmRPMFeedback() override;

    void Form_Load();
    void optFan_Click(int fan);
    // code 0..3 for N = 1, 2, 4, 8.
    void optN_Click(int code);
    void cmdCalc_Click();
    void cmdRPMEnable_Click();

    // 1 or 2.
    int selectedFan() const;
    QLabel* lblTachBit(int bit) const { return m_tachBits.at(static_cast<std::size_t>(bit)); }

private:
    void setFanCaptions();
    void showDivisor();

    std::unique_ptr<Ui::frmRPMFeedback> ui;
    std::array<QLabel*, 8> m_tachBits{};
};

}  // namespace dialogs
