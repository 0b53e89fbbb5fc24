#include "startup/kernel_adapter_search.h"

#include <QStringList>

#include <vexlink06/vexlink06.h>

#include "device/register_link.h"
#include "shell/label_colour.h"

namespace startup {
namespace {

using vexlink06::AdapterError;

constexpr std::uint8_t kDeviceIdRegister = 0x3D;

QString adapterLabel(const vexlink06::AdapterInfo& info)
{
    const QString bus = QString::fromStdString(info.busName());
    return info.Name.empty() ? bus : bus + QStringLiteral(" (") + QString::fromStdString(info.Name) + u')';
}

}  // namespace

KernelAdapterReport kernelAdapterReport()
{
    KernelAdapterReport report;
    report.colour = shell::kDarkRed;
    std::vector<vexlink06::AdapterInfo> list;
    AdapterError status = AdapterError::None;
    try {
        auto adapter = device::ComPort()->KernelAdapter();
        list = adapter->Adapters();
        status = adapter->ListStatus();
    } catch (const vexlink06::ComError& e) {
        report.text =
            QStringLiteral("The kernel I2C adapters cannot be used: ") + QString::fromStdString(e.description());
        return report;
    }
    if (status == AdapterError::NoDeviceFiles) {
        report.text = QStringLiteral("No kernel I2C device files: load the i2c-dev module (sudo modprobe i2c-dev).");
        return report;
    }
    QStringList names;
    const vexlink06::AdapterInfo* refused = nullptr;
    for (const auto& info : list) {
        if (info.Access == AdapterError::None) {
            report.usable.push_back(info.Number);
            names << adapterLabel(info);
        } else if (!refused && info.Access == AdapterError::NoPermission) {
            refused = &info;
        }
    }
    if (!report.usable.empty()) {
        report.text = (report.usable.size() == 1 ? QStringLiteral("Found 1 adapter: ")
                                                 : QStringLiteral("Found %1 adapters: ").arg(report.usable.size())) +
                      names.join(QStringLiteral(", "));
        report.colour = shell::kGreen;
        report.enabled = true;
    } else if (refused) {
        const QString group =
            refused->Group.empty() ? QStringLiteral("that owns it") : QString::fromStdString(refused->Group);
        report.text = QStringLiteral("No permission on /dev/") + QString::fromStdString(refused->busName()) +
                      QStringLiteral(": join the group ") + group + QStringLiteral(" and log in again.");
    } else if (list.empty()) {
        report.text = QStringLiteral("The kernel offers no I2C adapters.");
    } else {
        report.text = QStringLiteral("No kernel I2C adapter can be opened.");
    }
    return report;
}

KernelSearchOutcome searchKernelAdapters(const std::vector<int>& buses, const std::vector<std::uint8_t>& addresses8,
                                         const std::function<void()>& progress)
{
    KernelSearchOutcome outcome;
    std::shared_ptr<vexlink06::KernelAdapter> adapter;
    std::vector<vexlink06::AdapterInfo> list;
    try {
        adapter = device::ComPort()->KernelAdapter();
        list = adapter->Adapters();
    } catch (const vexlink06::ComError& e) {
        outcome.errorPending = true;
        outcome.errorNumber = e.number();
        outcome.errorDescription = e.description();
        return outcome;
    }
    for (int bus : buses) {
        QString name;
        for (const auto& info : list)
            if (info.Number == bus)
                name = QString::fromStdString(info.Name);
        adapter->setBus(bus);
        adapter->setForce(vexlink06::False);
        bool gone = false;
        for (std::uint8_t address8 : addresses8) {
            if (progress)
                progress();
            if (gone)
                continue;
            const auto address7 = static_cast<std::uint8_t>(address8 / 2);
            try {
                const int id = adapter->PortRead(address7, kDeviceIdRegister);
                if (id == 0x30 || id == 0x31)
                    outcome.found.push_back({bus, name, address7});
            } catch (const vexlink06::AdapterFailure& e) {
                if (e.code() == AdapterError::NoAck)
                    continue;
                if (e.code() == AdapterError::DriverOwned) {
                    ++outcome.skippedDriverOwned;
                    continue;
                }
                gone = e.code() == AdapterError::Gone;
                outcome.errorPending = true;
                outcome.errorNumber = e.number();
                outcome.errorDescription = e.description();
            } catch (const vexlink06::ComError& e) {
                outcome.errorPending = true;
                outcome.errorNumber = e.number();
                outcome.errorDescription = e.description();
            }
        }
    }
    return outcome;
}

QString kernelEntryText(const QString& chip, const KernelResult& result)
{
    QString text = QStringLiteral("An ") + chip + QStringLiteral(" was found at:") +
                   QString::number(result.address7, 16).toUpper() + QStringLiteral("h, on i2c-") +
                   QString::number(result.bus);
    if (!result.adapterName.isEmpty())
        text += QStringLiteral(" (") + result.adapterName + u')';
    return text;
}

}  // namespace startup
