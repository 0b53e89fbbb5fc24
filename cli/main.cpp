// fanscope-cli: the TFM4410/TFM4411 evaluation chip from a shell.
// Output on stdout, one-line errors on stderr; exit 0 success, 1 failure,
// 2 usage or a simulated board configuration that cannot be used.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <functional>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "characterize.h"
#include "commands.h"
#include "companion.h"
#include "decode.h"
#include "device/adapters.h"
#include "device/back_end.h"
#include "export_command.h"
#include "target.h"
#include "thermal.h"

namespace {

constexpr const char* Usage =
    "usage: fanscope-cli [--medium printer|smbus|i2c] [--bus N|NAME] [-f] [-y] [--port N] [--address A] [--hardware] "
    "[--sim-config FILE] "
    "[trace] COMMAND ...  (COMMAND: detect, get, set, dump, monitor, characterize, identify, tune, export, save, "
    "recall, diff, "
    "generate, replay, eeprom, transfer; --help "
    "for more)";

int usageError(const std::string& message)
{
    std::cerr << "fanscope-cli: " << message << "\n" << Usage << "\n";
    return 2;
}

struct Arguments {
    cli::TargetOptions target;
    bool portGiven = false;
    std::string reg, value, path, mask;
    bool assumeYes = false, readBack = false, dryRun = false, raw = false;
    cli::MonitorOptions monitor;
    std::string offset = "0", length = "256";
    cli::TransferOptions transfer;
    cli::GenerateOptions generate;
    int generateBus = -1;
};

bool utf8Locale()
{
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            std::string v = value;
            for (char& c : v)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return v.find("utf-8") != std::string::npos || v.find("utf8") != std::string::npos;
        }
    }
    return false;
}

// The words of the command line. A command none of them names can neither
// run nor print its help, so it gets its name and description only, as
// --help lists it, and no options: building every command's options (most
// of them twice, under trace too) was a good part of a short command's start.
class LineWords {
public:
    LineWords(int argc, const char* const* argv) : m_words(argv + 1, argv + argc) { }
    bool names(std::string_view word) const { return std::find(m_words.begin(), m_words.end(), word) != m_words.end(); }

private:
    std::vector<std::string_view> m_words;
};

// Adds a command to `parent`; returns it, for its options and its run, when
// the line names it, else nullptr.
CLI::App* command(CLI::App& parent, const LineWords& line, const char* name, const std::string& description)
{
    CLI::App* added = parent.add_subcommand(name, description);
    return line.names(name) ? added : nullptr;
}

// The commands, added to the program and again under `trace`; each sets the
// action to run once the whole line has parsed.
void addCommands(CLI::App& parent, Arguments& a, std::function<void()>& action, bool underTrace, const LineWords& line)
{
    parent.add_subcommand("detect", "List the chips found at the three candidate addresses")->callback([&] {
        action = [&] { cli::runDetect(a.target, a.portGiven); };
    });

    if (auto* get = command(parent, line, "get", "Print one register's value")) {
        get->add_option("REG", a.reg,
                        "Register address (0x22, 34 or 22h), or its name as dump or a register file shows it (case, "
                        "blanks and punctuation ignored; a beginning only one name has will do)")
            ->required();
        get->callback([&] { action = [&] { cli::runGet(a.target, a.reg); }; });
    }

    if (auto* set = command(parent, line, "set", "Write one register")) {
        set->add_option("REG", a.reg, "Register address or name")->required();
        set->add_option("VALUE", a.value, "Byte to write (0x1a, 26 or 1Ah)")->required();
        set->add_flag("-y,--yes", a.assumeYes, "Do not ask for confirmation");
        set->add_flag("-r,--read-back", a.readBack, "Read the register back and report a mismatch");
        set->add_option("-m,--mask", a.mask,
                        "Change only the bits set in MASK; the others keep the chip's value (read, then write)")
            ->type_name("MASK");
        set->callback([&] {
            action = [&] {
                cli::runSet(a.target, a.reg, a.value, a.assumeYes || a.target.assumeYes, a.readBack, a.mask);
            };
        });
    }

    if (auto* dump =
            command(parent, line, "dump", "Print every register of the chip in address order, fields decoded")) {
        dump->add_flag("--raw", a.raw,
                       "The 16 x 16 byte grid of a bus dump, XX where the chip has no register. Reads every register "
                       "the chip has, the interrupt status registers too, which clears them");
        dump->callback([&] { action = [&] { cli::runDump(a.target, a.raw); }; });
    }

    if (!underTrace) {  // an endless trace helps nobody
        if (auto* monitor =
                command(parent, line, "monitor", "Print temperatures, fan speeds, duties and alarms periodically")) {
            monitor->footer("A tach count at its maximum reads 'below N RPM' (N: the slowest speed the divisor "
                            "measures; 0 with tach_overflow in JSON). Under automatic control the duty is computed: "
                            "the chip's control law for the sample's temperatures and the chip's settings, as the "
                            "chip has no register for it.");
            // Bounds a reader can take in: the largest double would print as 309 digits.
            monitor->add_option("--interval", a.monitor.interval, "Seconds between samples, 0 to 86400 (default 1)")
                ->check(CLI::Validator(
                    [](const std::string& text) {
                        char* end = nullptr;
                        const double seconds = std::strtod(text.c_str(), &end);
                        const bool ok =
                            end != text.c_str() && *end == '\0' && seconds >= 0.0 && seconds <= cli::MaxMonitorInterval;
                        return ok ? std::string() : "'" + text + "' is not 0 to 86400 seconds";
                    },
                    "0..86400"));
            monitor->add_option("--count", a.monitor.count, "Number of samples (default: until Ctrl-C)")
                ->check(CLI::Range(0, std::numeric_limits<int>::max()));
            monitor->add_flag("--csv", a.monitor.csv, "CSV (RFC 4180) with a header row");
            monitor->add_flag("--json", a.monitor.json,
                              "One JSON object a line per sample: time, chip, address, board; local, remote1, "
                              "remote2 {celsius (null on a FAULT), low, high, crit, alarm, fault}; fan1, fan2 {rpm, "
                              "min_rpm, pwm_percent, alarm, tach_overflow}; status1, status2, alarms");
            monitor->add_flag("--line", a.monitor.line, "One line per sample instead of a block per sample");
            monitor->callback([&] { action = [&] { cli::runMonitor(a.target, a.monitor); }; });
        }
        // characterize: minutes of sweeping, no trace either
        cli::addCharacterizeCommand(parent, a.target, action, line.names("characterize"));
        cli::addThermalCommands(parent, a.target, action, line.names("identify"), line.names("tune"));
        cli::addExportCommand(parent, a.target, a.portGiven, action, line.names("export"));
    }

    if (auto* save = command(parent, line, "save", "Save the configuration registers to a register file")) {
        save->add_option("FILE", a.path, "Register file to write")
            ->required()
            ->check(CLI::Validator(
                [](const std::string& path) {
                    return path.empty() ? std::string("the file name is empty") : std::string();
                },
                "FILE", "non-empty"));
        save->callback([&] { action = [&] { cli::runSave(a.target, a.path); }; });
    }

    if (auto* recall = command(parent, line, "recall", "Write the registers of a register file to the chip")) {
        recall->add_option("FILE", a.path, "Register file to read")->required()->check(CLI::ExistingFile);
        recall->add_flag("-n,--dry-run", a.dryRun, "Print what would change and write nothing");
        recall->callback([&] { action = [&] { cli::runRecall(a.target, a.path, a.dryRun); }; });
    }

    if (auto* diff = command(parent, line, "diff", "Compare a register file with the chip (exit 1 when they differ)")) {
        diff->add_option("FILE", a.path, "Register file to read")->required()->check(CLI::ExistingFile);
        diff->callback([&] { action = [&] { cli::runDiff(a.target, a.path); }; });
    }

    if (auto* generate =
            command(parent, line, "generate", "Write the chip's configuration as C, shell, Python (smbus2) or JSON")) {
        generate->add_option("--format", a.generate.format, "c, sh, python or json")
            ->required()
            ->check(CLI::IsMember({"c", "sh", "python", "json"}));
        generate
            ->add_option("--from", a.generate.from,
                         "A register file or JSON set-up instead of the chip (address: --address, else 0x2e)")
            ->check(CLI::ExistingFile);
        generate
            ->add_option("--bus", a.generateBus,
                         "The scripts' default i2c adapter number (default: the chip's adapter, else 1)")
            ->check(CLI::Range(0, 0xFFFFF));
        generate->add_option("--out", a.generate.out, "File to write (default: stdout)");
        generate->callback([&] {
            action = [&] {
                if (a.generateBus >= 0)
                    a.generate.bus = a.generateBus;
                cli::runGenerate(a.target, a.generate);
            };
        });
    }

    if (auto* replay =
            command(parent, line, "replay", "Run a JSON recording or set-up on the chip; exit 1 when a read differs")) {
        replay->add_option("FILE", a.path, "JSON recording or set-up")->required()->check(CLI::ExistingFile);
        replay->callback([&] { action = [&] { cli::runReplay(a.target, a.path); }; });
    }

    if (auto* eeprom = command(parent, line, "eeprom",
                               "Read or write the board memory (the EEPROM at 0xa0 on the "
                               "printer port's bus)")) {
        eeprom->require_subcommand(1, 1);
        auto* eepromRead = eeprom->add_subcommand("read", "Print a hex dump of the board memory, or save its bytes");
        eepromRead->add_option("--offset", a.offset, "First address (default 0)")->type_name("A");
        eepromRead->add_option("--length", a.length, "Number of bytes (default 256; 65536 for all)")->type_name("N");
        eepromRead->add_option("FILE", a.path, "File for the raw bytes; - writes them to stdout (default: hex dump)");
        eepromRead->callback([&] {
            action = [&] {
                const unsigned offset = cli::numberArgument("offset", a.offset, 0xFFFF);
                const unsigned length = cli::numberArgument("length", a.length, 0x10000);
                cli::runEepromRead(a.target, offset, length, a.path);
            };
        });
        auto* eepromWrite = eeprom->add_subcommand("write", "Write a file's bytes to the board memory and verify them");
        eepromWrite->add_option("--offset", a.offset, "First address (default 0)")->type_name("A");
        eepromWrite->add_flag("-y,--yes", a.assumeYes, "Do not ask for confirmation");
        eepromWrite->add_option("FILE", a.path, "File whose bytes are written")->required();
        eepromWrite->callback([&] {
            action = [&] {
                cli::runEepromWrite(a.target, cli::numberArgument("offset", a.offset, 0xFFFF), a.path,
                                    a.assumeYes || a.target.assumeYes);
            };
        });
    }

    auto* transfer = command(parent, line, "transfer", "Raw SMBus word and block transactions with the chip");
    if (transfer == nullptr)
        return;
    transfer->require_subcommand(1, 1);
    struct Kind {
        const char* name;
        cli::TransferKind kind;
        const char* help;
    };
    for (const Kind& k : {Kind{"read-word", cli::TransferKind::ReadWord,
                               "Read a word: register REG is the low byte, REG + 1 the high byte"},
                          Kind{"write-word", cli::TransferKind::WriteWord,
                               "Write a word: its low byte to REG, its high byte to REG + 1"},
                          Kind{"read-block", cli::TransferKind::ReadBlock,
                               "Block read with command REG (the chip's is 0xa1): 32 bytes"},
                          Kind{"write-block", cli::TransferKind::WriteBlock,
                               "Block write of 1 to 32 bytes with command REG (the chip's is 0xa0)"}}) {
        auto* sub = transfer->add_subcommand(k.name, k.help);
        sub->add_option("REG", a.transfer.reg, "Register or command byte")->required();
        if (k.kind == cli::TransferKind::WriteWord)
            sub->add_option("VALUE", a.transfer.data, "Word to write (0x0000..0xffff)")->required()->expected(1);
        if (k.kind == cli::TransferKind::WriteBlock)
            sub->add_option("BYTE", a.transfer.data, "Bytes to write")->required();
        sub->add_flag("--pec", a.transfer.pec,
                      "Packet error checking (block transfers only: the chip takes PEC on blocks alone)");
        if (k.kind == cli::TransferKind::WriteWord || k.kind == cli::TransferKind::WriteBlock)
            sub->add_flag("-y,--yes", a.transfer.assumeYes, "Do not ask for confirmation");
        const cli::TransferKind kind = k.kind;
        sub->callback([&a, &action, kind] {
            action = [&a, kind] {
                a.transfer.kind = kind;
                a.transfer.assumeYes = a.transfer.assumeYes || a.target.assumeYes;
                cli::runTransfer(a.target, a.transfer);
            };
        });
    }
}

// The word a line gave where a command belongs when no command took it
// ("frobnicate"); empty when the fault lies elsewhere.
std::string strayWord(const CLI::App& app, const CLI::App* trace)
{
    const CLI::App& innermost = *trace ? *trace : app;
    if (!innermost.get_subcommands().empty())
        return {};
    // After an option no command knows, the next word may be its value:
    // then the option is what to name, as CLI11 does.
    for (const std::string& word : app.remaining(true)) {
        if (!word.empty() && word.front() == '-')
            return {};
        if (!word.empty())
            return word;
    }
    return {};
}

struct Disconnect {
    ~Disconnect()
    {
        try {
            cli::disconnect();
        } catch (...) {
            // Ending the process releases the port anyway.
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Reads, writes and watches a TFM4410 or TFM4411 fan controller on the evaluation board's "
                 "printer port or on the chipset SMBus. Without --hardware it works on the simulated board.",
                 "fanscope-cli"};
    app.set_version_flag("-V,--version", "fanscope-cli " FANSCOPE_VERSION);
    app.require_subcommand(1, 1);
    app.fallthrough();

    Arguments a;
    std::string medium = "printer";
    std::string address;
    app.add_option("--medium", medium, "How the PC reaches the chip (default printer)")
        ->check(CLI::IsMember({"printer", "smbus", "i2c"}));
    auto* bus = app.add_option("--bus", a.target.bus,
                               "Kernel I2C adapter for --medium i2c: number or name, as detect "
                               "shows it (default: every adapter)");
    app.add_flag("-f,--force", a.target.force,
                 "With --medium i2c, use an address that a kernel driver owns (asks first unless -y)");
    app.add_flag("-y,--yes", a.target.assumeYes,
                 "Do not ask before a write or before forcing, wherever it stands on the line");
    auto* port = app.add_option("--port", a.target.port, "Printer port index, as detect shows it (default 0)")
                     ->check(CLI::Range(0, 255));
    app.add_option("--address", address, "7-bit chip address such as 0x2e (default: the first chip found)");
    auto* hardware = app.add_flag("--hardware", a.target.hardware, "Use the real printer port and chipset SMBus");
    app.add_option("--sim-config", a.target.simConfig, "JSON configuration of the simulated board")
        ->check(CLI::ExistingFile)
        ->excludes(hardware);

    std::function<void()> action;
    const LineWords line(argc, argv);
    addCommands(app, a, action, false, line);
    auto* trace = app.add_subcommand("trace", "Run one command on the simulated board and print its bus trace");
    std::string vcdPath;
    if (line.names("trace")) {
        trace->require_subcommand(1, 1);
        trace->fallthrough();
        trace->add_option("--vcd", vcdPath, "Also write SCL and SDA of the chip's bus as a Value Change Dump to FILE")
            ->type_name("FILE");
        addCommands(*trace, a, action, true, line);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);  // --help, --version
        if (const std::string word = strayWord(app, trace); !word.empty())
            return usageError("'" + word + "' is not a command");
        return usageError(e.what());
    }
    if (cli::handedToCompanion())
        return cli::runCompanion(argv);

    Disconnect disconnect;
    std::string failure;
    try {
        a.portGiven = port->count() > 0;
        a.target.medium = medium == "smbus" ? cli::Medium::Smbus : cli::Medium::Printer;
        if (medium == "i2c")
            a.target.medium = cli::Medium::KernelAdapter;
        if ((bus->count() > 0 || a.target.force) && a.target.medium != cli::Medium::KernelAdapter)
            throw cli::UsageError("--bus and --force need --medium i2c");
        a.target.assumeYes = a.target.assumeYes || a.assumeYes;
        if (!address.empty())
            a.target.address = cli::sevenBitAddressArgument(address);
        a.monitor.utf8 = utf8Locale();
        // The wires are watched in this process, so a trace runs on a board
        // of its own, never on the shared one.
        if (*trace)
            ::setenv("FANSCOPE_BOARD", "inprocess", 1);
        cli::preparePlatform(a.target);
        if (*trace)
            cli::runTraced(action, vcdPath);
        else
            action();
        // Reads from a shared board that went away come back as all ones:
        // whatever the command printed then is not the chip's.
        if (const std::string lost = device::sharedBoardProblem(); !lost.empty()) {
            if (!cli::lossSaid())
                std::cerr << "fanscope-cli: " << lost << "\n";
            return 1;
        }
        return 0;
    } catch (const cli::Differences&) {
        if (const std::string lost = device::sharedBoardProblem(); !lost.empty())
            std::cerr << "fanscope-cli: " << lost << "\n";
        return 1;
    } catch (const cli::Interrupted& e) {
        return 128 + e.signal;
    } catch (const cli::UsageError& e) {
        return usageError(e.what());
    } catch (const cli::ConfigurationError& e) {
        std::cerr << "fanscope-cli: " << e.what() << "\n";
        return 2;
    } catch (const cli::Failure& e) {
        failure = e.what();
    } catch (const std::exception& e) {
        // The library's failures in its numbered form, as the tools have always printed them.
        const std::optional<device::BusFailure> library = device::libraryFailure(std::current_exception());
        failure = library ? library->what() : e.what();
    }
    // A lost shared board is the cause behind whatever failed, and the only
    // thing worth saying: a chip that "no longer answers" was never asked.
    const std::string lost = device::sharedBoardProblem();
    std::cerr << "fanscope-cli: " << (!lost.empty() ? lost : failure) << "\n";
    return 1;
}
