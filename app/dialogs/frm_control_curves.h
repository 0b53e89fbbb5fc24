// The Control Curves window, opened from the automatic-control dialog: each
// fan's duty-versus-temperature curves as the chip applies them, the live
// operating point, the fan's duty and speed, and curve drags that rewrite
// Tmin or Trange by the dialog's read-modify-write. It reads what it shows
// from the chip on its own timer while it is open.
#pragma once

#include "device/control_curves.h"

#include <QDialog>

#include <array>
#include <functional>

class QGroupBox;
class QLabel;
class QTimer;

namespace dialogs {

class ControlCurvePlot;

class frmControlCurves : public QDialog {
    Q_OBJECT

public:
    explicit frmControlCurves(QWidget* owner = nullptr);

    // Reads the chip and redraws; the timer's work.
    void refresh();
    // Writes `code` into the channel's field, as a finished drag does.
    void applyEdit(device::TempChannel channel, device::CurveHandle handle, int code);
    // Called after a drag's write with the register written, so the owner
    // (the automatic-control dialog) can show the new values.
    void setOnWritten(std::function<void(std::uint8_t)> onWritten) { m_onWritten = std::move(onWritten); }

    ControlCurvePlot* plot(int fan) const { return m_plots[static_cast<std::size_t>(fan - 1)]; }
    const device::CurveRegisters& lastRead() const { return m_regs; }

    static constexpr int RefreshMs = 500;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showPreview(device::TempChannel channel, device::CurveHandle handle, int code);
    void showHint();
    QString channelLine(const device::ChannelCurve& curve, bool leading) const;

    bool dual() const;
    std::array<ControlCurvePlot*, 2> m_plots{};
    std::array<QLabel*, 2> m_duty{};
    std::array<QLabel*, 2> m_speed{};
    std::array<QLabel*, 2> m_channels{};
    std::array<QGroupBox*, 2> m_panels{};
    QLabel* m_mode = nullptr;
    QLabel* m_pending = nullptr;
    QTimer* m_timer = nullptr;
    device::CurveRegisters m_regs;
    bool m_refreshing = false;
    std::function<void(std::uint8_t)> m_onWritten;
};

}  // namespace dialogs
