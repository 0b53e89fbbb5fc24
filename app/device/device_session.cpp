#include "device/device_session.h"

namespace device {

namespace {

[[noreturn]] void notYet() { throw SessionError(ErrorKind::Unavailable, "the device session is not built yet"); }

}  // namespace

struct Session::State {
    ChipLocation chip;
    Options options;
};

std::string_view mediumName(Medium medium)
{
    switch (medium) {
    case Medium::ChipsetSmbus: return "chipset SMBus";
    case Medium::PrinterPort: return "printer port";
    case Medium::KernelAdapter: return "kernel adapter";
    }
    return "";
}

std::string_view variantName(Variant variant) { return chipName(deviceId(variant)); }

std::optional<Variant> variantFromDeviceId(int id)
{
    if (!isKnownDeviceId(id))
        return std::nullopt;
    return static_cast<Variant>(id);
}

std::string describeLocation(const ChipLocation&) { notYet(); }
std::string chipLine(const ChipLocation&) { notYet(); }
ProbeReport probe(const ProbeRequest&) { notYet(); }
void holdBoardLines() { notYet(); }
TransferCounts totalTransferCounts() { return {}; }
std::string sampleJson(const Sample&) { notYet(); }

Session::Session(ChipLocation chip) : Session(std::move(chip), Options{}) { }
Session::Session(ChipLocation chip, Options options) : m_state(std::make_unique<State>(State{std::move(chip), options}))
{ }
Session Session::open(Medium medium, int port, std::uint8_t address, bool force)
{
    return open(medium, port, address, force, Options{});
}
Session Session::open(Medium, int, std::uint8_t, bool, Options) { notYet(); }
Session::~Session() = default;
Session::Session(Session&& other) noexcept = default;
Session& Session::operator=(Session&& other) noexcept = default;

const ChipLocation& Session::location() const { return m_state->chip; }
std::string Session::backEnd() const { notYet(); }
const Session::Options& Session::options() const { return m_state->options; }
std::uint8_t Session::read(std::uint8_t) { notYet(); }
void Session::write(std::uint8_t, std::uint8_t) { notYet(); }
std::uint8_t Session::writeMasked(std::uint8_t, std::uint8_t, std::uint8_t) { notYet(); }
bool Session::present() { notYet(); }
void Session::requirePresent() { notYet(); }
std::optional<float> Session::temperature(TempChannel) { notYet(); }
int Session::fanRpm(int) { notYet(); }
int Session::dutyPercent(int) { notYet(); }
std::vector<std::string> Session::alarms() { notYet(); }
Readings Session::readings() { notYet(); }
Sample Session::sample() { notYet(); }
void Session::setWriteObserver(WriteObserver) { notYet(); }
TransferCounts Session::transferCounts() const { return {}; }

std::recursive_mutex& Session::busMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

}  // namespace device
