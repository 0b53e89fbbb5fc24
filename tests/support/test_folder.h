#pragma once
// A folder of its own for the running test, named by the program's pid and the
// test's name. A parameterised test's name holds a '/', which would nest the
// folder and leave its parent behind, so it becomes '_'.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

namespace support {

inline std::filesystem::path freshTestFolder(const std::string& prefix)
{
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const auto dir = std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::filesystem::path writeFile(const std::filesystem::path& dir, const std::string& name,
                                       const std::string& content)
{
    const auto p = dir / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
}

}  // namespace support
