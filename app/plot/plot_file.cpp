#include "plot/plot_file.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include <cmath>

#include "device/register_file.h"

namespace plot {

double niceStep(double span)
{
    const double raw = span / 5.0;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * mag)
            return m * mag;
    return 10.0 * mag;
}

QString savePlot(const QString& path, const QString& documentTitle,
                 const std::function<void(QPainter&, const QRectF&)>& paint)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("svg") && suffix != QLatin1String("png"))
        return QStringLiteral("%1: the plot is written as .svg or .png; name the file so").arg(path);
    QByteArray bytes;
    const QRectF area(QPointF(0, 0), QSizeF(kFilePlotSize));
    if (suffix == QLatin1String("svg")) {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(kFilePlotSize);
        svg.setViewBox(area);
        svg.setTitle(documentTitle);
        QPainter painter;
        if (!painter.begin(&svg))
            return QStringLiteral("%1: could not draw the plot").arg(path);
        paint(painter, area);
        painter.end();
    } else {
        QImage image(kFilePlotSize, QImage::Format_RGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            paint(painter, area);
        }
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG"))
            return QStringLiteral("%1: could not encode the PNG").arg(path);
    }
    const std::string error = device::writeFileReplacing(
        path.toStdString(), std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    return QString::fromStdString(error);
}

}  // namespace plot
