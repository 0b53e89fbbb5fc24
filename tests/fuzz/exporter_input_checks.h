#pragma once
// What the exporter makes of text a client or a command line hands it,
// checked the same way by the fuzzer and by the corpus regression test: the
// Accept negotiation never fails, a listen address either is refused with a
// reason or reads back as itself, and an escaped label value holds no raw
// line end and unescapes to the original.
#include <stdexcept>
#include <string>
#include <string_view>

#include "exporter/http_server.h"
#include "exporter/metrics.h"

namespace fuzzchecks {

// An empty string when every check holds, else what failed.
inline std::string checkExporterInput(std::string_view text)
{
    const exporter::Format format = exporter::negotiate(text);
    if (format != exporter::Format::Text && format != exporter::Format::OpenMetrics)
        return "negotiate gave no format";

    try {
        const exporter::ListenAddress a = exporter::parseListenAddress(text);
        if (a.host.empty() || a.port < 0 || a.port > 65535)
            return "a listen address out of range was taken";
        const exporter::ListenAddress again = exporter::parseListenAddress(exporter::listenText(a));
        if (again.host != a.host || again.port != a.port)
            return "a listen address does not read back as itself";
        (void)exporter::isLoopback(a.host);
    } catch (const std::invalid_argument& e) {
        if (std::string_view(e.what()).empty())
            return "a refusal without a reason";
    }

    const std::string escaped = exporter::escapeLabelValue(text);
    if (escaped.find('\n') != std::string::npos)
        return "a line end survived escaping";
    std::string back;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            back += escaped[i];
            continue;
        }
        if (++i == escaped.size())
            return "escaping ended in a lone backslash";
        back += escaped[i] == 'n' ? '\n' : escaped[i];
    }
    if (back != text)
        return "escaping does not unescape to the original";
    return {};
}

}  // namespace fuzzchecks
