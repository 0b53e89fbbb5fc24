// Feeds every file of the board decoder's fuzzing corpus to it as one
// stream: good-* must decode to whole frames with nothing left, bad-* must
// stop at a malformed frame, part-* must stop wanting more, and anything
// else (inputs the fuzzer kept) must only not crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <sim/board_wire.h>

namespace {

namespace fs = std::filesystem;
using Status = boardwire::Decoded::Status;

fs::path corpusDir()
{
    const char* src = std::getenv("FANSCOPE_SOURCE_DIR");
    return fs::path(src ? src : FANSCOPE_TEST_SOURCE_ROOT) / "tests" / "fuzz" / "board_wire_corpus";
}

// How the stream ends, and how many whole frames came before.
std::pair<Status, int> decodeAll(const std::vector<uint8_t>& bytes)
{
    std::span<const uint8_t> rest(bytes);
    int frames = 0;
    for (;;) {
        const auto d = boardwire::decode(rest);
        if (d.status != Status::Complete)
            return {rest.empty() ? Status::Complete : d.status, frames};
        ++frames;
        rest = rest.subspan(d.consumed);
    }
}

TEST(BoardWireCorpus, EveryFileIsJudgedAsItsNameSays)
{
    int judged = 0;
    for (const auto& e : fs::directory_iterator(corpusDir())) {
        const std::string name = e.path().filename().string();
        SCOPED_TRACE(name);
        std::ifstream in(e.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        const auto [end, frames] = decodeAll(bytes);
        if (name.starts_with("good-")) {
            EXPECT_EQ(end, Status::Complete);
            EXPECT_GT(frames, 0);
        } else if (name.starts_with("bad-")) {
            EXPECT_EQ(end, Status::Malformed);
        } else if (name.starts_with("part-")) {
            EXPECT_EQ(end, Status::NeedMore);
        } else {
            continue;
        }
        ++judged;
    }
    EXPECT_GE(judged, 10);
}

}  // namespace
