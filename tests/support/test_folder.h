#pragma once
// A folder of its own for the running test, named by the program's pid and the
// test's name. A parameterised test's name holds a '/', which would nest the
// folder and leave its parent behind, so it becomes '_'.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>

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

// The whole file, bytes as they are; "" when it cannot be read.
inline std::string slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// freshTestFolder for as long as the object lives: removed with everything
// in it at the end, also where the test took the owner's permissions away.
class TestFolder {
public:
    explicit TestFolder(const std::string& prefix) : path(freshTestFolder(prefix)) { }
    ~TestFolder()
    {
        std::error_code ec;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path, ec);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    std::filesystem::path write(const std::string& name, const std::string& content) const
    {
        return writeFile(path, name, content);
    }
    // What the folder holds, e.g. to see that no temporary file was left.
    std::size_t entries() const
    {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(path), std::filesystem::directory_iterator()));
    }

    const std::filesystem::path path;
};

}  // namespace support
