// generate and replay: the chip's set-up as code for the user's product, and
// a recorded session run again as a check.

#include <ctime>
#include <functional>
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "device/register_file.h"
#include "device/setup_code.h"
#include "device/write_log.h"

namespace cli {

namespace {

std::string programName() { return "fanscope-cli " FANSCOPE_VERSION; }

// The adapter number a script defaults to: --bus, else the adapter the chip
// answered on, else 1.
int defaultBus(const GenerateOptions& generate, const FoundChip* chip)
{
    if (generate.bus)
        return *generate.bus;
    if (chip != nullptr && chip->medium == Medium::KernelAdapter && chip->port >= 0)
        return chip->port;
    return 1;
}

}  // namespace

void runGenerate(const TargetOptions& options, const GenerateOptions& generate)
{
    const auto format = device::setupFormat(generate.format);
    if (!format)
        throw UsageError("--format: '" + generate.format + "' is not c, sh, python or json");
    device::SetupHeader header;
    header.program = programName();
    header.time = device::isoTime(std::time(nullptr));
    int deviceId = 0;
    std::vector<device::RegisterValue> values;
    if (!generate.from.empty()) {
        const device::RegisterFileResult result = device::readRegisterSet(generate.from);
        if (!result)
            throw Failure(generate.from + ": " + result.error);
        deviceId = result.file->titleDeviceId;
        values = result.file->registers;
        header.source = "file " + std::filesystem::path(generate.from).filename().string();
        header.address = options.address.value_or(DefaultSetupAddress);
        header.defaultBus = defaultBus(generate, nullptr);
    } else {
        const FoundChip chip = connect(options);
        deviceId = chip.deviceId;
        device::AnswerWatch read = answerWatch();
        values = device::readSetupSource(deviceId, std::ref(read));
        read.confirm();
        header.source = device::chipSourceText(chip.deviceId, chip.address);
        header.address = chip.address;
        header.defaultBus = defaultBus(generate, &chip);
    }
    const device::SetupPlan plan = device::planSetup(deviceId, values);
    if (!plan)
        throw Failure("cannot generate from " + header.source + ": " + plan.error);
    const std::string text = device::setupText(*format, plan, header);
    if (generate.out.empty() || generate.out == "-") {
        std::cout << text << std::flush;
        return;
    }
    const std::string error = device::writeFileReplacing(generate.out, text);
    if (!error.empty())
        throw Failure(error);
    std::cout << "wrote the " << device::setupFormatName(*format) << " set-up of the " << device::chipName(deviceId)
              << " (" << plan.writes.size() << " registers, from " << header.source << ") to " << generate.out << "\n";
}

void runReplay(const TargetOptions& options, const std::string& path)
{
    // The whole file is checked before the bus is touched.
    const device::RegisterFileText text = device::readRegisterFileText(path);
    if (!text.error.empty())
        throw Failure(path + ": " + text.error);
    const device::ReplayResult result = device::parseReplayJson(text.text);
    if (!result)
        throw Failure(path + ": " + result.error);
    const FoundChip chip = connect(options);
    if (chip.deviceId != result.replay->deviceId)
        throw Failure(path + " was recorded on a " + std::string(device::chipName(result.replay->deviceId)) + "; the " +
                      chipLine(chip) + " is not one");
    device::Session& chipSession = session();
    device::WriteAction action(device::WriteSource::Cli, "replay");
    int writes = 0, reads = 0, differing = 0;
    for (const device::ReplayStep& step : result.replay->steps) {
        if (step.write) {
            chipSession.write(step.reg, step.value);
            ++writes;
            continue;
        }
        const std::uint8_t got = chipSession.read(step.reg);
        ++reads;
        if ((got ^ step.value) & step.mask) {
            ++differing;
            const device::RegisterEntry* e = device::registerEntryByAddress(step.reg);
            std::cout << device::addressText(step.reg) << "  " << (e ? e->name : "") << "  reads "
                      << device::valueText(got) << ", recorded " << device::valueText(step.value) << "\n";
        }
    }
    chipSession.requirePresent();
    std::cout << "replayed " << writes << " writes and " << reads << " reads of " << path << " on the "
              << chipLine(chip) << ": "
              << (differing == 0 ? "every read as recorded" : std::to_string(differing) + " reads differ") << "\n";
    if (differing != 0)
        throw Differences{};
}

}  // namespace cli
