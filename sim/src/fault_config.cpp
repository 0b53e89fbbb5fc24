#include "fault_config.h"

#include <cmath>
#include <cstdio>

#include "sim/config.h"

namespace sim {

namespace {

using nlohmann::json;

struct KindName {
    FaultConfig::Kind kind;
    const char* name;
};

constexpr KindName kKinds[] = {
    {FaultConfig::Kind::ChipGone, "chipGone"},
    {FaultConfig::Kind::SclLow, "sclLow"},
    {FaultConfig::Kind::SdaLow, "sdaLow"},
    {FaultConfig::Kind::OtherMaster, "otherMaster"},
};

// Scalars as written, texts cut short, lists and objects by size: a message
// never carries a whole value.
std::string shown(const json& v)
{
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (s.size() > 40)
            s = s.substr(0, 40) + "...";
        for (char& c : s)
            if (static_cast<unsigned char>(c) < 0x20)
                c = '?';
        return '"' + s + '"';
    }
    if (v.is_array())
        return "[a list of " + std::to_string(v.size()) + "]";
    if (v.is_object())
        return "{an object of " + std::to_string(v.size()) + " keys}";
    return v.dump();
}

[[noreturn]] void fail(const std::string& path, const json& v, const std::string& why)
{
    throw ConfigError(path + ": " + shown(v) + " " + why);
}

// Milliseconds of board time: a JSON number, 0 or more, finite.
double milliseconds(const json& v, const std::string& path)
{
    if (!v.is_number())
        fail(path, v, "is not a number of milliseconds");
    const double d = v.get<double>();
    if (!std::isfinite(d) || d < 0 || d > 1e12)
        fail(path, v, "is out of range (0 to 1e12 ms)");
    return d;
}

long long count(const json& v, const std::string& path, long long hi)
{
    // Range-checked as a double before any conversion.
    if (!v.is_number() || v.get<double>() != std::floor(v.get<double>()))
        fail(path, v, "is not a whole number");
    const double d = v.get<double>();
    if (!(d >= 0 && d <= static_cast<double>(hi)))
        fail(path, v, "is out of range (0 to " + std::to_string(hi) + ")");
    return static_cast<long long>(d);
}

uint8_t chipAddress(const json& v, const std::string& path)
{
    long long a = -1;
    if (v.is_number_integer()) {
        a = v.get<long long>();
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        char* end = nullptr;
        const long n = std::strtol(s.c_str(), &end, 0);
        if (!s.empty() && end && *end == '\0')
            a = n;
    }
    const uint8_t byte = chipAddressByte(a);
    if (byte == 0)
        fail(path, v, ChipAddressForms);
    return byte;
}

FaultConfig parseFault(const json& j, const std::string& path)
{
    if (!j.is_object())
        fail(path, j, "is not an object");
    if (!j.contains("kind"))
        fail(path, j, "has no kind (chipGone, sclLow, sdaLow or otherMaster)");
    FaultConfig f;
    const json& kind = j["kind"];
    bool known = false;
    for (const KindName& k : kKinds) {
        if (kind.is_string() && kind.get<std::string>() == k.name) {
            f.kind = k.kind;
            known = true;
        }
    }
    if (!known)
        fail(path + ".kind", kind, "is not chipGone, sclLow, sdaLow or otherMaster");

    const bool gone = f.kind == FaultConfig::Kind::ChipGone;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& key = it.key();
        const std::string p = path + "." + (key.size() > 40 ? key.substr(0, 40) + "..." : key);
        if (key == "kind")
            continue;
        if (gone && key == "address")
            f.address = chipAddress(it.value(), p);
        else if (gone && key == "afterTransfers")
            f.afterTransfers = count(it.value(), p, 1'000'000'000'000LL);
        else if (gone && key == "atMs")
            f.atMs = milliseconds(it.value(), p);
        else if (!gone && key == "fromMs")
            f.fromMs = milliseconds(it.value(), p);
        else if (!gone && key == "toMs")
            f.toMs = milliseconds(it.value(), p);
        else if (f.kind == FaultConfig::Kind::OtherMaster && key == "bit")
            f.bit = static_cast<int>(count(it.value(), p, 7));
        else
            fail(p, it.value(), "is not a known setting of a " + kind.get<std::string>() + " fault");
    }
    if (gone && f.afterTransfers < 0 && f.atMs == FaultConfig::kNever)
        fail(path, j, "needs afterTransfers or atMs");
    if (!gone && f.toMs <= f.fromMs)
        fail(path + ".toMs", j["toMs"], "is not after fromMs");
    return f;
}

}  // namespace

std::vector<FaultConfig> parseFaults(const json& list, const std::string& path)
{
    if (!list.is_array() || list.size() > 64)
        fail(path, list, "is not a list of at most 64 faults");
    std::vector<FaultConfig> faults;
    for (size_t i = 0; i < list.size(); ++i)
        faults.push_back(parseFault(list[i], path + "[" + std::to_string(i) + "]"));
    return faults;
}

json faultsJson(const std::vector<FaultConfig>& faults)
{
    json out = json::array();
    for (const FaultConfig& f : faults) {
        json j;
        for (const KindName& k : kKinds)
            if (k.kind == f.kind)
                j["kind"] = k.name;
        if (f.kind == FaultConfig::Kind::ChipGone) {
            if (f.address)
                j["address"] = f.address;
            if (f.afterTransfers >= 0)
                j["afterTransfers"] = f.afterTransfers;
            if (f.atMs != FaultConfig::kNever)
                j["atMs"] = f.atMs;
        } else {
            j["fromMs"] = f.fromMs;
            if (f.toMs != FaultConfig::kNever)
                j["toMs"] = f.toMs;
            if (f.kind == FaultConfig::Kind::OtherMaster)
                j["bit"] = f.bit;
        }
        out.push_back(j);
    }
    return out;
}

}  // namespace sim
