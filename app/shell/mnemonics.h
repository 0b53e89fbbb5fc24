#pragma once
// Alt+letter for the push buttons of a window, without an ampersand in their
// captions: the captions are the system's own texts, read back as they are.

class QWidget;

namespace shell {

// Gives every push button of `window` (present now) an Alt+letter shortcut,
// the first letter of its caption not taken yet in that window, and names it
// in the button's tooltip. A shortcut presses its button only while the
// button can be seen and used, so buttons on hidden tabs stay out of reach.
void addMnemonics(QWidget* window);

}  // namespace shell
