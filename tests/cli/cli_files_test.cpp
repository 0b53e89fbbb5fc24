// fanscope-cli as a process with files that are not what they should be:
// board configurations that cannot be used, and save and recall paths that
// are not plain files. Every run has a time limit, so a command that blocks
// fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;

using Result = support::ProcessResult;
using support::slurp;

class CliFilesTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = support::freshTestFolder("fanscope-cli-files-"); }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path file(const std::string& name, const std::string& content)
    {
        return support::writeFile(m_dir, name, content);
    }

    // Runs the CLI with stdin from /dev/null, FANSCOPE_SIM_CONFIG set to
    // `configEnv` when not empty, and kills it after 15 s.
    Result run(const std::vector<std::string>& args, const std::string& configEnv = "")
    {
        support::RunOptions options;
        options.dir = m_dir;
        options.captureOut = false;
        options.env = {{"FANSCOPE_SIM_CONFIG", std::nullopt}};
        if (!configEnv.empty())
            options.env[0].second = configEnv;
        options.timeout = std::chrono::seconds(15);
        const Result r = support::runProcess(FANSCOPE_CLI, args, options);
        if (r.timedOut)
            ADD_FAILURE() << "fanscope-cli did not finish within 15 s";
        return r;
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
