// A described PC for the Linux motherboard helper: PCI functions under
// sys/bus/pci/devices (config, resource, driver links), proc/ioports and the
// lockdown file, in a temporary folder that VEXLINK06_LINUX_ROOT names. With
// that variable set the helper records what it would do to the machine in
// helper.log there and never touches a real port.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace support {

struct FakeFunction {
    std::string name;      // "0000:00:1f.3"
    std::uint32_t id = 0;  // configuration dword 0
    std::uint32_t classDword = 0;
    std::map<std::uint8_t, std::uint32_t> dwords;  // further registers
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ioResources;
    std::string driver;  // bound kernel driver, and its module
    std::string module;
    std::size_t configSize = 256;  // 64: what an unprivileged reader gets
    mode_t configMode = 0644;
};

struct FakeMachine {
    std::vector<FakeFunction> functions;
    std::string ioports;
    std::string lockdown = "[none] integrity confidentiality\n";
};

inline void writeFile(const std::filesystem::path& p, const std::string& text)
{
    std::ofstream(p, std::ios::binary) << text;
}

// Lays `machine` out under `root`, which must not exist yet.
inline void layOut(const FakeMachine& machine, const std::filesystem::path& root)
{
    namespace fs = std::filesystem;
    const fs::path devices = root / "sys/bus/pci/devices";
    fs::create_directories(devices);
    fs::create_directories(root / "proc");
    fs::create_directories(root / "sys/kernel/security");
    writeFile(root / "proc/ioports", machine.ioports);
    writeFile(root / "sys/kernel/security/lockdown", machine.lockdown);
    for (const FakeFunction& f : machine.functions) {
        const fs::path dir = devices / f.name;
        fs::create_directories(dir);
        std::vector<std::uint32_t> config(256 / 4, 0);
        config[0] = f.id;
        config[2] = f.classDword;
        for (const auto& [reg, value] : f.dwords)
            config[reg / 4] = value;
        std::ofstream(dir / "config", std::ios::binary)
            .write(reinterpret_cast<const char*>(config.data()), static_cast<std::streamsize>(f.configSize));
        ::chmod((dir / "config").c_str(), f.configMode);
        std::ostringstream resource;
        for (const auto& [first, last] : f.ioResources) {
            char line[80];
            std::snprintf(line, sizeof line, "0x%016x 0x%016x 0x%016x\n", first, last, 0x40101u);
            resource << line;
        }
        for (std::size_t i = f.ioResources.size(); i < 13; ++i)
            resource << "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
        writeFile(dir / "resource", resource.str());
        if (!f.driver.empty()) {
            const fs::path driverDir = root / "sys/bus/pci/drivers" / f.driver;
            const fs::path moduleDir = root / "sys/module" / f.module;
            fs::create_directories(driverDir);
            fs::create_directories(moduleDir);
            fs::create_directory_symlink(driverDir, dir / "driver");
            fs::create_directory_symlink(moduleDir, driverDir / "module");
        }
    }
    // Writable by an unprivileged helper too.
    writeFile(root / "helper.log", "");
    ::chmod((root / "helper.log").c_str(), 0666);
}

// The helper's record, one action a line ("permit EFA0-EFA0", "config-write
// 0000:00:1f.3 40 00010001", "out EFA4 005B", ...).
inline std::vector<std::string> helperLog(const std::filesystem::path& root)
{
    std::ifstream in(root / "helper.log");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

}  // namespace support
