#include "dialogs/dialogs.h"

#include "dialogs/frm_filtered.h"
#include "dialogs/frm_pwm_select.h"
#include "dialogs/frm_rpm_feedback.h"
#include "dialogs/frm_spin_up.h"

#include <QPointer>

namespace dialogs {

namespace {

// The loaded instance of each dialog; a closed or unloaded one no longer
// counts even while its window waits for deletion.
template <class Dialog> QPointer<Dialog>& slot()
{
    static QPointer<Dialog> instance;
    return instance;
}

template <class Dialog> Dialog* loaded()
{
    auto& instance = slot<Dialog>();
    return instance && !instance->unloaded() ? instance.data() : nullptr;
}

template <class Dialog> void show(QWidget* owner)
{
    auto* dialog = loaded<Dialog>();
    if (!dialog) {
        dialog = new Dialog(owner);
        slot<Dialog>() = dialog;
        try {
            dialog->Form_Load();
        } catch (...) {
            // A load that failed on the bus leaves nothing half-loaded behind.
            slot<Dialog>() = nullptr;
            delete dialog;
            throw;
        }
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

template <class Dialog> void unload()
{
    if (auto* dialog = loaded<Dialog>())
        dialog->unload();
    slot<Dialog>() = nullptr;
}

}  // namespace

void showSpinUp(QWidget* owner) { show<frmSpinUp>(owner); }
void showFiltered(QWidget* owner) { show<frmFiltered>(owner); }
void showRPMFeedback(QWidget* owner) { show<frmRPMFeedback>(owner); }
void showPWMSelect(QWidget* owner) { show<frmPWMSelect>(owner); }

void unloadSpinUp() { unload<frmSpinUp>(); }
void unloadFiltered() { unload<frmFiltered>(); }
void unloadRPMFeedback() { unload<frmRPMFeedback>(); }
void unloadPWMSelect() { unload<frmPWMSelect>(); }

void unloadAll()
{
    unloadSpinUp();
    unloadFiltered();
    unloadRPMFeedback();
    unloadPWMSelect();
}

bool isSpinUpLoaded() { return loaded<frmSpinUp>() != nullptr; }
bool isFilteredLoaded() { return loaded<frmFiltered>() != nullptr; }
bool isRPMFeedbackLoaded() { return loaded<frmRPMFeedback>() != nullptr; }
bool isPWMSelectLoaded() { return loaded<frmPWMSelect>() != nullptr; }

}  // namespace dialogs
