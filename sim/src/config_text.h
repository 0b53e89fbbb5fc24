// The guarded first steps of reading a board configuration: the file (a
// regular one, of bounded size), the JSON text (bounded nesting, no key given
// twice, every parser failure a ConfigError naming the field), and the small
// pieces every message is built from. The settings themselves are read in
// config.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace sim::config_text {

// Far above any real board (a few KiB), far below what would hurt.
inline constexpr std::size_t kMaxFileSize = 256 * 1024;
// The deepest real setting is ports[].chips[].fans[] (7 levels); room for
// settings yet to come, and no value deep enough to exhaust a stack.
inline constexpr std::size_t kMaxNesting = 32;
// Keys and texts in messages are cut to this many bytes.
inline constexpr std::size_t kExcerptBytes = 40;

// Up to kExcerptBytes of a text, cut on a character boundary ("..." marks the
// cut), control characters shown as '?', so a message stays one short line.
std::string shortText(std::string_view s);

// A value as a message shows it: scalars as written (texts shortened), lists
// and objects by their size only, so no message walks a nested value.
std::string excerpt(const nlohmann::json& value);

// "ports[0]" + "chips" -> "ports[0].chips"; the key is shortened.
std::string joinPath(const std::string& path, std::string_view key);

// The integer a text spells in C notation ("0x378", "888", "01570" octal),
// with an optional sign. Blanks around it are ignored, so " 888" and "888 "
// read alike; anything else around the digits makes it no number.
enum class TextNumber { Ok, NotANumber, TooLarge };
TextNumber integerFromText(std::string_view text, long long& out);

// The parsed text, or ConfigError: larger than kMaxFileSize, not JSON,
// nested deeper than kMaxNesting, a key twice in one object, a number beyond
// the range of a double. The message names the field where it can.
nlohmann::json parseText(std::string_view text);

// The bytes of a configuration file, or ConfigError (with the path) when it
// cannot be opened, is not a regular file (a FIFO is refused without
// waiting for a writer) or is larger than kMaxFileSize.
std::string readFile(const std::string& path);

}  // namespace sim::config_text
