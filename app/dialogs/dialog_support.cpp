#include "dialogs/dialog_support.h"

#include "device/register_link.h"
#include "device/register_map.h"
#include "device/write_log.h"
#include "shell/application.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QLayout>
#include <QLineEdit>
#include <QTimer>

namespace dialogs {

QString bitsText(int value, int width)
{
    QString text;
    for (int bit = width - 1; bit >= 0; --bit) {
        text += ((value >> bit) & 1) ? QLatin1Char('1') : QLatin1Char('0');
        if (bit > 0)
            text += QLatin1Char(' ');
    }
    return text;
}

std::optional<int> matchEntry(const QStringList& entries, const QString& text)
{
    const auto index = entries.indexOf(text);
    if (index < 0)
        return std::nullopt;
    return static_cast<int>(index);
}

namespace {

// A handler that writes more than once names itself with an action of its own.
std::string dialogAction(std::uint8_t address)
{
    const device::RegisterEntry* e = device::registerEntryByAddress(address);
    return "Dialog: " + (e ? std::string(e->name) : device::addressText(address));
}

}  // namespace

std::uint8_t readChip(std::uint8_t address)
{
    auto& link = device::RegisterLink;
    link.RegisterPointer = address;
    device::ReadRegister();
    return static_cast<std::uint8_t>(link.ReadResult & 0xFF);
}

void modifyChip(std::uint8_t address, std::uint8_t keep, std::uint8_t insert)
{
    auto& link = device::RegisterLink;
    link.RegisterPointer = address;
    device::ReadRegister();
    // Set both fields again right before the write: nothing between the two
    // calls yields today, but the record is shared with every window.
    link.RegisterPointer = address;
    link.DataByte = static_cast<std::uint8_t>((link.ReadResult & keep) | insert);
    device::WriteAction action(device::WriteSource::Dialog, dialogAction(address));
    device::WriteRegister();
}

void writeChip(std::uint8_t address, std::uint8_t value)
{
    auto& link = device::RegisterLink;
    link.RegisterPointer = address;
    link.DataByte = value;
    device::WriteAction action(device::WriteSource::Dialog, dialogAction(address));
    device::WriteRegister();
}

bool isTFM4410() { return device::RegisterLink.DeviceId == device::DeviceIdTFM4410; }

bool isTFM4411() { return device::RegisterLink.DeviceId == device::DeviceIdTFM4411; }

FocusCodeTracker::FocusCodeTracker(std::int16_t& code, QObject* parent) : QObject(parent), m_code(code) { }

void FocusCodeTracker::track(QComboBox* combo, std::int16_t codeOnFocus)
{
    combo->setProperty("focusCode", static_cast<int>(codeOnFocus));
    combo->installEventFilter(this);
    // An editable combo hands the focus to its line edit; watch both.
    if (auto* edit = combo->lineEdit()) {
        edit->setProperty("focusCode", static_cast<int>(codeOnFocus));
        edit->installEventFilter(this);
    }
}

void FocusCodeTracker::detach()
{
    m_detached = true;
    m_code = 0;
}

bool FocusCodeTracker::eventFilter(QObject* watched, QEvent* event)
{
    if (m_detached || (event->type() != QEvent::FocusIn && event->type() != QEvent::FocusOut))
        return false;
    const auto* focus = static_cast<QFocusEvent*>(event);
    if (focus->reason() == Qt::PopupFocusReason)
        return false;
    const auto code = static_cast<std::int16_t>(watched->property("focusCode").toInt());
    if (event->type() == QEvent::FocusIn) {
        m_code = code;
    } else if (m_code == code) {
        if (m_onLeave)
            m_onLeave(code);
        m_code = 0;
    }
    return false;
}

FanDialog::FanDialog(QWidget* owner) : QDialog(owner)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
}

void FanDialog::unload()
{
    if (m_unloaded)
        return;
    markUnloaded();
    hide();
    deleteLater();
}

void FanDialog::closeEvent(QCloseEvent* event)
{
    // A handler of this dialog may be inside a transfer's wait.
    if (shell::putOffCloseInsideLibraryWait(this, event))
        return;
    markUnloaded();
    QDialog::closeEvent(event);
}

void FanDialog::markUnloaded()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    for (auto* timer : findChildren<QTimer*>(Qt::FindDirectChildrenOnly))
        timer->stop();
    aboutToUnload();
}

void FanDialog::fitToContents()
{
    if (auto* top = layout())
        top->activate();
    adjustSize();
}

}  // namespace dialogs
