// Opening and closing the fan configuration dialogs. Each dialog exists at
// most once per process ("loaded"); showing one that is not loaded loads it,
// which reads its state from the chip. All four are modeless.
#pragma once

class QWidget;

namespace dialogs {

// Load the dialog if needed, then show it modeless and raise it. `owner` is
// the window the dialog stays above (may be null).
void showSpinUp(QWidget* owner);
void showFiltered(QWidget* owner);
void showRPMFeedback(QWidget* owner);
void showPWMSelect(QWidget* owner);

// Unloading a dialog that is not loaded does nothing. Safe to call from one
// of the dialog's own handlers: the window goes away once control returns to
// the event loop, but it counts as unloaded at once.
void unloadSpinUp();
void unloadFiltered();
void unloadRPMFeedback();
void unloadPWMSelect();

// The main window's unload: every dialog in the order the window closes them.
void unloadAll();

bool isSpinUpLoaded();
bool isFilteredLoaded();
bool isRPMFeedbackLoaded();
bool isPWMSelectLoaded();

}  // namespace dialogs
