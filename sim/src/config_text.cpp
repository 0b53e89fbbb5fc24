#include "config_text.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <set>
#include <vector>

#include "fileio/safe_file.h"

#include "sim/config.h"

namespace sim::config_text {

namespace {

using nlohmann::json;

// A pass over the text that the DOM parser does not make: it bounds the
// nesting, refuses a key given twice in one object (the parser would keep
// the last silently), and knows which field it was reading when the text
// went wrong, so that message can name it.
class Checker {
public:
    std::string error;

    bool null() { return value(); }
    bool boolean(bool) { return value(); }
    bool number_integer(json::number_integer_t) { return value(); }
    bool number_unsigned(json::number_unsigned_t) { return value(); }
    bool number_float(json::number_float_t, const std::string&) { return value(); }
    bool string(std::string&) { return value(); }
    bool binary(json::binary_t&) { return value(); }
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& k)
    {
        Frame& f = m_stack.back();
        f.key = k;
        if (!f.keys.insert(k).second)
            return refuse(path() + ": is given twice in one object");
        return true;
    }

    bool parse_error(std::size_t, const std::string& lastToken, const nlohmann::detail::exception& ex)
    {
        if (ex.id == 406)  // the lexer's "number overflow": beyond the range of a double
            return refuse(path() + ": " + shortText(lastToken) + " is too large for a number");
        // The parser's explanation quotes the token it stopped at, which may
        // be a whole long text: quote a short piece of it instead.
        std::string why = ex.what();
        if (const auto close = why.find("] "); why.starts_with("[json.exception.") && close != std::string::npos)
            why.erase(0, close + 2);
        if (lastToken.size() > kExcerptBytes)
            if (const auto at = why.find(lastToken); at != std::string::npos)
                why.replace(at, lastToken.size(), shortText(lastToken));
        if (why.size() > 4 * kExcerptBytes) {
            why.resize(4 * kExcerptBytes);
            why += "...";
        }
        return refuse("not valid JSON: " + why + (m_stack.empty() ? "" : " (in " + path() + ")"));
    }

private:
    struct Frame {
        bool object = false;
        std::string key;        // the key being read, in an object
        std::size_t index = 0;  // the entry being read, in a list
        std::set<std::string, std::less<>> keys;
    };
    std::vector<Frame> m_stack;

    bool refuse(std::string message)
    {
        if (error.empty())
            error = std::move(message);
        return false;
    }

    bool open(bool object)
    {
        if (m_stack.size() >= kMaxNesting)
            return refuse(path() + ": nests deeper than " + std::to_string(kMaxNesting) + " levels");
        m_stack.push_back(Frame{object, {}, 0, {}});
        return true;
    }

    bool close()
    {
        m_stack.pop_back();
        return value();
    }

    bool value()
    {
        if (!m_stack.empty() && !m_stack.back().object)
            ++m_stack.back().index;
        return true;
    }

    std::string path() const
    {
        std::string p;
        for (const Frame& f : m_stack) {
            if (f.object)
                p = f.key.empty() && f.keys.empty() ? p : joinPath(p, f.key);
            else
                p += "[" + std::to_string(f.index) + "]";
        }
        return p.empty() ? "the top level" : p;
    }
};

[[noreturn]] void fileError(const std::string& path, const std::string& why) { throw ConfigError(path + ": " + why); }

}  // namespace

std::string shortText(std::string_view s)
{
    std::size_t n = s.size();
    bool cut = false;
    if (n > kExcerptBytes) {
        n = kExcerptBytes;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
            --n;
        cut = true;
    }
    std::string out;
    out.reserve(n + 3);
    for (char c : s.substr(0, n))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    if (cut)
        out += "...";
    return out;
}

std::string excerpt(const json& value)
{
    switch (value.type()) {
    case json::value_t::string: return '"' + shortText(value.get_ref<const std::string&>()) + '"';
    case json::value_t::array: return "[a list of " + std::to_string(value.size()) + "]";
    case json::value_t::object: return "{an object of " + std::to_string(value.size()) + " keys}";
    case json::value_t::binary:
    case json::value_t::discarded: return "(a value)";
    default: return value.dump();  // null, true, false or a number: short by nature
    }
}

std::string joinPath(const std::string& path, std::string_view key)
{
    return path.empty() ? shortText(key) : path + "." + shortText(key);
}

TextNumber integerFromText(std::string_view s, long long& out)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    } else if (s.size() > 1 && s[0] == '0') {
        base = 8;
        s.remove_prefix(1);
    }
    if (s.empty() || s.front() == '+' || s.front() == '-')
        return TextNumber::NotANumber;
    unsigned long long magnitude = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (end != s.data() + s.size())
        return TextNumber::NotANumber;
    if (ec == std::errc::result_out_of_range ||
        magnitude > static_cast<unsigned long long>(std::numeric_limits<long long>::max()))
        return TextNumber::TooLarge;
    if (ec != std::errc())
        return TextNumber::NotANumber;
    out = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return TextNumber::Ok;
}

json parseText(std::string_view text)
{
    if (text.size() > kMaxFileSize)
        throw ConfigError("is larger than " + std::to_string(kMaxFileSize / 1024) + " KiB");
    try {
        Checker checker;
        if (!json::sax_parse(text.begin(), text.end(), &checker))
            throw ConfigError(checker.error.empty() ? std::string("not valid JSON") : checker.error);
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        // The checker has read the same text, so this is not expected; kept
        // so that no library exception leaves the reader as anything else.
        throw ConfigError("not valid JSON: " + shortText(e.what()));
    }
}

std::string readFile(const std::string& path)
{
    fileio::ReadOutcome read = fileio::readRegularFile(path, kMaxFileSize);
    switch (read.failure) {
    case fileio::ReadFailure::None: break;
    case fileio::ReadFailure::NotRegular:
        fileError(path, "is " + std::string(fileio::fileKind(read.mode)) + ", not a configuration file");
    case fileio::ReadFailure::CannotOpen:
        fileError(path, std::string("cannot be opened (") + std::strerror(read.error) + ")");
    case fileio::ReadFailure::CannotRead:
        fileError(path, std::string("cannot be read (") + std::strerror(read.error) + ")");
    case fileio::ReadFailure::TooLarge:
        fileError(path,
                  "is larger than " + std::to_string(kMaxFileSize / 1024) + " KiB, too large for a configuration");
    }
    return std::move(read.text);
}

}  // namespace sim::config_text
