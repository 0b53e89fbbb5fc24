#include "message_hook.h"

#include <cstdio>
#include <functional>
#include <utility>

namespace vexlink06 {
namespace {

std::function<void(const std::string&, const std::string&)> g_messageHook;

}  // namespace

ComError::ComError(std::int32_t number, std::string description)
    : std::runtime_error(description), m_number(number), m_description(std::move(description))
{ }

ComError ComError::overflow() { return ComError(6, "Overflow"); }
ComError ComError::subscriptOutOfRange() { return ComError(9, "Subscript out of range"); }
ComError ComError::typeMismatch() { return ComError(13, "Type mismatch"); }

void setMessageHook(std::function<void(const std::string& title, const std::string& text)> hook)
{
    g_messageHook = std::move(hook);
}

void showMessage(const std::string& title, const std::string& text)
{
    if (g_messageHook) {
        g_messageHook(title, text);
        return;
    }
    // Nowhere left to report a failed write to stderr.
    (void)std::fprintf(stderr, "vexlink06: %s: %s\n", title.c_str(), text.c_str());
}

std::string errorBoxText(const ComError& error)
{
    return "Error:" + std::to_string(error.number()) + ", " + error.description();
}

void showErrorBox(const std::string& title, const ComError& error) { showMessage(title, errorBoxText(error)); }

}  // namespace vexlink06
