#include "widgets/indicators.h"

#include <QLabel>
#include <QPainter>
#include <QSlider>
#include <QVBoxLayout>

namespace widgets {

namespace {
QColor fromBgr(unsigned bgr) { return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF)); }

// Black or white, whichever reads better on the fill (by perceived
// brightness: pure green takes black, pure red white).
QColor textOn(const QColor& fill)
{
    const double brightness = 0.299 * fill.red() + 0.587 * fill.green() + 0.114 * fill.blue();
    return brightness > 140 ? Qt::black : Qt::white;
}
}  // namespace

ToggleIndicator::ToggleIndicator(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ToggleIndicator::setBad(bool bad)
{
    if (bad == m_bad)
        return;
    m_bad = bad;
    update();
}

void ToggleIndicator::setNoAnswer(bool noAnswer)
{
    if (noAnswer == m_noAnswer)
        return;
    m_noAnswer = noAnswer;
    update();
}

QString ToggleIndicator::stateText() const
{
    if (m_noAnswer)
        return QStringLiteral("Lost");
    return m_bad ? QStringLiteral("Alarm") : QStringLiteral("OK");
}

QSize ToggleIndicator::sizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    return {fm.height() + 6 + fm.horizontalAdvance(QStringLiteral("Alarm")) + 4, fm.height() + 4};
}

void ToggleIndicator::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int d = std::min(height(), fontMetrics().height()) - 2;
    const QRectF lamp(1, (height() - d) / 2.0, d, d);
    const QColor fill = fromBgr(m_noAnswer ? 0x808080u : colourBgr());
    QRadialGradient glow(lamp.center() - QPointF(d / 5.0, d / 5.0), d * 0.7);
    glow.setColorAt(0, fill.lighter(150));
    glow.setColorAt(1, fill.darker(115));
    p.setPen(QPen(fill.darker(180), 1));
    p.setBrush(glow);
    p.drawEllipse(lamp);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRectF(lamp.right() + 5, 0, width() - lamp.right() - 5, height()), Qt::AlignLeft | Qt::AlignVCenter,
               stateText());
}

StatusShape::StatusShape(QWidget* parent) : QWidget(parent) { setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed); }

void StatusShape::setFillBgr(unsigned bgr)
{
    m_fill = bgr & 0xFFFFFF;
    update();
}

void StatusShape::setText(const QString& text)
{
    m_text = text;
    updateGeometry();
    update();
}

QSize StatusShape::sizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    return {std::max(fm.height() * 2, fm.horizontalAdvance(m_text) + 14), fm.height() + 10};
}

void StatusShape::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor fill = fromBgr(m_fill);
    p.setPen(QPen(fill.darker(170), 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    p.setPen(textOn(fill));
    p.drawText(rect(), Qt::AlignCenter, m_text);
}

CaptionedSlider::CaptionedSlider(QWidget* parent)
    : QWidget(parent), m_caption(new QLabel(this)), m_slider(new QSlider(Qt::Horizontal, this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    m_caption->setAlignment(Qt::AlignHCenter);
    QFont bold = m_caption->font();
    bold.setBold(true);
    m_caption->setFont(bold);
    layout->addWidget(m_caption);
    layout->addWidget(m_slider);
    m_slider->setTickPosition(QSlider::TicksBelow);
}

void CaptionedSlider::setCaption(const QString& caption) { m_caption->setText(caption); }
QString CaptionedSlider::caption() const { return m_caption->text(); }
int CaptionedSlider::value() const { return m_slider->value(); }
void CaptionedSlider::setValue(int value) { m_slider->setValue(value); }

}  // namespace widgets
