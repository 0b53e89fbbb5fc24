// The main window as a user meets it on the simulated board: logging from the
// Control tab, the About box and its system information, legibility and
// layout of the single-channel and motherboard variants, refused recalls.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sim/sim.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include "device/register_link.h"
#include "main_window/about_box.h"
#include "main_window/logging_panel.h"
#include "main_window/frm_save_reg.h"
#include "main_window/frm_setup_code.h"
#include "main_window/main_form.h"
#include "main_window/register_panel.h"
#include "main_window/save_recall_panel.h"
#include "main_window/system_info.h"
#include "shell/label_colour.h"
#include "shell/ui_services.h"
#include "support/two_chip_board.h"

namespace {

using mainwindow::MainForm;

constexpr std::uint8_t Dual = testsupport::kTfm4411At;
constexpr std::uint8_t Single = testsupport::kTfm4410At;

const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);

std::string slurp(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The remote 1 column of every data row (rows start with CR, end with CR LF).
std::vector<double> remoteColumn(const std::string& log)
{
    std::vector<double> values;
    std::size_t at = 0;
    while ((at = log.find("\r", at)) != std::string::npos) {
        const std::size_t end = log.find("\r\n", at + 1);
        if (end == std::string::npos)
            break;
        std::vector<std::string> fields;
        std::istringstream row(log.substr(at + 1, end - at - 1));
        for (std::string f; std::getline(row, f, '\t');)
            fields.push_back(f);
        if (fields.size() >= 5)
            values.push_back(std::stod(fields[2]));
        at = end + 2;
    }
    return values;
}

class WindowUse : public ::testing::TestWithParam<std::uint8_t> {
protected:
    void SetUp() override
    {
        testsupport::chipAt(Dual).powerOn();
        testsupport::chipAt(Single).powerOn();
        open(true);
    }
    void open(bool evaluationBoard)
    {
        form.reset();
        testsupport::connectTo(GetParam(), evaluationBoard);
        device::RegisterLink.DeviceId = 0;
        form = std::make_unique<MainForm>();
        form->Setup_Device_Display();
    }
    bool dual() const { return GetParam() == Dual; }
    template <typename T> T* find(const QString& name, QObject* in = nullptr) const
    {
        T* w = (in ? in : form.get())->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name.toStdString();
        return w;
    }
    QStringList labelTexts(QWidget* in) const
    {
        QStringList texts;
        for (QLabel* l : in->findChildren<QLabel*>())
            if (!l->isHidden())
                texts << l->text();
        return texts;
    }

    shell::ScopedScriptedUi ui;
    QTemporaryDir dir;
    std::unique_ptr<MainForm> form;
};

// A log started on the Control tab, heater on, tabs changed while it runs:
// every row carries a reading taken for it, and logging never stops by itself.
TEST_P(WindowUse, LogFromTheControlTabFollowsTheWarmingChipAcrossTabChanges)
{
    form->heaterTimer()->stop();
    sim::board().advanceMs(15 * 60 * 1000);  // cool from any earlier run
    form->selectTab(MainForm::TabControl);
    mainwindow::LoggingPanel* log = form->loggingPanel();
    auto now = std::chrono::steady_clock::time_point(std::chrono::hours(1000));
    log->setClocks([&now] { return now; }, [] { return QTime(10, 0, 0); });
    const QString file = dir.filePath(QStringLiteral("warming.xls"));
    ui->fileAnswers << file;
    log->MakeLog_CMD_Click();
    ASSERT_TRUE(log->logging());
    form->cmdEnable_Click();
    find<QSlider>(QStringLiteral("sldPWM"))->setValue(10);

    const int tabs[] = {MainForm::TabMain, MainForm::TabReadWrite, MainForm::TabControl, MainForm::TabVisual};
    for (int step = 0; step < 300; ++step) {  // 60 s in heater ticks
        sim::board().advanceMs(200);
        now += std::chrono::milliseconds(200);
        form->heaterTick();
        log->Timer1_Tick();
        if (step % 50 == 49) {
            form->selectTab(tabs[(step / 50) % 4]);
            EXPECT_EQ(find<QCheckBox>(QStringLiteral("Check3"))->text(), QStringLiteral("Logging to File"));
            EXPECT_TRUE(find<QTimer>(QStringLiteral("Timer1"))->isActive());
        }
    }
    const std::vector<double> remote = remoteColumn(slurp(file));
    ASSERT_GE(remote.size(), 12u);
    EXPECT_GT(remote.back(), remote.front() + 3) << "the rows do not show the heater warming the diode";
    for (std::size_t i = 1; i < remote.size(); ++i)
        EXPECT_GE(remote[i], remote[i - 1] - 0.5) << "row " << i;
    EXPECT_TRUE(ui->messages.size() <= 1u);  // at most the fan-type switch reminder
}

TEST_P(WindowUse, AboutBoxAndUntitledBoxesCarryTheProgramTitle)
{
    form->Command3_Click();
    auto* about = find<mainwindow::FrmAbout>(QStringLiteral("frmAbout"));
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(find<QLabel>(QStringLiteral("lblTitle"), about)->text(), QStringLiteral("TFM4410 Evaluation Software"));
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About TFM4410 Evaluation Software"));

    shell::msgBox(form.get(), QStringLiteral("untitled"));
    ASSERT_EQ(ui->messages.size(), 1u);
    EXPECT_EQ(ui->messages[0].title, QStringLiteral("TFM4410 Evaluation Software"));
}

// With a tool on PATH it is started; without one the program's own window
// comes up, naming the simulated board as simulated.
TEST_P(WindowUse, SystemInfoStartsTheDesktopToolOrShowsItsOwnWindow)
{
    const QByteArray path = qgetenv("PATH");
    form->Command3_Click();
    auto* about = find<mainwindow::FrmAbout>(QStringLiteral("frmAbout"));
    ASSERT_NE(about, nullptr);

    const QString marker = dir.filePath(QStringLiteral("started"));
    const QString tool = dir.filePath(QStringLiteral("hardinfo"));
    {
        QFile script(tool);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        // Only the tool's folder is on PATH, so the marker is made by the shell itself.
        script.write(("#!/bin/sh\n: > '" + marker + "'\n").toUtf8());
    }
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PATH", dir.path().toLocal8Bit());
    about->cmdSysInfo_Click();
    for (int i = 0; i < 100 && !QFile::exists(marker); ++i)
        QTest::qWait(50);
    EXPECT_TRUE(QFile::exists(marker));
    EXPECT_EQ(about->sysInfoWindow(), nullptr);

    QFile::remove(tool);
    about->cmdSysInfo_Click();
    qputenv("PATH", path);
    EXPECT_TRUE(ui->messages.empty());
    auto* window = about->sysInfoWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    const QString report = window->reportText();
    for (const char* item :
         {"Distribution: ", "Kernel: ", "Processor: ", "Memory: ", "Qt: ", "Communications library: ",
          "Bus back-end: simulated evaluation board", "Parallel ports: 1, selected: port 1 at 378h", "Chipset SMBus: "})
        EXPECT_TRUE(report.contains(QLatin1String(item))) << item << "\n" << report.toStdString();
    EXPECT_EQ(find<QTableWidget>(QStringLiteral("tblSysInfo"), window)->rowCount(), report.count(u'\n'));

    const QString shots = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
    if (!shots.isEmpty() && dual()) {
        QCoreApplication::processEvents();
        EXPECT_TRUE(about->grab().save(shots + QStringLiteral("/about-box.png")));
        EXPECT_TRUE(window->grab().save(shots + QStringLiteral("/system-information.png")));
    }
}

// Yellow, bright green and the workspace grey need a dark ground.
TEST_P(WindowUse, VisualDisplaySelectorsSitOnADarkPanel)
{
    form->show();
    form->selectTab(MainForm::TabVisual);
    QCoreApplication::processEvents();
    for (int i = 0; i < 5; ++i) {
        auto* sel = find<QLabel>(QStringLiteral("visualdisplaytext(%1)").arg(i));
        const QColor ground = sel->palette().color(sel->backgroundRole());
        EXPECT_LT(ground.lightnessF(), 0.25) << i;
    }
    shell::setTextColour(find<QLabel>(QStringLiteral("visualdisplaytext(1)")), shell::kYellow);
    auto* panel = find<QWidget>(QStringLiteral("fraParametersGround"));
    const QImage picture = panel->grab().toImage();
    EXPECT_LT(QColor(picture.pixel(2, picture.height() - 3)).lightnessF(), 0.25);
    EXPECT_EQ(shell::textColour(find<QLabel>(QStringLiteral("visualdisplaytext(1)"))), shell::kYellow);
    const QString shots = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        EXPECT_TRUE(
            form->grab().save(shots + QStringLiteral("/visual-selectors-%1.png").arg(dual() ? "tfm4411" : "tfm4410")));
    }
}

TEST_P(WindowUse, ReadWriteHeadingsLoseTheChannelNumberOnTheSingleChannelChip)
{
    const QStringList texts = labelTexts(form->registerPanel());
    EXPECT_EQ(texts.contains(QStringLiteral("Remote 1")), dual());
    EXPECT_EQ(texts.contains(QStringLiteral("Fan 1")), dual());
    EXPECT_EQ(texts.contains(QStringLiteral("Remote")), !dual());
    EXPECT_EQ(texts.contains(QStringLiteral("Fan")), !dual());
    EXPECT_EQ(texts.contains(QStringLiteral("Remote 2")), dual());
}

// On the motherboard SMBus the heater panel is hidden and the panels close up.
TEST_P(WindowUse, ControlTabLeavesNoGapWithoutTheHeaterPanel)
{
    for (bool board : {false, true}) {
        SCOPED_TRACE(board ? "evaluation board" : "motherboard SMBus");
        open(board);
        form->show();
        form->selectTab(MainForm::TabControl);
        QCoreApplication::processEvents();
        auto* heater = find<QWidget>(QStringLiteral("SSPanel3"));
        auto* modes = find<QWidget>(QStringLiteral("SSPanel1"));
        auto* logging = find<QWidget>(QStringLiteral("LoggingPanel"));
        EXPECT_EQ(heater->isVisible(), board);
        // Whatever sits at the top of the right column starts level with the modes.
        QWidget* topRight = board ? heater : logging;
        EXPECT_EQ(topRight->y(), modes->y());
        EXPECT_GT(topRight->x(), modes->x() + modes->width() - 1);
        const QString shots = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
        if (!shots.isEmpty() && !board) {
            EXPECT_TRUE(form->grab().save(
                shots + QStringLiteral("/control-tab-smbus-%1.png").arg(dual() ? "tfm4411" : "tfm4410")));
        }
    }
}

TEST_P(WindowUse, RefusedRecallKeepsItsTextAndGivesTheReasonAsDetail)
{
    const QString file = dir.filePath(QStringLiteral("edited.txt"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("TFM4411 Evaluation Software v1.04\r\nSaved : today\r\n\r\nnot the heading\r\n");
    }
    ui->fileAnswers << file;
    form->saveRecallPanel()->cmdRecall_Click();
    ASSERT_EQ(ui->messages.size(), 1u);
    const shell::MessageRequest& box = ui->messages[0];
    EXPECT_EQ(box.text, QStringLiteral("Invalid File Selected"));
    EXPECT_EQ(box.title, QStringLiteral("TFM4410 Evaluation Software"));
    EXPECT_EQ(box.icon, shell::MsgIcon::Critical);
    // The reader names the lines at fault.
    EXPECT_TRUE(box.detail.contains(QRegularExpression(QStringLiteral("line.* [0-9]")))) << box.detail.toStdString();
    EXPECT_FALSE(box.detail.trimmed().isEmpty());
}

// The chip's set-up as code from the Save/Recall panel: what the user sees is
// what Save writes and Copy copies, it follows the chip, and a chip that
// stops answering gives no code at all.
TEST_P(WindowUse, GenerateSetupCodeShowsSavesAndCopiesTheChipsSetUp)
{
    device::RegisterLink.RegisterPointer = device::reg::LocalHighLimit;
    device::RegisterLink.DataByte = 0x46;
    device::WriteRegister();
    QTest::mouseClick(find<QPushButton>(QStringLiteral("cmdGenerateSetup")), Qt::LeftButton);
    auto* window = find<mainwindow::FrmSetupCode>(QStringLiteral("frmSetupCode"));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Generate Set-up Code"));
    auto* format = find<QComboBox>(QStringLiteral("cboSetupFormat"), window);
    auto* save = find<QPushButton>(QStringLiteral("cmdSetupSave"), window);
    EXPECT_EQ(format->count(), 4);
    for (QWidget* w :
         std::initializer_list<QWidget*>{format, save, find<QWidget>(QStringLiteral("txtSetupPreview"), window),
                                         find<QWidget>(QStringLiteral("cmdSetupCopy"), window)})
        EXPECT_NE(w->focusPolicy() & Qt::TabFocus, 0) << w->objectName().toStdString();

    window->setFormat(device::SetupFormat::Json);
    const device::SetupFileResult json = device::parseSetupJson(window->text().toStdString());
    ASSERT_TRUE(json) << json.error;
    EXPECT_EQ(json.file->deviceId, dual() ? device::DeviceIdTFM4411 : device::DeviceIdTFM4410);
    EXPECT_EQ(json.file->address, device::sevenBitAddress(GetParam()));
    EXPECT_TRUE(std::any_of(json.file->writes.begin(), json.file->writes.end(), [](const device::SetupWrite& w) {
        return w.reg == device::reg::LocalHighLimit && w.value == 0x46;
    }));

    window->setFormat(device::SetupFormat::Shell);
    EXPECT_TRUE(window->text().startsWith(QStringLiteral("#!/bin/sh")));
    if (const QString shots = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR"); !shots.isEmpty()) {
        window->show();
        QCoreApplication::processEvents();
        EXPECT_TRUE(window->grab().save(shots + QStringLiteral("/setup-code-%1.png").arg(dual() ? 4411 : 4410)));
    }
    const QString path = dir.filePath(QStringLiteral("setup.sh"));
    ui->fileAnswers << path;
    QTest::mouseClick(save, Qt::LeftButton);
    ASSERT_FALSE(ui->fileRequests.empty());
    EXPECT_TRUE(ui->fileRequests.back().proposedName.endsWith(QStringLiteral(".sh")));
    EXPECT_EQ(QString::fromStdString(slurp(path)), window->text());
    QTest::mouseClick(find<QPushButton>(QStringLiteral("cmdSetupCopy"), window), Qt::LeftButton);
    EXPECT_EQ(QApplication::clipboard()->text(), window->text());

    testsupport::chipAt(GetParam()).setPresent(false);
    window->readChip();
    testsupport::chipAt(GetParam()).setPresent(true);
    EXPECT_TRUE(window->text().isEmpty());
    EXPECT_FALSE(save->isEnabled());
    EXPECT_TRUE(
        find<QLabel>(QStringLiteral("lblSetupSource"), window)->text().contains(QStringLiteral("could not be read")));
    window->close();
}

INSTANTIATE_TEST_SUITE_P(BothVariants, WindowUse, ::testing::Values(Dual, Single),
                         [](const auto& info) { return info.param == Dual ? "TFM4411" : "TFM4410"; });

// ---- the system facts, from the system's own files --------------------------------

struct Parse {
    const char* what;
    QString (*parse)(const QString&);
    const char* text;
    const char* expected;
};

class SystemFacts : public ::testing::TestWithParam<Parse> { };

TEST_P(SystemFacts, ParsesWhatTheFileHolds)
{
    EXPECT_EQ(GetParam().parse(QString::fromLatin1(GetParam().text)), QString::fromLatin1(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Files, SystemFacts,
    ::testing::Values(
        Parse{"pretty name quoted", mainwindow::distributionName,
              "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n",
              "Debian GNU/Linux 12 (bookworm)"},
        Parse{"no pretty name", mainwindow::distributionName, "NAME=Arch\nVERSION='rolling'\n", "Arch rolling"},
        Parse{"empty os-release", mainwindow::distributionName, "", ""},
        Parse{"x86 model name", mainwindow::cpuModel,
              "processor\t: 0\nmodel name\t: Intel(R)  Core(TM) i5\nflags\t: fpu\n", "Intel(R) Core(TM) i5"},
        Parse{"arm hardware line", mainwindow::cpuModel, "processor\t: 0\nHardware\t: BCM2835\n", "BCM2835"},
        Parse{"memory in GiB", mainwindow::memoryTotal, "MemTotal:       16252928 kB\nMemFree: 1 kB\n", "15.5 GiB"},
        Parse{"memory without unit", mainwindow::memoryTotal, "MemTotal: 12\n", ""},
        Parse{"memory missing", mainwindow::memoryTotal, "MemFree: 1 kB\n", ""}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

}  // namespace
