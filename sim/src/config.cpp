#include "sim/config.h"

#include "fault_config.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "config_text.h"

namespace sim {

namespace {

using nlohmann::json;

struct PresetName {
    SouthBridgePreset preset;
    std::string_view name;
};

constexpr std::array<PresetName, 13> kPresets{{
    {SouthBridgePreset::None, "none"},
    {SouthBridgePreset::Piix4, "piix4"},
    {SouthBridgePreset::Ich2418, "ich-2418"},
    {SouthBridgePreset::Ich2428, "ich-2428"},
    {SouthBridgePreset::Ich2413, "ich-2413"},
    {SouthBridgePreset::Ich2423, "ich-2423"},
    {SouthBridgePreset::Ich2443, "ich-2443"},
    {SouthBridgePreset::Ich2445, "ich-2445"},
    {SouthBridgePreset::Ich2483, "ich-2483"},
    {SouthBridgePreset::Ich24C3, "ich-24c3"},
    {SouthBridgePreset::Ich24D3, "ich-24d3"},
    {SouthBridgePreset::Ali7101, "ali-7101"},
    {SouthBridgePreset::IntelHostBridge, "intel-host-bridge"},
}};

[[noreturn]] void fail(const std::string& path, const json& value, const std::string& why)
{
    throw ConfigError(path + ": " + config_text::excerpt(value) + " " + why);
}

// Rejects keys the reader does not know, so a typing error is not silently
// ignored.
void onlyKeys(const json& obj, const std::string& path, std::initializer_list<std::string_view> keys)
{
    if (!obj.is_object())
        fail(path, obj, "is not an object");
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        bool known = false;
        for (std::string_view k : keys)
            known = known || it.key() == k;
        if (!known)
            fail(config_text::joinPath(path, it.key()), it.value(), "is not a known setting");
    }
}

std::string join(const std::string& path, std::string_view key) { return config_text::joinPath(path, key); }

template <typename T> [[noreturn]] void failRange(const std::string& path, const json& v, T lo, T hi)
{
    std::ostringstream os;
    os << "is out of range (" << lo << " to " << hi << ")";
    fail(path, v, os.str());
}

// An integer given as a JSON number or as a text in C notation ("0x378",
// "888"). Every form is range-checked before it is converted.
long long integer(const json& v, const std::string& path, long long lo, long long hi)
{
    long long n = 0;
    if (v.is_number_unsigned()) {
        const auto u = v.get<unsigned long long>();
        if (hi < 0 || u > static_cast<unsigned long long>(hi))
            failRange(path, v, lo, hi);
        n = static_cast<long long>(u);
    } else if (v.is_number_integer()) {
        n = v.get<long long>();
    } else if (v.is_number_float()) {
        const double d = v.get<double>();
        if (d != std::floor(d))
            fail(path, v, "is not a whole number");
        // Compared as doubles first: converting one outside long long's
        // range is undefined.
        if (!(d >= static_cast<double>(lo) && d <= static_cast<double>(hi) && std::fabs(d) < 0x1p62))
            failRange(path, v, lo, hi);
        n = static_cast<long long>(d);
    } else if (v.is_string()) {
        switch (config_text::integerFromText(v.get_ref<const std::string&>(), n)) {
        case config_text::TextNumber::Ok: break;
        case config_text::TextNumber::TooLarge: failRange(path, v, lo, hi);
        case config_text::TextNumber::NotANumber: fail(path, v, "is not a number");
        }
    } else {
        fail(path, v, "is not a number");
    }
    if (n < lo || n > hi)
        failRange(path, v, lo, hi);
    return n;
}

double real(const json& v, const std::string& path, double lo, double hi)
{
    if (!v.is_number())
        fail(path, v, "is not a number");
    const double d = v.get<double>();
    if (!(d >= lo && d <= hi))
        failRange(path, v, lo, hi);
    return d;
}

bool boolean(const json& v, const std::string& path)
{
    if (!v.is_boolean())
        fail(path, v, "is not true or false");
    return v.get<bool>();
}

std::string text(const json& v, const std::string& path)
{
    if (!v.is_string())
        fail(path, v, "is not a text");
    return v.get<std::string>();
}

FanConfig parseFan(const json& j, const std::string& path)
{
    onlyKeys(
        j, path,
        {"fullSpeedRpm", "pulsesPerRev", "stalled", "invertingDriver", "startDuty", "stopDuty", "spinUpS", "rpmNoise"});
    FanConfig f;
    if (j.contains("fullSpeedRpm"))
        f.fullSpeedRpm = real(j["fullSpeedRpm"], join(path, "fullSpeedRpm"), 100, 20000);
    if (j.contains("pulsesPerRev"))
        f.pulsesPerRev = static_cast<int>(integer(j["pulsesPerRev"], join(path, "pulsesPerRev"), 1, 4));
    if (j.contains("stalled"))
        f.stalled = boolean(j["stalled"], join(path, "stalled"));
    if (j.contains("invertingDriver"))
        f.invertingDriver = boolean(j["invertingDriver"], join(path, "invertingDriver"));
    if (j.contains("startDuty"))
        f.startDutyPct = real(j["startDuty"], join(path, "startDuty"), 0, 100);
    if (j.contains("stopDuty"))
        f.stopDutyPct = real(j["stopDuty"], join(path, "stopDuty"), 0, 100);
    if (f.stopDutyPct > f.startDutyPct)
        fail(join(path, "stopDuty"), j["stopDuty"],
             "is above startDuty: a fan cannot stall above the duty it starts at");
    if (j.contains("spinUpS"))
        f.spinUpS = real(j["spinUpS"], join(path, "spinUpS"), 0.01, 60);
    if (j.contains("rpmNoise"))
        f.rpmNoisePct = real(j["rpmNoise"], join(path, "rpmNoise"), 0, 20);
    return f;
}

ThermalConfig parseThermal(const json& j, const std::string& path, bool dual)
{
    onlyKeys(j, path, {"channel", "fan", "stillAirRiseC", "fullAirflowRiseC", "tauS", "lagS"});
    ThermalConfig t;
    if (!j.contains("channel"))
        fail(path, j, "has no channel (\"remote1\" or \"remote2\")");
    const std::string channel = text(j["channel"], join(path, "channel"));
    if (channel == "remote1")
        t.channel = 1;
    else if (channel == "remote2" && dual)
        t.channel = 2;
    else
        fail(join(path, "channel"), j["channel"],
             dual ? "is not remote1 or remote2" : "is not remote1 (the TFM4410 has one remote channel)");
    t.fan = dual ? t.channel : 1;
    if (j.contains("fan"))
        t.fan = static_cast<int>(integer(j["fan"], join(path, "fan"), 1, dual ? 2 : 1));
    if (j.contains("stillAirRiseC"))
        t.stillAirRiseC = real(j["stillAirRiseC"], join(path, "stillAirRiseC"), 1, 100);
    t.fullAirflowRiseC = t.stillAirRiseC;
    if (j.contains("fullAirflowRiseC"))
        t.fullAirflowRiseC = real(j["fullAirflowRiseC"], join(path, "fullAirflowRiseC"), 1, 100);
    if (t.fullAirflowRiseC > t.stillAirRiseC)
        fail(join(path, "fullAirflowRiseC"), j["fullAirflowRiseC"],
             "is above stillAirRiseC: air cannot warm the diode");
    if (j.contains("tauS"))
        t.tauS = real(j["tauS"], join(path, "tauS"), 0.5, 3600);
    if (j.contains("lagS"))
        t.lagS = real(j["lagS"], join(path, "lagS"), 0, 60);
    return t;
}

ChipConfig parseChip(const json& j, const std::string& path)
{
    onlyKeys(j, path, {"variant", "address", "remote1Open", "remote2Open", "fans", "thermal"});
    ChipConfig c;
    if (j.contains("variant")) {
        const std::string v = text(j["variant"], join(path, "variant"));
        if (v == "TFM4410")
            c.variant = ChipVariant::Tfm4410;
        else if (v == "TFM4411")
            c.variant = ChipVariant::Tfm4411;
        else
            fail(join(path, "variant"), j["variant"], "is not TFM4410 or TFM4411");
    }
    if (j.contains("address")) {
        const uint8_t byte = chipAddressByte(integer(j["address"], join(path, "address"), 0, 255));
        if (byte == 0)
            fail(join(path, "address"), j["address"], ChipAddressForms);
        c.address = byte;
    }
    if (j.contains("remote1Open"))
        c.remote1Open = boolean(j["remote1Open"], join(path, "remote1Open"));
    if (j.contains("remote2Open"))
        c.remote2Open = boolean(j["remote2Open"], join(path, "remote2Open"));
    if (j.contains("fans")) {
        const json& fans = j["fans"];
        const std::string fp = join(path, "fans");
        if (!fans.is_array() || fans.size() > 2)
            fail(fp, fans, "is not a list of at most two fans");
        for (size_t i = 0; i < fans.size(); ++i)
            c.fans[i] = parseFan(fans[i], fp + "[" + std::to_string(i) + "]");
    }
    if (j.contains("thermal")) {
        const json& list = j["thermal"];
        const std::string tp = join(path, "thermal");
        if (!list.is_array() || list.size() > 2)
            fail(tp, list, "is not a list of at most two remote channels");
        const bool dual = c.variant == ChipVariant::Tfm4411;
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string ip = tp + "[" + std::to_string(i) + "]";
            c.thermal.push_back(parseThermal(list[i], ip, dual));
            for (size_t k = 0; k < i; ++k)
                if (c.thermal[k].channel == c.thermal.back().channel)
                    fail(join(ip, "channel"), list[i]["channel"], "is given twice");
        }
    }
    return c;
}

std::vector<ChipConfig> parseChips(const json& j, const std::string& path)
{
    if (!j.is_array())
        fail(path, j, "is not a list");
    std::vector<ChipConfig> chips;
    std::set<int> seen;
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string p = path + "[" + std::to_string(i) + "]";
        chips.push_back(parseChip(j[i], p));
        if (!seen.insert(chips.back().address).second)
            fail(p + ".address", j[i].value("address", json(chips.back().address)), "is used twice on this bus");
    }
    return chips;
}

OtherMasterConfig parseOther(const json& j, const std::string& path)
{
    onlyKeys(j, path, {"mode", "bit", "attempts"});
    OtherMasterConfig o;
    if (j.contains("mode")) {
        const std::string m = text(j["mode"], join(path, "mode"));
        if (m == "none")
            o.mode = OtherMasterConfig::Mode::None;
        else if (m == "holdSclLow")
            o.mode = OtherMasterConfig::Mode::HoldSclLow;
        else if (m == "winArbitration")
            o.mode = OtherMasterConfig::Mode::WinArbitration;
        else
            fail(join(path, "mode"), j["mode"], "is not none, holdSclLow or winArbitration");
    }
    if (j.contains("bit"))
        o.bit = static_cast<int>(integer(j["bit"], join(path, "bit"), 0, 7));
    if (j.contains("attempts"))
        o.attempts = static_cast<int>(integer(j["attempts"], join(path, "attempts"), 0, 100000000));
    return o;
}

PortConfig parsePort(const json& j, const std::string& path)
{
    onlyKeys(j, path, {"base", "adapter", "heldByOtherProcess", "chips", "eeprom", "otherMaster", "faults"});
    PortConfig p;
    if (j.contains("base"))
        p.base = static_cast<uint32_t>(integer(j["base"], join(path, "base"), 1, 0xFFFD));
    if (j.contains("adapter")) {
        const std::string a = text(j["adapter"], join(path, "adapter"));
        if (a == "inverting")
            p.inverting = true;
        else if (a == "non-inverting")
            p.inverting = false;
        else
            fail(join(path, "adapter"), j["adapter"], "is not inverting or non-inverting");
    }
    if (j.contains("heldByOtherProcess"))
        p.heldByOtherProcess = boolean(j["heldByOtherProcess"], join(path, "heldByOtherProcess"));
    if (j.contains("chips"))
        p.chips = parseChips(j["chips"], join(path, "chips"));
    if (j.contains("eeprom"))
        p.eeprom = boolean(j["eeprom"], join(path, "eeprom"));
    if (j.contains("otherMaster"))
        p.otherMaster = parseOther(j["otherMaster"], join(path, "otherMaster"));
    if (j.contains("faults"))
        p.faults = parseFaults(j["faults"], join(path, "faults"));
    return p;
}

I2cAdapterConfig parseI2cAdapter(const json& j, const std::string& path, size_t index, size_t portCount)
{
    onlyKeys(j, path, {"number", "name", "bus", "chips", "pec", "vanishAfter", "driverOwned", "accessDenied"});
    I2cAdapterConfig a;
    a.number = static_cast<int>(index) + 1;
    if (j.contains("number"))
        a.number = static_cast<int>(integer(j["number"], join(path, "number"), 0, 255));
    if (j.contains("name")) {
        a.name = text(j["name"], join(path, "name"));
        if (a.name.empty() || a.name.size() > 63)
            fail(join(path, "name"), j["name"], "is not 1 to 63 characters");
    }
    if (j.contains("bus")) {
        a.bus = text(j["bus"], join(path, "bus"));
        const bool port = a.bus.size() == 5 && a.bus.compare(0, 4, "port") == 0 && a.bus[4] >= '0' &&
                          static_cast<size_t>(a.bus[4] - '0') < portCount;
        if (!port && a.bus != "motherboard" && a.bus != "own")
            fail(join(path, "bus"), j["bus"], "is not a configured port (port0..), motherboard or own");
    }
    if (j.contains("chips")) {
        if (a.bus != "own")
            fail(join(path, "chips"), j["chips"], "needs \"bus\": \"own\"");
        a.chips = parseChips(j["chips"], join(path, "chips"));
    }
    if (j.contains("pec"))
        a.pec = boolean(j["pec"], join(path, "pec"));
    if (j.contains("vanishAfter"))
        a.vanishAfter = static_cast<int>(integer(j["vanishAfter"], join(path, "vanishAfter"), 0, 100000000));
    if (j.contains("driverOwned")) {
        const json& owned = j["driverOwned"];
        if (!owned.is_array())
            fail(join(path, "driverOwned"), owned, "is not a list of 7-bit addresses");
        for (size_t i = 0; i < owned.size(); ++i)
            a.driverOwned.push_back(static_cast<uint8_t>(
                integer(owned[i], join(path, "driverOwned") + "[" + std::to_string(i) + "]", 0x03, 0x77)));
    }
    if (j.contains("accessDenied"))
        a.accessDenied = boolean(j["accessDenied"], join(path, "accessDenied"));
    return a;
}

json chipJson(const ChipConfig& c)
{
    json thermal = json::array();
    for (const ThermalConfig& t : c.thermal)
        thermal.push_back({{"channel", t.channel == 2 ? "remote2" : "remote1"},
                           {"fan", t.fan},
                           {"stillAirRiseC", t.stillAirRiseC},
                           {"fullAirflowRiseC", t.fullAirflowRiseC},
                           {"tauS", t.tauS},
                           {"lagS", t.lagS}});
    json fans = json::array();
    for (const FanConfig& f : c.fans)
        fans.push_back({{"fullSpeedRpm", f.fullSpeedRpm},
                        {"pulsesPerRev", f.pulsesPerRev},
                        {"stalled", f.stalled},
                        {"invertingDriver", f.invertingDriver},
                        {"startDuty", f.startDutyPct},
                        {"stopDuty", f.stopDutyPct},
                        {"spinUpS", f.spinUpS},
                        {"rpmNoise", f.rpmNoisePct}});
    return {{"variant", c.variant == ChipVariant::Tfm4410 ? "TFM4410" : "TFM4411"},
            {"address", c.address},
            {"remote1Open", c.remote1Open},
            {"remote2Open", c.remote2Open},
            {"fans", fans},
            {"thermal", thermal}};
}

}  // namespace

std::string_view presetName(SouthBridgePreset preset)
{
    for (const PresetName& p : kPresets)
        if (p.preset == preset)
            return p.name;
    return "none";
}

std::optional<SouthBridgePreset> presetFromName(std::string_view name)
{
    for (const PresetName& p : kPresets)
        if (p.name == name)
            return p.preset;
    return std::nullopt;
}

static Config parseSettings(std::string_view jsonText)
{
    json root = config_text::parseText(jsonText);
    onlyKeys(root, "", {"ports", "motherboard", "ambientC", "time", "timeScale", "i2cAdapters", "i2cDev"});
    Config c;
    if (root.contains("ports")) {
        const json& ports = root["ports"];
        if (!ports.is_array() || ports.size() > 8)
            fail("ports", ports, "is not a list of at most 8 ports");
        c.ports.clear();
        for (size_t i = 0; i < ports.size(); ++i) {
            const std::string p = "ports[" + std::to_string(i) + "]";
            c.ports.push_back(parsePort(ports[i], p));
            for (size_t k = 0; k < i; ++k) {
                const uint32_t a = c.ports[k].base, b = c.ports[i].base;
                if ((a > b ? a - b : b - a) < 3)
                    fail(p + ".base", ports[i].value("base", json(b)),
                         "overlaps the registers of ports[" + std::to_string(k) + "]");
            }
        }
    }
    if (root.contains("motherboard")) {
        const json& mb = root["motherboard"];
        onlyKeys(mb, "motherboard", {"southBridge", "chips"});
        if (mb.contains("southBridge")) {
            const std::string n = text(mb["southBridge"], "motherboard.southBridge");
            const auto preset = presetFromName(n);
            if (!preset) {
                std::string names;
                for (const PresetName& p : kPresets)
                    names += (names.empty() ? "" : ", ") + std::string(p.name);
                fail("motherboard.southBridge", mb["southBridge"], "is not one of " + names);
            }
            c.motherboard.southBridge = *preset;
        }
        if (mb.contains("chips"))
            c.motherboard.chips = parseChips(mb["chips"], "motherboard.chips");
    }
    if (root.contains("i2cAdapters")) {
        const json& list = root["i2cAdapters"];
        if (!list.is_array() || list.size() > 16)
            fail("i2cAdapters", list, "is not a list of at most 16 adapters");
        c.i2cAdapters.clear();
        std::set<int> numbers;
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string p = "i2cAdapters[" + std::to_string(i) + "]";
            c.i2cAdapters.push_back(parseI2cAdapter(list[i], p, i, c.ports.size()));
            if (!numbers.insert(c.i2cAdapters.back().number).second)
                fail(p + ".number", list[i].value("number", json(c.i2cAdapters.back().number)), "is used twice");
        }
    }
    // The default adapter sits on the first port's bus; on a board without
    // that port it has a bus of its own, and the settings must say so, or
    // they would not read back.
    for (I2cAdapterConfig& a : c.i2cAdapters)
        if (a.bus.size() == 5 && a.bus.compare(0, 4, "port") == 0 &&
            static_cast<size_t>(a.bus[4] - '0') >= c.ports.size())
            a.bus = "own";
    if (root.contains("i2cDev"))
        c.i2cDevLoaded = boolean(root["i2cDev"], "i2cDev");
    if (root.contains("ambientC"))
        c.ambientC = real(root["ambientC"], "ambientC", -40, 85);
    if (root.contains("timeScale"))
        c.timeScale = real(root["timeScale"], "timeScale", 0.01, 1000);
    if (root.contains("time")) {
        const std::string t = text(root["time"], "time");
        if (t == "real")
            c.time = TimeMode::Real;
        else if (t == "manual")
            c.time = TimeMode::Manual;
        else
            fail("time", root["time"], "is not real or manual");
    }
    return c;
}

double airflowRiseC(const ThermalConfig& thermal, double speedShare)
{
    if (!(thermal.fullAirflowRiseC < thermal.stillAirRiseC))
        return thermal.stillAirRiseC;  // no cooling: exactly the still-air rise
    const double still = 1.0 / thermal.stillAirRiseC;
    const double full = 1.0 / thermal.fullAirflowRiseC;
    return 1.0 / (still + (full - still) * std::sqrt(std::clamp(speedShare, 0.0, 1.0)));
}

ThermalConfig ChipConfig::thermalOf(int channel) const
{
    for (const ThermalConfig& t : thermal)
        if (t.channel == channel)
            return t;
    ThermalConfig t;
    t.channel = channel;
    t.fan = variant == ChipVariant::Tfm4411 ? channel : 1;
    return t;
}

Config parseConfig(std::string_view jsonText)
{
    try {
        return parseSettings(jsonText);
    } catch (const nlohmann::json::exception& e) {
        // Settings are checked before they are used; this only keeps a
        // library exception from ever leaving the reader as itself.
        throw ConfigError("cannot be read: " + config_text::shortText(e.what()));
    }
}

Config loadConfigFile(const std::string& path)
{
    const std::string text = config_text::readFile(path);
    try {
        return parseConfig(text);
    } catch (const ConfigError& e) {
        throw ConfigError(path + ": " + e.what());
    }
}

std::string toJson(const Config& config)
{
    json ports = json::array();
    for (const PortConfig& p : config.ports) {
        json chips = json::array();
        for (const ChipConfig& c : p.chips)
            chips.push_back(chipJson(c));
        const char* mode = "none";
        if (p.otherMaster.mode == OtherMasterConfig::Mode::HoldSclLow)
            mode = "holdSclLow";
        else if (p.otherMaster.mode == OtherMasterConfig::Mode::WinArbitration)
            mode = "winArbitration";
        ports.push_back(
            {{"base", p.base},
             {"adapter", p.inverting ? "inverting" : "non-inverting"},
             {"heldByOtherProcess", p.heldByOtherProcess},
             {"chips", chips},
             {"eeprom", p.eeprom},
             {"otherMaster", {{"mode", mode}, {"bit", p.otherMaster.bit}, {"attempts", p.otherMaster.attempts}}},
             {"faults", faultsJson(p.faults)}});
    }
    json mbChips = json::array();
    for (const ChipConfig& c : config.motherboard.chips)
        mbChips.push_back(chipJson(c));
    json root = {
        {"ports", ports},
        {"motherboard", {{"southBridge", std::string(presetName(config.motherboard.southBridge))}, {"chips", mbChips}}},
        {"ambientC", config.ambientC},
        {"time", config.time == TimeMode::Real ? "real" : "manual"},
        {"timeScale", config.timeScale}};
    json adapters = json::array();
    for (const I2cAdapterConfig& a : config.i2cAdapters) {
        json chips = json::array();
        for (const ChipConfig& c : a.chips)
            chips.push_back(chipJson(c));
        json entry = {{"number", a.number},
                      {"name", a.name},
                      {"bus", a.bus},
                      {"pec", a.pec},
                      {"vanishAfter", a.vanishAfter},
                      {"driverOwned", a.driverOwned},
                      {"accessDenied", a.accessDenied}};
        if (a.bus == "own")
            entry["chips"] = chips;
        adapters.push_back(entry);
    }
    root["i2cAdapters"] = adapters;
    root["i2cDev"] = config.i2cDevLoaded;

    return root.dump(2);
}

}  // namespace sim
