// Every input of the exporter fuzzer's corpus through the fuzzer's checks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "exporter_input_checks.h"

namespace {

namespace fs = std::filesystem;

TEST(ExporterCorpus, EveryInputPassesTheChecks)
{
    const char* src = std::getenv("FANSCOPE_SOURCE_DIR");
    const fs::path dir = fs::path(src ? src : FANSCOPE_TEST_SOURCE_ROOT) / "tests" / "fuzz" / "exporter_corpus";
    int inputs = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(fuzzchecks::checkExporterInput(text.str()), "") << entry.path().filename();
        ++inputs;
    }
    EXPECT_GE(inputs, 10);
}

}  // namespace
