// fanscope-cli as a process with files that are not what they should be:
// board configurations that cannot be used, and save and recall paths that
// are not plain files. Every run has a time limit, so a command that blocks
// fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;  // exit status; 128 + signal; -1 when it had to be killed
    std::string err;
};

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CliFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/fanscope-cli-files-XXXXXX";
        m_dir = ::mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path file(const std::string& name, const std::string& content)
    {
        const fs::path p = m_dir / name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

    // Runs the CLI with stdin from /dev/null, FANSCOPE_SIM_CONFIG set to
    // `configEnv` when not empty, and kills it after 15 s.
    Result run(const std::vector<std::string>& args, const std::string& configEnv = "")
    {
        const fs::path err = m_dir / "stderr";
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!std::freopen("/dev/null", "r", stdin) || !std::freopen("/dev/null", "w", stdout) ||
                !std::freopen(err.c_str(), "w", stderr))
                ::_exit(127);
            if (configEnv.empty())
                ::unsetenv("FANSCOPE_SIM_CONFIG");
            else
                ::setenv("FANSCOPE_SIM_CONFIG", configEnv.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(FANSCOPE_CLI)};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(FANSCOPE_CLI, argv.data());
            ::_exit(127);
        }
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "fanscope-cli did not finish within 15 s";
                return {-1, slurp(err)};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(err)};
    }

    fs::path m_dir;
};

// ---- board configurations ------------------------------------------------------

struct BadConfig {
    const char* name;
    const char* why;  // in the message
};

class CliConfigTest : public CliFilesTest, public ::testing::WithParamInterface<std::tuple<BadConfig, bool>> {
protected:
    fs::path make(const std::string& name)
    {
        if (name == "deep")
            return file("deep.json", std::string(100000, '[') + std::string(100000, ']'));
        if (name == "huge-number")
            return file("huge-number.json", R"({"ambientC": 1e400})");
        if (name == "duplicate")
            return file("duplicate.json", R"({"time": "real", "time": "manual"})");
        if (name == "oversized")
            return file("oversized.json", "{" + std::string(300 * 1024, ' ') + "}");
        if (name == "unknown-key")
            return file("unknown-key.json", R"({"ports": [{"bass": 888}]})");
        const fs::path fifo = m_dir / "fifo.json";
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        return fifo;
    }
};

TEST_P(CliConfigTest, RefusedWithExitStatusTwoAndTheFileNamed)
{
    const auto& [bad, byOption] = GetParam();
    const fs::path config = make(bad.name);
    const Result r = byOption ? run({"--sim-config", config.string(), "detect"}) : run({"detect"}, config.string());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(config.string()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(bad.why), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("json.exception"), std::string::npos) << r.err;
    EXPECT_LT(r.err.size(), 400u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Configs, CliConfigTest,
    ::testing::Combine(::testing::Values(BadConfig{"deep", "nests deeper"}, BadConfig{"huge-number", "ambientC"},
                                         BadConfig{"duplicate", "time: is given twice"},
                                         BadConfig{"oversized", "larger than"},
                                         BadConfig{"unknown-key", "ports[0].bass"}, BadConfig{"fifo", "named pipe"}),
                       ::testing::Bool()),
    [](const auto& info) {
        std::string name = std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_option" : "_env");
        for (char& c : name)
            if (c == '-')
                c = '_';
        return name;
    });

// ---- save and recall paths -----------------------------------------------------

TEST_F(CliFilesTest, SaveToAnEmptyNameIsAUsageError)
{
    const Result r = run({"save", ""});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
}

TEST_F(CliFilesTest, SaveOverADeviceNodeOrPipeLeavesItAsItWas)
{
    const fs::path node = m_dir / "null";
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        const Result r = run({"save", node.string()});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("character device"), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_character_file(node));
    }
    const fs::path fifo = m_dir / "regs.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Result r = run({"save", fifo.string()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), fs::exists(node) ? 3 : 2);
}

TEST_F(CliFilesTest, SaveThroughASymlinkWritesItsTargetAndRecallReadsIt)
{
    const fs::path target = file("target.txt", "old"), link = m_dir / "link.txt";
    fs::create_symlink(target.filename(), link);
    Result r = run({"save", link.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(slurp(target).starts_with("TFM4411 Evaluation Software v1.04\r\n"));
    r = run({"recall", link.string()});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(CliFilesTest, RecallOfANamedPipeIsRefusedWithoutWaiting)
{
    const fs::path fifo = m_dir / "regs.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Result r = run({"recall", fifo.string()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("named pipe, not a register file"), std::string::npos) << r.err;
}

}  // namespace
