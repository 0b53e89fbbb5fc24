// The library scans the ports and the PCI bus once per process, and the
// program keeps one library object for its lifetime, so every test needs a
// fresh process: without a filter this program runs itself once per test.
#include "shell/application.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int runEachTestInItsOwnProcess(const char* self)
{
    int failed = 0;
    int run = 0;
    const auto& unit = *::testing::UnitTest::GetInstance();
    for (int s = 0; s < unit.total_test_suite_count(); ++s) {
        const auto& suite = *unit.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            const std::string filter =
                std::string("--gtest_filter=") + suite.name() + "." + suite.GetTestInfo(t)->name();
            const pid_t child = fork();
            if (child == 0) {
                ::setenv("FANSCOPE_STARTUP_TEST_CHILD", "1", 1);
                execl(self, self, filter.c_str(), "--gtest_brief=1", static_cast<char*>(nullptr));
                _exit(127);
            }
            int status = 0;
            waitpid(child, &status, 0);
            ++run;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                ++failed;
                std::fprintf(stderr, "FAILED (status %d): %s\n", status, filter.c_str() + 15);
            }
        }
    }
    std::printf("%d tests in separate processes, %d failed\n", run, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    bool filtered = std::getenv("FANSCOPE_STARTUP_TEST_CHILD") != nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--gtest_filter", 14) == 0 || std::strncmp(argv[i], "--gtest_list", 12) == 0)
            filtered = true;
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (!filtered)
        return runEachTestInItsOwnProcess(argv[0]);
    shell::Application app(argc, argv);
    return RUN_ALL_TESTS();
}
