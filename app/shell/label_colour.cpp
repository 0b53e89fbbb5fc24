#include "shell/label_colour.h"

#include <QGuiApplication>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <QVariant>
#include <QWidget>

namespace shell {

namespace {
constexpr const char* kLogicalColour = "fanscopeTextBgr";
// The workspace grey is barely legible on a light panel; there it is drawn
// darker, while the colour the window logic reads back stays the same.
constexpr std::uint32_t kWorkspaceOnLight = 0x707070;

double luminance(QColor c)
{
    const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}
}  // namespace

double contrastRatio(QColor a, QColor b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(QColor text, QColor ground, double minimum)
{
    if (contrastRatio(text, ground) >= minimum)
        return text;
    const QColor hsl = text.toHsl();
    const float hue = hsl.hslHueF();
    const float saturation = hsl.hslSaturationF();
    const bool lighten = luminance(ground) < 0.18;
    // Small lightness steps: the first that reads is the nearest colour.
    for (int step = 1; step <= 200; ++step) {
        const float lightness = std::clamp(hsl.lightnessF() + (lighten ? 0.005f : -0.005f) * float(step), 0.0f, 1.0f);
        const QColor candidate = QColor::fromHslF(hue < 0 ? 0 : hue, saturation, lightness).toRgb();
        if (contrastRatio(candidate, ground) >= minimum || lightness <= 0.0f || lightness >= 1.0f)
            return candidate;
    }
    return text;
}

std::uint32_t shownColour(std::uint32_t bbggrr, QColor ground, bool darkDesktop)
{
    const bool lightBackground = ground.lightnessF() > 0.5;
    if (bbggrr == kAppWorkspace && lightBackground)
        return kWorkspaceOnLight;
    if (!darkDesktop)
        return bbggrr;
    return toBgr(readableOn(QColor::fromRgb(toRgb(bbggrr)), ground).rgb());
}

void setTextColour(QWidget* widget, std::uint32_t bbggrr)
{
    QPalette palette = widget->palette();
    const bool darkDesktop = QGuiApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
    const std::uint32_t shown = shownColour(bbggrr, palette.color(widget->backgroundRole()), darkDesktop);
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
