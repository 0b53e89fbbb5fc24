// fanscope-board exec: a command of the user's own against the simulated
// board, through the kernel's device files as umockdev emulates them.
#include "exec.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sim/board_link.h>
#include <sim/config.h>

#include "exec_devices.h"

extern char** environ;

namespace boardexec {

namespace {

constexpr int kOwnFailure = 125;

constexpr const char* kUsage = "usage: fanscope-board exec [--config FILE] -- CMD [ARGS...]\n\n"
                               "Runs CMD with the simulated board's kernel I2C/SMBus adapters as /dev/i2c-N\n"
                               "(with their sysfs entries) and its printer ports as /dev/parportN (with\n"
                               "/proc/sys/dev/parport), emulated with umockdev: i2c-tools, smbus2 scripts,\n"
                               "programs of your own and `fanscope-cli --hardware` meet the live chip.\n"
                               "  --config FILE   a private board with this JSON configuration (as --sim-config);\n"
                               "                  without it, the shared board (started when none runs)\n\n"
                               "The exit status is CMD's; signals and the standard streams pass through.\n"
                               "Limits: statically linked programs and programs that make system calls\n"
                               "without the C library see no devices; chipset port I/O (--medium smbus\n"
                               "--hardware) is not emulated; I2C_RDWR carries the message shapes of the SMBus\n"
                               "transfers (a write; one command byte, then a read); plain read() and write()\n"
                               "on /dev/i2c-N are not emulated.\n";

// The signals that, sent to exec, are meant for the command.
constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};

// The emulation's thread: its own main context answers the ioctls, so the
// command's calls are served while this thread waits for the command.
class Emulation {
public:
    Emulation(UMockdevTestbed* testbed, Devices& devices) : m_devices(devices)
    {
        m_context = g_main_context_new();
        m_loop = g_main_loop_new(m_context, FALSE);
        std::promise<std::string> attached;
        auto ready = attached.get_future();
        m_thread = std::thread([this, testbed, &attached] {
            g_main_context_push_thread_default(m_context);
            attached.set_value(m_devices.attach(testbed));
            g_main_loop_run(m_loop);
            m_devices.closeAll();
            g_main_context_pop_thread_default(m_context);
        });
        m_problem = ready.get();
    }
    ~Emulation()
    {
        g_main_loop_quit(m_loop);
        m_thread.join();
        g_main_loop_unref(m_loop);
        g_main_context_unref(m_context);
    }
    Emulation(const Emulation&) = delete;
    Emulation& operator=(const Emulation&) = delete;

    const std::string& problem() const { return m_problem; }

private:
    Devices& m_devices;
    GMainContext* m_context = nullptr;
    GMainLoop* m_loop = nullptr;
    std::thread m_thread;
    std::string m_problem;
};

// The test bed's folder is made and removed with every command, and on a
// disk that costs more than the command itself: a memory-backed folder when
// there is one.
std::string memoryFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    for (const char* candidate : {runtime, "/dev/shm"}) {
        if (candidate && *candidate && ::access(candidate, W_OK | X_OK) == 0)
            return candidate;
    }
    return {};
}

UMockdevTestbed* newTestbed()
{
    const std::string folder = memoryFolder();
    if (folder.empty())
        return umockdev_testbed_new();
    const char* previous = std::getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
    ::setenv("TMPDIR", folder.c_str(), 1);
    UMockdevTestbed* bed = umockdev_testbed_new();
    // The command keeps the caller's TMPDIR.
    if (previous)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    return bed;
}

struct Testbed {
    Testbed() : bed(newTestbed()) { }
    ~Testbed() { g_object_unref(bed); }  // removes its folder
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;
    UMockdevTestbed* bed;
};

// The command's environment: the emulation's library preloaded, and no
// private board configuration that was meant for exec alone.
std::vector<std::string> commandEnvironment(bool dropConfig)
{
    std::vector<std::string> env;
    std::string preload = "LD_PRELOAD=libumockdev-preload.so.0";
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) == 0) {
            if (entry.size() > 11)
                preload += ":" + entry.substr(11);
        } else if (!(dropConfig && entry.rfind("FANSCOPE_SIM_CONFIG=", 0) == 0)) {
            env.push_back(entry);
        }
    }
    env.push_back(preload);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Ends exec as the command ended: the same status, or the same signal.
[[noreturn]] void endAs(int status)
{
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        // The command dumped its core already; exec need not add its own.
        const rlimit none{0, 0};
        (void)::setrlimit(RLIMIT_CORE, &none);
        (void)std::fflush(nullptr);
        ::signal(sig, SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
        ::raise(sig);
        std::_Exit(128 + sig);
    }
    std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : kOwnFailure);
}

// Lays out the devices, runs the command and waits for it; the test bed
// and the emulation are gone when this returns. exec's own failure is
// kOwnFailure with nothing run.
int runCommand(const std::vector<std::string>& command, bool dropConfig, const sigset_t& waited,
               const sigset_t& previous, int& status)
{
    Testbed testbed;
    Devices devices;
    if (const std::string why = devices.layOut(testbed.bed); !why.empty()) {
        std::fprintf(stderr, "fanscope-board exec: %s\n", why.c_str());
        return kOwnFailure;
    }
    Emulation emulation(testbed.bed, devices);
    if (!emulation.problem().empty()) {
        std::fprintf(stderr, "fanscope-board exec: %s\n", emulation.problem().c_str());
        return kOwnFailure;
    }

    std::vector<std::string> args = command;
    std::vector<std::string> env = commandEnvironment(dropConfig);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    (void)std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        std::fprintf(stderr, "fanscope-board exec: cannot start %s: %s\n", args[0].c_str(), std::strerror(errno));
        return kOwnFailure;
    }
    if (child == 0) {
        // Without exec its devices are gone: the command goes with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(kOwnFailure);
        ::signal(SIGPIPE, SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::execvpe(argp[0], argp.data(), envp.data());
        const int err = errno;
        const char* what = std::strerror(err);
        // Only async-signal-safe calls between fork and exec.
        const char* parts[] = {"fanscope-board exec: cannot run ", argp[0], ": ", what, "\n"};
        for (const char* part : parts)
            (void)!::write(STDERR_FILENO, part, std::strlen(part));
        ::_exit(err == ENOENT ? 127 : 126);
    }

    for (;;) {
        siginfo_t info{};
        const int sig = ::sigwaitinfo(&waited, &info);
        if (sig < 0)
            continue;  // EINTR
        if (sig == SIGCHLD) {
            if (::waitpid(child, &status, WNOHANG) == child)
                break;
            continue;
        }
        // One the terminal sent reached the command's process group
        // already; one sent to exec alone is passed on.
        if (info.si_code != SI_KERNEL)
            ::kill(child, sig);
    }
    return 0;
}

}  // namespace

int execMain(int argc, char** argv)
{
    std::string config;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string arg = argv[first];
        if (arg == "--") {
            ++first;
            break;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--config" && first + 1 < argc) {
            config = argv[++first];
        } else if (arg.rfind("-", 0) == 0) {
            std::fprintf(stderr, "fanscope-board exec: unknown or incomplete option %s\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            break;  // the command, without "--"
        }
    }
    if (first >= argc) {
        std::fprintf(stderr, "fanscope-board exec: no command given\n%s", kUsage);
        return 2;
    }
    if (!config.empty()) {
        try {
            sim::loadConfigFile(config);
        } catch (const sim::ConfigError& e) {
            std::fprintf(stderr, "fanscope-board exec: simulated board configuration: %s\n", e.what());
            return 2;
        }
        // The private board lives in this process, where the platform
        // libraries read the configuration.
        ::setenv("FANSCOPE_SIM_CONFIG", config.c_str(), 1);
    }

    // Reached (and started) before the test bed sets UMOCKDEV_DIR and the
    // signals are blocked, so a board started on demand inherits neither.
    (void)sim::BoardLink::get();

    // Signals for the command wait until it runs; the emulation's threads
    // inherit the mask, so they arrive here only.
    sigset_t waited;
    sigemptyset(&waited);
    for (const int sig : kForwarded)
        sigaddset(&waited, sig);
    sigaddset(&waited, SIGCHLD);
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &waited, &previous);
    ::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    if (const int failed =
            runCommand(std::vector<std::string>(argv + first, argv + argc), !config.empty(), waited, previous, status))
        return failed;
    endAs(status);
}

}  // namespace boardexec
