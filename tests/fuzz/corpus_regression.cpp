// Feeds every file of the fuzzing corpus to the register-file reader: files
// named good-* must validate, bad-* must be refused with a reason, and
// anything else (inputs the fuzzer kept) must simply not crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "device/register_file.h"

namespace {

namespace fs = std::filesystem;

fs::path corpusDir()
{
    const char* src = std::getenv("FANSCOPE_SOURCE_DIR");
    return fs::path(src ? src : FANSCOPE_TEST_SOURCE_ROOT) / "tests" / "fuzz" / "corpus";
}

std::vector<fs::path> corpusFiles()
{
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(corpusDir()))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(RegisterFileCorpus, EveryFileIsJudgedAsItsNameSays)
{
    const std::vector<fs::path> files = corpusFiles();
    int good = 0, bad = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const device::RegisterFileResult result = device::readRegisterFile(file);
        const std::string name = file.filename().string();
        if (name.starts_with("good-")) {
            EXPECT_TRUE(result) << result.error;
            ++good;
        } else if (name.starts_with("bad-")) {
            EXPECT_FALSE(result);
            EXPECT_FALSE(result.error.empty());
            ++bad;
        }
    }
    EXPECT_GE(good, 2);
    EXPECT_GE(bad, 15);
}

}  // namespace
