// What the four fan dialogs share: bit-pattern captions, exact matching of
// combo texts against their tables, read-modify-write through the register
// link, focus codes for the combo timers, and load/unload bookkeeping.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>

class QComboBox;

namespace dialogs {

// "1 0 1": `width` bits of `value`, most significant first, single blanks.
QString bitsText(int value, int width);

// Index of the first entry equal to `text`, compared as plain strings in
// table order; nullopt when none is equal (nothing must be written then).
std::optional<int> matchEntry(const QStringList& entries, const QString& text);

// Register access through the program's register link.
std::uint8_t readChip(std::uint8_t address);
// Read, keep the bits of `keep`, OR in `insert`, write back.
void modifyChip(std::uint8_t address, std::uint8_t keep, std::uint8_t insert);
// A write without reading first.
void writeChip(std::uint8_t address, std::uint8_t value);

// The single-channel chip, whose dialogs are cut down to one fan, and the
// dual-channel one; steps for either test for it by its Device ID.
bool isTFM4410();
bool isTFM4411();

// Keeps a process-wide focus code up to date for a set of combo boxes: a
// combo gaining focus sets its code, losing focus sets 0. The combo's list
// popping up does not count as losing focus. Just before the code drops to
// 0, `onLeave` runs with the code being left, so a choice made in the last
// moment before the focus moves on is not lost between two timer ticks.
class FocusCodeTracker : public QObject {
public:
    FocusCodeTracker(std::int16_t& code, QObject* parent);
    void track(QComboBox* combo, std::int16_t codeOnFocus);
    void setOnLeave(std::function<void(std::int16_t)> onLeave) { m_onLeave = std::move(onLeave); }
    // Stops reacting (the dialog is going away) and clears the code.
    void detach();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::int16_t& m_code;
    std::function<void(std::int16_t)> m_onLeave;
    bool m_detached = false;
};

// Base of the four dialogs: modeless, deleted once closed, and "unloaded"
// from the moment it is closed or unloaded, even while the window object
// waits for the event loop to delete it (a dialog may unload itself from one
// of its own handlers).
class FanDialog : public QDialog {
    Q_OBJECT

public:
    explicit FanDialog(QWidget* owner);
    bool unloaded() const { return m_unloaded; }
    void unload();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Stops the dialog's timers and focus tracking; runs once.
    virtual void aboutToUnload() { }
    // Shrinks the window to its layout after controls were hidden.
    void fitToContents();

private:
    void markUnloaded();
    bool m_unloaded = false;
};

}  // namespace dialogs
