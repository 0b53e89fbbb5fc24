// Window state is shown (and in places read back) through label text
// colours held as 0xBBGGRR values, the notation the chip's tools use.
#pragma once

#include <QColor>
#include <cstdint>

class QWidget;

namespace shell {

inline constexpr std::uint32_t kGreen = 0x008000;
inline constexpr std::uint32_t kBrightGreen = 0x00FF00;
inline constexpr std::uint32_t kYellow = 0x00FFFF;
inline constexpr std::uint32_t kRed = 0x0000FF;
inline constexpr std::uint32_t kDarkRed = 0x0000C0;
// The system's application-workspace colour: the colour of an entry that is
// not selected.
inline constexpr std::uint32_t kAppWorkspace = 0xABABAB;

constexpr QRgb toRgb(std::uint32_t bbggrr) { return qRgb(bbggrr & 0xFF, (bbggrr >> 8) & 0xFF, (bbggrr >> 16) & 0xFF); }

constexpr std::uint32_t toBgr(QRgb rgb)
{
    return static_cast<std::uint32_t>(qRed(rgb)) | (static_cast<std::uint32_t>(qGreen(rgb)) << 8) |
           (static_cast<std::uint32_t>(qBlue(rgb)) << 16);
}

// WCAG contrast ratio of two colours (1 to 21).
double contrastRatio(QColor a, QColor b);
// `text` itself when it reaches `minimum` contrast on `ground`, otherwise the
// nearest colour of the same hue and saturation that does (lighter on a dark
// ground, darker on a light one).
QColor readableOn(QColor text, QColor ground, double minimum = 4.5);
// The colour a label coloured `bbggrr` is drawn in on `ground`; a dark
// desktop palette asks for readable colours, the default one keeps them.
std::uint32_t shownColour(std::uint32_t bbggrr, QColor ground, bool darkDesktop);

// Sets and reads the foreground (WindowText) colour of a label or control.
// What is read back is always the colour set, whatever is drawn.
void setTextColour(QWidget* widget, std::uint32_t bbggrr);
std::uint32_t textColour(const QWidget* widget);

}  // namespace shell
