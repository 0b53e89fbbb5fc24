// The Read/Write tab: the 35-entry register list on three inner pages, the
// bit toggles with their names, the hex and decimal byte entries and the
// continuous reading of the current register.
#pragma once

#include <QWidget>
#include <cstdint>

class QTimer;

namespace mainwindow {

class RegisterPanel : public QWidget {
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

private:
    QTimer* m_timer3 = nullptr;
    int m_lastClicked = 0;
};

}  // namespace mainwindow
