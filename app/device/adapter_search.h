#pragma once
// A kernel adapter that went away (a USB bridge unplugged) looked for again
// by its name, whatever number it comes back under. The device session and
// the Python module's SMBus both hold one per adapter they use.

#include <chrono>
#include <string>

namespace device {

class AdapterSearch {
public:
    // The adapter went; `reason` is what each use says until it is back.
    void lost(std::string reason) { m_reason = std::move(reason); }
    bool away() const { return !m_reason.empty(); }
    const std::string& reason() const { return m_reason; }
    // The number of the adapter called `name` that this user can open, once
    // it is back; until then SessionError BoardLost with the reason. Listing
    // opens every adapter's node: at most one listing per half second, the
    // calls in between fail at once. Runs under the bus mutex.
    int findAgain(const std::string& name);

private:
    std::string m_reason;
    std::chrono::steady_clock::time_point m_nextListing{};
};

}  // namespace device
