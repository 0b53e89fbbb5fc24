// The documentation's shell examples, run as written, so the guides cannot
// drift from the programs. An example is a fenced block marked `console`:
// each "$ " line is run by sh in a private folder against a fresh private
// shared board (one per block), and what follows it up to the next "$ " line
// is what it must print (stdout and stderr together). In the expected text
// a line "..." stands for any further lines; times, the socket path and the
// temporary folder are compared by shape. A block marked `json file=NAME`
// (or another language) is written to NAME in the folder first, so the
// examples can use the files the guide shows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "board/board_process.h"
#include "support/run_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The socket path the guides show, for a user with id 1000.
constexpr const char* GuideSocket = "/run/user/1000/fanscope/board.sock";

struct Command {
    int line = 0;
    std::string text;
    std::vector<std::string> expected;
};

struct Example {
    std::string document;
    int line = 0;  // of the opening fence
    std::vector<Command> commands;
    std::vector<std::pair<std::string, std::string>> files;  // name, contents
};

std::vector<Example> examplesOf(const std::string& document)
{
    std::ifstream in(fs::path(std::getenv("FANSCOPE_SOURCE_DIR")) / document);
    std::vector<Example> examples;
    std::vector<std::pair<std::string, std::string>> files;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        static const std::regex fileFence(R"(^```\w+ file=(\S+)\s*$)");
        std::smatch m;
        if (std::regex_match(line, m, fileFence)) {
            std::string contents, body;
            while (std::getline(in, body) && (++number, body != "```"))
                contents += body + "\n";
            files.emplace_back(m[1], contents);
            continue;
        }
        if (line != "```console")
            continue;
        Example e{document, number, {}, files};
        std::string body;
        while (std::getline(in, body) && (++number, body != "```")) {
            if (body.starts_with("$ "))
                e.commands.push_back({number, body.substr(2), {}});
            else if (!e.commands.empty())
                e.commands.back().expected.push_back(body);
        }
        examples.push_back(e);
    }
    return examples;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // CSV ends its lines with CR LF; a terminal shows them alike.
        if (line.ends_with('\r'))
            line.pop_back();
        lines.push_back(line);
    }
    // A blank line after a sample ends the block, as the guide does not show it.
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// Times vary from run to run; the rest must match as printed.
std::string shape(std::string line, const fs::path& folder, const fs::path& socket)
{
    for (const auto& [from, to] :
         {std::pair{socket.string(), std::string(GuideSocket)}, std::pair{folder.string() + "/", std::string()}}) {
        for (std::size_t at; (at = line.find(from)) != std::string::npos;)
            line.replace(at, from.size(), to);
    }
    static const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)");
    return std::regex_replace(line, time, "TIME");
}

class GuideExamples : public ::testing::TestWithParam<const char*> { };

TEST_P(GuideExamples, PrintWhatTheDocumentShows)
{
    const auto examples = examplesOf(GetParam());
    const std::string bin = std::string(std::getenv("FANSCOPE_BINARY_DIR")) + "/bin";
    for (const Example& example : examples) {
        SCOPED_TRACE(example.document + ":" + std::to_string(example.line));
        boardtest::TempDir dir;
        const fs::path socket = dir.path / "board.sock";
        boardtest::BoardProcess board(socket, {"--idle-exit", "60"});
        for (const auto& [name, contents] : example.files)
            std::ofstream(dir.path / name, std::ios::binary) << contents;
        for (const Command& command : example.commands) {
            SCOPED_TRACE("line " + std::to_string(command.line) + ": $ " + command.text);
            std::vector<std::string> actual;
            if (command.text.starts_with("fanscope-board") && !command.text.starts_with("fanscope-board exec")) {
                // Started above, on the test's own socket: its first words.
                // (exec runs as written, against that board.)
                ASSERT_TRUE(board.logs("\n", 2000ms));
                actual = {linesOf(board.log()).front()};
            } else {
                support::RunOptions options;
                options.dir = dir.path;
                options.timeout = 30s;
                options.env = {{"PATH", bin + ":/usr/bin:/bin"},
                               {"FANSCOPE_BOARD", socket.string()},
                               {"FANSCOPE_SIM_CONFIG", std::nullopt},
                               {"VEXLINK06_PLATFORM", std::nullopt},
                               {"LC_ALL", "C.UTF-8"}};
                const auto r = support::runProcess(
                    "/bin/sh", {"-c", "cd '" + dir.path.string() + "' && { " + command.text + "\n} 2>&1"}, options);
                ASSERT_FALSE(r.timedOut);
                actual = linesOf(r.out + r.err);
            }
            std::vector<std::string> expected = command.expected;
            while (!expected.empty() && expected.back().empty())
                expected.pop_back();
            const bool more = !expected.empty() && expected.back().find_first_not_of(' ') != std::string::npos &&
                              expected.back().substr(expected.back().find_first_not_of(' ')) == "...";
            if (more)
                expected.pop_back();
            std::string want, got;
            for (const std::string& l : expected)
                want += shape(l, dir.path, socket) + "\n";
            for (std::size_t i = 0; i < actual.size() && (!more || i < expected.size()); ++i)
                got += shape(actual[i], dir.path, socket) + "\n";
            EXPECT_EQ(got, want);
        }
        board.stop();
    }
}

// Where the documents keep their examples; each must still have some.
INSTANTIATE_TEST_SUITE_P(Documents, GuideExamples,
                         ::testing::Values("docs/user-guide.md", "cli/README.md", "docs/sim-config.md"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

TEST(GuideExamplesFound, EveryDocumentKeepsItsExamples)
{
    EXPECT_GE(examplesOf("docs/user-guide.md").size(), 5u);
    EXPECT_GE(examplesOf("cli/README.md").size(), 1u);
    EXPECT_GE(examplesOf("docs/sim-config.md").size(), 1u);
}

}  // namespace
