#include "widgets/ribbon_toggle.h"

#include <QPainter>

namespace widgets {

RibbonToggle::RibbonToggle(QWidget* parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize RibbonToggle::sizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    const int knob = fm.height() + 4;
    return {knob + fm.horizontalAdvance(QStringLiteral("OFF")) + 18, knob + 4};
}

void RibbonToggle::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    const bool on = isChecked();
    const QColor track = on ? QColor(0x2f, 0x9e, 0x44) : QColor(0x86, 0x8e, 0x96);
    p.setPen(hasFocus() ? QPen(palette().color(QPalette::Highlight), 2) : QPen(track.darker(130), 1));
    p.setBrush(isEnabled() ? track : track.lighter(140));
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);

    const double knob = r.height() - 4;
    const QRectF knobRect(on ? r.right() - knob - 2 : r.left() + 2, r.top() + 2, knob, knob);
    p.setPen(QPen(QColor(0, 0, 0, 60), 1));
    p.setBrush(Qt::white);
    p.drawEllipse(knobRect);

    p.setPen(Qt::white);
    QFont f = font();
    f.setBold(true);
    p.setFont(f);
    const QRectF textRect = on ? QRectF(r.left() + 6, r.top(), knobRect.left() - r.left() - 6, r.height())
                               : QRectF(knobRect.right(), r.top(), r.right() - knobRect.right() - 4, r.height());
    p.drawText(textRect, Qt::AlignCenter, on ? QStringLiteral("ON") : QStringLiteral("OFF"));
}

}  // namespace widgets
