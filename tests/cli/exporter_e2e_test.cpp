// fanscope-cli export against the real Prometheus server and node_exporter,
// on a shared simulated board of the test's own: what Prometheus stores is
// what the chip reads, a chip that goes is seen as down with no stale
// readings, the textfile passes node_exporter's collector, the shipped rules
// and dashboard queries hold. Every server runs on a free loopback port in a
// private folder and is stopped at the end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chiplaw/auto_control.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "board/board_process.h"
#include "support/run_process.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string Prometheus = "/usr/bin/prometheus";
const std::string Promtool = "/usr/bin/promtool";
const std::string NodeExporter = "/usr/bin/prometheus-node-exporter";

std::string sourceFile(const std::string& relative)
{
    return std::string(std::getenv("FANSCOPE_SOURCE_DIR")) + "/" + relative;
}

// A loopback port nobody listens on now (the servers bind it a moment later).
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A server started for the test, its output in a log file, ended (and
// waited for) when the test ends.
class ServerProcess {
public:
    ServerProcess(const std::string& program, const std::vector<std::string>& args, const fs::path& log,
                  const std::vector<std::pair<std::string, std::string>>& env = {})
        : m_log(log)
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            for (const auto& [name, value] : env)
                ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // SIGTERM, then SIGKILL when it is still there after 5 s. The exit status
    // (128 + signal when killed), or -1 when it was already stopped.
    int stop()
    {
        if (m_pid <= 0)
            return -1;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        const auto deadline = Clock::now() + 5s;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool running() const { return m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; }
    std::string log() const { return support::slurp(m_log); }

private:
    pid_t m_pid = -1;
    fs::path m_log;
};

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(200ms);
    }
    return true;
}

std::string httpGet(int port, const std::string& path, const httplib::Params& params = {})
{
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    const auto r = client.Get(path, params, httplib::Headers{}, httplib::Progress{});
    return r && r->status == 200 ? r->body : std::string();
}

class ExporterE2e : public ::testing::Test {
protected:
    void SetUp() override { m_dir = support::freshTestFolder("fanscope-export-test-"); }
    void TearDown() override
    {
        // Servers first, then their folder.
        m_prometheus.reset();
        m_nodeExporter.reset();
        m_exporter.reset();
        m_board.reset();
        fs::remove_all(m_dir);
    }

    void startBoard(const std::string& config)
    {
        std::ofstream(m_dir / "board.json") << config;
        m_socket = m_dir / "board.sock";
        m_board = std::make_unique<boardtest::BoardProcess>(
            m_socket, std::vector<std::string>{"--config", (m_dir / "board.json").string()});
    }

    std::vector<std::pair<std::string, std::string>> boardEnv() const
    {
        return {{"FANSCOPE_BOARD", m_socket.string()}, {"VEXLINK06_PLATFORM", "sim"}};
    }

    support::ProcessResult cli(const std::vector<std::string>& args) const
    {
        support::RunOptions options;
        options.dir = m_dir;
        options.timeout = 20s;
        for (const auto& [name, value] : boardEnv())
            options.env.emplace_back(name, value);
        return support::runProcess(FANSCOPE_CLI, args, options);
    }

    // The exporter on a free port; returns the port it printed.
    int startExporter(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args{"export", "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_exporter = std::make_unique<ServerProcess>(FANSCOPE_CLI, args, m_dir / "exporter.log", boardEnv());
        static const std::regex serving(R"(serving http://127\.0\.0\.1:(\d+)/metrics)");
        std::smatch m;
        std::string log;
        waitUntil([&] { return std::regex_search(log = m_exporter->log(), m, serving); }, 10s);
        return m.empty() ? -1 : std::stoi(m[1]);
    }

    void startPrometheus(int exporterPort)
    {
        m_prometheusPort = freePort();
        std::ofstream(m_dir / "prometheus.yml") << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                                   "scrape_configs:\n  - job_name: fanscope\n    static_configs:\n"
                                                   "      - targets: ['127.0.0.1:"
                                                << exporterPort << "']\n";
        m_prometheus = std::make_unique<ServerProcess>(
            Prometheus,
            std::vector<std::string>{"--config.file=" + (m_dir / "prometheus.yml").string(),
                                     "--storage.tsdb.path=" + (m_dir / "prometheus-data").string(),
                                     "--web.listen-address=127.0.0.1:" + std::to_string(m_prometheusPort),
                                     "--log.level=warn"},
            m_dir / "prometheus.log");
    }

    // Prometheus's answer to an instant query: the result vector.
    json query(const std::string& promql) const
    {
        const std::string body = httpGet(m_prometheusPort, "/api/v1/query", {{"query", promql}});
        if (body.empty())
            return json::array();
        const json answer = json::parse(body, nullptr, false);
        if (answer.is_discarded() || answer.value("status", "") != "success")
            return json::array();
        return answer["data"]["result"];
    }
    std::optional<double> value(const std::string& promql) const
    {
        const json result = query(promql);
        if (result.empty())
            return std::nullopt;
        return std::stod(result[0]["value"][1].get<std::string>());
    }
    bool becomes(const std::string& promql, double expected, std::chrono::milliseconds limit = 20s) const
    {
        return waitUntil([&] { return value(promql) == expected; }, limit);
    }

    fs::path m_dir, m_socket;
    std::unique_ptr<boardtest::BoardProcess> m_board;
    std::unique_ptr<ServerProcess> m_exporter, m_prometheus, m_nodeExporter;
    int m_prometheusPort = 0;
};

TEST_F(ExporterE2e, PrometheusStoresTheChipsReadingsAndSeesAChipGo)
{
    // Two chips on the board; the TFM4410 at 0x2c is unplugged after a few
    // readings (a reading is some fifty messages), the TFM4411 stays.
    startBoard(R"({"ports": [{"chips": [{"variant": "TFM4411", "address": 92}, {"variant": "TFM4410", "address": 88}],
                   "faults": [{"kind": "chipGone", "address": 44, "afterTransfers": 400}]}]})");
    const int port = startExporter();
    ASSERT_GT(port, 0) << m_exporter->log();
    startPrometheus(port);

    const std::string local =
        R"(fanscope_temperature_celsius{address="0x2e",medium="printer",bus="port0",channel="local"})";
    ASSERT_TRUE(waitUntil([&] { return value(local).has_value(); }, 20s)) << m_prometheus->log() << m_exporter->log();
    EXPECT_EQ(value(R"(up{job="fanscope"})"), 1.0);

    // What the chip itself reads, through the CLI on the same board.
    const auto monitor = cli({"--address", "0x2e", "monitor", "--json", "--count", "1"});
    ASSERT_EQ(monitor.status, 0) << monitor.err;
    const json chip = json::parse(monitor.out);
    EXPECT_NEAR(*value(local), chip["local"]["celsius"].get<double>(), 0.5);
    EXPECT_EQ(value(R"(fanscope_temperature_limit_celsius{address="0x2e",channel="remote1",limit="high"})"),
              chip["remote1"]["high"].get<double>());
    EXPECT_EQ(value(R"(fanscope_temperature_limit_celsius{address="0x2e",channel="local",limit="therm"})"),
              chip["local"]["crit"].get<double>());
    EXPECT_EQ(value(R"(fanscope_fan_min_rpm{address="0x2e",fan="fan2"})"), chip["fan2"]["min_rpm"].get<double>());
    EXPECT_NEAR(*value(R"(fanscope_fan_duty_ratio{address="0x2e",fan="fan1"})"),
                chip["fan1"]["pwm_percent"].get<double>() / 100, 1e-9);
    EXPECT_EQ(value(R"(fanscope_info{address="0x2e",variant="TFM4411",backend="simulated"})"), 1.0);

    // The chip that goes: up, then down with none of its readings left.
    EXPECT_TRUE(waitUntil([&] { return value(R"(max_over_time(fanscope_chip_up{address="0x2c"}[1m]))") == 1.0; }, 10s));
    ASSERT_TRUE(becomes(R"(fanscope_chip_up{address="0x2c"})", 0.0, 30s)) << m_exporter->log();
    EXPECT_TRUE(query(R"(fanscope_temperature_celsius{address="0x2c"})").empty());
    EXPECT_TRUE(query(R"(fanscope_fan_rpm{address="0x2c"})").empty());
    EXPECT_TRUE(query(R"(fanscope_alarm{address="0x2c"})").empty());
    EXPECT_EQ(value(R"(fanscope_chip_up{address="0x2e"})"), 1.0);
    EXPECT_EQ(value(R"(up{job="fanscope"})"), 1.0);
    EXPECT_NE(m_exporter->log().find("TFM4410 at 0x2c on printer port 0 (0x378) stopped answering"), std::string::npos)
        << m_exporter->log();

    // The exposition as served passes Prometheus's own checker, in the
    // text format (promtool reads no other).
    support::RunOptions check;
    check.dir = m_dir;
    check.input = httpGet(port, "/metrics");
    const auto checked = support::runProcess(Promtool, {"check", "metrics"}, check);
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;

    // Every query of the shipped dashboard runs, the main ones with data.
    std::ifstream dashboardFile(sourceFile("docs/monitoring/grafana-dashboard.json"));
    const json dashboard = json::parse(dashboardFile);
    int withData = 0, queries = 0;
    for (const json& panel : dashboard["panels"])
        for (const json& target : panel["targets"]) {
            std::string expr = target["expr"];
            expr = std::regex_replace(expr, std::regex(R"(\$(instance|address))"), ".*");
            const std::string body = httpGet(m_prometheusPort, "/api/v1/query", {{"query", expr}});
            ++queries;
            EXPECT_NE(body.find(R"("status":"success")"), std::string::npos) << expr << ": " << body;
            withData += !query(expr).empty();
        }
    EXPECT_GE(withData, queries - 2);  // the alarm table and the transfer rate may be empty this early

    // Read-only: no method but GET and HEAD gets past the door.
    httplib::Client client("127.0.0.1", port);
    const auto post = client.Post("/metrics", "x", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);

    m_prometheus->stop();
    EXPECT_EQ(m_exporter->stop(), 0) << "SIGTERM ends the exporter cleanly";
}

TEST_F(ExporterE2e, TheTextfileIsReadByNodeExporter)
{
    startBoard("{}");
    const fs::path textfiles = m_dir / "textfile";
    fs::create_directory(textfiles);
    const auto r = cli({"export", "--textfile", textfiles.string(), "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path prom = textfiles / "fanscope.prom";
    ASSERT_TRUE(fs::exists(prom));
    // Only the finished file: no temporary left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(textfiles), fs::directory_iterator()), 1);

    support::RunOptions check;
    check.dir = m_dir;
    check.input = support::slurp(prom);
    const auto checked = support::runProcess(Promtool, {"check", "metrics"}, check);
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;

    const int port = freePort();
    m_nodeExporter = std::make_unique<ServerProcess>(
        NodeExporter,
        std::vector<std::string>{"--web.listen-address=127.0.0.1:" + std::to_string(port),
                                 "--collector.disable-defaults", "--collector.textfile",
                                 "--collector.textfile.directory=" + textfiles.string()},
        m_dir / "node-exporter.log");
    std::string metrics;
    ASSERT_TRUE(waitUntil([&] { return !(metrics = httpGet(port, "/metrics")).empty(); }, 10s))
        << m_nodeExporter->log();
    EXPECT_NE(
        metrics.find(R"(fanscope_temperature_celsius{address="0x2e",bus="port0",channel="local",medium="printer"})"),
        std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find(R"(fanscope_chip_up{address="0x2e",bus="port0",medium="printer"} 1)"), std::string::npos);
    EXPECT_NE(metrics.find("node_textfile_scrape_error 0"), std::string::npos) << metrics;
}

// The chip keeps no register of the duty it drives under automatic control:
// the exporter gives the control law's for the temperature of the same reading.
TEST_F(ExporterE2e, UnderAutomaticControlTheDutyIsTheControlLawsForTheReading)
{
    startBoard("{}");
    for (const auto& [reg, value] : std::vector<std::pair<std::string, std::string>>{
             {"0x23", "0x00"},  // no ramp
             {"0x22", "0x33"},  // minimum duty 3/15 on both fans
             {"0x25", "0x22"},  // remote 1: Tmin 16 degrees, 20 wide
             {"0x26", "0x49"},  // remote 2: Tmin 36 degrees, 10 wide
             {"0x00", "0x81"},  // automatic: remote 1 drives fan 1, remote 2 fan 2
         }) {
        const auto r = cli({"set", "-y", reg, value});
        ASSERT_EQ(r.status, 0) << reg << ": " << r.err;
    }
    const fs::path textfiles = m_dir / "textfile";
    fs::create_directory(textfiles);
    const auto r = cli({"export", "--textfile", textfiles.string(), "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string prom = support::slurp(textfiles / "fanscope.prom");
    const auto value = [&prom](const std::string& series) {
        const std::size_t at = prom.find("\n" + series + " ");
        EXPECT_NE(at, std::string::npos) << series << " in\n" << prom;
        return at == std::string::npos ? -1.0 : std::stod(prom.substr(at + series.size() + 2));
    };
    const auto series = [](const std::string& family, const std::string& label) {
        return family + R"({address="0x2e",medium="printer",bus="port0",)" + label + "}";
    };
    for (const auto& [fan, channel, tmin, range] :
         {std::tuple{"fan1", "remote1", 16, 20}, {"fan2", "remote2", 36, 10}}) {
        SCOPED_TRACE(fan);
        const double celsius =
            value(series("fanscope_temperature_celsius", std::string("channel=\"") + channel + "\""));
        const double duty = value(series("fanscope_fan_duty_ratio", std::string("fan=\"") + fan + "\""));
        EXPECT_DOUBLE_EQ(duty, chiplaw::channelDuty(celsius, tmin, range, chiplaw::minimumDuty(3)));
        EXPECT_GE(value(series("fanscope_fan_tach_overflow", std::string("fan=\"") + fan + "\"")), 0);
    }
    // 25 degrees lies past remote 1's Tmin and short of remote 2's: the two
    // duties differ, and fan 1's is not the register's minimum of 0.2.
    EXPECT_GT(value(series("fanscope_fan_duty_ratio", "fan=\"fan1\"")), 0.21);
    EXPECT_NE(prom.find("computed"), std::string::npos);  // the HELP text says so
}

TEST_F(ExporterE2e, TheShippedRulesAndConfigurationPassPromtool)
{
    support::RunOptions options;
    options.dir = m_dir;
    auto r =
        support::runProcess(Promtool, {"check", "rules", sourceFile("docs/monitoring/fanscope-rules.yml")}, options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    r = support::runProcess(Promtool, {"check", "config", sourceFile("docs/monitoring/prometheus.yml")}, options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The alerts fire on made-up series as their descriptions say.
    r = support::runProcess(Promtool, {"test", "rules", sourceFile("tests/cli/fanscope-rules.test.yml")}, options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(ExporterE2e, AChipThatIsNotThereEndsTheExporterWithAReason)
{
    startBoard("{}");
    auto r = cli({"export", "--address", "0x2c", "--listen", "127.0.0.1:0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no TFM4410 or TFM4411 answers at 0x2c"), std::string::npos) << r.err;
    r = cli({"export", "--listen", "nonsense"});
    EXPECT_EQ(r.status, 2) << r.err;
    r = cli({"export", "--textfile", (m_dir / "missing").string(), "--count", "1"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
}

}  // namespace
