// Where the library finds its platform libraries: only the known names, and
// only from its own folder, never through the loader's search path.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <vexlink06/vexlink06.h>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> creationMessages()
{
    std::vector<std::string> messages;
    vexlink06::setMessageHook(
        [&](const std::string& title, const std::string& text) { messages.push_back(title + "|" + text); });
    auto smbus = vexlink06::SMBus::create();
    vexlink06::setMessageHook({});
    return messages;
}

const std::vector<std::string> kLoadError{"SMBus ClassInit|Error:48, Error in loading DLL"};

TEST(PlatformLoading, OnlyTheKnownNamesAreLoaded)
{
    // Each would name a file that exists, or a path into the build tree.
    for (const char* name : {"sim/../sim", "../lib/libvxmb_sim", "Sim", "sim ", "linux/", "/work"}) {
        setenv("VEXLINK06_PLATFORM", name, 1);
        EXPECT_EQ(creationMessages(), kLoadError) << name;
    }
    // A refused name is not remembered: the known one loads afterwards.
    setenv("VEXLINK06_PLATFORM", "sim", 1);
    EXPECT_TRUE(creationMessages().empty());
}

// Run by the test below in a process whose loader search path finds the
// platform libraries, while the library itself is a copy in a folder
// without them.
TEST(PlatformLoadingChild, ReportsWhatCreationSays)
{
    const char* report = std::getenv("FANSCOPE_LOADER_REPORT");
    if (report == nullptr)
        GTEST_SKIP() << "run by PlatformLoading.NeverThroughTheSearchPath";
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&vexlink06::SMBus::create), &info);
    std::ofstream out(report);
    out << (info.dli_fname ? info.dli_fname : "") << "\n";
    for (const std::string& m : creationMessages())
        out << m << "\n";
}

TEST(PlatformLoading, NeverThroughTheSearchPath)
{
    const fs::path lib = fs::path(FANSCOPE_LIB_DIR);
    const fs::path dir = fs::temp_directory_path() / ("fanscope-loader-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path copy = dir / "libvexlink06.so.4";
    fs::copy_file(fs::canonical(lib / "libvexlink06.so.4"), copy);
    const fs::path report = dir / "report";

    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string searchPath = dir.string() + ":" + lib.string();
        setenv("LD_LIBRARY_PATH", searchPath.c_str(), 1);
        setenv("VEXLINK06_PLATFORM", "sim", 1);
        setenv("FANSCOPE_LOADER_REPORT", report.c_str(), 1);
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        ::execl(self.c_str(), self.c_str(), "--gtest_filter=PlatformLoadingChild.*", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::ifstream in(report);
    std::string loadedFrom;
    std::getline(in, loadedFrom);
    std::vector<std::string> messages;
    for (std::string l; std::getline(in, l);)
        messages.push_back(l);
    fs::remove_all(dir);

    EXPECT_EQ(fs::path(loadedFrom), copy) << "the copy was not the library the child used";
    EXPECT_EQ(messages, kLoadError);
}

}  // namespace
