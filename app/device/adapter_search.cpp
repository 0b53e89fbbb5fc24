#include "device/adapter_search.h"

#include <optional>

#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/register_link.h"

namespace device {

int AdapterSearch::findAgain(const std::string& name)
{
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextListing || name.empty())
        throw SessionError(ErrorKind::BoardLost, m_reason);
    m_nextListing = now + std::chrono::milliseconds(500);
    std::optional<int> number;
    try {
        for (const vexlink06::AdapterInfo& a : kernelAdapter()->Adapters())
            if (a.Name == name && a.Access == vexlink06::AdapterError::None) {
                number = a.Number;
                break;
            }
    } catch (const vexlink06::ComError&) {
        // Not listed: still away.
    }
    if (!number)
        throw SessionError(ErrorKind::BoardLost, m_reason);
    m_reason.clear();
    return *number;
}

}  // namespace device
