// Small builders the main window's tab files share: every widget gets the
// object name the rest of the program and the tests look it up by.
#pragma once

#include <QLabel>
#include <QString>

namespace mainwindow::form {

inline QString indexedName(const char* name, int index)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index);
}

inline QLabel* makeLabel(const QString& text, const char* name, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

template <typename T> T* named(T* widget, const QString& name)
{
    widget->setObjectName(name);
    return widget;
}

}  // namespace mainwindow::form
