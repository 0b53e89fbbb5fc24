// "Tune Automatic Control": identifies a remote channel's thermal loop (the
// path plotted live), proposes Tmin, Trange and the minimum duty for a
// target with the predicted path drawn on the control curves, applies them
// as one undoable write group through the register link, and verifies them
// on the board, the measured path drawn over the predicted one.
//
// Identify and Verify run the device layer's thermal loop on a thread of
// their own through a device session of their own, as the fan
// characterisation window does, and for the same reasons: the window never
// waits for the run (a close may arrive inside a yielding register-link
// transfer whose thread holds the bus mutex the run needs to restore the
// chip); closing cancels, hides, and closes for good when the run has put
// the heater and the registers back.
#pragma once

#include "device/device_session.h"
#include "device/thermal_loop.h"

#include <QDialog>
#include <QWidget>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace plot {
struct ThermalPlot;
}

namespace dialogs {

class ControlCurvePlot;

// The thermal path on screen: app/plot's painter in the palette's colours.
class ThermalView : public QWidget {
    Q_OBJECT
public:
    explicit ThermalView(QWidget* parent = nullptr);
    ~ThermalView() override;
    void setPlot(const plot::ThermalPlot& data);
    // One more reading of the measured path (a live run): no copy of the rest.
    void append(const device::TracePoint& point);
    const plot::ThermalPlot& data() const { return *m_data; }
    QSize sizeHint() const override { return {640, 260}; }
    QSize minimumSizeHint() const override { return {360, 180}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void describe();
    std::unique_ptr<plot::ThermalPlot> m_data;
};

class frmThermalTuning : public QDialog {
    Q_OBJECT
public:
    frmThermalTuning(const device::ChipLocation& chip, QWidget* parent = nullptr);
    ~frmThermalTuning() override;
    frmThermalTuning(const frmThermalTuning&) = delete;
    frmThermalTuning& operator=(const frmThermalTuning&) = delete;

    // For tests: the runs' clock.
    void setOptions(const device::ThermalOptions& options) { m_options = options; }
    bool running() const { return m_worker.joinable() && !m_finished; }
    bool closing() const { return m_closeWhenDone; }
    const std::optional<device::ThermalModel>& model() const { return m_model; }
    const std::optional<device::TuneChoice>& choice() const { return m_choice; }
    const std::optional<device::VerifyResult>& verified() const { return m_verified; }
    ThermalView* view() const { return m_view; }
    ControlCurvePlot* curves() const { return m_curves; }

public slots:
    void identify();
    void propose();
    void apply();
    void verify();
    void cancel();

signals:
    // A run's end: Identify (0) or Verify (1), and its CharacterizationOutcome.
    void finished(int run, int outcome);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    enum class Run { Identify, Verify };
    void startRun(Run run);
    void onSample(const device::TracePoint& point);
    void onProgress(const device::ThermalProgress& progress);
    void onIdentified(device::ThermalRun run);
    void onVerified(device::VerifyResult result);
    QString restoreText(const device::RestoreReport& restore, bool heaterRestored) const;
    void showCurves();
    void setRunning(bool running);
    void stopWorker();
    int channel() const;
    int fan() const;

    device::Session m_session;
    device::ThermalOptions m_options;
    bool m_heater = false;  // the evaluation board's heater is reachable (printer port)
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    bool m_finished = true;
    bool m_closeWhenDone = false;
    Run m_run = Run::Identify;
    std::vector<device::TracePoint> m_live;  // the verification's readings so far
    std::optional<device::ThermalModel> m_model;
    std::optional<device::TuneChoice> m_choice;
    bool m_applied = false;  // m_choice is in the chip, written by Apply
    std::optional<device::VerifyResult> m_verified;

    QComboBox* m_channel = nullptr;
    ThermalView* m_view = nullptr;
    QDoubleSpinBox* m_target = nullptr;
    QSpinBox* m_verifyS = nullptr;
    ControlCurvePlot* m_curves = nullptr;
    QLabel* m_proposal = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_identify = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_apply = nullptr;
    QPushButton* m_verify = nullptr;
    QPushButton* m_close = nullptr;
};

}  // namespace dialogs
