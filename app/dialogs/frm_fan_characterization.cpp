#include "dialogs/frm_fan_characterization.h"

#include "device/register_file.h"
#include "plot/fan_curve_plot.h"
#include "shell/mnemonics.h"
#include "shell/ui_services.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <cmath>

namespace dialogs {

FanCurveView::FanCurveView(QWidget* parent) : QWidget(parent)
{
    setAccessibleName(tr("Fan speed against duty"));
    setFocusPolicy(Qt::StrongFocus);  // so a screen reader user can land on it and hear the summary
}

void FanCurveView::setFans(std::vector<device::FanCharacterization> fans, std::vector<plot::FanVerdicts> verdicts)
{
    m_fans = std::move(fans);
    m_verdicts = std::move(verdicts);
    // The plot's content in words, for screen readers and tooltips.
    QStringList parts;
    for (std::size_t i = 0; i < m_fans.size(); ++i) {
        const auto& f = m_fans[i];
        const plot::FanVerdicts v = i < m_verdicts.size() ? m_verdicts[i] : plot::FanVerdicts{};
        QString s = tr("Fan %1: %2 points").arg(f.fan).arg(f.points.size());
        if (v.start == plot::Verdict::Measuring)
            s += tr(", start duty measuring...");
        else if (v.start == plot::Verdict::Decided && f.startDutyPercent)
            s += tr(", starts at %1 %").arg(*f.startDutyPercent);
        if (v.stall == plot::Verdict::Measuring)
            s += tr(", stall duty measuring...");
        else if (v.stall == plot::Verdict::Decided && f.stopDutyPercent)
            s += tr(", stalls below %1 %").arg(*f.stopDutyPercent);
        if (f.fullSpeedRpm > 0)
            s += tr(", full speed %1 RPM").arg(f.fullSpeedRpm);
        if (!f.turns && v.turns == plot::Verdict::Decided)
            s += tr(", does not turn");
        parts << s;
    }
    setAccessibleDescription(parts.join(QStringLiteral("; ")));
    setToolTip(accessibleDescription());
    update();
}

void FanCurveView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    plot::paintFanCurves(painter, QRectF(rect()), m_fans, plot::FanPlotColours::fromPalette(palette()), {}, m_verdicts);
    if (hasFocus()) {
        QPen pen(palette().color(QPalette::Highlight), 2);
        painter.setPen(pen);
        painter.drawRect(rect().adjusted(1, 1, -1, -1));
    }
}

frmFanCharacterization::frmFanCharacterization(const device::ChipLocation& chip, QWidget* parent)
    : QDialog(parent), m_session(chip)
{
    setObjectName(QStringLiteral("frmFanCharacterization"));
    setWindowTitle(tr("Characterise Fan"));
    setModal(false);

    auto* top = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* fanLabel = new QLabel(tr("Fan:"), this);
    m_fan = new QComboBox(this);
    m_fan->setObjectName(QStringLiteral("cmbFan"));
    m_fan->setAccessibleName(tr("Fan to characterise"));
    m_fan->addItem(tr("Fan 1"), 1);
    if (m_session.dualChannel()) {
        m_fan->addItem(tr("Fan 2"), 2);
        m_fan->addItem(tr("Both fans"), 0);
    }
    fanLabel->setBuddy(m_fan);
    row->addWidget(fanLabel);
    row->addWidget(m_fan);
    row->addStretch(1);
    auto* board = new QLabel(
        QString::fromStdString(device::chipLine(chip)) + (chip.simulated ? tr(" (simulated board)") : QString()), this);
    board->setObjectName(QStringLiteral("lblChip"));
    row->addWidget(board);
    top->addLayout(row);

    m_view = new FanCurveView(this);
    m_view->setObjectName(QStringLiteral("FanCurves"));
    top->addWidget(m_view, 1);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("prgSweep"));
    m_progress->setAccessibleName(tr("Measurement progress"));
    m_progress->setRange(0, device::kCharacterizationSteps);
    m_progress->setValue(0);
    top->addWidget(m_progress);
    m_status = new QLabel(tr("Start sweeps the duty from 0 to 100 % and back; the fan's registers are restored "
                             "afterwards."),
                          this);
    m_status->setObjectName(QStringLiteral("lblStatus"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    top->addWidget(m_status);
    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("lblNotice"));
    m_notice->setWordWrap(true);
    m_notice->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_notice->hide();
    top->addWidget(m_notice);

    auto* buttons = new QHBoxLayout;
    m_start = new QPushButton(tr("Start"), this);
    m_start->setObjectName(QStringLiteral("cmdStart"));
    m_cancelButton = new QPushButton(tr("Cancel"), this);
    m_cancelButton->setObjectName(QStringLiteral("cmdCancel"));
    m_save = new QPushButton(tr("Save..."), this);
    m_save->setObjectName(QStringLiteral("cmdSave"));
    m_save->setToolTip(tr("Save the points as CSV or the plot as PNG or SVG"));
    m_close = new QPushButton(tr("Close"), this);
    m_close->setObjectName(QStringLiteral("cmdClose"));
    for (QPushButton* b : {m_start, m_cancelButton, m_save, m_close}) {
        b->setAccessibleName(b->text().remove(QStringLiteral("...")));
        b->setAutoDefault(false);
    }
    m_start->setDefault(true);
    buttons->addWidget(m_start);
    buttons->addWidget(m_cancelButton);
    buttons->addStretch(1);
    buttons->addWidget(m_save);
    buttons->addWidget(m_close);
    top->addLayout(buttons);

    connect(m_start, &QPushButton::clicked, this, &frmFanCharacterization::start);
    connect(m_cancelButton, &QPushButton::clicked, this, &frmFanCharacterization::cancel);
    connect(m_save, &QPushButton::clicked, this, &frmFanCharacterization::save);
    connect(m_close, &QPushButton::clicked, this, &frmFanCharacterization::close);
    setTabOrder(m_fan, m_view);
    setTabOrder(m_view, m_start);
    setTabOrder(m_start, m_cancelButton);
    setTabOrder(m_cancelButton, m_save);
    setTabOrder(m_save, m_close);
    setRunning(false);
    m_save->setEnabled(false);
    shell::addMnemonics(this);
    resize(720, 560);
}

frmFanCharacterization::~frmFanCharacterization() { stopWorker(); }

void frmFanCharacterization::setRunning(bool running)
{
    m_start->setEnabled(!running);
    m_fan->setEnabled(!running);
    m_cancelButton->setEnabled(running);
    m_save->setEnabled(!running && m_run && !m_run->fans.empty());
}

void frmFanCharacterization::start()
{
    if (running())
        return;
    stopWorker();  // the finished thread of the run before
    std::vector<int> fans;
    const int choice = m_fan->currentData().toInt();
    if (choice == 0)
        fans = {1, 2};
    else
        fans = {choice};
    m_live.clear();
    m_liveVerdicts.clear();
    m_run.reset();
    m_view->setFans({});
    m_progress->setRange(0, device::kCharacterizationSteps * static_cast<int>(fans.size()));
    m_progress->setValue(0);
    m_status->setText(tr("Measuring..."));
    m_notice->clear();
    m_notice->hide();
    m_cancel = false;
    m_finished = false;
    setRunning(true);
    m_cancelButton->setFocus();

    const device::CharacterizationOptions options = m_options;
    m_worker = std::thread([this, fans, options] {
        device::CharacterizationCallbacks cb;
        cb.cancelled = [this] { return m_cancel.load(); };
        cb.notice = [this](const std::string& text) {
            QMetaObject::invokeMethod(
                this, [this, t = QString::fromStdString(text)] { onNotice(t); }, Qt::QueuedConnection);
        };
        cb.progress = [this](const device::CharacterizationProgress& p) {
            QMetaObject::invokeMethod(
                this, [this, p] { onProgress(p); }, Qt::QueuedConnection);
        };
        device::CharacterizationRun run = device::characterizeFans(device::sessionAccess(m_session), fans, options, cb);
        QMetaObject::invokeMethod(
            this, [this, run = std::move(run)]() mutable { onDone(std::move(run)); }, Qt::QueuedConnection);
    });
}

void frmFanCharacterization::onNotice(const QString& text)
{
    const QString sentence = text.left(1).toUpper() + text.mid(1) + QLatin1Char('.');
    m_notice->setText(m_notice->text().isEmpty() ? sentence : m_notice->text() + QLatin1Char('\n') + sentence);
    m_notice->show();
}

void frmFanCharacterization::onProgress(const device::CharacterizationProgress& p)
{
    using plot::Verdict;
    while (static_cast<int>(m_live.size()) <= p.fanIndex) {
        m_live.emplace_back();
        m_live.back().fan = p.fan;
        m_liveVerdicts.push_back({Verdict::Measuring, Verdict::Measuring, Verdict::Measuring});
    }
    device::FanCharacterization& f = m_live[static_cast<std::size_t>(p.fanIndex)];
    plot::FanVerdicts& v = m_liveVerdicts[static_cast<std::size_t>(p.fanIndex)];
    // Each verdict is stated once the sweep has decided it, by the rules the
    // measurement's own result follows; until then it reads "measuring...".
    if (p.point) {
        f.points.push_back(*p.point);
        const auto& pts = f.points;
        const bool up = p.point->direction == device::SweepDirection::Up;
        if (p.point->rpm > 0) {
            f.turns = true;
            v.turns = Verdict::Decided;
        }
        if (up && v.start == Verdict::Measuring && p.point->rpm > 0) {
            const bool restedBefore = pts.size() < 2 || pts[pts.size() - 2].rpm == 0;
            if (restedBefore) {
                f.startDutyPercent = p.point->dutyPercent;
                v.start = Verdict::Decided;
            }
        }
        if (up && p.point->dutyCode == 15) {
            f.fullSpeedRpm = p.point->rpm;
            // The way up is over: a start it did not find is none.
            v.start = Verdict::Decided;
            v.turns = Verdict::Decided;
            if (!f.turns)
                v.stall = Verdict::Decided;  // no way down follows
        }
        // The lowest duty that still turns on the way down: known when the
        // way down has reached 0.
        if (!up && p.point->rpm > 0)
            f.stopDutyPercent = p.point->dutyPercent;
        if (!up && p.point->dutyCode == 0)
            v.stall = Verdict::Decided;
    }
    if (p.phase == "spin-up") {
        // The sweeps of this fan are over, whatever they found.
        v = plot::FanVerdicts{};
    }
    m_view->setFans(m_live, m_liveVerdicts);
    m_progress->setValue(p.fanIndex * device::kCharacterizationSteps + p.step);
    QString text =
        tr("Fan %1: %2 sweep").arg(p.fan).arg(QString::fromLatin1(p.phase.data(), qsizetype(p.phase.size())));
    if (p.point)
        text += tr(", %1 % gives %2 RPM").arg(p.point->dutyPercent).arg(p.point->rpm);
    if (p.etaS >= 0)
        text += tr(", about %1 s left").arg(static_cast<int>(std::lround(p.etaS)));
    m_status->setText(text);
}

void frmFanCharacterization::onDone(device::CharacterizationRun run)
{
    m_finished = true;
    if (m_worker.joinable())
        m_worker.join();
    QString text;
    switch (run.outcome) {
    case device::CharacterizationOutcome::Done:
        text = tr("Done.");
        m_view->setFans(run.fans);
        m_progress->setValue(m_progress->maximum());
        break;
    case device::CharacterizationOutcome::Cancelled: text = tr("Cancelled."); break;
    case device::CharacterizationOutcome::Failed:
        text = tr("Failed: %1.").arg(QString::fromStdString(run.error));
        break;
    }
    if (run.outcome != device::CharacterizationOutcome::Done) {
        // What the sweep had not decided stays unsaid, not "measuring...".
        for (plot::FanVerdicts& v : m_liveVerdicts)
            for (plot::Verdict* verdict : {&v.start, &v.stall, &v.turns})
                if (*verdict == plot::Verdict::Measuring)
                    *verdict = plot::Verdict::Unknown;
        m_view->setFans(m_live, m_liveVerdicts);
    }
    for (const auto& f : run.fans)
        if (!f.turns)
            text += tr(" Fan %1 does not turn at any duty.").arg(f.fan);
    if (run.restore.ok()) {
        text += tr(" Every register the measurement changed is restored and read back.");
    } else {
        QStringList names;
        for (std::uint8_t r : run.restore.notRestored)
            names << QString::fromStdString(device::registerLabel(r));
        text += tr(" Could not restore %1 (%2).")
                    .arg(names.join(QStringLiteral(", ")), QString::fromStdString(run.restore.reason));
    }
    m_status->setText(text);
    const int outcome = static_cast<int>(run.outcome);
    m_run = std::move(run);
    setRunning(false);
    (m_save->isEnabled() ? m_save : m_start)->setFocus();
    emit finished(outcome);
    if (m_closeWhenDone) {
        m_closeWhenDone = false;
        close();
    }
}

void frmFanCharacterization::cancel()
{
    m_cancel = true;
    m_status->setText(tr("Cancelling: restoring the registers..."));
}

void frmFanCharacterization::stopWorker()
{
    // Only where no close could be deferred (the destructor, a new start
    // after the end): the measurement restores the chip before it returns.
    m_cancel = true;
    if (m_worker.joinable())
        m_worker.join();
}

void frmFanCharacterization::closeEvent(QCloseEvent* event)
{
    if (running()) {
        // Waiting here could deadlock (see the header): cancel, hide, and
        // close for real when the measurement's end arrives (onDone).
        cancel();
        m_closeWhenDone = true;
        hide();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void frmFanCharacterization::showEvent(QShowEvent* event)
{
    // Shown again before a deferred close came due: the user wants it kept.
    m_closeWhenDone = false;
    QDialog::showEvent(event);
}

void frmFanCharacterization::reject()
{
    // Escape: cancel a running measurement first; a second Escape closes.
    if (running()) {
        cancel();
        return;
    }
    QDialog::reject();
}

void frmFanCharacterization::save()
{
    if (!m_run || m_run->fans.empty())
        return;
    shell::FileRequest request;
    request.title = tr("Save Fan Characterisation");
    request.filter = QStringLiteral("CSV file (*.csv)|*.csv|PNG image (*.png)|*.png|SVG image (*.svg)|*.svg");
    request.proposedName = QStringLiteral("fan-characterisation.csv");
    request.save = true;
    const QString path = shell::ui().chooseFile(this, request);
    if (path.isEmpty())
        return;
    const QString suffix = QFileInfo(path).suffix().toLower();
    QString error;
    if (suffix == QLatin1String("csv")) {
        error = QString::fromStdString(
            device::writeFileReplacing(path.toStdString(), device::characterizationCsv(m_run->fans)));
    } else {
        const QString title = QString::fromStdString(std::string(device::variantName(m_session.variant()))) +
                              tr(" fan characterisation") +
                              (m_session.simulated() ? tr(", simulated board") : QString());
        error = plot::saveFanPlot(path, m_run->fans, title);
    }
    if (!error.isEmpty()) {
        shell::MessageRequest box;
        box.title = tr("Save Fan Characterisation");
        box.text = error;
        box.icon = shell::MsgIcon::Critical;
        shell::ui().message(this, box);
    } else
        m_status->setText(tr("Saved %1.").arg(QDir::toNativeSeparators(path)));
}

}  // namespace dialogs
