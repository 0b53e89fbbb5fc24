#include "shell/label_colour.h"

#include <QPalette>
#include <QWidget>

namespace shell {

void setTextColour(QWidget* widget, std::uint32_t bbggrr)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, QColor::fromRgb(toRgb(bbggrr)));
    palette.setColor(QPalette::Text, QColor::fromRgb(toRgb(bbggrr)));
    widget->setPalette(palette);
}

std::uint32_t textColour(const QWidget* widget)
{
    return toBgr(widget->palette().color(QPalette::WindowText).rgb());
}

}  // namespace shell
