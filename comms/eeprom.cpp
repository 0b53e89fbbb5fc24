#include "vexlink06/eeprom.h"

#include "comms_state.h"
#include "journal.h"
#include "parallel_port.h"
#include "signalling.h"
#include "timing.h"
#include "transactions.h"

namespace vexlink06 {
namespace {

std::uint8_t writeAddress() { return static_cast<std::uint8_t>(commsState().deviceAddress & 0xFE); }
std::uint8_t readAddress() { return static_cast<std::uint8_t>(commsState().deviceAddress | 1); }

// Claim, run, back off and retry; a give-up is silent and leaves the
// arbitration counters for the next transaction to see.
template <class Sequence> void memoryFrame(journal::Scope& scope, std::size_t wireBytes, Sequence&& sequence)
{
    CommsState& s = commsState();
    if (OKtoStartCom()) {
        scope.wire(wireBytes, ByteAck::Unknown);
        for (;;) {
            GStartBit();
            sequence();
            if (!arbitrationLost())
                break;
            if (s.arbitrationDenials >= s.maxArbitrationDenials) {
                if (s.lockPortOpen == False)
                    StopCom();
                return;
            }
            RandomWait();
            s.arbitrationLost = False;
        }
        InternalFrameDelay();
        if (s.lockPortOpen == False)
            StopCom();
    }
    clearArbitration();
}

void writeByte(std::uint8_t byte) { GWriteData(byte); }

// The record's data is what followed the address byte: the memory address
// (high byte first), then a data byte or a command. The EEPROM's answers are
// not sampled on this medium.
journal::Scope memoryTransfer(TransferDirection direction)
{
    return {TransferMedium::PrinterPort, commsState().portAddress,
            static_cast<std::uint8_t>(commsState().deviceAddress >> 1), direction,
            direction == TransferDirection::Read ? TransferProtocol::MemoryRead : TransferProtocol::MemoryWrite};
}

}  // namespace

std::shared_ptr<EEPROM> EEPROM::create()
{
    commsState().codes = kInvertedCodes;
    return std::shared_ptr<EEPROM>(new EEPROM());
}

EEPROM::~EEPROM() = default;

float EEPROM::FrameDelay() const { return commsState().frameDelay; }
void EEPROM::setFrameDelay(float delay) { commsState().frameDelay = delay; }
VBool EEPROM::RelativeDelayOn() const { return commsState().relativeDelayOn; }
void EEPROM::setRelativeDelayOn(VBool on) { commsState().relativeDelayOn = on; }
std::uint8_t EEPROM::DeviceAddress() const { return commsState().deviceAddress; }
void EEPROM::setDeviceAddress(std::uint8_t address) { commsState().deviceAddress = address; }

void EEPROM::SetAddress(std::uint8_t HighByte, std::uint8_t LowByte)
{
    journal::Scope scope = memoryTransfer(TransferDirection::Write);
    scope.data({HighByte, LowByte});
    memoryFrame(scope, 3, [&] {
        runSteps([] { writeByte(writeAddress()); }, [] { GAck(); }, [&] { writeByte(HighByte); }, [] { GAck(); },
                 [&] { writeByte(LowByte); }, [] { GNAck(); }, [] { GStopBit(); });
    });
}

void EEPROM::SetEEPROMAddress(std::uint8_t HighByte, std::uint8_t LowByte) { SetAddress(HighByte, LowByte); }

std::uint8_t EEPROM::ReadByte(std::uint8_t HighByte, std::uint8_t LowByte)
{
    journal::Scope scope = memoryTransfer(TransferDirection::Read);
    float data = 0;
    memoryFrame(scope, 5, [&] {
        runSteps([] { writeByte(writeAddress()); }, [] { GAck(); }, [&] { writeByte(HighByte); }, [] { GAck(); },
                 [&] { writeByte(LowByte); }, [] { GAck(); }, [] { GStopBit(); }, [] { GStartBit(); },
                 [] { writeByte(readAddress()); }, [] { GAck(); }, [&] { data = GReadData(); }, [] { GNAck(); },
                 [] { GStopBit(); });
    });
    scope.data({HighByte, LowByte, static_cast<std::uint8_t>(data)});
    return static_cast<std::uint8_t>(data);
}

void EEPROM::WriteByte(std::uint8_t HighByte, std::uint8_t LowByte, std::uint8_t Data)
{
    journal::Scope scope = memoryTransfer(TransferDirection::Write);
    scope.data({HighByte, LowByte, Data});
    memoryFrame(scope, 4, [&] {
        runSteps([] { writeByte(writeAddress()); }, [] { GAck(); }, [&] { writeByte(HighByte); }, [] { GAck(); },
                 [&] { writeByte(LowByte); }, [] { GAck(); }, [&] { writeByte(Data); }, [] { GAck(); },
                 [] { GStopBit(); });
    });
}

VBool EEPROM::PageErase(std::uint8_t CommandByte, std::uint8_t HighByte, std::uint8_t LowByte)
{
    journal::Scope scope = memoryTransfer(TransferDirection::Write);
    scope.data({CommandByte, HighByte, LowByte});
    memoryFrame(scope, 4, [&] {
        runSteps([] { writeByte(writeAddress()); }, [] { GAck(); }, [&] { writeByte(CommandByte); }, [] { GAck(); },
                 [&] { writeByte(HighByte); }, [] { GAck(); }, [&] { writeByte(LowByte); }, [] { GAck(); },
                 [] { GStopBit(); });
    });
    return False;
}

void EEPROM::SingleCommand(std::uint8_t, std::uint8_t CommandByte)
{
    journal::Scope scope = memoryTransfer(TransferDirection::Write);
    scope.data({CommandByte});
    memoryFrame(scope, 2, [&] {
        runSteps([] { writeByte(writeAddress()); }, [] { GAck(); }, [&] { writeByte(CommandByte); }, [] { GAck(); },
                 [] { GStopBit(); });
    });
}

}  // namespace vexlink06
