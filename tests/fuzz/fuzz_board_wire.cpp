// libFuzzer entry for the shared board's message decoder: a stream of bytes
// decodes to whole frames, then stops at a malformed one (with a reason) or
// at an unfinished one. A frame that does not encode back to its own bytes,
// a consumed count beyond the input, or a crash is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include <sim/board_wire.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> rest(data, size);
    for (;;) {
        const boardwire::Decoded d = boardwire::decode(rest);
        if (d.status == boardwire::Decoded::Status::NeedMore)
            return 0;
        if (d.status == boardwire::Decoded::Status::Malformed) {
            if (d.error.empty())
                std::abort();
            return 0;
        }
        if (d.consumed == 0 || d.consumed > rest.size())
            std::abort();
        std::vector<std::uint8_t> again;
        boardwire::encode(d.message, again);
        if (!std::equal(again.begin(), again.end(), rest.begin(),
                        rest.begin() + static_cast<std::ptrdiff_t>(d.consumed)) ||
            again.size() != d.consumed)
            std::abort();
        rest = rest.subspan(d.consumed);
    }
}
