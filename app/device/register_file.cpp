#include "device/register_file.h"

#include "device/numbers.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace device {

namespace {

constexpr std::array<std::size_t, 17> SingleChannelSet = [] {
    std::array<std::size_t, 17> out{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < SavedRegisters.size(); ++i)
        if (!SavedRegisters[i].tfm4411Only)
            out[n++] = i;
    return out;
}();

constexpr std::array<std::size_t, 24> DualChannelSet = [] {
    std::array<std::size_t, 24> out{};
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = i;
    return out;
}();

std::span<const std::size_t> savedSet(int deviceId)
{
    if (deviceId == DeviceIdTFM4410)
        return SingleChannelSet;
    return DualChannelSet;
}

const SavedRegister* savedRegister(std::uint8_t address)
{
    for (const SavedRegister& r : SavedRegisters)
        if (r.address == address)
            return &r;
    return nullptr;
}

std::string_view trimRight(std::string_view s)
{
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

// "<hex digits>h" with optional trailing blanks, value 0..255. Leading zeros
// are allowed ("0Dh"); the saved files never write more than two digits, but
// a hand-edited "00Ah" still means 0x0A.
std::optional<std::uint8_t> parseHexField(std::string_view field)
{
    field = trimRight(field);
    if (field.size() < 2 || field.back() != 'h')
        return std::nullopt;
    const std::optional<unsigned> value = parseNumber(field, 0xFF);
    if (!value)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

std::string_view fileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "not a regular file";
}

std::string lineError(std::size_t line, std::string_view what)
{
    return "line " + std::to_string(line) + ": " + std::string(what);
}

}  // namespace

std::string savedLine(const std::tm& localTime)
{
    char buffer[64];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d at %H:%M:%S", &localTime);
    return std::string(FileSavedPrefix) + std::string(buffer, n);
}

std::string valueText(std::uint8_t value)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    if (value >= 0x10)
        out += digits[value >> 4];
    out += digits[value & 0x0F];
    out += 'h';
    return out;
}

std::vector<std::string> registerFileLines(int deviceId, const std::tm& localTime,
                                           const std::function<std::uint8_t(std::uint8_t)>& readValue)
{
    std::vector<std::string> lines;
    lines.reserve(5 + 24);
    lines.emplace_back(fileTitle(deviceId));
    lines.push_back(savedLine(localTime));
    lines.emplace_back();
    lines.emplace_back(FileColumnHeading);
    lines.emplace_back();
    for (std::size_t i : savedSet(deviceId)) {
        const SavedRegister& r = SavedRegisters[i];
        std::string line(r.fileName);
        line += '\t';
        line += r.fileAddress;
        line += '\t';
        line += valueText(readValue(r.address));
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::string> registerFileLines(int deviceId, const std::tm& localTime,
                                           std::span<const RegisterValue> values)
{
    return registerFileLines(deviceId, localTime, [values](std::uint8_t address) -> std::uint8_t {
        for (const RegisterValue& v : values)
            if (v.address == address)
                return v.value;
        return 0;
    });
}

std::string registerPreviewLine(const SavedRegister& reg, std::uint8_t value)
{
    // Names shorter than one tab column get a second TAB so the address
    // column lines up under the heading.
    std::string_view name = reg.name();
    std::string line(name);
    line += name.size() < 16 ? "\t\t" : "\t";
    line += reg.addressLabel();
    line += "\t\t";
    line += valueText(value);
    return line;
}

std::string registerFileText(std::span<const std::string> lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += FileLineEnd;
    }
    text += FileLineEnd;
    return text;
}

std::string writeFileReplacing(const std::filesystem::path& requested, std::string_view content)
{
    namespace fs = std::filesystem;
    if (requested.empty() || !requested.has_filename())
        return "No file name was given.";

    // A symbolic link names the file to save: replace its target, so the link
    // keeps pointing at the saved contents.
    fs::path path = requested;
    struct stat st { };
    for (int hops = 0; ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(path, ec);
        if (ec)
            return "Cannot follow " + path.string() + ": " + ec.message();
        if (hops == 40)
            return "Cannot save to " + requested.string() + ": too many levels of symbolic links";
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    const bool exists = ::lstat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return "Cannot save to " + path.string() + ": " + std::strerror(errno);

    mode_t mode = 0666;  // a new file: what the user's umask makes of it
    if (exists) {
        // Renaming over anything but a regular file would replace the device,
        // pipe or socket itself; a folder cannot be replaced at all.
        if (!S_ISREG(st.st_mode))
            return path.string() + " is " + std::string(fileKind(st.st_mode)) +
                   ", not a regular file; nothing was saved";
        // The other names of a hard-linked file would keep the old contents
        // after a rename, and writing in place could leave a half-written file
        // under all of them: refuse rather than do either.
        if (st.st_nlink > 1)
            return path.string() + " has " + std::to_string(st.st_nlink) +
                   " names (hard links); nothing was saved. Save under another name.";
        // The rename would replace a file the user may not write; refuse as a
        // plain overwrite would.
        if (::access(path.c_str(), W_OK) != 0)
            return "Cannot write " + path.string() + ": " + std::strerror(errno);
        mode = st.st_mode & 0777;  // never setuid, setgid or sticky on saved data
    }
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();

    // A unique name beside the target, so the rename stays on one file system,
    // created with the final mode (never wider), so a private file's
    // replacement is never readable by others.
    std::random_device rd;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[16];
        (void)std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(rd()));
        std::string name = ".";  // appended, not concatenated: GCC 12 misreads the latter at -O3
        name += path.filename().string();
        name += suffix;
        temp = (folder / name).string();
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return "Cannot create a file in " + folder.string() + ": " + std::strerror(errno);
    if (exists) {
        // Saving as another user (root) keeps the file its owner's where it may;
        // then the mode the umask narrowed at creation.
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Not permitted for an ordinary user, and then the file is theirs anyway.
        }
        ::fchmod(fd, mode);
    }

    auto fail = [&](const char* what) {
        std::string message = std::string(what) + " " + path.string() + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return message;
    };
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail("Cannot write");
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        return fail("Cannot write");
    if (::close(fd) != 0) {
        fd = -1;
        std::string message = "Cannot write " + path.string() + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return message;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        std::string message = "Cannot replace " + path.string() + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return message;
    }
    // The new name lasts once the folder itself reaches the disk.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

RegisterFileResult parseRegisterFile(std::string_view text)
{
    RegisterFileResult result;
    if (text.size() > MaxRegisterFileSize) {
        result.error = "the file is too large to be a register file";
        return result;
    }

    // Split into CR LF lines; a lone CR or LF anywhere is not a register file.
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) {
            result.error = lineError(lines.size() + 1, "the line does not end with CR LF");
            return result;
        }
        std::string_view line = text.substr(pos, end - pos);
        if (line.find_first_of("\r\n") != std::string_view::npos) {
            result.error = lineError(lines.size() + 1, "stray CR or LF inside the line");
            return result;
        }
        lines.push_back(line);
        pos = end + 2;
    }

    if (lines.empty()) {
        result.error = "the file is empty";
        return result;
    }
    RegisterFile file;
    if (lines[0] == FileTitleTFM4410)
        file.titleDeviceId = DeviceIdTFM4410;
    else if (lines[0] == FileTitleTFM4411)
        file.titleDeviceId = DeviceIdTFM4411;
    else {
        result.error = lineError(1, "not a register file title");
        return result;
    }
    if (lines.size() < 5 || !lines[1].starts_with(FileSavedPrefix) || !lines[2].empty() ||
        lines[3] != FileColumnHeading || !lines[4].empty()) {
        result.error = "lines 2 to 5: the date line, column heading and empty lines are not as saved";
        return result;
    }

    const std::span<const std::size_t> expected = savedSet(file.titleDeviceId);
    std::vector<bool> seen(SavedRegisters.size(), false);
    std::size_t n = 5;
    for (; n < lines.size() && !lines[n].empty(); ++n) {
        const std::size_t lineNo = n + 1;
        std::string_view line = lines[n];
        std::size_t tab1 = line.find('\t');
        std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos || line.find('\t', tab2 + 1) != std::string_view::npos) {
            result.error = lineError(lineNo, "expected name, address and value separated by single TABs");
            return result;
        }
        std::optional<std::uint8_t> address = parseHexField(line.substr(tab1 + 1, tab2 - tab1 - 1));
        const SavedRegister* reg = address ? savedRegister(*address) : nullptr;
        if (!reg) {
            result.error = lineError(lineNo, "the address is not one of the saved registers");
            return result;
        }
        const std::size_t index = static_cast<std::size_t>(reg - SavedRegisters.data());
        if (reg->tfm4411Only && file.titleDeviceId == DeviceIdTFM4410) {
            result.error = lineError(lineNo, "the register does not belong to the title's chip");
            return result;
        }
        if (trimRight(line.substr(0, tab1)) != reg->name()) {
            result.error = lineError(lineNo, "the name does not match the address");
            return result;
        }
        if (seen[index]) {
            result.error = lineError(lineNo, "the register appears twice");
            return result;
        }
        std::optional<std::uint8_t> value = parseHexField(line.substr(tab2 + 1));
        if (!value) {
            result.error = lineError(lineNo, "the value is not 0h to FFh");
            return result;
        }
        seen[index] = true;
        file.registers.push_back({*address, *value});
    }
    for (; n < lines.size(); ++n) {
        if (!lines[n].empty()) {
            result.error = lineError(n + 1, "text after the register lines");
            return result;
        }
    }
    if (file.registers.size() != expected.size()) {
        result.error = "the file holds " + std::to_string(file.registers.size()) + " of the " +
                       std::to_string(expected.size()) + " registers its title names";
        return result;
    }
    result.file = std::move(file);
    return result;
}

RegisterFileText readRegisterFileText(const std::filesystem::path& path)
{
    RegisterFileText result;
    const auto refuse = [&](std::string why) {
        result.error = std::move(why);
        return result;
    };
    // Look before opening, so a device is never opened at all; the check that
    // counts is the one on the opened file, which no swap of the name between
    // the two can get past.
    struct stat st { };
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return refuse("the file is " + std::string(fileKind(st.st_mode)) + ", not a register file");
    // Non-blocking: opening a named pipe for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return refuse("cannot open " + path.string() + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0)
        return refuse("cannot read " + path.string() + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return refuse("the file is " + std::string(fileKind(st.st_mode)) + ", not a register file");
    if (static_cast<std::uintmax_t>(st.st_size) > MaxRegisterFileSize)
        return refuse("the file is too large to be a register file");

    // Read at most one byte past the limit, so a file that grows meanwhile is
    // still refused unread.
    std::string text(MaxRegisterFileSize + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return refuse("cannot read " + path.string() + ": " + std::strerror(errno));
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    result.text = std::move(text);
    return result;
}

RegisterFileResult readRegisterFile(const std::filesystem::path& path)
{
    RegisterFileText text = readRegisterFileText(path);
    if (!text.error.empty()) {
        RegisterFileResult result;
        result.error = std::move(text.error);
        return result;
    }
    return parseRegisterFile(text.text);
}

std::vector<RegisterValue> recallWrites(const RegisterFile& file, int connectedDeviceId)
{
    std::vector<RegisterValue> writes;
    for (const RegisterValue& v : file.registers) {
        const SavedRegister* reg = savedRegister(v.address);
        if (reg && (!reg->tfm4411Only || connectedDeviceId != DeviceIdTFM4410))
            writes.push_back(v);
    }
    return writes;
}

}  // namespace device
