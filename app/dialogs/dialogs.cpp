#include "dialogs/dialogs.h"

namespace dialogs {

void showSpinUp(QWidget*) {}
void showFiltered(QWidget*) {}
void showRPMFeedback(QWidget*) {}
void showPWMSelect(QWidget*) {}

void unloadSpinUp() {}
void unloadFiltered() {}
void unloadRPMFeedback() {}
void unloadPWMSelect() {}

void unloadAll()
{
    unloadSpinUp();
    unloadFiltered();
    unloadRPMFeedback();
    unloadPWMSelect();
}

bool isSpinUpLoaded() { return false; }
bool isFilteredLoaded() { return false; }
bool isRPMFeedbackLoaded() { return false; }
bool isPWMSelectLoaded() { return false; }

}  // namespace dialogs
