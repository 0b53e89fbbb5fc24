#include "export_command.h"

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands.h"
#include "companion.h"
#include "exporter/exporter.h"
#include "exporter/http_server.h"
#include "kernel_target.h"

namespace cli {

namespace {

struct ExportArguments {
    std::vector<std::string> addresses;
    exporter::ExportOptions options;
};

}  // namespace

void addExportCommand(CLI::App& parent, TargetOptions& target, const bool& portGiven, std::function<void()>& action,
                      bool withOptions)
{
    auto* command = parent.add_subcommand(
        "export", "Serve the chips' readings to Prometheus (/metrics), or keep them in a file for node_exporter");
    if (!withOptions)
        return;
    command->footer("fanscope_fan_duty_ratio is, under automatic control, computed: the chip's control law for the "
                    "reading's temperatures and the chip's settings, as the chip has no register for the duty it "
                    "drives. fanscope_fan_tach_overflow is 1 while a tach count is at its maximum (the fan stands or "
                    "turns slower than its divisor measures; fanscope_fan_rpm is then 0).");
    auto arguments = std::make_shared<ExportArguments>();
    command
        ->add_option("--listen", arguments->options.listen,
                     "ADDR:PORT to serve /metrics on (default 127.0.0.1:" + std::to_string(exporter::DefaultPort) +
                         "); beyond loopback only when asked, with a warning")
        ->type_name("ADDR:PORT");
    command
        ->add_option("--textfile", arguments->options.textfile,
                     std::string("Write DIR/") + exporter::TextfileName +
                         " (atomically) for node_exporter's textfile collector instead of serving HTTP")
        ->type_name("DIR");
    command->add_option("--interval", arguments->options.interval,
                        "With --textfile: seconds between writes (default 15)");
    command->add_option("--count", arguments->options.count,
                        "With --textfile: writes before ending (default: until "
                        "SIGINT or SIGTERM)");
    command
        ->add_option("--address", arguments->addresses,
                     "7-bit address of a chip to export; may be repeated (default: every chip found)")
        ->type_name("A");
#ifndef FANSCOPE_CLI_EXPORT
    // The options parse here (the callback keeps them alive); the companion serves.
    (void)target;
    (void)portGiven;
    (void)action;
    command->callback([arguments] {
        (void)arguments;
        handToCompanion("export");
    });
#else
    command->callback([arguments, &target, &portGiven, &action] {
        action = [arguments, &target, &portGiven] {
            exporter::ExportOptions& o = arguments->options;
            o.medium = deviceMedium(target.medium);
            if (portGiven)
                o.printerPort = target.port;
            if (target.medium == Medium::KernelAdapter) {
                o.adapters = adaptersToSearch(target);
                o.force = target.force;
                if (o.force)
                    std::cerr << "fanscope-cli: warning: --force: addresses a kernel driver owns are read too\n";
            }
            o.addresses.clear();
            if (target.address)
                o.addresses.push_back(*target.address);
            for (const std::string& a : arguments->addresses)
                o.addresses.push_back(sevenBitAddressArgument(a));
            o.version = FANSCOPE_VERSION;
            try {
                exporter::runExport(o);
            } catch (const std::invalid_argument& e) {
                throw UsageError(e.what());
            } catch (const device::SessionError& e) {
                throw Failure(e.what());
            }
        };
    });
#endif
}

}  // namespace cli
