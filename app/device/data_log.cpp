#include "device/data_log.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device/register_map.h"

namespace device {

std::string_view logHeader(int deviceId) { return deviceId == DeviceIdTFM4410 ? LogHeaderTFM4410 : LogHeaderTFM4411; }

std::string logNumber(float value, char decimalPoint)
{
    if (value == 0.0f)
        value = 0.0f;  // never "-0"
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 7);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    for (char& c : text)
        if (c == '.')
            c = decimalPoint;
    if (!std::signbit(value))
        text.insert(text.begin(), ' ');
    text += ' ';
    return text;
}

std::string logRow(int hour, int minute, int second, const LogReadings& r, int deviceId, char decimalPoint)
{
    char time[16];
    (void)std::snprintf(time, sizeof time, "%02d:%02d:%02d", hour, minute, second);
    std::string row = "\r";
    row += time;
    row += '\t';
    row += logNumber(r.local, decimalPoint);
    row += '\t';
    row += logNumber(r.remote1, decimalPoint);
    row += '\t';
    row += logNumber(r.fan1, decimalPoint);
    row += '\t';
    row += r.pwm1;
    if (deviceId != DeviceIdTFM4410) {
        row += '\t';
        row += logNumber(r.remote2, decimalPoint);
        row += '\t';
        row += logNumber(r.fan2, decimalPoint);
        row += '\t';
        row += r.pwm2;
    }
    row += "\r\n";
    return row;
}

double leadingNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    text.remove_prefix(i);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    (void)ptr;
    if (ec != std::errc() || !std::isfinite(value))
        return 0;
    return value;
}

bool isLogFileName(std::string_view name) { return name.ends_with(LogFileSuffix); }

std::string appendToFile(const std::filesystem::path& path, std::string_view bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0)
        return std::strerror(errno);
    // Where the last complete row ends: a write that fails part-way (a full
    // disk) is cut back to here, so the file never holds half a row for the
    // next run's restart marker to follow.
    struct stat st { };
    const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const auto cutBack = [&](int descriptor) {
        if (sized && ::ftruncate(descriptor, st.st_size) != 0) {
            // Nothing more can be done; the caller reports the write failure.
        }
    };
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int writeErrno = n < 0 ? errno : ENOSPC;
            cutBack(fd);
            ::close(fd);
            return std::strerror(writeErrno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        // Some file systems report a lack of space only when the file is closed.
        const int closeErrno = errno;
        if (const int again = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY); again >= 0) {
            cutBack(again);
            ::close(again);
        }
        return std::strerror(closeErrno);
    }
    return {};
}

bool fileHasContent(const std::filesystem::path& path)
{
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return !ec && size > 0;
}

bool LogSchedule::takeRow(Clock::time_point now, double delaySeconds)
{
    bool due = delaySeconds <= 0 || !m_last || std::chrono::duration<double>(now - *m_last).count() >= delaySeconds;
    if (due)
        m_last = now;
    return due;
}

}  // namespace device
