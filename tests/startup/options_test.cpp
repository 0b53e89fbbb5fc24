#include "shell/application.h"
#include "shell/ui_services.h"
#include "shell/options.h"

#include <vexlink06/vexlink06.h>

#include <gtest/gtest.h>

#include <QIcon>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct OptionCase {
    std::vector<const char*> args;
    bool hardware;
    bool help;
    bool version;
    const char* simConfig;
    bool error;
    int passedOn;
};

class OptionsTest : public ::testing::TestWithParam<OptionCase> { };

TEST_P(OptionsTest, Parses)
{
    const OptionCase& c = GetParam();
    std::vector<const char*> argv{"fanscope"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const shell::Options o = shell::parseOptions(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(o.hardware, c.hardware);
    EXPECT_EQ(o.help, c.help);
    EXPECT_EQ(o.version, c.version);
    EXPECT_EQ(o.simConfig, c.simConfig);
    EXPECT_EQ(!o.error.empty(), c.error) << o.error;
    EXPECT_EQ(static_cast<int>(o.passOn.size()), c.passedOn);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, OptionsTest,
    ::testing::Values(OptionCase{{}, false, false, false, "", false, 0},
                      OptionCase{{"--hardware"}, true, false, false, "", false, 0},
                      OptionCase{{"--help"}, false, true, false, "", false, 0},
                      OptionCase{{"--version"}, false, false, true, "", false, 0},
                      OptionCase{{"--sim-config", "two.json"}, false, false, false, "two.json", false, 0},
                      OptionCase{{"--sim-config=two.json"}, false, false, false, "two.json", false, 0},
                      OptionCase{{"--sim-config"}, false, false, false, "", true, 0},
                      OptionCase{{"--sim-config="}, false, false, false, "", true, 0},
                      OptionCase{{"--hardwre"}, false, false, false, "", true, 0},
                      OptionCase{{"--hardware", "--sim-config", "x.json"}, true, false, false, "x.json", true, 0},
                      OptionCase{{"-platform", "offscreen", "--style=Fusion"}, false, false, false, "", false, 3}));

TEST(Options, VersionAndEnvironment)
{
    EXPECT_EQ(shell::versionText(), "Fanscope 4.0.10");
    shell::Options o;
    o.hardware = true;
    o.simConfig = "board.json";
    shell::applyEnvironment(o);
    EXPECT_STREQ(std::getenv("VEXLINK06_PLATFORM"), "linux");
    EXPECT_STREQ(std::getenv("FANSCOPE_SIM_CONFIG"), "board.json");
}

// A receiver whose handler fails the way a library call does.
class Failing : public QObject {
public:
    int handled = 0;
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User) {
            ++handled;
            throw vexlink06::ComError(13, "Type mismatch");
        }
        return QObject::event(e);
    }
};

TEST(Application, ErrorInAHandlerIsShownAndTheProgramGoesOn)
{
    shell::ScopedScriptedUi ui;
    Failing failing;
    QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    EXPECT_EQ(failing.handled, 2);
    ASSERT_EQ(ui->messages.size(), 2u);
    EXPECT_EQ(ui->messages[0].title, QStringLiteral("TFM4410 Evaluation Software"));
    EXPECT_EQ(ui->messages[0].text, QStringLiteral("Error:13, Type mismatch"));
    EXPECT_EQ(ui->messages[0].icon, shell::MsgIcon::Critical);
}

// The variable stays for the library's own clients, but the simulated
// board's configuration cannot apply to a real back-end it selects.
TEST(OptionsEnvironment, SimConfigWithARealBackEndFromTheEnvironmentIsAnError)
{
    ::setenv("VEXLINK06_PLATFORM", "linux", 1);
    const char* withConfig[] = {"fanscope", "--sim-config", "board.json"};
    const shell::Options o = shell::parseOptions(3, withConfig);
    EXPECT_EQ(o.error, "--sim-config needs the simulated board, but VEXLINK06_PLATFORM=linux selects another "
                       "back-end");
    const char* plain[] = {"fanscope"};
    EXPECT_TRUE(shell::parseOptions(1, plain).error.empty());
    ::setenv("VEXLINK06_PLATFORM", "sim", 1);
    EXPECT_TRUE(shell::parseOptions(3, withConfig).error.empty());
}

// The short forms a shell user types; -V never reaches the window system.
TEST(Options, ShortFormsOfHelpAndVersion)
{
    const char* version[] = {"fanscope", "-V"};
    const shell::Options v = shell::parseOptions(2, version);
    EXPECT_TRUE(v.version);
    EXPECT_TRUE(v.passOn.empty());
    const char* help[] = {"fanscope", "-h"};
    EXPECT_TRUE(shell::parseOptions(2, help).help);
    EXPECT_NE(shell::usageText().find("-V, --version"), std::string::npos);
}

// Installed, the advice names the installed programs; only a build tree's
// program (bin/ beside the build's cache) points at scripts/run.
TEST(Options, NoDisplayAdviceFitsWhereTheProgramRuns)
{
    namespace fs = std::filesystem;
    const fs::path build = fs::temp_directory_path() / ("fanscope-nodisplay-" + std::to_string(::getpid()));
    fs::create_directories(build / "bin");
    std::ofstream(build / "CMakeCache.txt") << "\n";
    const std::string inBuild = shell::noDisplayText((build / "bin").string());
    EXPECT_NE(inBuild.find("'xvfb-run -a scripts/run'"), std::string::npos) << inBuild;
    EXPECT_NE(inBuild.find((build / "bin" / "fanscope-cli").string()), std::string::npos) << inBuild;

    fs::remove(build / "CMakeCache.txt");
    for (const std::string& dir : {(build / "bin").string(), std::string("/usr/bin"), std::string()}) {
        const std::string installed = shell::noDisplayText(dir);
        EXPECT_NE(installed.find("'xvfb-run -a fanscope', or use fanscope-cli"), std::string::npos) << installed;
        EXPECT_EQ(installed.find("scripts/"), std::string::npos) << installed;
        EXPECT_EQ(installed.find("build"), std::string::npos) << installed;
    }
    fs::remove_all(build);
}

// The window icon comes from the program's resources, not from an install.
TEST(Application, WindowIconIsTheProgramsIcon)
{
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    EXPECT_FALSE(QIcon(QString::fromLatin1(shell::kProgramIcon)).pixmap(32, 32).isNull());
}

}  // namespace
