#pragma once
// The bus tools tests' shared fixture: fanscope-cli run as a process of its
// own on a private simulated board, in a fresh folder per test.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/test_folder.h"

namespace bustoolstest {

namespace fs = std::filesystem;

using Result = support::ProcessResult;
using support::slurp;

// The board clock stands still: the readings are the power-on values.
constexpr const char* StillBoard = R"({"time": "manual"})";

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);)
        out.push_back(l);
    return out;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class BusToolsTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = support::freshTestFolder("fanscope-cli-bus-"); }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path file(const std::string& name, const std::string& content)
    {
        return support::writeFile(m_dir, name, content);
    }

    Result run(const std::vector<std::string>& args, const std::string& input = "", const std::string& locale = "C")
    {
        support::RunOptions options;
        options.dir = m_dir;
        options.input = input;
        options.env = {{"FANSCOPE_BOARD", "inprocess"}, {"FANSCOPE_SIM_CONFIG", std::nullopt}, {"LC_ALL", locale}};
        options.timeout = std::chrono::seconds(30);
        return support::runProcess(FANSCOPE_CLI, args, options);
    }

    // The same on the still board.
    Result still(std::vector<std::string> args, const std::string& locale = "C")
    {
        args.insert(args.begin(), {"--sim-config", file("still.json", StillBoard).string()});
        return run(args, "", locale);
    }

    fs::path m_dir;
};

}  // namespace bustoolstest
