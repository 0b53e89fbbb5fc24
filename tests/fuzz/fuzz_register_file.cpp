// libFuzzer entry for the register-file reader: any input must either be
// rejected with a reason or give a file whose recall plan stays inside the
// saved register set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/register_file.h"
#include "device/register_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const device::RegisterFileResult result = device::parseRegisterFile(text);
    if (!result) {
        if (result.error.empty())
            std::abort();
        return 0;
    }
    const std::size_t expected = static_cast<std::size_t>(device::savedRegisterCount(result.file->titleDeviceId));
    if (result.file->registers.size() != expected)
        std::abort();
    for (int chip : {int(device::DeviceIdTFM4410), int(device::DeviceIdTFM4411)}) {
        for (const device::RegisterValue& w : device::recallWrites(*result.file, chip)) {
            bool known = false;
            for (const device::SavedRegister& r : device::SavedRegisters)
                if (r.address == w.address)
                    known = !(r.tfm4411Only && chip == device::DeviceIdTFM4410);
            if (!known)
                std::abort();
        }
    }
    return 0;
}
