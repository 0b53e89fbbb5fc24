// fanscope-board: the simulated evaluation board as one piece of hardware
// that every program on this PC shares.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sim/board.h>
#include <sim/board_wire.h>
#include <sim/config.h>

#include "exec.h"
#include "log_file.h"
#include "server.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

constexpr const char* kUsage =
    "usage: fanscope-board [--socket PATH] [--config FILE] [--idle-exit SECONDS] [--hello-timeout SECONDS]\n"
    "                      [--log FILE [--log-size BYTES]]\n"
    "       fanscope-board exec [--config FILE] -- CMD [ARGS...]   (see exec --help)\n\n"
    "The simulated evaluation board that every program on this PC shares.\n"
    "  --socket PATH              listen here (default $XDG_RUNTIME_DIR/fanscope/board.sock)\n"
    "  --config FILE              the board's JSON configuration, as --sim-config takes it\n"
    "  --idle-exit SECONDS        stop after this long without clients (default 600)\n"
    "  --hello-timeout SECONDS    drop a client that says nothing for this long (default 5)\n"
    "  --log FILE                 write the output to FILE rather than to stdout; past BYTES it moves\n"
    "                             to FILE.1 and a new FILE starts\n"
    "  --log-size BYTES           the size FILE may reach (default 262144)\n";

bool seconds(const char* text, std::chrono::milliseconds& out)
{
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0) || value > 1e7)
        return false;
    out = std::chrono::milliseconds(static_cast<long long>(value * 1000));
    return true;
}

bool byteCount(const char* text, std::size_t& out)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value == 0 || *text == '-' || value > (1ULL << 40))
        return false;
    out = static_cast<std::size_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "exec") == 0)
        return boardexec::execMain(argc - 1, argv + 1);
    board::ServerOptions options;
    std::string config, log;
    std::size_t logLimit = board::DefaultLogLimit;
    if (const char* fromEnvironment = std::getenv("FANSCOPE_SIM_CONFIG"))
        config = fromEnvironment;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--socket" && hasValue) {
            options.socket = argv[++i];
        } else if (arg == "--config" && hasValue) {
            config = argv[++i];
        } else if (arg == "--idle-exit" && hasValue && seconds(argv[i + 1], options.idleExit)) {
            ++i;
        } else if (arg == "--hello-timeout" && hasValue && seconds(argv[i + 1], options.helloTimeout)) {
            ++i;
        } else if (arg == "--log" && hasValue) {
            log = argv[++i];
        } else if (arg == "--log-size" && hasValue && byteCount(argv[i + 1], logLimit)) {
            ++i;
        } else {
            std::fprintf(stderr, "fanscope-board: unknown or incomplete option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (!log.empty()) {
        if (const auto why = board::logTo(log, logLimit)) {
            std::fprintf(stderr, "fanscope-board: %s\n", why->c_str());
            return 1;
        }
    }
    if (!config.empty()) {
        try {
            sim::loadConfigFile(config);
        } catch (const sim::ConfigError& e) {
            std::fprintf(stderr, "fanscope-board: simulated board configuration: %s\n", e.what());
            return 2;
        }
        ::setenv("FANSCOPE_SIM_CONFIG", config.c_str(), 1);
        options.description = config;
    } else {
        ::unsetenv("FANSCOPE_SIM_CONFIG");
    }
    // The board of this process is the one served; its own platform
    // libraries must not look for a shared board.
    ::setenv("FANSCOPE_BOARD", "inprocess", 1);
    if (options.socket.empty()) {
        options.socket = boardwire::defaultSocketPath();
        if (const auto why = boardwire::prepareSocketFolder(options.socket)) {
            std::fprintf(stderr, "fanscope-board: %s\n", why->c_str());
            return 1;
        }
    }

    // The signals arrive only while the loop waits, so none is lost between
    // its check and its wait.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    sim::board();  // its clock starts now, whether or not anyone connects
    board::Server server(options);
    if (const auto why = server.listen()) {
        std::fprintf(stderr, "fanscope-board: %s\n", why->c_str());
        return 1;
    }
    return server.run(g_stop);
}
