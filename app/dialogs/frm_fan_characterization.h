// "Characterise Fan": runs the device layer's fan measurement on a thread of
// its own through a device session, draws the plot as the points come in,
// and saves the result (CSV, PNG, SVG). Closing the window cancels a running
// measurement and hides the window at once; the window closes for good (and
// reports) once the measurement has restored the chip's registers. It never
// waits for the measurement, which may take a step's length to notice the
// cancel; the user-interface thread stays free.
#pragma once

#include "device/device_session.h"
#include "device/fan_characterization.h"
#include "plot/fan_curve_plot.h"

#include <QDialog>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace dialogs {

// The plot on screen: the shared painter in the palette's colours.
class FanCurveView : public QWidget {
    Q_OBJECT
public:
    explicit FanCurveView(QWidget* parent = nullptr);
    // `verdicts`, one per fan, for a measurement still under way; none:
    // every verdict of `fans` is final.
    void setFans(std::vector<device::FanCharacterization> fans, std::vector<plot::FanVerdicts> verdicts = {});
    const std::vector<device::FanCharacterization>& fans() const { return m_fans; }
    const std::vector<plot::FanVerdicts>& verdicts() const { return m_verdicts; }
    QSize sizeHint() const override { return {640, 400}; }
    QSize minimumSizeHint() const override { return {360, 240}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<device::FanCharacterization> m_fans;
    std::vector<plot::FanVerdicts> m_verdicts;
};

class frmFanCharacterization : public QDialog {
    Q_OBJECT
public:
    // `chip`: where the program's chip is; the window opens its own session.
    frmFanCharacterization(const device::ChipLocation& chip, QWidget* parent = nullptr);
    ~frmFanCharacterization() override;
    frmFanCharacterization(const frmFanCharacterization&) = delete;
    frmFanCharacterization& operator=(const frmFanCharacterization&) = delete;

    // For tests: the measurement's clock, and how it ended.
    void setOptions(const device::CharacterizationOptions& options) { m_options = options; }
    bool running() const { return m_worker.joinable() && !m_finished; }
    // A close came while measuring: hidden, waiting for the measurement's end.
    bool closing() const { return m_closeWhenDone; }
    const std::optional<device::CharacterizationRun>& lastRun() const { return m_run; }
    FanCurveView* view() const { return m_view; }

public slots:
    void start();
    void cancel();
    void save();

signals:
    void finished(int outcome);  // a CharacterizationOutcome

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    void onProgress(const device::CharacterizationProgress& progress);
    // What the run changes beyond the fan measured, told before it sweeps.
    void onNotice(const QString& text);
    void onDone(device::CharacterizationRun run);
    void stopWorker();
    void setRunning(bool running);

    device::Session m_session;
    device::CharacterizationOptions m_options;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    bool m_finished = true;
    bool m_closeWhenDone = false;
    std::optional<device::CharacterizationRun> m_run;
    // The sweep so far, with only what it has decided filled in.
    std::vector<device::FanCharacterization> m_live;
    std::vector<plot::FanVerdicts> m_liveVerdicts;

    QComboBox* m_fan = nullptr;
    FanCurveView* m_view = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_notice = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_close = nullptr;
};

}  // namespace dialogs
