// The wizard's search of the media: each medium through the device layer's
// one probe, its results kept for the result list and its last error shown
// as the wizard has always shown it. The wizard's screens are in
// init_form.cpp.
#include "startup/init_form.h"

#include "ui_init_form.h"

#include "device/device_session.h"
#include "device/register_map.h"
#include "shell/ui_services.h"

#include <vexlink06/vexlink06.h>

namespace startup {
namespace {

const device::ProbeReport::MediumError* errorOf(const device::ProbeReport& report, device::Medium medium)
{
    for (const device::ProbeReport::MediumError& e : report.errors)
        if (e.medium == medium)
            return &e;
    return nullptr;
}

}  // namespace

void InitForm::searchPrinterPort()
{
    // Errors are skipped while the search runs and the last one is reported at its end.
    device::ProbeRequest request;
    request.media = {device::Medium::PrinterPort};
    request.onStep = [this](device::Medium) { advanceProgress(kProgressPerMedium / 4); };
    const device::ProbeReport report = device::probe(request);
    // Said on the results panel below the specified texts.
    for (const std::string& problem : report.portProblems)
        m_portProblems << QString::fromStdString(problem);
    for (const device::ChipLocation& chip : report.chips)
        m_printerResults.push_back({static_cast<std::uint8_t>(chip.port),
                                    chip.dataInverted ? vexlink06::True : vexlink06::False,
                                    device::addressByte(chip.address)});
    if (const auto* error = errorOf(report, device::Medium::PrinterPort)) {
        // The number is printed as the classic runtime's Str() does: a
        // leading blank for a number that is not negative.
        const QString number = (error->number >= 0 ? QStringLiteral(" ") : QString()) + QString::number(error->number);
        shell::msgBox(
            this, QStringLiteral("Error:") + number + QStringLiteral(", ") + QString::fromStdString(error->description),
            shell::MsgButtons::Ok, QStringLiteral("InitFrm, Search Printer Port"));
    }
}

void InitForm::searchSMBus()
{
    const int step = kProgressPerMedium / static_cast<int>(device::CandidateAddresses.size() - 1);
    device::ProbeRequest request;
    request.media = {device::Medium::ChipsetSmbus};
    request.onStep = [this, step](device::Medium) { advanceProgress(step); };
    const device::ProbeReport report = device::probe(request);
    for (const device::ChipLocation& chip : report.chips)
        m_smbusResults.push_back(chip.address);
    if (const auto* error = errorOf(report, device::Medium::ChipsetSmbus)) {
        shell::msgBox(this,
                      QStringLiteral("Error:") + QString::number(error->number) + QStringLiteral(", ") +
                          QString::fromStdString(error->description) + QStringLiteral(". ") + QStringLiteral(" SEL:") +
                          QString::number(error->failedReads) + QStringLiteral(" SL:") + QString::number(error->reads),
                      shell::MsgButtons::Ok, QStringLiteral("InitFrm, Search SMBus"));
    }
}

void InitForm::searchUSB()
{
    // The USB board is not supported for register access: the search only
    // keeps the progress bar honest.
    const int step = kProgressPerMedium / static_cast<int>(device::CandidateAddresses.size() - 1);
    for (std::size_t i = 0; i < device::CandidateAddresses.size(); ++i)
        advanceProgress(step);
}

void InitForm::searchKernelAdapterMedium()
{
    const int probes = std::max<int>(1, static_cast<int>(m_i2cBuses.size() * device::CandidateAddresses.size()));
    const int step = std::max(1, kProgressPerMedium / probes);
    const KernelSearchOutcome outcome = searchKernelAdapters(m_i2cBuses, [&] { advanceProgress(step); });
    m_kernelResults = outcome.found;
    if (outcome.errorPending) {
        shell::msgBox(this,
                      QStringLiteral("Error:") + QString::number(outcome.errorNumber) + QStringLiteral(", ") +
                          QString::fromStdString(outcome.errorDescription),
                      shell::MsgButtons::Ok, QStringLiteral("InitFrm, Search I2C Adapters"));
    }
}

}  // namespace startup
