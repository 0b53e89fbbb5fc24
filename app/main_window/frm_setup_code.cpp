#include "main_window/frm_setup_code.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <ctime>
#include <exception>
#include <functional>

#include <vexlink06/vexlink06.h>

#include "device/chip_presence.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "shell/ui_services.h"

namespace mainwindow {

namespace {

struct FormatChoice {
    device::SetupFormat format;
    const char* caption;
    const char* filter;
};

constexpr std::array<FormatChoice, 4> Formats{{
    {device::SetupFormat::C, "C header (C99 and C++)", "C header (*.h)|*.h"},
    {device::SetupFormat::Shell, "Shell script (i2c-tools)", "Shell script (*.sh)|*.sh"},
    {device::SetupFormat::Python, "Python script (smbus2)", "Python script (*.py)|*.py"},
    {device::SetupFormat::Json, "JSON", "JSON (*.json)|*.json"},
}};

std::uint8_t readRegister(std::uint8_t address)
{
    device::RegisterLink.RegisterPointer = address;
    device::ReadRegister();
    return std::uint8_t(device::RegisterLink.ReadResult & 0xFF);
}

QString fromStd(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

}  // namespace

device::SetupHeader connectedChipHeader()
{
    using device::RegisterLink;
    device::SetupHeader header;
    header.program = "fanscope " FANSCOPE_VERSION;
    header.time = device::isoTime(std::time(nullptr));
    header.address = RegisterLink.Medium == device::MediumPrinterPort
                         ? device::sevenBitAddress(RegisterLink.DeviceAddress)
                         : RegisterLink.DeviceAddress;
    header.source = device::chipSourceText(RegisterLink.DeviceId, header.address);
    if (RegisterLink.Medium == device::MediumKernelAdapter) {
        try {
            const int bus = device::required(device::ComPort()->KernelAdapter())->Bus();
            if (bus >= 0)
                header.defaultBus = bus;
        } catch (const std::exception&) {
            // The scripts then default to adapter 1, as from a file.
        }
    }
    return header;
}

FrmSetupCode::FrmSetupCode(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmSetupCode"));
    setWindowTitle(QStringLiteral("Generate Set-up Code"));

    auto* formatLabel = new QLabel(QStringLiteral("&Format:"));
    m_format = new QComboBox;
    m_format->setObjectName(QStringLiteral("cboSetupFormat"));
    m_format->setAccessibleName(QStringLiteral("Format"));
    for (const FormatChoice& f : Formats)
        m_format->addItem(QString::fromLatin1(f.caption));
    formatLabel->setBuddy(m_format);
    m_source = new QLabel;
    m_source->setObjectName(QStringLiteral("lblSetupSource"));
    m_source->setWordWrap(true);

    m_preview = new QPlainTextEdit;
    m_preview->setObjectName(QStringLiteral("txtSetupPreview"));
    m_preview->setAccessibleName(QStringLiteral("Set-up code"));
    m_preview->setReadOnly(true);
    m_preview->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_preview->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Read-only text still takes the focus, so the keyboard can scroll it.
    m_preview->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);

    auto* readAgain = new QPushButton(QStringLiteral("&Read Again"));
    readAgain->setObjectName(QStringLiteral("cmdSetupRead"));
    m_save = new QPushButton(QStringLiteral("&Save..."));
    m_save->setObjectName(QStringLiteral("cmdSetupSave"));
    m_copy = new QPushButton(QStringLiteral("&Copy"));
    m_copy->setObjectName(QStringLiteral("cmdSetupCopy"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    buttons->addButton(readAgain, QDialogButtonBox::ActionRole);
    buttons->addButton(m_copy, QDialogButtonBox::ActionRole);
    buttons->addButton(m_save, QDialogButtonBox::ActionRole);

    auto* top = new QHBoxLayout;
    top->addWidget(formatLabel);
    top->addWidget(m_format);
    top->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_source);
    layout->addWidget(m_preview, 1);
    layout->addWidget(buttons);

    connect(m_format, &QComboBox::currentIndexChanged, this, [this] { showText(); });
    connect(readAgain, &QPushButton::clicked, this, &FrmSetupCode::readChip);
    connect(m_save, &QPushButton::clicked, this, &FrmSetupCode::saveText);
    connect(m_copy, &QPushButton::clicked, this, &FrmSetupCode::copyText);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // Wide enough for a header line and its comment without scrolling.
    const int ch = m_preview->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    resize(110 * ch, 36 * m_preview->fontMetrics().lineSpacing());
    readChip();
}

device::SetupFormat FrmSetupCode::format() const
{
    return Formats[std::size_t(std::max(0, m_format->currentIndex()))].format;
}

void FrmSetupCode::setFormat(device::SetupFormat format)
{
    for (std::size_t i = 0; i < Formats.size(); ++i)
        if (Formats[i].format == format)
            m_format->setCurrentIndex(int(i));
}

QString FrmSetupCode::text() const { return m_plan ? m_preview->toPlainText() : QString(); }

void FrmSetupCode::readChip()
{
    m_plan.reset();
    m_error.clear();
    const int deviceId = device::RegisterLink.DeviceId;
    m_header = connectedChipHeader();
    try {
        // A chip that went away reads FFh throughout on the printer port:
        // code from such values would set up nothing the user chose.
        device::AnswerWatch watch(readRegister);
        const std::vector<device::RegisterValue> values = device::readSetupSource(deviceId, std::ref(watch));
        watch.confirm();
        device::SetupPlan plan = device::planSetup(deviceId, values);
        if (plan)
            m_plan = std::move(plan);
        else
            m_error = QStringLiteral("No set-up code can be made from %1: %2")
                          .arg(fromStd(m_header.source), fromStd(plan.error));
    } catch (const std::exception& e) {
        m_error = QStringLiteral("The registers could not be read, so there is no set-up code: %1")
                      .arg(QString::fromLocal8Bit(e.what()));
    }
    m_source->setText(m_plan ? QStringLiteral("%1 registers read from %2 at %3 UTC.")
                                   .arg(m_plan->writes.size())
                                   .arg(fromStd(m_header.source), fromStd(m_header.time).mid(11, 8))
                             : m_error);
    showText();
}

void FrmSetupCode::showText()
{
    m_save->setEnabled(m_plan.has_value());
    m_copy->setEnabled(m_plan.has_value());
    if (!m_plan) {
        m_preview->clear();
        return;
    }
    m_preview->setPlainText(QString::fromStdString(device::setupText(format(), *m_plan, m_header)));
}

void FrmSetupCode::saveText()
{
    if (!m_plan)
        return;
    const FormatChoice& choice = Formats[std::size_t(m_format->currentIndex())];
    shell::FileRequest request;
    request.title = QStringLiteral("Save Set-up Code");
    request.filter = QString::fromLatin1(choice.filter);
    const std::string_view chip = device::chipName(m_plan->deviceId);
    request.proposedName =
        fromStd(chip).toLower() + QStringLiteral("_setup") + fromStd(device::setupFileSuffix(choice.format));
    request.save = true;
    const QString path = shell::ui().chooseFile(this, request);
    if (path.isEmpty())
        return;
    const std::string error = device::writeFileReplacing(path.toStdString(), m_preview->toPlainText().toStdString());
    if (!error.empty()) {
        shell::msgBox(this, QString::fromStdString(error), shell::MsgButtons::Ok, QStringLiteral("Save Set-up Code"),
                      shell::MsgIcon::Exclamation);
        return;
    }
    m_source->setText(m_source->text().section(QStringLiteral(" Saved to "), 0, 0) +
                      QStringLiteral(" Saved to %1.").arg(QFileInfo(path).fileName()));
}

void FrmSetupCode::copyText()
{
    if (m_plan)
        QApplication::clipboard()->setText(m_preview->toPlainText());
}

void openSetupCode(QWidget* parent)
{
    auto* window = parent->findChild<FrmSetupCode*>(QStringLiteral("frmSetupCode"), Qt::FindDirectChildrenOnly);
    if (window == nullptr) {
        window = new FrmSetupCode(parent);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace mainwindow
