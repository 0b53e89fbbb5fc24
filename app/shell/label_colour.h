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

constexpr QRgb toRgb(std::uint32_t bbggrr)
{
    return qRgb(bbggrr & 0xFF, (bbggrr >> 8) & 0xFF, (bbggrr >> 16) & 0xFF);
}

constexpr std::uint32_t toBgr(QRgb rgb)
{
    return static_cast<std::uint32_t>(qRed(rgb)) | (static_cast<std::uint32_t>(qGreen(rgb)) << 8) |
           (static_cast<std::uint32_t>(qBlue(rgb)) << 16);
}

// Sets and reads the foreground (WindowText) colour of a label or control.
void setTextColour(QWidget* widget, std::uint32_t bbggrr);
std::uint32_t textColour(const QWidget* widget);

}  // namespace shell
