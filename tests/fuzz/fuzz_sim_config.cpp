// libFuzzer entry for the simulated board's configuration reader: any input
// is either accepted or refused with a short ConfigError. Any other
// exception, a crash or a message that runs on is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <sim/config.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        sim::parseConfig(text);
    } catch (const sim::ConfigError& e) {
        const std::string_view what = e.what();
        if (what.empty() || what.size() > 1024)
            std::abort();
    }
    return 0;
}
