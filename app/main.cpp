// fanscope: finds a TFM4410 or TFM4411 and monitors and configures it.
#include "shell/application.h"
#include "shell/options.h"
#include "shell/ui_services.h"
#include "startup/entry.h"
#include "startup/init_form.h"

#include <vexlink06/back_end.h>

#include <QGuiApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

bool displayAvailable(const std::vector<std::string>& qtArgs)
{
    for (const std::string& arg : qtArgs) {
        if (arg == "-platform" || arg.starts_with("--platform") || arg == "-display" || arg.starts_with("--display"))
            return true;
    }
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// Peak resident memory of this process in kB, for the start-up benchmark.
long peakMemoryKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:"))
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Why the simulated board's configuration cannot be used, or nothing. The
// board would end the process on such a file from deep inside the library's
// start-up; checking here ends it before any window, with the same status.
std::string simConfigProblem(const shell::Options& options)
{
    if (options.hardware || !vexlink06::backend::simulated())
        return {};
    const char* path = std::getenv("FANSCOPE_SIM_CONFIG");
    if (!path || !*path)
        return {};
    return vexlink06::backend::configurationProblem(path);
}

}  // namespace

int main(int argc, char** argv)
{
    const shell::Options options = shell::parseOptions(argc, argv);
    if (!options.error.empty()) {
        std::cerr << "fanscope: " << options.error << "\n\n" << shell::usageText();
        return 2;
    }
    if (options.help) {
        std::cout << shell::usageText();
        return 0;
    }
    if (options.version) {
        std::cout << shell::versionText() << '\n';
        return 0;
    }
    if (!displayAvailable(options.passOn)) {
        std::error_code ignored;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ignored);
        std::cerr << shell::noDisplayText(self.parent_path().string()) << '\n';
        return 1;
    }
    // Before anything touches the library: it reads the platform at its first call.
    shell::applyEnvironment(options);

    std::vector<char*> qtArgv{argv[0]};
    std::vector<std::string> qtArgs = options.passOn;
    for (std::string& arg : qtArgs)
        qtArgv.push_back(arg.data());
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArgv.size()) - 1;

    shell::Application app(qtArgc, qtArgv.data());
    shell::installLibraryHooks();
    shell::closeWindowsOnTerminationSignals();

    if (const std::string problem = simConfigProblem(options); !problem.empty()) {
        std::cerr << "fanscope: " << problem << "\n";
        // Without a screen nobody could answer the box, and it would wait for ever.
        const QString platform = QGuiApplication::platformName();
        if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
            shell::msgBox(nullptr, QString::fromStdString(problem), shell::MsgButtons::Ok,
                          QStringLiteral("Simulated Board Configuration"), shell::MsgIcon::Critical);
        return 2;
    }

    startup::InitForm* wizard = startup::Main();
    // The library could not be created; Main has reported why.
    if (!wizard)
        return EXIT_FAILURE;
    // The start-up benchmark launches the program with this set and times
    // the line below; the program then leaves at once.
    if (std::getenv("FANSCOPE_EXIT_WHEN_SHOWN")) {
        QObject::connect(wizard, &startup::InitForm::firstPanelShown, &app, [] {
            std::printf("fanscope: wizard shown, peak memory %ld kB\n", peakMemoryKb());
            std::fflush(stdout);
            QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        });
    }
    const int status = app.exec();
    // Ended by a signal once the windows had closed: the status says which.
    if (const int number = shell::terminationSignal())
        return 128 + number;
    return status;
}
