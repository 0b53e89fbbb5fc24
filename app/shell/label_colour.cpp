#include "shell/label_colour.h"

#include <QPalette>
#include <QVariant>
#include <QWidget>

namespace shell {

namespace {
constexpr const char* kLogicalColour = "fanscopeTextBgr";
// The workspace grey is barely legible on a light panel; there it is drawn
// darker, while the colour the window logic reads back stays the same.
constexpr std::uint32_t kWorkspaceOnLight = 0x707070;
}  // namespace

void setTextColour(QWidget* widget, std::uint32_t bbggrr)
{
    QPalette palette = widget->palette();
    const bool lightBackground = palette.color(widget->backgroundRole()).lightnessF() > 0.5;
    const std::uint32_t shown = bbggrr == kAppWorkspace && lightBackground ? kWorkspaceOnLight : bbggrr;
    palette.setColor(QPalette::WindowText, QColor::fromRgb(toRgb(shown)));
    palette.setColor(QPalette::Text, QColor::fromRgb(toRgb(shown)));
    widget->setPalette(palette);
    widget->setProperty(kLogicalColour, QVariant::fromValue(bbggrr));
}

std::uint32_t textColour(const QWidget* widget)
{
    const QVariant logical = widget->property(kLogicalColour);
    if (logical.isValid())
        return logical.value<std::uint32_t>();
    return toBgr(widget->palette().color(QPalette::WindowText).rgb());
}

}  // namespace shell
