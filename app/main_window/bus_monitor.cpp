#include "main_window/bus_monitor.h"

#include <QApplication>
#include <QBrush>
#include <QCache>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QStaticText>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <optional>
#include <utility>
#include <vexlink06/back_end.h>
#include <vexlink06/vexlink06.h>

#include "device/numbers.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "device/setup_code.h"
#include "device/write_log.h"
#include "main_window/frm_setup_code.h"
#include "shell/ui_services.h"

namespace mainwindow {
namespace {

constexpr int kFlushMs = 500;

// "0x2e", "2Eh", "46" -> the value; empty -> none; anything else -> nullopt
// with ok = false.
std::optional<std::uint8_t> parseByte(const QString& text, unsigned limit, bool& ok)
{
    ok = true;
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    const std::optional<unsigned> value = device::parseNumber(t.toStdString(), limit);
    ok = value.has_value();
    if (!ok)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

// Paints a cell as the standard delegate does, but keeps each text's laid-out
// glyphs: every flush repaints all visible cells, and shaping the same short
// texts again was most of what the open monitor cost.
class JournalCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget* widget = opt.widget;
        const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        const QRect textRect =
            style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget).adjusted(margin, 0, -margin, 0);
        const QStaticText* text = laidOut(opt.text, opt.font);
        // Anything the plain path would not draw the same goes the standard way.
        if (text == nullptr || text->size().width() > textRect.width() || opt.direction != Qt::LeftToRight ||
            (opt.displayAlignment & Qt::AlignHorizontal_Mask & ~Qt::AlignLeft) != 0) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        const QString shown = std::exchange(opt.text, QString());
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);  // panel, selection, focus
        QPalette::ColorGroup group = QPalette::Normal;
        if (!(opt.state & QStyle::State_Enabled))
            group = QPalette::Disabled;
        else if (!(opt.state & QStyle::State_Active))
            group = QPalette::Inactive;
        painter->save();
        painter->setFont(opt.font);
        painter->setPen(opt.palette.color(group, (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText
                                                                                      : QPalette::Text));
        const QFontMetrics fm(opt.font);
        const int lineHeight = fm.ascent() + fm.descent();
        painter->drawStaticText(textRect.left(), textRect.top() + (textRect.height() - lineHeight) / 2, *text);
        painter->restore();
    }

private:
    const QStaticText* laidOut(const QString& text, const QFont& font) const
    {
        if (text.isEmpty() || text.contains(QLatin1Char('\n')))
            return nullptr;
        if (font != m_font) {
            m_texts.clear();
            m_font = font;
        }
        if (QStaticText* cached = m_texts.object(text))
            return cached;
        auto laid = std::make_unique<QStaticText>(text);
        laid->setTextFormat(Qt::PlainText);
        laid->prepare(QTransform(), font);
        QStaticText* kept = laid.get();
        m_texts.insert(text, laid.release());
        return kept;
    }

    // Most cells repeat (addresses, registers, results, causes); a row's
    // time is new each flush and ages out.
    mutable QCache<QString, QStaticText> m_texts{4096};
    mutable QFont m_font;
};

}  // namespace

// ---- model ----

JournalModel::JournalModel(std::size_t capacity, QObject* parent)
    : QAbstractTableModel(parent), m_journal(capacity), m_headers(device::journalColumnNames())
{ }

int JournalModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_journal.entries().size());
}

int JournalModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_headers.size());
}

QVariant JournalModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const device::JournalEntry& e = entry(index.row());
    switch (role) {
    case Qt::DisplayRole: {
        // Built per visible cell only; the table asks for what it paints.
        return QString::fromStdString(device::journalColumn(e, index.column(), device::RegisterLink.DeviceId));
    }
    case Qt::ForegroundRole:
        if (e.record.failed())
            return QBrush(QColor(0xB0, 0x00, 0x00));
        return {};
    case Qt::BackgroundRole:
        if (e.record.failed())
            return QBrush(QColor(0xFF, 0xE4, 0xE1));
        return {};
    case Qt::ToolTipRole:
        if (e.record.failed())
            return QString::fromStdString(device::resultText(e.record));
        return {};
    default: return {};
    }
}

QVariant JournalModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= static_cast<int>(m_headers.size()))
        return {};
    return QString::fromStdString(m_headers[std::size_t(section)]);
}

void JournalModel::append(std::vector<std::pair<vexlink06::TransferRecord, std::string>>& batch)
{
    if (batch.empty())
        return;
    const std::size_t capacity = m_journal.capacity();
    // Only the newest `capacity` of a batch can be kept.
    if (batch.size() > capacity)
        batch.erase(batch.begin(), batch.end() - static_cast<std::ptrdiff_t>(capacity));
    const std::size_t size = m_journal.entries().size();
    if (size + batch.size() > capacity) {
        const std::size_t overflow = size + batch.size() - capacity;
        beginRemoveRows({}, 0, static_cast<int>(overflow) - 1);
        m_journal.dropOldest(overflow);
        endRemoveRows();
    }
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(batch.size()) - 1);
    for (auto& [record, cause] : batch)
        m_journal.add(std::move(record), std::move(cause));
    endInsertRows();
    batch.clear();
}

void JournalModel::clear()
{
    beginResetModel();
    m_journal.clear();
    endResetModel();
}

void JournalFilterModel::setFilter(const device::JournalFilter& filter)
{
    m_filter = filter;
    invalidateFilter();
}

bool JournalFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    const auto* source = static_cast<const JournalModel*>(sourceModel());
    return m_filter.matches(source->entry(sourceRow).record);
}

// ---- window ----

FrmBusMonitor::FrmBusMonitor(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("frmBusMonitor"));
    setWindowTitle(QStringLiteral("Bus Monitor"));

    m_model = new JournalModel(device::BusJournal::DefaultCapacity, this);
    m_proxy = new JournalFilterModel(this);
    m_proxy->setSourceModel(m_model);

    auto* filters = new QHBoxLayout;
    const auto addLabelled = [&](const QString& caption, QLineEdit*& edit, const char* name, const QString& hint) {
        auto* label = new QLabel(caption, this);
        edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setPlaceholderText(hint);
        edit->setMaximumWidth(90);
        label->setBuddy(edit);
        filters->addWidget(label);
        filters->addWidget(edit);
    };
    addLabelled(QStringLiteral("&Address:"), m_address, "txtFilterAddress", QStringLiteral("0x2e"));
    addLabelled(QStringLiteral("&Register:"), m_register, "txtFilterRegister", QStringLiteral("22h"));
    m_writesOnly = new QCheckBox(QStringLiteral("&Writes only"), this);
    m_writesOnly->setObjectName(QStringLiteral("chkWritesOnly"));
    m_errorsOnly = new QCheckBox(QStringLiteral("&Errors only"), this);
    m_errorsOnly->setObjectName(QStringLiteral("chkErrorsOnly"));
    filters->addWidget(m_writesOnly);
    filters->addWidget(m_errorsOnly);
    filters->addStretch(1);
    m_pause = new QPushButton(QStringLiteral("&Pause"), this);
    m_pause->setObjectName(QStringLiteral("cmdPause"));
    auto* clear = new QPushButton(QStringLiteral("C&lear"), this);
    clear->setObjectName(QStringLiteral("cmdClear"));
    auto* exportButton = new QPushButton(QStringLiteral("E&xport CSV..."), this);
    exportButton->setObjectName(QStringLiteral("cmdExportCsv"));
    auto* replayButton = new QPushButton(QStringLiteral("Expor&t Replay..."), this);
    replayButton->setObjectName(QStringLiteral("cmdExportReplay"));
    replayButton->setToolTip(QStringLiteral("The writes made to the chip, in order, with its reads as checks, "
                                            "as a script or as JSON for fanscope-cli replay"));
    m_capture = new QPushButton(QStringLiteral("&Capture to VCD..."), this);
    m_capture->setObjectName(QStringLiteral("cmdCaptureVcd"));
    filters->addWidget(m_pause);
    filters->addWidget(clear);
    filters->addWidget(exportButton);
    filters->addWidget(replayButton);
    filters->addWidget(m_capture);

    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("tblJournal"));
    m_table->setModel(m_proxy);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setWordWrap(false);
    m_table->setItemDelegate(new JournalCellDelegate(m_table));
    // Fixed widths, from the font: sizing to contents would read every row on
    // each insert. Each column fits its heading and a typical long value.
    static constexpr const char* kSamples[device::JournalColumnCount] = {
        "000000",
        "00:00:00.000",
        "Visual Display cycle",
        "chipset SMBus",
        "0x378",
        "0x2e",
        "write",
        "memory write",
        "0x22",
        "7F 12",
        "sent 5A, ok",
        "ACK ACK ACK",
        "0",
        "10.00 ms",
        "Failed: no acknowledge",
        "22h Fan Speed Configuration \u2190 0x55: Fan1 duty 33 %, Fan2 duty 33 %"};
    const QFontMetrics cells(m_table->font());
    const QFontMetrics headings(m_table->horizontalHeader()->font());
    const int padding = 2 * m_table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_table) + 16;
    int tableWidth = 2 * m_table->frameWidth() + m_table->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const std::vector<std::string> names = device::journalColumnNames();
    for (int c = 0; c < device::JournalColumnCount; ++c) {
        const int width = std::max(cells.horizontalAdvance(QString::fromUtf8(kSamples[c])),
                                   headings.horizontalAdvance(QString::fromStdString(names[std::size_t(c)]))) +
                          padding;
        m_table->setColumnWidth(c, width);
        tableWidth += width;
    }

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("lblBusStatus"));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_status);

    // Wide enough for every column where the screen allows.
    int width = tableWidth + layout->contentsMargins().left() + layout->contentsMargins().right();
    width = std::max(width, layout->sizeHint().width());
    if (const QScreen* screen = this->screen())
        width = std::min(width, screen->availableGeometry().width() - 40);
    resize(width, 480);

    connect(m_address, &QLineEdit::textChanged, this, &FrmBusMonitor::applyFilters);
    connect(m_register, &QLineEdit::textChanged, this, &FrmBusMonitor::applyFilters);
    connect(m_writesOnly, &QCheckBox::toggled, this, &FrmBusMonitor::applyFilters);
    connect(m_errorsOnly, &QCheckBox::toggled, this, &FrmBusMonitor::applyFilters);
    connect(m_pause, &QPushButton::clicked, this, &FrmBusMonitor::togglePause);
    connect(clear, &QPushButton::clicked, this, [this] {
        {
            const std::lock_guard lock(m_pendingMutex);
            m_pending.clear();
        }
        m_model->clear();
        updateStatus();
    });
    connect(exportButton, &QPushButton::clicked, this, &FrmBusMonitor::exportCsv);
    connect(replayButton, &QPushButton::clicked, this, [this] { exportReplay(); });
    connect(m_capture, &QPushButton::clicked, this, &FrmBusMonitor::toggleCapture);
    m_capture->setEnabled(canCapture());
    m_capture->setToolTip(canCapture() ? QStringLiteral("Record SCL and SDA of the chip's bus on the simulated board")
                                       : QStringLiteral("Wires can be captured only on the simulated board"));

    // The observer only queues; the table takes the queue in batches so the
    // monitoring loop pays for a copy of each record and nothing more.
    // It is called on whichever thread made the transfer (a fan measurement
    // has its own), under the bus mutex: it only takes the queue's lock,
    // which the window holds for no more than a swap.
    m_observer = std::make_unique<device::JournalObserver>(
        [this](const vexlink06::TransferRecord& r, std::string cause) {
            const std::lock_guard lock(m_pendingMutex);
            if (m_paused) {
                ++m_missedWhilePaused;
                return;
            }
            m_pending.emplace_back(r, std::move(cause));
        },
        [gui = QThread::currentThread()] {
            // The write log names what the user did on this thread only.
            return QThread::currentThread() == gui ? std::string(device::writeLog().activeAction()) : std::string();
        });
    m_flushTimer = new QTimer(this);
    m_flushTimer->setObjectName(QStringLiteral("tmrFlush"));
    m_flushTimer->setInterval(kFlushMs);
    connect(m_flushTimer, &QTimer::timeout, this, &FrmBusMonitor::flush);
    m_flushTimer->start();
    updateStatus();
}

FrmBusMonitor::~FrmBusMonitor()
{
    m_observer.reset();
    if (m_capturing)
        endCapture();
}

void FrmBusMonitor::closeEvent(QCloseEvent* event)
{
    // A capture running when the window closes is written, not lost.
    if (m_capturing)
        endCapture();
    QWidget::closeEvent(event);
}

void FrmBusMonitor::flush()
{
    std::vector<std::pair<vexlink06::TransferRecord, std::string>> batch;
    std::size_t missed = 0;
    {
        const std::lock_guard lock(m_pendingMutex);
        batch.swap(m_pending);
        missed = m_missedWhilePaused;
    }
    if (batch.empty()) {
        // Paused, the program goes on sending: the count says so.
        if (missed != m_missedShown)
            updateStatus();
        return;
    }
    const bool atBottom = m_table->verticalScrollBar() == nullptr ||
                          m_table->verticalScrollBar()->value() == m_table->verticalScrollBar()->maximum();
    m_model->append(batch);
    if (atBottom)
        m_table->scrollToBottom();
    updateStatus();
}

int FrmBusMonitor::visibleRows() const { return m_proxy->rowCount(); }

std::string FrmBusMonitor::visibleCsv() const
{
    std::string text = device::csvRow(device::journalColumnNames());
    for (int row = 0; row < m_proxy->rowCount(); ++row) {
        const int source = m_proxy->mapToSource(m_proxy->index(row, 0)).row();
        text += device::csvRow(device::journalColumns(m_model->entry(source), device::RegisterLink.DeviceId));
    }
    return text;
}

bool FrmBusMonitor::canCapture() { return vexlink06::backend::captureAvailable(); }

void FrmBusMonitor::applyFilters()
{
    device::JournalFilter filter;
    bool addressOk = true;
    bool registerOk = true;
    filter.address = parseByte(m_address->text(), 0x7F, addressOk);
    filter.command = parseByte(m_register->text(), 0xFF, registerOk);
    filter.writesOnly = m_writesOnly->isChecked();
    filter.errorsOnly = m_errorsOnly->isChecked();
    // A half-typed entry marks the box instead of hiding every row.
    m_address->setStyleSheet(addressOk ? QString() : QStringLiteral("background: #ffe4e1"));
    m_register->setStyleSheet(registerOk ? QString() : QStringLiteral("background: #ffe4e1"));
    m_address->setToolTip(addressOk ? QString() : QStringLiteral("A 7-bit address such as 0x2e"));
    m_register->setToolTip(registerOk ? QString() : QStringLiteral("A register such as 22h or 0x22"));
    m_proxy->setFilter(filter);
    updateStatus();
}

void FrmBusMonitor::togglePause()
{
    {
        const std::lock_guard lock(m_pendingMutex);
        m_paused = !m_paused;
        if (!m_paused)
            m_missedWhilePaused = 0;
    }
    m_pause->setText(m_paused ? QStringLiteral("&Resume") : QStringLiteral("&Pause"));
    updateStatus();
}

void FrmBusMonitor::exportCsv()
{
    flush();
    shell::FileRequest request;
    request.title = QStringLiteral("Export Bus Monitor rows");
    request.filter = QStringLiteral("CSV file (*.csv)|*.csv");
    request.proposedName = QStringLiteral("bus-monitor.csv");
    request.save = true;
    const QString path = shell::ui().chooseFile(this, request);
    if (path.isEmpty())
        return;
    const std::string error = device::writeFileReplacing(path.toStdString(), visibleCsv());
    if (!error.empty()) {
        shell::msgBox(this, QString::fromStdString(error), shell::MsgButtons::Ok, QStringLiteral("Export CSV"),
                      shell::MsgIcon::Exclamation);
        return;
    }
    m_status->setText(QStringLiteral("%1 rows written to %2").arg(visibleRows()).arg(path));
}

bool FrmBusMonitor::exportReplay(QString path)
{
    flush();
    device::SetupHeader header = connectedChipHeader();
    const int deviceId = device::RegisterLink.DeviceId;
    const device::BusJournal& journal = m_model->journal();
    const device::Replay replay = device::replayFromJournal(journal.entries(), deviceId, header.address);
    const QString title = QStringLiteral("Export Replay");
    if (replay.steps.empty()) {
        shell::msgBox(this,
                      QStringLiteral("The Bus Monitor holds no write or check of the chip's registers to replay."),
                      shell::MsgButtons::Ok, title, shell::MsgIcon::Exclamation);
        return false;
    }
    if (path.isEmpty()) {
        shell::FileRequest request;
        request.title = title;
        request.filter = QStringLiteral("JSON for fanscope-cli replay (*.json)|*.json|Shell script (*.sh)|*.sh|"
                                        "Python script (*.py)|*.py");
        request.proposedName = QStringLiteral("bus-replay.json");
        request.save = true;
        path = shell::ui().chooseFile(this, request);
        if (path.isEmpty())
            return false;
    }
    const QString suffix = QFileInfo(path).suffix().toLower();
    const auto format = suffix == QLatin1String("sh")     ? std::optional(device::SetupFormat::Shell)
                        : suffix == QLatin1String("py")   ? std::optional(device::SetupFormat::Python)
                        : suffix == QLatin1String("json") ? std::optional(device::SetupFormat::Json)
                                                          : std::nullopt;
    if (!format) {
        shell::msgBox(this, QStringLiteral("Name the file .json, .sh or .py, so that its format is known."),
                      shell::MsgButtons::Ok, title, shell::MsgIcon::Exclamation);
        return false;
    }
    header.source = "the Bus Monitor's recording of " + header.source;
    const std::string error =
        device::writeFileReplacing(path.toStdString(), device::replayText(*format, replay, header));
    if (!error.empty()) {
        shell::msgBox(this, QString::fromStdString(error), shell::MsgButtons::Ok, title, shell::MsgIcon::Exclamation);
        return false;
    }
    const auto writes = std::count_if(replay.steps.begin(), replay.steps.end(), [](const auto& s) { return s.write; });
    QString status = QStringLiteral("%1 writes and %2 checks written to %3")
                         .arg(writes)
                         .arg(qsizetype(replay.steps.size()) - writes)
                         .arg(path);
    // The journal keeps the newest transfers only; a replay of a longer
    // session starts where it does.
    if (journal.total() > journal.entries().size())
        status += QStringLiteral(" (from transfer %1 on; the earlier ones are no longer held)")
                      .arg(journal.entries().front().sequence);
    m_status->setText(status);
    return true;
}

void FrmBusMonitor::toggleCapture()
{
    if (m_capturing) {
        endCapture();
        return;
    }
    shell::FileRequest request;
    request.title = QStringLiteral("Capture to VCD");
    request.filter = QStringLiteral("Value Change Dump (*.vcd)|*.vcd");
    request.proposedName = QStringLiteral("capture.vcd");
    request.save = true;
    const QString path = shell::ui().chooseFile(this, request);
    if (path.isEmpty())
        return;
    if (!canCapture())
        return;
    unsigned base = 0;
    if (device::RegisterLink.Medium == device::MediumPrinterPort)
        base = static_cast<unsigned>(device::ComPort()->PrinterPort()->SMBusProtocall()->PortAddress());
    else if (device::RegisterLink.Medium != device::MediumChipsetSMBus)
        base = ~0U;  // a medium whose bus the simulator does not capture
    if (base == ~0U || !vexlink06::backend::beginCapture(base)) {
        shell::msgBox(this, QStringLiteral("The simulated board has no capture for the bus in use."),
                      shell::MsgButtons::Ok, QStringLiteral("Capture to VCD"), shell::MsgIcon::Exclamation);
        return;
    }
    m_capturePath = path;
    m_capturing = true;
    m_capture->setText(QStringLiteral("Stop &Capture"));
    m_status->setText(QStringLiteral("Capturing the simulated board's wires to %1").arg(path));
}

void FrmBusMonitor::endCapture()
{
    m_capturing = false;
    if (m_capture)
        m_capture->setText(QStringLiteral("&Capture to VCD..."));
    const std::optional<vexlink06::backend::Capture> capture = vexlink06::backend::endCapture();
    if (!capture)
        return;
    const std::string error = device::writeFileReplacing(m_capturePath.toStdString(), capture->vcd);
    if (!error.empty()) {
        shell::msgBox(this, QString::fromStdString(error), shell::MsgButtons::Ok, QStringLiteral("Capture to VCD"),
                      shell::MsgIcon::Exclamation);
        return;
    }
    if (m_status)
        m_status->setText(QStringLiteral("Capture written to %1%2")
                              .arg(m_capturePath, capture->truncated
                                                      ? QStringLiteral(" (size limit reached: it holds the beginning)")
                                                      : QString()));
}

void FrmBusMonitor::updateStatus()
{
    if (m_capturing)
        return;
    const auto& journal = m_model->journal();
    QString text = QStringLiteral("%1 of %2 transfers shown (the last %3 are kept)")
                       .arg(visibleRows())
                       .arg(journal.total())
                       .arg(journal.capacity());
    std::size_t missed = 0;
    bool paused = false;
    {
        const std::lock_guard lock(m_pendingMutex);
        missed = m_missedWhilePaused;
        paused = m_paused;
    }
    m_missedShown = missed;
    if (paused)
        text += QStringLiteral("; paused, %1 not recorded").arg(missed);
    m_status->setText(text);
}

FrmBusMonitor* openBusMonitor(QWidget* mainForm)
{
    auto* monitor = mainForm->findChild<FrmBusMonitor*>(QStringLiteral("frmBusMonitor"), Qt::FindDirectChildrenOnly);
    if (monitor == nullptr) {
        monitor = new FrmBusMonitor(mainForm);
        monitor->setAttribute(Qt::WA_DeleteOnClose);
    }
    monitor->show();
    monitor->raise();
    monitor->activateWindow();
    return monitor;
}

}  // namespace mainwindow
