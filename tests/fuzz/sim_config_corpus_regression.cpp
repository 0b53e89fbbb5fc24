// Feeds every file of the configuration reader's fuzzing corpus to it:
// good-* must parse, bad-* must be refused with a short ConfigError, and
// anything else (inputs the fuzzer kept) must only not crash or escape as
// another exception.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sim/config.h>

namespace {

namespace fs = std::filesystem;

fs::path corpusDir()
{
    const char* src = std::getenv("FANSCOPE_SOURCE_DIR");
    return fs::path(src ? src : FANSCOPE_TEST_SOURCE_ROOT) / "tests" / "fuzz" / "sim_config_corpus";
}

TEST(SimConfigCorpus, EveryFileIsJudgedAsItsNameSays)
{
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(corpusDir()))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    int good = 0, bad = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string name = file.filename().string();
        std::string error;
        try {
            sim::loadConfigFile(file.string());
        } catch (const sim::ConfigError& e) {
            error = e.what();
        }
        if (name.starts_with("good-")) {
            EXPECT_EQ(error, "");
            ++good;
        } else if (name.starts_with("bad-")) {
            EXPECT_FALSE(error.empty());
            EXPECT_LT(error.size(), file.string().size() + 300) << error;
            ++bad;
        }
    }
    EXPECT_GE(good, 5);
    EXPECT_GE(bad, 15);
}

}  // namespace
