// The program's entry procedure: splash, library, search wizard.
#pragma once

namespace startup {

class InitForm;

// Shows the splash, creates the program's one library object and holds the
// board's upper data lines high, loads and shows the search wizard, then
// removes the splash. Returns the wizard, which deletes itself when closed.
// Runs without returning to the event loop between its steps. When the
// library or its objects cannot be created it reports the error and returns
// nullptr without showing a window: the program then ends with a failure.
InitForm* Main();

}  // namespace startup
