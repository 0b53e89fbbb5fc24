#include "shell/mnemonics.h"

#include <QKeySequence>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QShortcut>
#include <QWidget>

namespace shell {

void addMnemonics(QWidget* window)
{
    QSet<QChar> taken;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        // A button of another window (a dialog parented here) gets its own.
        if (button->window() != window)
            continue;
        QChar letter;
        for (const QChar c : button->text()) {
            const QChar upper = c.toUpper();
            if (upper >= u'A' && upper <= u'Z' && !taken.contains(upper)) {
                letter = upper;
                break;
            }
        }
        if (letter.isNull())
            continue;
        taken.insert(letter);
        const QKeySequence keys(QStringLiteral("Alt+") + letter);
        auto* shortcut = new QShortcut(keys, window);
        QPointer<QPushButton> target(button);
        QObject::connect(shortcut, &QShortcut::activated, button, [target] {
            if (target && target->isVisible() && target->isEnabled())
                target->animateClick();
        });
        const QString hint = keys.toString(QKeySequence::NativeText);
        button->setToolTip(button->toolTip().isEmpty() ? hint : button->toolTip() + QStringLiteral(" (") + hint + u')');
    }
}

}  // namespace shell
