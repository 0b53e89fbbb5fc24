#include "fileio/safe_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fileio {

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

ReadOutcome readRegularFile(const std::filesystem::path& path, std::size_t maxSize)
{
    ReadOutcome result;
    const auto fail = [&result](ReadFailure failure, int error = 0) {
        result.failure = failure;
        result.error = error;
        result.text.clear();
        return result;
    };
    // Look before opening, so a device is never opened at all; the check that
    // counts is the one on the opened file, which no swap of the name between
    // the two can get past.
    struct stat st { };
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        result.mode = st.st_mode;
        return fail(ReadFailure::NotRegular);
    }
    // Non-blocking: opening a named pipe for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fail(ReadFailure::CannotOpen, errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0)
        return fail(ReadFailure::CannotRead, errno);
    if (!S_ISREG(st.st_mode)) {
        result.mode = st.st_mode;
        return fail(ReadFailure::NotRegular);
    }
    if (static_cast<std::uintmax_t>(st.st_size) > maxSize)
        return fail(ReadFailure::TooLarge);

    // Read at most one byte past the limit, so a file that grows meanwhile is
    // still refused.
    result.text.assign(maxSize + 1, '\0');
    std::size_t got = 0;
    while (got < result.text.size()) {
        const ssize_t n = ::read(fd, result.text.data() + got, result.text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(ReadFailure::CannotRead, errno);
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got > maxSize)
        return fail(ReadFailure::TooLarge);
    result.text.resize(got);
    return result;
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

}  // namespace fileio
