#include "main_window/frm_save_reg.h"

#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <exception>
#include <functional>

#include "device/chip_presence.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "main_window/main_form.h"
#include "shell/ui_services.h"

namespace mainwindow {

namespace {

std::uint8_t readChip(std::uint8_t address)
{
    device::RegisterLink.RegisterPointer = address;
    device::ReadRegister();
    return std::uint8_t(device::RegisterLink.ReadResult & 0xFF);
}

// Draws the TAB-separated columns of a list entry at the character columns of
// the heading above the list, so names of any length line up.
class ColumnDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    static constexpr std::array<int, 3> Columns{4, 29, 50};  // of the heading text

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QStringList parts = index.data().toString().split(QLatin1Char('\t'), Qt::SkipEmptyParts);
        const int ch = option.fontMetrics.horizontalAdvance(QLatin1Char('0'));
        painter->save();
        painter->setPen(option.palette.color(QPalette::Text));
        for (qsizetype i = 0; i < parts.size(); ++i) {
            const int column = Columns[std::size_t(std::min<qsizetype>(i, 2))];
            QRect r = option.rect.adjusted(column * ch, 0, 0, 0);
            painter->drawText(r, Qt::AlignLeft | Qt::AlignVCenter, parts[i]);
        }
        painter->restore();
    }
};

std::tm toTm(const QDateTime& t)
{
    std::tm tm{};
    tm.tm_year = t.date().year() - 1900;
    tm.tm_mon = t.date().month() - 1;
    tm.tm_mday = t.date().day();
    tm.tm_hour = t.time().hour();
    tm.tm_min = t.time().minute();
    tm.tm_sec = t.time().second();
    return tm;
}

}  // namespace

frmSaveReg::frmSaveReg(QWidget* parent)
    : QWidget(parent, Qt::Window), m_clock([] { return QDateTime::currentDateTime(); })
{
    setObjectName(QStringLiteral("frmSaveReg"));
    setWindowTitle(QStringLiteral("Register Contents"));

    m_heading = new QLabel(QStringLiteral("    Register                 Address              Value"));
    m_heading->setObjectName(QStringLiteral("txtHeading"));
    m_list = new QListWidget;
    m_list->setObjectName(QStringLiteral("lstRegisters"));
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    // One fixed-width font for heading and list, so the columns line up.
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_heading->setFont(fixed);
    m_heading->setContentsMargins(m_list->frameWidth(), 0, 0, 0);
    m_list->setFont(fixed);
    m_list->setItemDelegate(new ColumnDelegate(m_list));
    m_setPath = new QPushButton(QStringLiteral("Set File Path"));
    m_setPath->setObjectName(QStringLiteral("cmdSetPath"));
    m_save = new QPushButton(QStringLiteral("Save"));
    m_save->setObjectName(QStringLiteral("cmdSave"));
    m_save->setEnabled(false);
    m_save->setToolTip(QStringLiteral("Choose the file with \"Set File Path\" first"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_setPath);
    buttons->addWidget(m_save);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_heading);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);
    resize(520, 600);

    connect(m_setPath, &QPushButton::clicked, this, &frmSaveReg::cmdSetPath_Click);
    connect(m_save, &QPushButton::clicked, this, &frmSaveReg::cmdSave_Click);
    fillPreview();
}

frmSaveReg::~frmSaveReg() = default;

QString frmSaveReg::proposedFileName(int deviceId)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    const QString chip =
        QString::fromLatin1(device::chipName(deviceId).data(), qsizetype(device::chipName(deviceId).size()));
    return QDir(folder).filePath(chip + QStringLiteral("_Registers.txt"));
}

void frmSaveReg::fillPreview()
{
    m_list->clear();
    const int deviceId = device::RegisterLink.DeviceId;
    try {
        for (const device::SavedRegister& reg : device::SavedRegisters) {
            if (reg.tfm4411Only && deviceId == device::DeviceIdTFM4410)
                continue;
            m_list->addItem(QString::fromStdString(device::registerPreviewLine(reg, readChip(reg.address))));
        }
    } catch (const std::exception&) {
        m_list->addItem(QStringLiteral("(the chip did not answer)"));
    }
}

void frmSaveReg::cmdSetPath_Click()
{
    MainForm* main = mainForm();
    QTimer* heater = main ? main->heaterTimer() : nullptr;
    const bool heaterRunning = heater && heater->isActive();
    if (heater)
        heater->stop();
    const QString name = shell::ui().chooseFile(
        this, shell::FileRequest{QStringLiteral("Set File Path"), QStringLiteral("Text Files (*.txt)|*.txt"),
                                 proposedFileName(device::RegisterLink.DeviceId), true});
    if (!name.isEmpty()) {
        m_fileName = name;
        m_save->setEnabled(true);
        m_save->setToolTip(name);
    }
    if (heaterRunning)
        heater->start();
}

void frmSaveReg::cmdSave_Click()
{
    if (m_fileName.isEmpty())
        return;
    const int deviceId = device::RegisterLink.DeviceId;
    std::vector<std::string> lines;
    try {
        // On the printer port a chip that is gone reads FFh throughout; such
        // a file, recalled, would write FFh to Configuration 2 and reset it.
        device::AnswerWatch watch(readChip);
        lines = device::registerFileLines(deviceId, toTm(m_clock()), std::ref(watch));
        watch.confirm();
    } catch (const std::exception& e) {
        // Nothing is written from values the chip did not give.
        shell::msgBox(this,
                      QStringLiteral("The registers could not be read, so nothing was saved.\r%1")
                          .arg(QString::fromLocal8Bit(e.what())),
                      shell::MsgButtons::Ok, QStringLiteral("Save Register Values"), shell::MsgIcon::Critical);
        return;
    }
    m_list->clear();
    for (const std::string& line : lines)
        m_list->addItem(QString::fromLatin1(line.data(), qsizetype(line.size())));

    const std::string error =
        device::writeFileReplacing(QFile::encodeName(m_fileName).toStdString(), device::registerFileText(lines));
    if (!error.empty()) {
        shell::msgBox(
            this,
            QStringLiteral("The register file could not be saved.\r%1").arg(QString::fromLocal8Bit(error.c_str())),
            shell::MsgButtons::Ok, QStringLiteral("Save Register Values"), shell::MsgIcon::Critical);
        return;
    }
    close();
    deleteLater();
}

}  // namespace mainwindow
