#include "startup/kernel_adapter_search.h"

#include <QStringList>

#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/register_link.h"
#include "shell/label_colour.h"

namespace startup {
namespace {

using vexlink06::AdapterError;

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

KernelSearchOutcome searchKernelAdapters(const std::vector<int>& buses, const std::function<void()>& progress)
{
    KernelSearchOutcome outcome;
    // No usable adapter: nothing to probe (an empty list would mean every one).
    if (buses.empty())
        return outcome;
    device::ProbeRequest request;
    request.media = {device::Medium::KernelAdapter};
    request.adapters = buses;
    request.onStep = [&progress](device::Medium) {
        if (progress)
            progress();
    };
    const device::ProbeReport report = device::probe(request);
    for (const device::ChipLocation& chip : report.chips)
        outcome.found.push_back({chip.port, QString::fromStdString(chip.adapterName), chip.address});
    outcome.skippedDriverOwned = report.skippedDriverOwned;
    for (const device::ProbeReport::MediumError& e : report.errors) {
        outcome.errorPending = true;
        outcome.errorNumber = e.number;
        outcome.errorDescription = e.description;
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
