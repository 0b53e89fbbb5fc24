// A device session in this process on the shared board (a socket of the
// test's own) while the board is killed and others are started in its
// place: what the session says while it is away, what it checks when one
// answers again, and the pace each board tells.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <vexlink06/back_end.h>

#include "board_process.h"
#include "device/back_end.h"
#include "device/device_session.h"
#include "device/fan_characterization.h"
#include "device/register_map.h"
#include "support/run_process.h"

namespace {

using namespace boardtest;

class BoardReconnect : public ::testing::Test {
protected:
    // One socket for the whole program: a process picks its board once.
    static void SetUpTestSuite()
    {
        s_dir = new TempDir;
        ::setenv("FANSCOPE_BOARD", socket().c_str(), 1);
        ::unsetenv("FANSCOPE_SIM_CONFIG");
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    static fs::path socket() { return s_dir->path / "board.sock"; }

    // A board on the socket, with the configuration `json` ("" the default).
    std::unique_ptr<BoardProcess> start(const std::string& json = "")
    {
        std::vector<std::string> extra;
        if (!json.empty()) {
            const fs::path config = s_dir->path / ("config" + std::to_string(m_configs++) + ".json");
            std::ofstream(config) << json;
            extra = {"--config", config.string()};
        }
        return std::make_unique<BoardProcess>(socket(), extra);
    }

    // The session's next read, or the BoardLost sentence it throws.
    static std::string readOrWhy(device::Session& s, std::uint8_t reg)
    {
        try {
            return std::to_string(s.read(reg));
        } catch (const device::SessionError& e) {
            EXPECT_EQ(e.kind(), device::ErrorKind::BoardLost) << e.what();
            return e.what();
        }
    }

    std::string wentAway() const { return "the shared simulated board at " + socket().string() + " went away"; }

    // The board a test before this one ended is found lost at the first
    // transfer, and the next board within the backoff.
    static device::Session openChip(device::Session::Options options = {})
    {
        const auto deadline = Clock::now() + 3s;
        for (;;) {
            try {
                device::holdBoardLines();
                return device::Session::open(device::Medium::PrinterPort, 0, 0x2E, false, options);
            } catch (const device::SessionError& e) {
                if (e.kind() != device::ErrorKind::BoardLost || Clock::now() > deadline)
                    throw;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    // The CLI on the same board, as another program.
    static support::ProcessResult cli(const std::vector<std::string>& args)
    {
        support::RunOptions options;
        options.dir = s_dir->path;
        options.env = {{"FANSCOPE_BOARD", socket().string()}};
        options.timeout = 20s;
        return support::runProcess(program("fanscope-cli"), args, options);
    }

    int m_configs = 0;
    static TempDir* s_dir;
};

TempDir* BoardReconnect::s_dir = nullptr;

TEST_F(BoardReconnect, AwayEveryTransferFailsAtOnceAndNothingWrittenThenReachesTheNextBoard)
{
    auto board = start();
    device::Session::Options held;
    held.holdPort = true;  // the port claim the new board must be asked for again
    device::Session chip = openChip(held);
    chip.write(device::reg::LocalHighLimit, 0x50);
    ASSERT_EQ(chip.read(device::reg::LocalHighLimit), 0x50);

    board->stop(SIGKILL);
    const auto lost = Clock::now();
    EXPECT_EQ(readOrWhy(chip, device::reg::LocalHighLimit), wentAway());
    for (int i = 0; i < 20; ++i) {
        try {
            chip.write(device::reg::LocalHighLimit, 0x33);
            ADD_FAILURE() << "a write to a board that is away succeeded";
        } catch (const device::SessionError& e) {
            EXPECT_EQ(e.kind(), device::ErrorKind::BoardLost);
            EXPECT_EQ(e.what(), wentAway());
        }
    }
    EXPECT_EQ(readOrWhy(chip, device::reg::LocalHighLimit), wentAway());
    EXPECT_LT(Clock::now() - lost, 1s) << "transfers waited for the board that went";
    EXPECT_EQ(device::sharedBoardProblem(), wentAway());

    board = start();
    // Within the backoff (at most a second) the same session reads the new
    // board: its power-on limit, not the write made while away.
    const auto deadline = Clock::now() + 3s;
    std::string got;
    while ((got = readOrWhy(chip, device::reg::LocalHighLimit)) != "70" && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(got, "70");
    EXPECT_EQ(device::sharedBoardProblem(), "");
    // The held claim is this process's on the new board: another program waits its turn, and
    // this one's writes arrive.
    chip.write(device::reg::LocalHighLimit, 0x41);
    EXPECT_EQ(chip.read(device::reg::LocalHighLimit), 0x41);
    const auto r = cli({"get", "0x14"});
    EXPECT_EQ(r.out, "0x41\n") << r.err;
}

TEST_F(BoardReconnect, ABoardThatComesBackWithAnotherChipOrNoneIsNamedUntilTheChipIsBack)
{
    auto board = start();
    device::Session chip = openChip();
    ASSERT_EQ(readOrWhy(chip, device::reg::DeviceId), "49");

    struct Case {
        const char* config;
        const char* said;
    };
    const Case cases[] = {
        {R"({"ports": [{"chips": [{"variant": "TFM4410", "address": "0x2E"}]}]})",
         "the board answers again, but not with the TFM4411 at 0x2e: a TFM4410 answers there"},
        {R"({"ports": [{"chips": [{"variant": "TFM4411", "address": "0x2C"}]}]})",
         "the board answers again, but not with the TFM4411 at 0x2e: nothing answers there"},
        {R"({"ports": [{"chips": []}]})",
         "the board answers again, but not with the TFM4411 at 0x2e: nothing answers there"},
    };
    for (const Case& c : cases) {
        board->stop(SIGKILL);
        board = start(c.config);
        const auto deadline = Clock::now() + 3s;
        std::string got;
        while ((got = readOrWhy(chip, device::reg::DeviceId)) == wentAway() && Clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(got, c.said) << c.config;
        // Asked again, it says the same: nothing of that board is used.
        EXPECT_EQ(readOrWhy(chip, device::reg::LocalHighLimit), c.said);
    }
    board->stop(SIGKILL);
    board = start();
    const auto deadline = Clock::now() + 3s;
    std::string got;
    while ((got = readOrWhy(chip, device::reg::DeviceId)) != "49" && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(got, "49");
}

// The board lost in the middle of a fan measurement: the measurement stops
// and says why, and what it changed is put back on the board that answers
// again (a replugged bridge leaves the chip as the sweep left it).
TEST_F(BoardReconnect, AMeasurementThatLosesTheBoardStopsAndRestoresTheChipWhenItIsBack)
{
    auto board = start(R"({"timeScale": 20})");
    device::Session chip = openChip();
    chip.write(device::reg::FanSpeedConfiguration, 0x77);
    device::CharacterizationRun run;
    std::thread measuring([&] { run = device::characterizeFans(device::sessionAccess(chip), {1}); });
    std::this_thread::sleep_for(300ms);
    board->stop(SIGKILL);
    std::this_thread::sleep_for(300ms);
    board = start();
    measuring.join();
    EXPECT_EQ(run.outcome, device::CharacterizationOutcome::Failed);
    EXPECT_EQ(run.error, wentAway());
    EXPECT_TRUE(run.restore.ok()) << run.restore.reason;
    EXPECT_EQ(chip.read(device::reg::FanSpeedConfiguration), 0x77) << "not restored on the board that came back";
}

TEST_F(BoardReconnect, EachBoardTellsItsPaceAndAGivenPaceMustAgree)
{
    auto board = start(R"({"timeScale": 20})");
    device::Session chip = openChip();
    EXPECT_EQ(vexlink06::backend::boardTimeScale(), 20.0);
    EXPECT_EQ(device::timeScaleMismatch(20), "");
    EXPECT_EQ(device::timeScaleMismatch(10), "the simulated board runs at timeScale 20, not 10");
    const auto refused = cli({"characterize", "--fan", "1", "--time-scale", "10"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("--time-scale: the simulated board runs at timeScale 20, not 10"), std::string::npos)
        << refused.err;

    board->stop(SIGKILL);
    board = start();
    const auto deadline = Clock::now() + 3s;
    while (readOrWhy(chip, device::reg::DeviceId) != "49" && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(device::boardTimeScale(), 1.0) << "the pace of the board that went";
}

}  // namespace
