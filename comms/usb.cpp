#include "vexlink06/usb.h"

namespace vexlink06 {

std::shared_ptr<USBSMBus> USBSMBus::create() { return std::make_shared<USBSMBus>(); }
void USBSMBus::ByteWriteSAP(std::uint8_t, std::uint8_t, std::uint8_t) { }
void USBSMBus::ByteWriteDAP(std::uint8_t, std::int32_t, std::uint8_t) { }
std::uint8_t USBSMBus::ByteReadDAP(std::uint8_t, std::int32_t) { return 0; }
std::uint8_t USBSMBus::ByteReadSAP(std::uint8_t, std::uint8_t) { return 0; }

std::shared_ptr<USB> USB::create()
{
    std::shared_ptr<USB> usb(new USB());
    usb->m_usbSMBus = vexlink06::USBSMBus::create();
    return usb;
}

USB::~USB() { m_usbSMBus.reset(); }

void USB::OpenUSBPort() { }
void USB::CloseUSBPort() { }
std::uint8_t USB::EvalBoardID() const { return 0; }
VBool USB::LoadFirmware(const std::string&) { return False; }
VBool USB::CommsAvailable(std::uint8_t) const { return False; }

}  // namespace vexlink06
