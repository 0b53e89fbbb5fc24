#include "widgets/label_button.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QWidget>
#include <cstdlib>
#include <limits>

namespace widgets {

namespace {

// Drawn over the label as a child, so the label itself paints as before.
class FocusFrame : public QWidget {
public:
    explicit FocusFrame(QWidget* parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
        setObjectName(QStringLiteral("labelFocusFrame"));
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
    }
};

class LabelButtonAccessible : public QAccessibleWidget {
public:
    explicit LabelButtonAccessible(QWidget* label) : QAccessibleWidget(label, QAccessible::Button) { }

    QString text(QAccessible::Text t) const override
    {
        QString s = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && s.isEmpty())
            s = static_cast<const QLabel*>(widget())->text();
        return s;
    }
    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }
    void doAction(const QString& name) override
    {
        if (name != pressAction())
            return QAccessibleWidget::doAction(name);
        if (LabelButton* button = LabelButton::of(widget()))
            button->activate();
    }
    QStringList keyBindingsForAction(const QString& name) const override
    {
        if (name == pressAction())
            return {QStringLiteral("Space")};
        return QAccessibleWidget::keyBindingsForAction(name);
    }
};

QAccessibleInterface* labelButtonFactory(const QString&, QObject* object)
{
    auto* label = qobject_cast<QLabel*>(object);
    return label && LabelButton::of(label) ? new LabelButtonAccessible(label) : nullptr;
}

bool plainKey(const QKeyEvent* key) { return (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier; }

}  // namespace

LabelButton::LabelButton(QLabel* label, std::function<void()> handler)
    : QObject(label), m_label(label), m_handler(std::move(handler))
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(labelButtonFactory);
        return true;
    }();
    (void)factoryInstalled;
    setObjectName(QStringLiteral("labelButton"));
    // Setting a label's text already made and cached its plain-text
    // interface; drop it so the next query meets the button.
    if (QAccessibleInterface* cached = QAccessible::queryAccessibleInterface(label);
        cached && cached->role() != QAccessible::Button)
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(cached));
    label->setFocusPolicy(Qt::StrongFocus);
    m_frame = new FocusFrame(label);
    m_frame->setGeometry(label->rect());
    label->installEventFilter(this);
}

void LabelButton::activate()
{
    if (m_handler && m_label->isEnabled())
        m_handler();
}

bool LabelButton::focusFrameShown() const { return m_frame->isVisible(); }

LabelButton* LabelButton::of(const QObject* label)
{
    return label ? label->findChild<LabelButton*>(QStringLiteral("labelButton"), Qt::FindDirectChildrenOnly) : nullptr;
}

bool LabelButton::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_label)
        return false;
    switch (event->type()) {
    case QEvent::KeyPress: {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (!plainKey(key))
            return false;
        switch (key->key()) {
        case Qt::Key_Space:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (!key->isAutoRepeat())
                activate();
            return true;
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Left:
        case Qt::Key_Right:
            if (!m_group)
                return false;
            m_group->move(this, key->key());
            return true;
        default: return false;
        }
    }
    case QEvent::FocusIn: {
        // A frame after a mouse click would only echo the pointer.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::MouseFocusReason && reason != Qt::PopupFocusReason) {
            m_frame->setGeometry(m_label->rect());
            m_frame->show();
            m_frame->raise();
        }
        if (m_group)
            m_group->focused(this);
        return false;
    }
    case QEvent::FocusOut: m_frame->hide(); return false;
    case QEvent::Resize: m_frame->setGeometry(m_label->rect()); return false;
    case QEvent::ShowToParent:
    case QEvent::HideToParent:
    case QEvent::EnabledChange:
        if (m_group)
            m_group->refreshTabStop();
        return false;
    default: return false;
    }
}

LabelButtonGroup::LabelButtonGroup(QObject* parent) : QObject(parent) { }

LabelButton* LabelButtonGroup::add(QLabel* label, std::function<void()> handler, int row, int column)
{
    auto* button = LabelButton::of(label);
    if (!button)
        button = new LabelButton(label, std::move(handler));
    button->m_group = this;
    m_members.push_back({button, row, column});
    refreshTabStop();
    return button;
}

LabelButton* LabelButtonGroup::add(QLabel* label, std::function<void()> handler)
{
    return add(label, std::move(handler), int(m_members.size()));
}

bool LabelButtonGroup::available(const Member& member)
{
    return member.button && !member.button->label()->isHidden() && member.button->label()->isEnabled();
}

int LabelButtonGroup::indexOf(const LabelButton* button) const
{
    for (std::size_t i = 0; i < m_members.size(); ++i)
        if (m_members[i].button == button)
            return int(i);
    return -1;
}

QLabel* LabelButtonGroup::tabStop() const
{
    if (m_current >= 0 && m_current < int(m_members.size()) && available(m_members[std::size_t(m_current)]))
        return m_members[std::size_t(m_current)].button->label();
    return nullptr;
}

void LabelButtonGroup::focused(const LabelButton* button)
{
    const int index = indexOf(button);
    if (index < 0 || index == m_current)
        return;
    m_current = index;
    refreshTabStop();
}

void LabelButtonGroup::refreshTabStop()
{
    // The member used last keeps the Tab stop while it can take the focus;
    // otherwise the first one that can.
    if (m_current < 0 || m_current >= int(m_members.size()) || !available(m_members[std::size_t(m_current)])) {
        m_current = 0;
        for (std::size_t i = 0; i < m_members.size(); ++i)
            if (available(m_members[i])) {
                m_current = int(i);
                break;
            }
    }
    for (std::size_t i = 0; i < m_members.size(); ++i)
        if (m_members[i].button)
            m_members[i].button->label()->setFocusPolicy(int(i) == m_current ? Qt::StrongFocus : Qt::ClickFocus);
}

void LabelButtonGroup::move(const LabelButton* from, int key)
{
    const int index = indexOf(from);
    if (index < 0)
        return;
    const Member& here = m_members[std::size_t(index)];
    const bool vertical = key == Qt::Key_Up || key == Qt::Key_Down;
    const int direction = key == Qt::Key_Down || key == Qt::Key_Right ? 1 : -1;
    // Up and Down: the nearest row of the same column. Left and Right: the
    // nearest column that way, and in it the row closest to this one.
    const Member* best = nullptr;
    long bestScore = std::numeric_limits<long>::max();
    for (const Member& m : m_members) {
        if (&m == &here || !available(m))
            continue;
        const int along = vertical ? m.row - here.row : m.column - here.column;
        const int across = vertical ? m.column - here.column : m.row - here.row;
        if (along * direction <= 0 || (vertical && across != 0))
            continue;
        const long score = long(std::abs(along)) * 1000 + std::abs(across);
        if (score < bestScore) {
            bestScore = score;
            best = &m;
        }
    }
    if (best)
        best->button->label()->setFocus(Qt::TabFocusReason);
}

}  // namespace widgets
