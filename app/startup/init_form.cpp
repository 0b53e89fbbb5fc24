#include "startup/init_form.h"

#include "ui_init_form.h"

#include "device/register_link.h"
#include "main_window/main_form.h"
#include "shell/application.h"
#include "shell/label_colour.h"
#include "shell/mnemonics.h"
#include "shell/options.h"
#include "shell/ui_services.h"
#include "startup/frm_splash.h"

#include <vexlink06/vexlink06.h>

#include "device/chipset_check.h"
#include "device/port_check.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QLabel>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QPainter>

namespace startup {
namespace {

constexpr int kPrinterEntry = 0;
constexpr int kSmbusEntry = 1;
constexpr int kKernelEntry = 2;
constexpr int kEntryKindRole = Qt::UserRole;
constexpr int kEntryIndexRole = Qt::UserRole + 1;

const QString kChip = QString::fromLatin1(kChipName);

QString hex(long value) { return QString::number(value, 16).toUpper(); }

// The library's error, kept for a report.
struct PendingError {
    bool pending = false;
    std::int32_t number = 0;
    std::string description;
};

// Runs one statement; a library failure skips it and is remembered.
template <class Statement> bool resumeNext(PendingError& error, Statement&& statement)
{
    try {
        statement();
        return true;
    } catch (const vexlink06::ComError& e) {
        error = {true, e.number(), e.description()};
        return false;
    }
}

// A child the library failed to create reads as nothing; calling through it
// is reported as the automation runtime reports it.
template <class T> std::shared_ptr<T> required(std::shared_ptr<T> object)
{
    if (!object)
        throw vexlink06::ComError(91, "Object variable or With block variable not set");
    return object;
}

std::shared_ptr<vexlink06::PrinterPort> printerPort() { return required(device::ComPort()->PrinterPort()); }
std::shared_ptr<vexlink06::SMBusProtocall> protocall() { return required(printerPort()->SMBusProtocall()); }
std::shared_ptr<vexlink06::SMBus> chipsetSMBus() { return required(device::ComPort()->SMBus()); }

// Restores the pointer however the search ends.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

}  // namespace

QString printerEntryText(std::uint8_t address, std::int32_t portBase, int entryNumber)
{
    return QStringLiteral("Found an ") + kChip + QStringLiteral(" at:") + hex(address / 2) +
           QStringLiteral("h, on printer port:") + hex(portBase) + QStringLiteral("h") + QString(50, u' ') +
           QStringLiteral("Printer") + u' ' + QString::number(entryNumber);
}

QString smbusEntryText(std::uint8_t address7)
{
    return QStringLiteral("An ") + kChip + QStringLiteral(" was found at:") + hex(address7) +
           QStringLiteral("h, on the SMBus") + QString(98, u' ') + QStringLiteral("SMBus") + hex(address7);
}

std::optional<ChipsetReport> chipsetReport(const std::string& info)
{
    const QString text = QString::fromStdString(info);
    if (text.startsWith(QLatin1String("Unsupported and unrecognised")))
        return ChipsetReport{QString::fromLatin1(device::UnsupportedChipsetText), shell::kDarkRed, false, false};
    if (text.startsWith(QLatin1String("ICH Type")))
        return ChipsetReport{
            QStringLiteral("The Intel chipset is not recognised click next to assume it is a standard ICH."),
            shell::kDarkRed, true, true};
    if (text.startsWith(QLatin1String("ICH"))) {
        // The library pads its chipset names to a fixed width with runs of
        // five blanks; they read badly in a sentence.
        QString trimmed = text;
        trimmed.replace(QStringLiteral("     "), QString());
        return ChipsetReport{QStringLiteral("Found an ") + trimmed, shell::kGreen, true, true};
    }
    if (text.startsWith(QLatin1String("ALi M1535+, ")))
        return ChipsetReport{QStringLiteral("Found an ") + text, shell::kGreen, true, true};
    return std::nullopt;
}

InitForm::InitForm(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::InitForm>())
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("InitForm"));
    setWindowTitle(kChip + QStringLiteral(" Search Wizard"));
    ui->sideBanner->setStyleSheet(QStringLiteral(
        "#sideBanner { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #1b4f8a, stop:1 #0d2a4d);"
        " padding-top: 28px; }"));
    ui->sideBanner->setPixmap(boardPicture(QSize(150, 100), devicePixelRatioF()));

    QFont heading = ui->SearchingLBL->font();
    heading.setPointSizeF(heading.pointSizeF() * 1.3);
    heading.setBold(true);
    ui->SearchingLBL->setFont(heading);
    ui->SearchResultsDescLBL->setFont(heading);
    QFont welcome = ui->WelcomeLBL->font();
    welcome.setPointSizeF(welcome.pointSizeF() * 1.25);
    ui->WelcomeLBL->setFont(welcome);

    connect(ui->NextCMD, &QPushButton::clicked, this, &InitForm::NextCMD_Click);
    connect(ui->BackCMD, &QPushButton::clicked, this, &InitForm::BackCMD_Click);
    connect(ui->FinishCMD, &QPushButton::clicked, this, &InitForm::FinishCMD_Click);
    connect(ui->CancelCMD, &QPushButton::clicked, this, &InitForm::CancelCMD_Click);
    ui->SearchResultsLIST->setAccessibleName(QStringLiteral("Devices found"));
    connect(ui->SearchResultsLIST, &QListWidget::itemDoubleClicked, this, &InitForm::FinishCMD_Click);

    m_panels = {ui->WelcomePanel, ui->SeclectComsMediumPanel, ui->SearchingPanel, ui->SearchResultsPanel};
    for (QFrame* panel : m_panels)
        panel->layout()->setContentsMargins(24, 20, 24, 12);
    // The texts are filled before anything touches the library, so a failing
    // library still leaves a readable wizard behind its error message.
    fillCaptions();
    addPortProblemLabel();
    addKernelAdapterChoice();
    addSimulatedBoardNote();
    shell::addMnemonics(this);
    showPanel(1);
    Form_Load();
}

InitForm::~InitForm()
{
    // Until Finish hands it over, the main window belongs to the search.
    if (!m_finished)
        unloadMainForm();
}

mainwindow::MainForm* InitForm::loadedMainForm() const { return m_mainForm.data(); }

void InitForm::fillCaptions()
{
    ui->WelcomeLBL->setText(QStringLiteral("This ") + kChip + QStringLiteral(" Search Wizard will ") +
                            QStringLiteral("find any ") + kChip +
                            QStringLiteral("s that can be controlled by this software"));
    ui->WelcomeInstructionsLBL->setText(QStringLiteral("Click 'Next' to start."));
    ui->PPCheck->setText(QStringLiteral("Parallel Printer Port"));
    ui->PPSearchDescLBL->setText(QStringLiteral("Remember to connect the ") + kChip +
                                 QStringLiteral(" evaluation board to the printer port"));
    ui->SMBusCheck->setText(QStringLiteral("On-Board SMBus"));
    ui->SearchMediumInstLBL->setText(QStringLiteral("Click 'Next' to search for the ") + kChip + QStringLiteral("."));
    ui->SearchingDetailsLBL->setText(QStringLiteral("Please wait while searching for available ") + kChip +
                                     QStringLiteral("s."));
    ui->SearchResultsLBL->setText(QStringLiteral("Please select one of the ") + kChip +
                                  QStringLiteral("s found above."));
    ui->SearchInsLBL->setText(QStringLiteral("Click 'Next' to Continue"));
    ui->SearchProgress->setMinimum(0);
}

void InitForm::Form_Load()
{
    try {
        protocall()->setBitsToStayHigh(240);
        showChipsetReport();
        clearResults();
        const KernelAdapterReport kernel = kernelAdapterReport();
        m_i2cDesc->setText(kernel.text);
        shell::setTextColour(m_i2cDesc, kernel.colour);
        m_i2cCheck->setEnabled(kernel.enabled);
        m_i2cBuses = kernel.usable;
    } catch (const std::exception&) {
        shell::msgBox(this, QStringLiteral("Error in Init Form Load"), shell::MsgButtons::Ok, QStringLiteral("Error"),
                      shell::MsgIcon::Critical);
        ui->NextCMD->setFocus();
    }
}

void InitForm::showChipsetReport()
{
    auto report = chipsetReport(chipsetSMBus()->GetChipsetINFO());
    // A controller the helper refused to touch cannot be searched, whatever
    // the search recognised: say why, as the unsupported case is shown.
    if (const std::string reason = chipsetSMBus()->UnavailableReason(); !reason.empty())
        report = ChipsetReport{QString::fromStdString(reason), shell::kDarkRed, false, false};
    if (!report)
        return;
    ui->SMBusSearchDescLBL->setText(report->text);
    shell::setTextColour(ui->SMBusSearchDescLBL, report->colour);
    ui->SMBusCheck->setChecked(report->smbusChecked);
    ui->SMBusCheck->setEnabled(report->smbusEnabled);
}

void InitForm::showPanel(int step) { ui->panels->setCurrentWidget(m_panels.at(static_cast<std::size_t>(step - 1))); }

void InitForm::NextCMD_Click()
{
    m_goingForward = true;
    dispatchStep();
}

void InitForm::BackCMD_Click()
{
    m_goingForward = false;
    dispatchStep();
}

void InitForm::dispatchStep()
{
    switch (m_step) {
    case 1:
        if (m_goingForward) {
            m_step = 2;
            showPanel(m_step);
            ui->BackCMD->setEnabled(true);
        }
        break;
    case 2:
        if (m_goingForward) {
            runSearch();
        } else {
            m_step = 1;
            showPanel(m_step);
            ui->BackCMD->setEnabled(false);
        }
        break;
    case 4:
        if (m_goingForward) {
            showPanel(m_step);
            ui->BackCMD->setEnabled(true);
            ui->FinishCMD->setEnabled(true);
        } else {
            clearResults();
            m_step = 2;
            showPanel(m_step);
            ui->NextCMD->setEnabled(true);
            ui->FinishCMD->setEnabled(false);
        }
        break;
    default: break;
    }
    if (m_step == 1)
        ui->NextCMD->setFocus();
}

void InitForm::runSearch()
{
    const int media = int(ui->PPCheck->isChecked()) + int(ui->SMBusCheck->isChecked()) +
                      int(ui->USBCheck->isChecked()) + int(m_i2cCheck->isChecked());
    if (media == 0) {
        shell::msgBox(this, QStringLiteral("Please select a search medium"), shell::MsgButtons::Ok,
                      QStringLiteral("A problem was detected"));
        return;
    }

    m_step = 3;
    showPanel(m_step);
    ui->SearchingPanel->repaint();
    for (QPushButton* button : {ui->BackCMD, ui->NextCMD, ui->FinishCMD, ui->CancelCMD})
        button->setEnabled(false);
    {
        BusyCursor busy;
        try {
            loadMainForm();
        } catch (...) {
            // Leave the wizard where it was, with its buttons usable, and let
            // the program's error report show what failed.
            m_step = 2;
            showPanel(m_step);
            ui->BackCMD->setEnabled(true);
            ui->NextCMD->setEnabled(true);
            ui->CancelCMD->setEnabled(true);
            throw;
        }
        ui->SearchProgress->setMaximum(kProgressPerMedium * media);
        ui->SearchProgress->setValue(0);
        if (ui->PPCheck->isChecked())
            searchPrinterPort();
        if (ui->SMBusCheck->isChecked())
            searchSMBus();
        if (ui->USBCheck->isChecked())
            searchUSB();
        if (m_i2cCheck->isChecked())
            searchKernelAdapterMedium();
        ui->CancelCMD->setEnabled(true);
        ui->BackCMD->setEnabled(true);
        ui->FinishCMD->setEnabled(true);
        ui->NextCMD->setEnabled(false);
    }
    fillResultList();
    m_step = 4;
    showPanel(m_step);
    ui->SearchProgress->setValue(0);
    focusAfterSearch();
}

void InitForm::focusAfterSearch()
{
    if (ui->FinishCMD->isEnabled())
        ui->FinishCMD->setFocus();
    else if (ui->NextCMD->isEnabled())
        ui->NextCMD->setFocus();
    else
        ui->BackCMD->setFocus();
}

void InitForm::loadMainForm()
{
    // Loading an already loaded window does nothing: a second search after
    // Back keeps the one the first search loaded.
    if (m_mainForm)
        return;
    auto* form = new mainwindow::MainForm();
    form->setAttribute(Qt::WA_DeleteOnClose);
    m_mainForm = form;
}

void InitForm::unloadMainForm()
{
    if (m_mainForm)
        delete m_mainForm.data();
}

void InitForm::advanceProgress(int amount)
{
    QProgressBar* bar = ui->SearchProgress;
    bar->setValue(std::min(bar->value() + amount, bar->maximum()));
    ui->SearchingPanel->repaint();
}

void InitForm::addKernelAdapterChoice()
{
    // Built here rather than in the form file: the designed panel stays as
    // it is, and the choice goes between the SMBus and USB ones.
    auto* layout = qobject_cast<QBoxLayout*>(ui->SeclectComsMediumPanel->layout());
    m_i2cCheck = new QCheckBox(QStringLiteral("Kernel I2C/SMBus Adapters"), ui->SeclectComsMediumPanel);
    m_i2cCheck->setObjectName(QStringLiteral("I2CCheck"));
    m_i2cCheck->setEnabled(false);
    m_i2cDesc = new QLabel(ui->SeclectComsMediumPanel);
    m_i2cDesc->setObjectName(QStringLiteral("I2CSearchDescLBL"));
    m_i2cDesc->setWordWrap(true);
    auto* row = new QHBoxLayout;
    row->addSpacing(24);
    row->addWidget(m_i2cDesc);
    const int at = layout ? layout->indexOf(ui->USBCheck) : -1;
    if (at >= 0) {
        layout->insertWidget(at, m_i2cCheck);
        layout->insertLayout(at + 1, row);
        layout->insertSpacing(at + 2, 10);
    }
}

void InitForm::addSimulatedBoardNote()
{
    // The ports and the chipset below are the simulated board's, however
    // real the descriptions read; say so above them.
    const QString board = QString::fromStdString(shell::simulatedBoardText());
    auto* layout = qobject_cast<QBoxLayout*>(ui->SeclectComsMediumPanel->layout());
    if (board.isEmpty() || !layout)
        return;
    auto* note = new QLabel(board + QStringLiteral(": the printer ports, the chipset SMBus and the I2C adapters "
                                                   "offered here are simulated. Start with --hardware for real ones."),
                            ui->SeclectComsMediumPanel);
    note->setObjectName(QStringLiteral("SimulatedBoardLBL"));
    note->setWordWrap(true);
    note->setAccessibleName(board);
    shell::setTextColour(note, 0x800000);  // dark blue, apart from the found/not-found colours
    layout->insertWidget(0, note);
    layout->insertSpacing(1, 6);
}

void InitForm::fillResultList()
{
    QListWidget* list = ui->SearchResultsLIST;
    PendingError ignored;
    int entry = 0;
    for (std::size_t i = 0; i < m_printerResults.size(); ++i) {
        const PrinterResult& result = m_printerResults[i];
        std::int32_t base = 0;
        resumeNext(ignored, [&] {
            printerPort()->setPortAddressIndex(result.portIndex);
            base = printerPort()->PortAddress();
        });
        auto* item = new QListWidgetItem(printerEntryText(result.address, base, ++entry), list);
        item->setData(kEntryKindRole, kPrinterEntry);
        item->setData(kEntryIndexRole, static_cast<int>(i));
        m_listAddresses.push_back(result.address);
        ui->SearchInsLBL->setText(QStringLiteral("Click Finish to continue..."));
        list->setCurrentRow(0);
    }
    for (std::size_t i = 0; i < m_smbusResults.size(); ++i) {
        auto* item = new QListWidgetItem(smbusEntryText(m_smbusResults[i]), list);
        item->setData(kEntryKindRole, kSmbusEntry);
        item->setData(kEntryIndexRole, static_cast<int>(i));
        m_listAddresses.push_back(m_smbusResults[i]);
        ui->SearchInsLBL->setText(QStringLiteral("Click Finish to continue..."));
        list->setCurrentRow(0);
    }
    for (std::size_t i = 0; i < m_kernelResults.size(); ++i) {
        auto* item = new QListWidgetItem(kernelEntryText(kChip, m_kernelResults[i]), list);
        item->setData(kEntryKindRole, kKernelEntry);
        item->setData(kEntryIndexRole, static_cast<int>(i));
        m_listAddresses.push_back(m_kernelResults[i].address7);
        ui->SearchInsLBL->setText(QStringLiteral("Click Finish to continue..."));
        list->setCurrentRow(0);
    }
    if (list->count() > 0) {
        ui->SearchResultsLBL->setText(QStringLiteral("Please select one of the ") + kChip +
                                      QStringLiteral("s found above."));
        ui->SearchInsLBL->setText(QStringLiteral("Click 'Finish' to Continue"));
    } else {
        ui->SearchResultsLBL->setText(QStringLiteral("Sorry, no ") + kChip +
                                      QStringLiteral("s were found. Please check all connections and try again"));
        ui->SearchInsLBL->setText(QStringLiteral("Click Back to continue..."));
        ui->FinishCMD->setEnabled(false);
    }
    showPortProblems();
}

void InitForm::addPortProblemLabel()
{
    auto* layout = qobject_cast<QBoxLayout*>(ui->SearchResultsPanel->layout());
    m_portProblemLbl = new QLabel(ui->SearchResultsPanel);
    m_portProblemLbl->setObjectName(QStringLiteral("SearchProblemLBL"));
    m_portProblemLbl->setWordWrap(true);
    m_portProblemLbl->setVisible(false);
    shell::setTextColour(m_portProblemLbl, shell::kDarkRed);
    if (layout)
        layout->insertWidget(layout->indexOf(ui->SearchResultsLBL) + 1, m_portProblemLbl);
}

void InitForm::showPortProblems()
{
    // One line per port that could not answer.
    m_portProblemLbl->setText(m_portProblems.join(QLatin1Char('\n')));
    m_portProblemLbl->setVisible(!m_portProblems.isEmpty());
}

void InitForm::clearResults()
{
    m_portProblems.clear();
    if (m_portProblemLbl)
        showPortProblems();
    ui->SearchResultsLIST->clear();
    m_printerResults.clear();
    m_smbusResults.clear();
    m_kernelResults.clear();
    m_listAddresses.clear();
}

void InitForm::FinishCMD_Click()
{
    // The row's own result decides, not a digit read back from its text, so
    // a tenth or later entry configures the device it names. With nothing
    // selected Finish does nothing and the wizard stays where it is.
    QListWidget* list = ui->SearchResultsLIST;
    const int row = list->currentRow();
    QListWidgetItem* item = list->currentItem();
    if (m_step != 4 || !item || !item->isSelected() || row < 0 ||
        static_cast<std::size_t>(row) >= m_listAddresses.size())
        return;
    const int kind = item->data(kEntryKindRole).toInt();
    const auto index = static_cast<std::size_t>(item->data(kEntryIndexRole).toInt());

    PendingError ignored;
    if (kind == kPrinterEntry && index < m_printerResults.size()) {
        const PrinterResult result = m_printerResults[index];
        resumeNext(ignored, [&] { printerPort()->setPortAddressIndex(result.portIndex); });
        resumeNext(ignored, [&] { protocall()->setDataInverted(result.dataInverted); });
        resumeNext(ignored, [&] { protocall()->setDeviceAddress(result.address); });
        resumeNext(ignored, [&] { device::ComPort()->setPortType(1); });
        device::RegisterLink.Medium = device::MediumPrinterPort;
        device::RegisterLink.PrinterMedium = 1;
        resumeNext(ignored, [&] { m_printerPortBase = protocall()->PortAddress(); });
    } else if (kind == kSmbusEntry && index < m_smbusResults.size()) {
        const std::uint8_t address7 = m_smbusResults[index];
        resumeNext(ignored, [&] { chipsetSMBus()->setDeviceAddress(address7); });
        resumeNext(ignored, [&] { device::ComPort()->setPortType(0); });
        device::RegisterLink.Medium = device::MediumChipsetSMBus;
        device::RegisterLink.PrinterMedium = 0;
    } else if (kind == kKernelEntry && index < m_kernelResults.size()) {
        const KernelResult result = m_kernelResults[index];
        resumeNext(ignored, [&] {
            const auto adapter = device::ComPort()->KernelAdapter();
            adapter->setBus(result.bus);
            adapter->setForce(vexlink06::False);
        });
        resumeNext(ignored, [&] { device::ComPort()->setPortType(device::MediumKernelAdapter); });
        device::RegisterLink.Medium = device::MediumKernelAdapter;
        device::RegisterLink.PrinterMedium = 0;
    } else {
        return;
    }

    m_finished = true;
    device::RegisterLink.DeviceAddress = m_listAddresses[static_cast<std::size_t>(row)];
    if (m_mainForm) {
        resumeNext(ignored, [&] { m_mainForm->Setup_Device_Display(); });
        m_mainForm->show();
    }
    close();
}

void InitForm::CancelCMD_Click()
{
    if (!m_finished)
        unloadMainForm();
    close();
}

void InitForm::closeEvent(QCloseEvent* event)
{
    // The search's transfers wait in the event loop.
    if (shell::putOffCloseInsideLibraryWait(this, event))
        return;
    if (!m_finished && !m_closing) {
        // Leaving the wizard without a device ends the program: every other
        // window goes too, the hidden main window with its unload.
        m_closing = true;
        unloadMainForm();
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window != this && window->isVisible())
                window->close();
        }
        m_closing = false;
    }
    event->accept();
}

void InitForm::keyPressEvent(QKeyEvent* event)
{
    // The window is not a dialog, so no button is pressed by Enter on its
    // own; the buttons, check boxes and the list pass Enter up to here.
    auto press = [event](QPushButton* button) {
        if (button && button->isEnabled())
            button->click();
        event->accept();
    };
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A button the user tabbed to is the one Enter presses, as in any
        // dialog; otherwise the forward button of the step.
        if (auto* focused = qobject_cast<QPushButton*>(focusWidget()); focused && focused->isEnabled())
            press(focused);
        else if (m_step == 4 && ui->FinishCMD->isEnabled())
            press(ui->SearchResultsLIST->selectedItems().isEmpty() ? nullptr : ui->FinishCMD);
        else
            press(ui->NextCMD);
        return;
    case Qt::Key_Escape: press(ui->CancelCMD); return;
    default: QWidget::keyPressEvent(event);
    }
}

void InitForm::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    if (!m_painted) {
        m_painted = true;
        emit firstPanelShown();
    }
}

}  // namespace startup
