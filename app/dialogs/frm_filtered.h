// The fan filter dialog: per-fan speed filtering, spin-up disable, ADC
// sample rate and increment rate, all fields of Fan Filter Control (23h).
#pragma once

#include "dialogs/dialog_support.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

class QTimer;

namespace Ui {
class frmFiltered;
}

namespace dialogs {

// Which combo of frmFiltered has the focus: 5 increment rate, 6 sample
// rate, 0 none. Read by its filter timer.
extern std::int16_t FilterFocusCode;

// ADC sample rates (Hz) of codes 0..7 of bits 4..2. The first is shown and
// compared in the number form of the user's locale ("87.5" or "87,5").
inline constexpr double SampleRateFirstHz = 87.5;
inline constexpr std::array<std::string_view, 7> SampleRateTextsAfterFirst{"175",  "350",  "700",  "1400",
                                                                           "2800", "5600", "11200"};
// Increment rates of codes 0..3 of bits 6..5.
inline constexpr std::array<std::string_view, 4> IncrementRateTexts{"1", "2", "4", "8"};

// The sample-rate list as shown, in code order.
QStringList sampleRateTexts();

class frmFiltered : public FanDialog {
    Q_OBJECT

public:
    explicit frmFiltered(QWidget* owner = nullptr);
    ~frmFiltered() override;

    void Form_Load();
    void cmdFan1Filter_Click();
    void cmdFan2Filter_Click();
    void cmdDisableSpin_Click();
    void cmdSetControl_Click();
    void tmrFilter_Timer();

protected:
    void aboutToUnload() override;

private:
    void commitCombo(std::int16_t code);

    std::unique_ptr<Ui::frmFiltered> ui;
    QTimer* m_tmrFilter = nullptr;
    FocusCodeTracker* m_focus = nullptr;
    // Fan-1 button texts, fan-neutral on the single-channel chip.
    QString m_fan1EnableText;
    QString m_fan1DisableText;
};

}  // namespace dialogs
