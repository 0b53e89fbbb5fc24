#include "dialogs/frm_thermal_tuning.h"

#include "device/back_end.h"
#include "device/control_curves.h"
#include "device/register_map.h"
#include "device/write_log.h"
#include "dialogs/control_curve_plot.h"
#include "dialogs/dialog_support.h"
#include "plot/thermal_plot.h"
#include "shell/mnemonics.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace dialogs {

namespace {

QString hexByte(std::uint8_t v)
{
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%02X", v);
    return QString::fromLatin1(text);
}

QString label(std::uint8_t reg) { return QString::fromStdString(device::registerLabel(reg)); }

std::vector<device::CurvePoint> curvePath(const std::vector<device::TracePoint>& trace)
{
    std::vector<device::CurvePoint> out;
    out.reserve(trace.size());
    for (const device::TracePoint& p : trace)
        out.push_back({p.temperatureC, p.dutyPercent / 100.0});
    return out;
}

}  // namespace

ThermalView::ThermalView(QWidget* parent) : QWidget(parent), m_data(std::make_unique<plot::ThermalPlot>())
{
    setAccessibleName(tr("Temperature and fan duty against time"));
    setFocusPolicy(Qt::StrongFocus);
}

ThermalView::~ThermalView() = default;

void ThermalView::setPlot(const plot::ThermalPlot& data)
{
    *m_data = data;
    describe();
}

void ThermalView::append(const device::TracePoint& point)
{
    m_data->trace.push_back(point);
    describe();
}

void ThermalView::describe()
{
    QString text = tr("%1 readings").arg(m_data->trace.size());
    if (!m_data->trace.empty())
        text += tr(", now %1 °C at %2 % duty")
                    .arg(m_data->trace.back().temperatureC, 0, 'f', 2)
                    .arg(m_data->trace.back().dutyPercent, 0, 'f', 0);
    if (!m_data->summary.isEmpty())
        text += QStringLiteral("; ") + m_data->summary;
    setAccessibleDescription(text);
    setToolTip(text);
    update();
}

void ThermalView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    plot::paintThermal(painter, QRectF(rect()), *m_data, plot::FanPlotColours::fromPalette(palette()));
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.drawRect(rect().adjusted(1, 1, -1, -1));
    }
}

frmThermalTuning::frmThermalTuning(const device::ChipLocation& chip, QWidget* parent)
    : QDialog(parent), m_session(chip), m_heater(chip.medium == device::Medium::PrinterPort)
{
    setObjectName(QStringLiteral("frmThermalTuning"));
    setWindowTitle(tr("Tune Automatic Control"));
    setModal(false);
    m_options.timeScale = device::boardTimeScale();

    auto* top = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* channelLabel = new QLabel(tr("Channel:"), this);
    m_channel = new QComboBox(this);
    m_channel->setObjectName(QStringLiteral("cmbChannel"));
    m_channel->setAccessibleName(tr("Remote channel to tune"));
    const bool dual = m_session.dualChannel();
    m_channel->addItem(dual ? tr("Remote 1, cooled by fan 1") : tr("Remote, cooled by the fan"), 1);
    if (dual)
        m_channel->addItem(tr("Remote 2, cooled by fan 2"), 2);
    channelLabel->setBuddy(m_channel);
    row->addWidget(channelLabel);
    row->addWidget(m_channel);
    row->addStretch(1);
    auto* board = new QLabel(
        QString::fromStdString(device::chipLine(chip)) + (chip.simulated ? tr(" (simulated board)") : QString()), this);
    board->setObjectName(QStringLiteral("lblChip"));
    row->addWidget(board);
    top->addLayout(row);

    m_view = new ThermalView(this);
    m_view->setObjectName(QStringLiteral("ThermalPath"));
    top->addWidget(m_view, 3);

    auto* settings = new QHBoxLayout;
    auto* targetLabel = new QLabel(tr("Target at full heat:"), this);
    m_target = new QDoubleSpinBox(this);
    m_target->setObjectName(QStringLiteral("spnTarget"));
    m_target->setAccessibleName(tr("Target temperature"));
    m_target->setRange(-40, 125);
    m_target->setDecimals(1);
    m_target->setSingleStep(0.5);
    m_target->setSuffix(QStringLiteral(" °C"));
    m_target->setValue(55);
    m_target->setKeyboardTracking(false);
    targetLabel->setBuddy(m_target);
    auto* verifyLabel = new QLabel(tr("Verify for:"), this);
    m_verifyS = new QSpinBox(this);
    m_verifyS->setObjectName(QStringLiteral("spnVerify"));
    m_verifyS->setAccessibleName(tr("Verification time in board seconds"));
    m_verifyS->setRange(10, 86400);
    m_verifyS->setValue(600);
    m_verifyS->setSuffix(tr(" s"));
    verifyLabel->setBuddy(m_verifyS);
    settings->addWidget(targetLabel);
    settings->addWidget(m_target);
    settings->addSpacing(16);
    settings->addWidget(verifyLabel);
    settings->addWidget(m_verifyS);
    settings->addStretch(1);
    top->addLayout(settings);

    m_curves = new ControlCurvePlot(this);
    m_curves->setObjectName(QStringLiteral("ProposedCurve"));
    m_curves->setAccessibleName(tr("Proposed control curve with the predicted and measured paths"));
    m_curves->setEditable(false);
    top->addWidget(m_curves, 2);

    m_proposal = new QLabel(tr("Identify measures the loop; the proposal follows."), this);
    m_proposal->setObjectName(QStringLiteral("lblProposal"));
    m_proposal->setWordWrap(true);
    m_proposal->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    top->addWidget(m_proposal);
    m_status = new QLabel(m_heater ? tr("Identify heats the diode and steps the fan down from full speed; the "
                                        "registers and the heater are restored afterwards.")
                                   : tr("The heater is on the evaluation board's printer port: heat the diode "
                                        "yourself while Identify steps the fan."),
                          this);
    m_status->setObjectName(QStringLiteral("lblStatus"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    top->addWidget(m_status);

    auto* buttons = new QHBoxLayout;
    m_identify = new QPushButton(tr("Identify"), this);
    m_identify->setObjectName(QStringLiteral("cmdIdentify"));
    m_cancelButton = new QPushButton(tr("Cancel"), this);
    m_cancelButton->setObjectName(QStringLiteral("cmdCancel"));
    m_apply = new QPushButton(tr("Apply"), this);
    m_apply->setObjectName(QStringLiteral("cmdApply"));
    m_apply->setToolTip(tr("Write the proposed settings (one change the main window's Undo takes back)"));
    m_verify = new QPushButton(tr("Verify"), this);
    m_verify->setObjectName(QStringLiteral("cmdVerify"));
    m_verify->setToolTip(tr("Run the heat with the applied settings and compare with the prediction"));
    m_close = new QPushButton(tr("Close"), this);
    m_close->setObjectName(QStringLiteral("cmdClose"));
    for (QPushButton* b : {m_identify, m_cancelButton, m_apply, m_verify, m_close}) {
        b->setAccessibleName(b->text());
        b->setAutoDefault(false);
    }
    m_identify->setDefault(true);
    buttons->addWidget(m_identify);
    buttons->addWidget(m_cancelButton);
    buttons->addSpacing(16);
    buttons->addWidget(m_apply);
    buttons->addWidget(m_verify);
    buttons->addStretch(1);
    buttons->addWidget(m_close);
    top->addLayout(buttons);

    connect(m_identify, &QPushButton::clicked, this, &frmThermalTuning::identify);
    connect(m_cancelButton, &QPushButton::clicked, this, &frmThermalTuning::cancel);
    connect(m_apply, &QPushButton::clicked, this, &frmThermalTuning::apply);
    connect(m_verify, &QPushButton::clicked, this, &frmThermalTuning::verify);
    connect(m_close, &QPushButton::clicked, this, &frmThermalTuning::close);
    connect(m_target, &QDoubleSpinBox::valueChanged, this, &frmThermalTuning::propose);
    connect(m_channel, &QComboBox::currentIndexChanged, this, [this] {
        // Another channel: its own loop, nothing of the old one applies.
        m_model.reset();
        m_choice.reset();
        m_applied = false;
        m_verified.reset();
        m_view->setPlot({});
        m_curves->setPaths({});
        m_proposal->setText(tr("Identify measures the loop; the proposal follows."));
        setRunning(false);
    });
    setRunning(false);
    shell::addMnemonics(this);
    resize(760, 720);
}

frmThermalTuning::~frmThermalTuning() { stopWorker(); }

int frmThermalTuning::channel() const { return m_channel->currentData().toInt(); }

int frmThermalTuning::fan() const { return m_session.dualChannel() ? channel() : 1; }

void frmThermalTuning::setRunning(bool running)
{
    m_identify->setEnabled(!running);
    m_channel->setEnabled(!running);
    m_cancelButton->setEnabled(running);
    m_apply->setEnabled(!running && m_choice && !m_applied);
    m_verify->setEnabled(!running && m_choice && m_applied && m_heater);
}

void frmThermalTuning::identify() { startRun(Run::Identify); }

void frmThermalTuning::verify()
{
    if (m_choice && m_applied)
        startRun(Run::Verify);
}

void frmThermalTuning::startRun(Run which)
{
    if (running())
        return;
    stopWorker();  // the finished thread of the run before
    m_run = which;
    m_cancel = false;
    m_finished = false;
    m_live.clear();
    if (which == Run::Identify) {
        m_model.reset();
        m_choice.reset();
        m_applied = false;
        m_curves->setPaths({});
        m_proposal->setText(tr("Measuring..."));
    }
    m_verified.reset();
    plot::ThermalPlot empty;
    if (which == Run::Verify)
        empty.predicted = m_choice->predictedTrace;
    m_view->setPlot(empty);
    m_status->setText(which == Run::Identify ? tr("Identifying: first the fan's stall duty...")
                                             : tr("Verifying: the heat off until the diode has settled..."));
    setRunning(true);
    m_cancelButton->setFocus();

    device::ThermalOptions o = m_options;
    o.channel = channel();
    o.fan = fan();
    o.heatShare = m_heater ? 1.0 : 0.0;
    const std::optional<device::ThermalModel> model = m_model;
    const std::optional<device::TuneChoice> choice = m_choice;
    const double seconds = m_verifyS->value();
    const bool heater = m_heater;
    m_worker = std::thread([this, which, o, model, choice, seconds, heater] {
        device::ThermalCallbacks cb;
        cb.cancelled = [this] { return m_cancel.load(); };
        cb.progress = [this](const device::ThermalProgress& p) {
            QMetaObject::invokeMethod(
                this, [this, p] { onProgress(p); }, Qt::QueuedConnection);
        };
        cb.sample = [this](const device::TracePoint& p) {
            QMetaObject::invokeMethod(
                this, [this, p] { onSample(p); }, Qt::QueuedConnection);
        };
        const device::HeaterAccess h = heater ? device::boardHeater(o.channel) : device::HeaterAccess{};
        if (which == Run::Identify) {
            device::ThermalRun run = device::identifyThermal(device::sessionAccess(m_session), h, o, cb);
            QMetaObject::invokeMethod(
                this, [this, run = std::move(run)]() mutable { onIdentified(std::move(run)); }, Qt::QueuedConnection);
        } else {
            device::VerifyResult v =
                device::verifyThermal(device::sessionAccess(m_session), h, *model, *choice, seconds, o, cb);
            QMetaObject::invokeMethod(
                this, [this, v = std::move(v)]() mutable { onVerified(std::move(v)); }, Qt::QueuedConnection);
        }
    });
}

void frmThermalTuning::onSample(const device::TracePoint& point)
{
    if (m_finished)
        return;
    m_view->append(point);
    if (m_run == Run::Verify) {
        m_live.push_back(point);
        m_curves->setPaths({{curvePath(m_choice->predictedTrace), false}, {curvePath(m_live), true}});
    }
}

void frmThermalTuning::onProgress(const device::ThermalProgress& p)
{
    if (m_finished)
        return;
    QString text;
    if (p.phase == "fan")
        text = tr("Identifying: the fan's stall duty, step %1 of %2").arg(p.step).arg(p.steps);
    else if (p.phase == "ambient")
        text = tr("Identifying: ambient %1 °C with the heat off").arg(p.temperatureC, 0, 'f', 2);
    else if (p.phase == "step")
        text = tr("Identifying: step %1 of %2 settled at %3 °C with %4 % duty")
                   .arg(p.step)
                   .arg(p.steps)
                   .arg(p.temperatureC, 0, 'f', 2)
                   .arg(p.dutyPercent);
    else
        text = tr("Verifying: %1 of %2 s, %3 °C").arg(p.step).arg(p.steps).arg(p.temperatureC, 0, 'f', 2);
    m_status->setText(text);
}

QString frmThermalTuning::restoreText(const device::RestoreReport& restore, bool heaterRestored) const
{
    if (!restore.ok()) {
        QStringList names;
        for (std::uint8_t r : restore.notRestored)
            names << label(r);
        return tr(" Could not restore %1 (%2).")
            .arg(names.join(QStringLiteral(", ")), QString::fromStdString(restore.reason));
    }
    if (!heaterRestored)
        return tr(" Could not put the heater back (%1).").arg(QString::fromStdString(restore.reason));
    return tr(" Every register it changed and the heater are restored.");
}

void frmThermalTuning::onIdentified(device::ThermalRun run)
{
    m_finished = true;
    if (m_worker.joinable())
        m_worker.join();
    QString text;
    switch (run.outcome) {
    case device::CharacterizationOutcome::Done: text = tr("Identified."); break;
    case device::CharacterizationOutcome::Cancelled: text = tr("Cancelled."); break;
    case device::CharacterizationOutcome::Failed:
        text = tr("Failed: %1.").arg(QString::fromStdString(run.error));
        break;
    }
    m_status->setText(text + restoreText(run.restore, run.heaterRestored));
    const int outcome = static_cast<int>(run.outcome);
    if (run.outcome == device::CharacterizationOutcome::Done) {
        m_model = std::move(run.model);
        m_view->setPlot(plot::identifyPlot(*m_model, {}));
        propose();
    } else {
        m_proposal->setText(tr("No model: Identify again."));
    }
    setRunning(false);
    (m_apply->isEnabled() ? m_apply : m_identify)->setFocus();
    emit finished(0, outcome);
    if (m_closeWhenDone) {
        m_closeWhenDone = false;
        close();
    }
}

void frmThermalTuning::propose()
{
    if (!m_model || running())
        return;
    m_verified.reset();
    const device::TuneResult t = device::tuneFor(*m_model, m_target->value(), std::max(600, m_verifyS->value()));
    m_applied = false;
    if (!t.choice) {
        m_choice.reset();
        m_proposal->setText(tr("%1; nothing to apply.").arg(QString::fromStdString(t.error)));
        m_curves->setPaths({});
    } else {
        m_choice = t.choice;
        const device::TuneChoice& c = *m_choice;
        m_proposal->setText(tr("Proposed: Tmin %1 °C, Trange %2 °C, minimum duty %3 %. Predicted at full heat: "
                               "%4 °C at %5 % duty, settled within %6 s.")
                                .arg(c.tminC)
                                .arg(c.trangeC)
                                .arg(c.minDutyPercent)
                                .arg(c.predictedSteadyC, 0, 'f', 1)
                                .arg(c.predictedSteadyDutyPercent, 0, 'f', 0)
                                .arg(c.predictedSettleS, 0, 'f', 0));
        m_curves->setPaths({{curvePath(c.predictedTrace), false}});
    }
    showCurves();
    setRunning(false);
}

void frmThermalTuning::showCurves()
{
    device::FanCurves fan;
    fan.fan = this->fan();
    double lo = m_model ? m_model->ambientC : 20, hi = lo + 40;
    if (m_choice) {
        device::ChannelCurve c;
        c.channel = channel() == 2 ? device::TempChannel::Remote2 : device::TempChannel::Remote1;
        c.tminC = m_choice->tminC;
        c.trangeC = m_choice->trangeC;
        c.minDuty = chiplaw::minimumDuty(m_choice->minDutyCode);
        // Limits beyond the span: the proposal changes none.
        c.highC = c.thermC = 1000;
        const std::vector<device::TracePoint>& last = m_verified ? m_verified->measuredTrace : m_choice->predictedTrace;
        if (!last.empty()) {
            c.temperature = last.back().temperatureC;
            c.duty = last.back().dutyPercent / 100.0;
        }
        for (const auto& p : m_choice->predictedTrace)
            hi = std::max(hi, p.temperatureC);
        hi = std::max(hi, double(c.tminC + c.trangeC));
        lo = std::min(lo, double(c.tminC));
        fan.curves = {c};
        fan.duty = c.duty;
    }
    m_curves->setFan(fan, m_session.dualChannel());
    m_curves->setSpan(std::floor((lo - 5) / 10) * 10, std::ceil((hi + 5) / 10) * 10);
}

void frmThermalTuning::apply()
{
    if (!m_choice || m_applied || running())
        return;
    const device::TuneChoice& c = *m_choice;
    const std::uint8_t tminReg = channel() == 2 ? device::reg::Remote2TminTrange : device::reg::Remote1TminTrange;
    const std::uint8_t speedReg = device::reg::FanSpeedConfiguration;
    try {
        const std::uint8_t oldTmin = readChip(tminReg);
        const std::uint8_t oldSpeed = readChip(speedReg);
        const bool second = fan() == 2;
        const auto newSpeed = static_cast<std::uint8_t>(second ? (oldSpeed & 0x0F) | (c.minDutyCode << 4)
                                                               : (oldSpeed & 0xF0) | c.minDutyCode);
        {
            // One group, so one Undo takes both back.
            device::WriteAction action(device::WriteSource::Dialog, "Tune Automatic Control: Apply");
            writeChip(tminReg, c.tminTrange);
            writeChip(speedReg, newSpeed);
        }
        if (readChip(tminReg) != c.tminTrange || readChip(speedReg) != newSpeed)
            throw std::runtime_error("the settings do not read back as written");
        m_applied = true;
        m_status->setText(tr("Applied: %1 %2 -> %3, %4 %5 -> %6. Undo on the main window takes them back.")
                              .arg(label(tminReg), hexByte(oldTmin), hexByte(c.tminTrange), label(speedReg),
                                   hexByte(oldSpeed), hexByte(newSpeed)));
    } catch (const std::exception& e) {
        m_status->setText(tr("Apply failed: %1.").arg(QString::fromUtf8(e.what())));
    }
    setRunning(false);
    if (m_verify->isEnabled())
        m_verify->setFocus();
}

void frmThermalTuning::onVerified(device::VerifyResult v)
{
    m_finished = true;
    if (m_worker.joinable())
        m_worker.join();
    QString text;
    switch (v.outcome) {
    case device::CharacterizationOutcome::Done:
        text = tr("Verified over %1 s: measured %2 °C at %3 % duty against %4 °C predicted; prediction error "
                  "%5 °C RMS.")
                   .arg(m_verifyS->value())
                   .arg(v.measuredSteadyC, 0, 'f', 1)
                   .arg(v.measuredSteadyDutyPercent, 0, 'f', 0)
                   .arg(m_choice->predictedSteadyC, 0, 'f', 1)
                   .arg(v.rmsErrorC, 0, 'f', 2);
        break;
    case device::CharacterizationOutcome::Cancelled: text = tr("Verification cancelled."); break;
    case device::CharacterizationOutcome::Failed:
        text = tr("Verification failed: %1.").arg(QString::fromStdString(v.error));
        break;
    }
    m_status->setText(text + restoreText(v.restore, v.heaterRestored));
    const int outcome = static_cast<int>(v.outcome);
    if (v.outcome == device::CharacterizationOutcome::Done) {
        plot::ThermalPlot data;
        data.trace = v.measuredTrace;
        data.predicted = v.predictedTrace;
        data.summary = tr("Measured against predicted: %1 °C RMS").arg(v.rmsErrorC, 0, 'f', 2);
        m_view->setPlot(data);
        m_curves->setPaths({{curvePath(v.predictedTrace), false}, {curvePath(v.measuredTrace), true}});
        m_verified = std::move(v);
        showCurves();
    }
    setRunning(false);
    m_verify->setFocus();
    emit finished(1, outcome);
    if (m_closeWhenDone) {
        m_closeWhenDone = false;
        close();
    }
}

void frmThermalTuning::cancel()
{
    if (!running())
        return;
    m_cancel = true;
    m_status->setText(tr("Cancelling: restoring the registers and the heater..."));
}

void frmThermalTuning::stopWorker()
{
    // Only where no close could be deferred (the destructor, a new run after
    // the end): the run restores the chip before it returns.
    m_cancel = true;
    if (m_worker.joinable())
        m_worker.join();
}

void frmThermalTuning::closeEvent(QCloseEvent* event)
{
    if (running()) {
        // Waiting here could deadlock (see the header): cancel, hide, and
        // close for real when the run's end arrives.
        cancel();
        m_closeWhenDone = true;
        hide();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void frmThermalTuning::showEvent(QShowEvent* event)
{
    m_closeWhenDone = false;
    QDialog::showEvent(event);
}

void frmThermalTuning::reject()
{
    // Escape: cancel a running run first; a second Escape closes.
    if (running()) {
        cancel();
        return;
    }
    QDialog::reject();
}

}  // namespace dialogs
