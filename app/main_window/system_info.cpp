#include "main_window/system_info.h"

#include "device/back_end.h"
#include "device/register_link.h"
#include "shell/application.h"

#include <vexlink06/vexlink06.h>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QTableWidget>
#include <QVBoxLayout>

#include <dlfcn.h>

#include <cstdlib>
#include <exception>
#include <thread>

namespace mainwindow {

namespace {

QString readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // /proc files report size 0; read what they give, never more than this.
    return QString::fromUtf8(file.read(256 * 1024));
}

// "KEY=value" or KEY="value" lines, as /etc/os-release writes them.
QString osReleaseValue(const QString& text, const QString& key)
{
    for (const QString& line : text.split(u'\n')) {
        if (!line.startsWith(key + u'='))
            continue;
        QString value = line.mid(key.size() + 1).trimmed();
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

QString hexAddress(std::int32_t value) { return QString::number(value, 16).toUpper() + u'h'; }

// The file the library was loaded from, so a report says which copy ran.
QString libraryFile()
{
    Dl_info info{};
    auto* symbol = reinterpret_cast<void*>(&vexlink06::TvxComPort::create);
    if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr)
        return {};
    return QFile::decodeName(info.dli_fname);
}

QString busBackEnd()
{
    const char* env = std::getenv("VEXLINK06_PLATFORM");
    const QString name = env && *env ? QString::fromLocal8Bit(env) : QStringLiteral("sim");
    if (name == QLatin1String("sim")) {
        // Which board: the one every program shares, or this program's own.
        const QString board = QString::fromStdString(device::simulatedBoardConfiguration().value_or(std::string{}));
        QString which = board.startsWith(QLatin1String("shared, "))
                            ? QStringLiteral("the shared board at ") + board.mid(8)
                            : QStringLiteral("a board of this program's own, ") + board;
        if (const std::string lost = device::sharedBoardProblem(); !lost.empty())
            which += QStringLiteral("; ") + QString::fromStdString(lost);
        return QStringLiteral("simulated evaluation board (sim): ") + which;
    }
    if (name == QLatin1String("linux"))
        return QStringLiteral("real hardware (linux)");
    return name;
}

void addLibraryFacts(std::vector<SystemFact>& facts)
{
    if (!device::ComPortCreated())
        return;
    const bool simulated = busBackEnd().startsWith(QLatin1String("simulated"));
    const QString suffix = simulated ? QStringLiteral(" (simulated)") : QString();
    try {
        const auto com = device::ComPort();
        if (const auto printer = com ? com->PrinterPort() : nullptr) {
            const int count = printer->PrinterPortsDetected();
            QString ports = QString::number(count);
            if (count > 0)
                ports += QStringLiteral(", selected: port %1 at %2")
                             .arg(printer->PortAddressIndex() + 1)
                             .arg(hexAddress(printer->PortAddress()));
            facts.push_back({QStringLiteral("Parallel ports"), ports + suffix});
        }
        if (const auto bus = com ? com->SMBus() : nullptr) {
            QString chipset = QString::fromStdString(bus->GetChipsetINFO()).simplified();
            if (chipset.isEmpty())
                chipset = QStringLiteral("none recognised");
            const QString refused = QString::fromStdString(bus->UnavailableReason());
            if (!refused.isEmpty())
                chipset += QStringLiteral("; ") + refused;
            facts.push_back({QStringLiteral("Chipset SMBus"), chipset + suffix});
        }
    } catch (const std::exception& error) {
        facts.push_back({QStringLiteral("Bus"), QString::fromLocal8Bit(error.what())});
    }
}

}  // namespace

QString distributionName(const QString& osRelease)
{
    QString name = osReleaseValue(osRelease, QStringLiteral("PRETTY_NAME"));
    if (name.isEmpty())
        name = (osReleaseValue(osRelease, QStringLiteral("NAME")) + u' ' +
                osReleaseValue(osRelease, QStringLiteral("VERSION")))
                   .trimmed();
    return name;
}

QString cpuModel(const QString& cpuinfo)
{
    // x86 says "model name", several ARM kernels only "Hardware" or "Model".
    for (const char* key : {"model name", "Model", "Hardware", "cpu model"}) {
        for (const QString& line : cpuinfo.split(u'\n')) {
            const qsizetype colon = line.indexOf(u':');
            if (colon > 0 && line.left(colon).trimmed() == QLatin1String(key)) {
                const QString value = line.mid(colon + 1).simplified();
                if (!value.isEmpty())
                    return value;
            }
        }
    }
    return {};
}

QString memoryTotal(const QString& meminfo)
{
    for (const QString& line : meminfo.split(u'\n')) {
        if (!line.startsWith(QLatin1String("MemTotal:")))
            continue;
        const QStringList parts = line.mid(9).simplified().split(u' ');
        bool ok = false;
        const double kib = parts.value(0).toDouble(&ok);
        if (!ok || kib <= 0 || parts.value(1) != QLatin1String("kB"))
            return {};
        return QString::number(kib / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" GiB");
    }
    return {};
}

std::vector<SystemFact> gatherSystemFacts()
{
    std::vector<SystemFact> facts;
    auto add = [&facts](const QString& name, const QString& value) {
        if (!value.trimmed().isEmpty())
            facts.push_back({name, value});
    };
    add(QStringLiteral("Program"),
        QString::fromLatin1(shell::kProgramTitle) + QStringLiteral(", version ") + QStringLiteral(FANSCOPE_VERSION));
    QString distribution = distributionName(readSmallFile(QStringLiteral("/etc/os-release")));
    if (distribution.isEmpty())
        distribution = QSysInfo::prettyProductName();
    add(QStringLiteral("Distribution"), distribution);
    add(QStringLiteral("Kernel"), QSysInfo::kernelType() + u' ' + QSysInfo::kernelVersion());
    add(QStringLiteral("Architecture"), QSysInfo::currentCpuArchitecture());
    QString cpu = cpuModel(readSmallFile(QStringLiteral("/proc/cpuinfo")));
    if (const unsigned threads = std::thread::hardware_concurrency(); threads > 0)
        cpu +=
            (cpu.isEmpty() ? QString() : QStringLiteral(", ")) + QStringLiteral("%1 logical processors").arg(threads);
    add(QStringLiteral("Processor"), cpu);
    add(QStringLiteral("Memory"), memoryTotal(readSmallFile(QStringLiteral("/proc/meminfo"))));
    add(QStringLiteral("Qt"),
        QString::fromLatin1(qVersion()) + QStringLiteral(" (built with ") + QStringLiteral(QT_VERSION_STR) + u')');
    const QString library = libraryFile();
    add(QStringLiteral("Communications library"), QStringLiteral("Vexlink06 ") + QStringLiteral(FANSCOPE_VERSION) +
                                                      (library.isEmpty() ? QString() : u' ' + library));
    add(QStringLiteral("Bus back-end"), busBackEnd());
    addLibraryFacts(facts);
    return facts;
}

FrmSysInfo::FrmSysInfo(std::vector<SystemFact> facts, QWidget* parent) : QDialog(parent), m_facts(std::move(facts))
{
    setObjectName(QStringLiteral("frmSysInfo"));
    setWindowTitle(QStringLiteral("System Information"));

    auto* layout = new QVBoxLayout(this);
    auto* table = new QTableWidget(int(m_facts.size()), 2, this);
    table->setObjectName(QStringLiteral("tblSysInfo"));
    table->setHorizontalHeaderLabels({QStringLiteral("Item"), QStringLiteral("Value")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setWordWrap(true);
    for (int row = 0; row < int(m_facts.size()); ++row) {
        table->setItem(row, 0, new QTableWidgetItem(m_facts[std::size_t(row)].name));
        table->setItem(row, 1, new QTableWidgetItem(m_facts[std::size_t(row)].value));
    }
    table->resizeColumnToContents(0);
    table->horizontalHeader()->setStretchLastSection(true);
    table->resizeRowsToContents();
    layout->addWidget(table);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    copy->setObjectName(QStringLiteral("cmdCopy"));
    copy->setToolTip(QStringLiteral("Copy these lines to the clipboard, for a report"));
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("cmdClose"));
    close->setDefault(true);
    buttons->addWidget(copy);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(reportText()); });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    resize(640, 420);
}

QString FrmSysInfo::reportText() const
{
    QString text;
    for (const SystemFact& fact : m_facts)
        text += fact.name + QStringLiteral(": ") + fact.value + u'\n';
    return text;
}

}  // namespace mainwindow
