#include "dialogs/frm_control_curves.h"

#include "dialogs/control_curve_plot.h"
#include "dialogs/dialog_support.h"

#include "device/register_map.h"
#include "shell/application.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace dialogs {

namespace {

// The program's register notation: "25h".
QString registerText(int value)
{
    return QStringLiteral("%1h").arg(QString::number(value & 0xFF, 16).rightJustified(2, QLatin1Char('0')).toUpper());
}

QString percent(double duty) { return QStringLiteral("%1 %").arg(std::lround(duty * 100.0)); }

QString indexed(const char* name, int index) { return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index); }

const char* colourOf(device::TempChannel channel)
{
    switch (channel) {
    case device::TempChannel::Local: return "#2e7d32";
    case device::TempChannel::Remote1: return "#1565c0";
    case device::TempChannel::Remote2: return "#c62828";
    }
    return "#000000";
}

}  // namespace

void frmControlCurves::closeEvent(QCloseEvent* event)
{
    // refresh() or a drag's write may be inside a transfer's wait.
    if (shell::putOffCloseInsideLibraryWait(this, event))
        return;
    QDialog::closeEvent(event);
}

frmControlCurves::frmControlCurves(QWidget* owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("frmControlCurves"));
    setWindowTitle(QStringLiteral("Control Curves"));
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);

    auto* top = new QVBoxLayout(this);
    for (int fan = 1; fan <= 2; ++fan) {
        const auto i = static_cast<std::size_t>(fan - 1);
        auto* panel = new QGroupBox(this);
        panel->setObjectName(indexed("panFan", fan));
        auto* row = new QHBoxLayout(panel);
        auto* plot = new ControlCurvePlot(panel);
        plot->setObjectName(indexed("Curves", fan));
        row->addWidget(plot, 1);
        auto* side = new QVBoxLayout;
        m_duty[i] = new QLabel(panel);
        m_duty[i]->setObjectName(indexed("lblFanDuty", fan));
        m_duty[i]->setToolTip(tr("The duty the curves ask for at the measured temperatures (the chip has no duty "
                                 "read-back)"));
        m_speed[i] = new QLabel(panel);
        m_speed[i]->setObjectName(indexed("lblFanSpeed", fan));
        m_speed[i]->setToolTip(tr("Measured from the fan's tach count"));
        m_channels[i] = new QLabel(panel);
        m_channels[i]->setObjectName(indexed("lblCurveChannels", fan));
        m_channels[i]->setTextFormat(Qt::RichText);
        QFont big = m_duty[i]->font();
        big.setPointSizeF(big.pointSizeF() * 1.3);
        big.setBold(true);
        m_duty[i]->setFont(big);
        m_speed[i]->setFont(big);
        side->addWidget(m_duty[i]);
        side->addWidget(m_speed[i]);
        side->addSpacing(6);
        side->addWidget(m_channels[i]);
        side->addStretch(1);
        row->addLayout(side);
        top->addWidget(panel, 1);
        m_plots[i] = plot;
        m_panels[i] = panel;

        connect(plot, &ControlCurvePlot::dragPreview, this, &frmControlCurves::showPreview);
        connect(plot, &ControlCurvePlot::dragFinished, this, &frmControlCurves::applyEdit);
        connect(plot, &ControlCurvePlot::dragCancelled, this, &frmControlCurves::showHint);
    }
    m_mode = new QLabel(this);
    m_mode->setObjectName(QStringLiteral("lblControlMode"));
    m_mode->setWordWrap(true);
    top->addWidget(m_mode);
    m_pending = new QLabel(this);
    m_pending->setObjectName(QStringLiteral("lblPendingCodes"));
    m_pending->setWordWrap(true);
    top->addWidget(m_pending);
    showHint();

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("tmrCurves"));
    m_timer->setInterval(RefreshMs);
    connect(m_timer, &QTimer::timeout, this, &frmControlCurves::refresh);

    refresh();
    m_timer->start();
    resize(760, dual() ? 620 : 360);
}

bool frmControlCurves::dual() const { return device::isDualChannel(m_regs.deviceId); }

void frmControlCurves::refresh()
{
    // Bus waits yield to the event loop; a tick arriving inside one must not
    // start a second read of the same registers.
    if (m_refreshing)
        return;
    m_refreshing = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m_refreshing};

    m_regs = device::ReadCurveRegisters();
    const auto fans = device::buildFanCurves(m_regs);
    const auto [fromC, toC] = device::temperatureSpan(fans);
    const bool automatic = (m_regs.configuration1 & device::bits::Config1AutoControl) != 0;
    m_panels[1]->setVisible(fans.size() > 1);
    for (std::size_t i = 0; i < fans.size() && i < m_plots.size(); ++i) {
        const auto& fan = fans[i];
        m_panels[i]->setTitle(dual() ? QStringLiteral("Fan%1").arg(fan.fan) : QStringLiteral("Fan"));
        m_plots[i]->setSpan(fromC, toC);
        m_plots[i]->setFan(fan, dual());
        m_duty[i]->setText(automatic ? QStringLiteral("Duty %1").arg(percent(fan.duty))
                                     : QStringLiteral("Duty: not automatic"));
        // A count at its maximum is no stopped fan: only a bound is known.
        if (fan.overflowDivisor != 0)
            m_speed[i]->setText(QString::fromStdString(device::overflowText(fan.overflowDivisor)));
        else
            m_speed[i]->setText(fan.rpm ? QStringLiteral("%1 RPM").arg(*fan.rpm) : QStringLiteral("- RPM"));
        QStringList lines;
        for (std::size_t c = 0; c < fan.curves.size(); ++c)
            lines << channelLine(fan.curves[c], fan.curves.size() > 1 && c == fan.leading);
        m_channels[i]->setText(lines.join(QStringLiteral("<br><br>")));
    }
    m_mode->setText(automatic ? tr("Automatic control is on: each fan runs at the largest duty its curves ask for.")
                              : tr("Automatic control is off: the fans run at their PWM setting; the curves show "
                                   "what automatic control would apply."));
}

QString frmControlCurves::channelLine(const device::ChannelCurve& curve, bool leading) const
{
    const QString name = QString::fromLatin1(device::channelName(curve.channel, dual()));
    const QString reading =
        curve.temperature ? QStringLiteral("%1 °C").arg(*curve.temperature, 0, 'f', 1) : tr("no reading (full duty)");
    QString line = QStringLiteral("<span style=\"color:%1\"><b>%2</b></span> %3<br>Tmin %4 °C, Trange %5 °C<br>"
                                  "asks %6")
                       .arg(QLatin1String(colourOf(curve.channel)), name, reading)
                       .arg(curve.tminC)
                       .arg(curve.trangeC)
                       .arg(percent(curve.duty));
    if (leading)
        line += tr(" <b>(largest)</b>");
    return line;
}

void frmControlCurves::showHint()
{
    m_pending->setText(tr("Drag a curve's left square to move Tmin (4 °C steps) or its right square to move the top "
                          "of the ramp (Trange 5, 10, 20, 40 or 80 °C); the codes are shown before the write."));
}

void frmControlCurves::showPreview(device::TempChannel channel, device::CurveHandle handle, int code)
{
    const auto write =
        handle == device::CurveHandle::Tmin ? device::tminWrite(channel, code) : device::trangeWrite(channel, code);
    const auto old = m_regs.tminTrange[static_cast<std::size_t>(device::channelIndex(channel))];
    const QString name = QString::fromLatin1(device::channelName(channel, dual()));
    const QString field =
        handle == device::CurveHandle::Tmin
            ? QStringLiteral("Tmin %1 °C, bits %2").arg(code * chiplaw::TminStepDegrees).arg(bitsText(code, 5))
            : QStringLiteral("Trange %1 °C, bits %2")
                  .arg(chiplaw::TrangeDegrees[static_cast<std::size_t>(code)])
                  .arg(bitsText(code, 3));
    m_pending->setText(
        tr("%1 %2: %3 %4 → %5 on release")
            .arg(name, field, registerText(write.reg), registerText(old), registerText(write.applyTo(old))));
}

void frmControlCurves::applyEdit(device::TempChannel channel, device::CurveHandle handle, int code)
{
    const auto write =
        handle == device::CurveHandle::Tmin ? device::tminWrite(channel, code) : device::trangeWrite(channel, code);
    modifyChip(write.reg, write.keep, write.insert);
    showHint();
    if (m_onWritten)
        m_onWritten(write.reg);
    refresh();
}

}  // namespace dialogs
