#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace board {
namespace {

struct LogState {
    std::string path;
    std::size_t limit = DefaultLogLimit;
};

LogState g_log;

// Points stdout's and stderr's descriptors at a freshly opened `path`.
bool openOnto(const std::string& path, int extraFlags)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | extraFlags, 0600);
    if (fd < 0)
        return false;
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    return true;
}

// Moves the log aside when `incoming` more bytes would take it past the
// limit, so the newest lines always stand in the log itself. A log that
// holds nothing yet takes a line of any length.
void rotateBefore(std::size_t incoming)
{
    struct stat st { };
    if (::fstat(STDOUT_FILENO, &st) != 0 || st.st_size == 0 ||
        static_cast<std::size_t>(st.st_size) + incoming <= g_log.limit)
        return;
    // A failed rename still truncates: a full log is worth less than a bound.
    ::rename(g_log.path.c_str(), (g_log.path + ".1").c_str());
    openOnto(g_log.path, O_TRUNC);
}

ssize_t writeLog(void*, const char* buffer, size_t size)
{
    rotateBefore(size);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDOUT_FILENO, buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

std::optional<std::string> logTo(const std::string& path, std::size_t limitBytes)
{
    g_log = {path, limitBytes};
    if (!openOnto(path, 0))
        return "cannot open the log " + path + ": " + std::strerror(errno);
    // A log already at its limit from an earlier run starts afresh.
    rotateBefore(1);
    // stdout becomes a stream whose every write checks the size; glibc lets
    // the standard streams be replaced like this.
    cookie_io_functions_t functions{};
    functions.write = writeLog;
    FILE* stream = ::fopencookie(nullptr, "w", functions);
    if (stream == nullptr)
        return "cannot open the log " + path + ": " + std::strerror(errno);
    std::fflush(stdout);
    std::setvbuf(stream, nullptr, _IOLBF, 0);
    stdout = stream;
    return std::nullopt;
}

}  // namespace board
