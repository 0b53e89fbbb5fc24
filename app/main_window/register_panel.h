// The Read/Write tab: the 35-entry register list on three inner pages, the
// bit toggles with their names, the hex and decimal byte entries and the
// continuous reading of the current register.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "device/bit_descriptions.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTimer;

namespace widgets {
class RibbonToggle;
}

namespace mainwindow {

class RegisterPanel : public QWidget, public device::RegisterPanelView {
    Q_OBJECT

public:
    explicit RegisterPanel(QWidget* parent = nullptr);
    ~RegisterPanel() override;

    // Reshapes the list for the connected chip: on the single-channel part the
    // second channel's entries are hidden and the ones that lose their channel
    // number are renamed. Any other id keeps the designed dual-channel list.
    void setupForDevice(uint8_t deviceId);

    // The tab became current: continuous reading off, and the last clicked
    // entry (entry 1 on the first visit) is selected and read again.
    void enter();
    // The tab was left: continuous reading stops.
    void leave();

    // Index (1..35) of the entry clicked last, 0 before any click.
    int lastClickedIndex() const { return m_lastClicked; }

    // The handlers, public so the main window and tests can run them as a
    // click would.
    void read_writedisplaytext_Click(int index);
    void bitClick(int bit);
    void Command4_Click();
    void Command5_Click();
    void setContinuousReading(bool on);
    void Timer3_Tick();
    // The mouse moved onto entry `index` (0: onto the panel around the list).
    void hoverEntry(int index);

    // RegisterPanelView.
    void setBitValue(int bit, std::string_view caption) override;
    void setAddressText(std::string_view text) override;
    void setRegisterName(std::string_view text) override;
    void setBitName(int bit, std::string_view name) override;
    void setEntryEnabled(bool enabled) override;
    std::uint32_t listEntryColour(int index) const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildList(QTabWidget* pages);
    QWidget* buildBitsAndEntries();
    void setEntryColour(int index, std::uint32_t bgr);
    void setButtonState(QPushButton* button, bool written);
    // Runs one register operation, ending the handler quietly on a bus error:
    // the next read shows what the chip holds.
    template <class F> bool guarded(F&& f);
    bool writeEnteredByte(int value);

    std::array<QLabel*, 36> m_entries{};                               // [1..35]
    std::vector<std::pair<QLabel*, std::vector<QLabel*>>> m_headings;  // column heading, its entries
    std::array<QLabel*, 8> m_bits{};
    std::array<QLabel*, 8> m_bitNames{};
    QLabel* m_regName = nullptr;                // current_reg_type_label
    QLabel* m_regAddress = nullptr;             // current_reg_address_label
    QLineEdit* m_hex = nullptr;                 // Text6
    QLineEdit* m_dec = nullptr;                 // Text7
    QPushButton* m_hexWrite = nullptr;          // Command4
    QPushButton* m_decWrite = nullptr;          // Command5
    widgets::RibbonToggle* m_ribbon = nullptr;  // SSRibbon5
    QLabel* m_continuousLabel = nullptr;
    QTimer* m_timer3 = nullptr;
    int m_lastClicked = 0;
    int m_hovered = 0;
    bool m_visited = false;
};

}  // namespace mainwindow
