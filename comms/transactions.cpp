#include "transactions.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

#include "comms_state.h"
#include "journal.h"
#include "parallel_port.h"
#include "signalling.h"
#include "timing.h"
#include "vexlink06/smbus_protocall.h"

#include <chiplaw/registers.h>

namespace vexlink06 {

namespace command = chiplaw::command;

bool arbitrationLost() { return commsState().arbitrationLost != False; }

void clearArbitration()
{
    CommsState& s = commsState();
    s.arbitrationLost = False;
    s.arbitrationDenials = 0;
}

void RandomWait()
{
    CommsState& s = commsState();
    const auto backOff = static_cast<std::uint32_t>(randomUnit() * 0.01 * 1000);
    s.randomWaitDeadline = millisecondClock() + backOff;
    // Signed difference, so the wait survives the tick count wrapping.
    while (static_cast<std::int32_t>(millisecondClock() - s.randomWaitDeadline) < 0)
        yieldEventLoop();
    ++s.arbitrationDenials;
    if (TransferRecord* record = journal::current())
        ++record->arbitrationRetries;
}

std::uint8_t computePEC(std::span<const std::int16_t> bytes)
{
    CommsState& s = commsState();
    if (bytes.size() > s.pecData.size())
        throw ComError::subscriptOutOfRange();
    if (std::any_of(bytes.begin(), bytes.end(), [](std::int16_t b) { return b < 0 || b > 255; }))
        throw ComError::overflow();
    unsigned crc = 0;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const auto byte = static_cast<unsigned>(bytes[k]);
        for (int i = 7; i >= 0; --i) {
            const unsigned feedback = ((byte >> i) ^ (crc >> 7)) & 1U;
            crc = (crc << 1) & 0xFFU;
            if (feedback)
                crc ^= 0x07U;
        }
        s.pecData[k] = static_cast<std::int16_t>(crc);
    }
    return static_cast<std::uint8_t>(crc);
}

namespace {

enum class FrameDelayAt { BeforeRelease, AfterRelease };

void releaseUnlessLocked()
{
    if (commsState().lockPortOpen == False)
        StopCom();
}

// The claim-and-retry frame of the byte, word and short transactions.
// A give-up returns with ArbitrationLost still set, for the member to report.
template <class Sequence> void byteFrame(FrameDelayAt frameDelayAt, Sequence&& sequence)
{
    CommsState& s = commsState();
    if (s.lockPortOpen == False && !OKtoStartCom()) {
        clearArbitration();
        return;
    }
    for (;;) {
        sequence();
        if (!arbitrationLost()) {
            if (frameDelayAt == FrameDelayAt::BeforeRelease) {
                InternalFrameDelay();
                releaseUnlessLocked();
            } else {
                releaseUnlessLocked();
                InternalFrameDelay();
            }
            clearArbitration();
            return;
        }
        if (s.arbitrationDenials >= s.maxArbitrationDenials) {
            releaseUnlessLocked();
            return;
        }
        writeHH();
        releaseUnlessLocked();
        RandomWait();
        s.arbitrationLost = False;
        if (!OKtoStartCom()) {
            clearArbitration();
            return;
        }
    }
}

std::uint8_t toByte(float value) { return static_cast<std::uint8_t>(value); }

// The bus is not sampled for acknowledges on this medium, so every byte's
// answer is unknown. A transfer skipped for a refused claim raises no error
// event, but put nothing on the wire: its record says so.
class PrinterScope : public journal::Scope {
public:
    PrinterScope(std::uint8_t addressByte, TransferDirection direction, TransferProtocol protocol)
        : Scope(TransferMedium::PrinterPort, commsState().portAddress, static_cast<std::uint8_t>(addressByte >> 1),
                direction, protocol)
    { }
    ~PrinterScope()
    {
        if (record() && record()->acks.empty() && std::uncaught_exceptions() == 0) [[unlikely]]
            error(0, "the port could not be claimed; nothing was sent");
    }
    PrinterScope(const PrinterScope&) = delete;
    PrinterScope& operator=(const PrinterScope&) = delete;
};

void wireUnlessSkipped(journal::Scope& scope, std::size_t bytes)
{
    if (scope.record() && commsState().portClaimed != False)
        scope.wire(bytes, ByteAck::Unknown);
}

}  // namespace

// ---- creation and plain properties ----

std::shared_ptr<SMBusProtocall> SMBusProtocall::create()
{
    CommsState& s = commsState();
    s.maxArbitrationDenials = 20;
    s.codes = kInvertedCodes;
    s.patterns = kInvertedPatterns;
    s.bitsToStayHigh = 0;
    s.delay = 0;
    s.actAsMaster = False;
    FindAvailablePrinterports();
    InitialiseGlobalComponents();
    return std::shared_ptr<SMBusProtocall>(new SMBusProtocall());
}

SMBusProtocall::~SMBusProtocall() = default;

void SMBusProtocall::setSMBusProtocallErrorHandler(ErrorHandler handler) { m_errorHandler = std::move(handler); }

void SMBusProtocall::raiseError(std::int16_t number, const std::string& description)
{
    if (TransferRecord* record = journal::current())
        journal::Scope::setError(*record, number, description);
    if (m_errorHandler)
        m_errorHandler(number, description);
}

void SMBusProtocall::raiseArbitrationErrorIfLost()
{
    CommsState& s = commsState();
    if (s.arbitrationLost == False)
        return;
    raiseError(2, "Arbitration Error, another device is using the SMBus. " + std::to_string(s.arbitrationDenials) +
                      " communication attempts were interrupted");
    writeHH();
    clearArbitration();
}

VBool SMBusProtocall::ArbitrationOn() const { return commsState().arbitrationOn; }
void SMBusProtocall::setArbitrationOn(VBool on) { commsState().arbitrationOn = on; }
std::int16_t SMBusProtocall::MaxArbitrationDenials() const { return commsState().maxArbitrationDenials; }
void SMBusProtocall::setMaxArbitrationDenials(std::int16_t limit) { commsState().maxArbitrationDenials = limit; }
VBool SMBusProtocall::ActAsMaster() const { return commsState().actAsMaster; }
void SMBusProtocall::setActAsMaster(VBool master) { commsState().actAsMaster = master; }
VBool SMBusProtocall::VideoSoftware() const { return commsState().videoSoftware; }
void SMBusProtocall::setVideoSoftware(VBool video) { commsState().videoSoftware = video; }
VBool SMBusProtocall::RelativeDelayOn() const { return commsState().relativeDelayOn; }
void SMBusProtocall::setRelativeDelayOn(VBool on) { commsState().relativeDelayOn = on; }
float SMBusProtocall::FrameDelay() const { return commsState().frameDelay; }
void SMBusProtocall::setFrameDelay(float delay) { commsState().frameDelay = limitFrameDelay(delay); }
float SMBusProtocall::Delay() const { return commsState().delay; }
void SMBusProtocall::setDelay(float delay) { commsState().delay = delay; }
VBool SMBusProtocall::RepeatedStart() const { return commsState().repeatedStart; }
void SMBusProtocall::setRepeatedStart(VBool on) { commsState().repeatedStart = on; }
std::uint8_t SMBusProtocall::AddressPointer() const { return commsState().addressPointer; }
void SMBusProtocall::setAddressPointer(std::uint8_t pointer) { commsState().addressPointer = pointer; }
std::uint8_t SMBusProtocall::BitsToStayHigh() const { return commsState().bitsToStayHigh; }
void SMBusProtocall::setBitsToStayHigh(std::uint8_t bits) { SetBitsToStayHigh(bits); }
VBool SMBusProtocall::ThereWasNoAck() const { return commsState().thereWasNoAck; }
void SMBusProtocall::setThereWasNoAck(VBool flag) { commsState().thereWasNoAck = flag; }
std::int32_t SMBusProtocall::PortAddress() const { return commsState().portAddress; }
void SMBusProtocall::setPortAddress(std::int32_t address) { LetPortAddress(address); }
std::uint8_t SMBusProtocall::DeviceAddress() const { return commsState().deviceAddress; }
void SMBusProtocall::setDeviceAddress(std::uint8_t address) { commsState().deviceAddress = address; }
VBool SMBusProtocall::DataInverted() const { return commsState().dataInverted; }
void SMBusProtocall::setDataInverted(VBool inverted) { applyDataInverted(inverted); }
VBool SMBusProtocall::CheckForAck() const { return commsState().checkForAck; }
void SMBusProtocall::setCheckForAck(VBool flag) { commsState().checkForAck = flag; }
std::uint8_t SMBusProtocall::OrBits() const { return commsState().orBits; }

void SMBusProtocall::setOrBits(std::uint8_t bits)
{
    commsState().orBits = bits;
    SetBitsToStayHigh(bits);
}

std::int16_t SMBusProtocall::Detect(std::int16_t) { return 0; }

// ---- raw port and bit primitives ----

void SMBusProtocall::Portout(std::int32_t CurrentPortAddress, std::uint8_t Value)
{
    GPortout(CurrentPortAddress, Value);
}
std::uint8_t SMBusProtocall::Portin(std::int32_t CurrentPortAddress) { return GPortin(CurrentPortAddress); }
void SMBusProtocall::Ack() { GAck(); }
void SMBusProtocall::NAck() { GNAck(); }
void SMBusProtocall::MAck() { GMAck(); }
void SMBusProtocall::PreStart() { GPreStart(); }
float SMBusProtocall::ReadData() { return GReadData(); }
void SMBusProtocall::StartBit() { GStartBit(); }
void SMBusProtocall::StopBit() { GStopBit(); }
void SMBusProtocall::WriteData(float Data) { GWriteData(Data); }
VBool SMBusProtocall::WaitAck(std::uint8_t Timeout) { return WAck(Timeout); }

// ---- byte, word and short transactions ----

void SMBusProtocall::PortWrite(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, std::uint8_t Data)
{
    PrinterScope scope(DeviceAddress, TransferDirection::Write, TransferProtocol::WriteByte);
    scope.command(AddressPointer);
    scope.data({Data});
    byteFrame(FrameDelayAt::BeforeRelease, [&] {
        runSequence([] { GStartBit(); }, [&] { GWriteData(DeviceAddress); }, [] { GAck(); },
                    [&] { GWriteData(AddressPointer); }, [] { GAck(); }, [&] { GWriteData(Data); }, [] { GAck(); },
                    [] { GStopBit(); });
        wireUnlessSkipped(scope, 3);
    });
    raiseArbitrationErrorIfLost();
}

std::uint8_t SMBusProtocall::PortRead(std::uint8_t DeviceAddress, std::uint8_t AddressPointer)
{
    PrinterScope scope(DeviceAddress, TransferDirection::Read, TransferProtocol::ReadByte);
    scope.command(AddressPointer);
    float r = 0;
    const auto readAddress = static_cast<std::uint8_t>(DeviceAddress | 1);
    byteFrame(FrameDelayAt::BeforeRelease, [&] {
        wireUnlessSkipped(scope, 4);
        runSequence([] { GStartBit(); }, [&] { GWriteData(DeviceAddress); }, [] { GAck(); },
                    [&] { GWriteData(AddressPointer); }, [] { GAck(); });
        if (commsState().repeatedStart != False) {
            // Back to idle without a stop condition, for the repeated start.
            runSteps([] {
                CommsState& s = commsState();
                writeLH();
                if (s.arbitrationOn != False && !ClockLowDataHigh()) {
                    s.arbitrationLost = True;
                    return;
                }
                InternalDelay();
                writeHH();
                if (s.arbitrationOn != False && !ClockhighDatahigh())
                    s.arbitrationLost = True;
            });
        } else {
            runSteps([] { GStopBit(); }, [] { InternalDelay(); });
        }
        runSteps([] { GStartBit(); }, [&] { GWriteData(readAddress); }, [] { GAck(); }, [&] { r = GReadData(); },
                 [] { InternalDelay(); }, [] { GNAck(); }, [] { InternalDelay(); }, [] { GStopBit(); });
    });
    scope.data({toByte(r)});
    raiseArbitrationErrorIfLost();
    return toByte(r);
}

void SMBusProtocall::WriteWord(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, float Value)
{
    const std::int32_t n = nearestInt32(Value);
    // (n AND NOT 0xFF) / 256: the byte above the low one, whatever the sign.
    const auto high = static_cast<std::uint8_t>(((n & ~0xFF) / 256) & 0xFF);
    const auto low = static_cast<std::uint8_t>(n & 0xFF);
    PrinterScope scope(DeviceAddress, TransferDirection::Write, TransferProtocol::WriteWord);
    scope.command(AddressPointer);
    scope.data({high, low});
    byteFrame(FrameDelayAt::AfterRelease, [&] {
        wireUnlessSkipped(scope, 4);
        runSequence([] { GStartBit(); }, [&] { GWriteData(DeviceAddress); }, [] { GAck(); },
                    [&] { GWriteData(AddressPointer); }, [] { GAck(); }, [&] { GWriteData(high); }, [] { GAck(); },
                    [&] { GWriteData(low); }, [] { GAck(); }, [] { GStopBit(); });
    });
    raiseArbitrationErrorIfLost();
}

float SMBusProtocall::ReadWord(std::uint8_t DeviceAddress, std::uint8_t AddressPointer)
{
    PrinterScope scope(DeviceAddress, TransferDirection::Read, TransferProtocol::ReadWord);
    scope.command(AddressPointer);
    float h = 0;
    float l = 0;
    const auto readAddress = static_cast<std::uint8_t>(DeviceAddress | 1);
    byteFrame(FrameDelayAt::AfterRelease, [&] {
        wireUnlessSkipped(scope, 5);
        runSequence([] { GStartBit(); }, [&] { GWriteData(DeviceAddress); }, [] { GAck(); },
                    [&] { GWriteData(AddressPointer); }, [] { GAck(); }, [] { GStopBit(); }, [] { GStartBit(); },
                    [&] { GWriteData(readAddress); }, [] { GAck(); }, [&] { h = GReadData(); }, [] { GMAck(); },
                    [&] { l = GReadData(); }, [] { GNAck(); }, [] { GStopBit(); });
    });
    scope.data({toByte(h), toByte(l)});
    raiseArbitrationErrorIfLost();
    return static_cast<float>((static_cast<unsigned>(h) << 8) | static_cast<unsigned>(l));
}

void SMBusProtocall::ShortWrite(std::uint8_t DeviceAddress, std::uint8_t Data)
{
    PrinterScope scope(DeviceAddress, TransferDirection::Write, TransferProtocol::SendByte);
    scope.data({Data});
    byteFrame(FrameDelayAt::AfterRelease, [&] {
        wireUnlessSkipped(scope, 2);
        runSequence([] { GStartBit(); }, [&] { GWriteData(DeviceAddress); }, [] { GAck(); }, [&] { GWriteData(Data); },
                    [] { GAck(); }, [] { GStopBit(); });
    });
    raiseArbitrationErrorIfLost();
}

std::uint8_t SMBusProtocall::ShortRead(std::uint8_t DeviceAddress)
{
    PrinterScope scope(DeviceAddress, TransferDirection::Read, TransferProtocol::ReceiveByte);
    float r = 0;
    const auto readAddress = static_cast<std::uint8_t>(DeviceAddress | 1);
    byteFrame(FrameDelayAt::AfterRelease, [&] {
        wireUnlessSkipped(scope, 2);
        runSequence([] { GStartBit(); }, [&] { GWriteData(readAddress); }, [] { GAck(); }, [&] { r = GReadData(); },
                    [] { InternalDelay(); }, [] { GNAck(); }, [] { InternalDelay(); }, [] { GStopBit(); });
    });
    scope.data({toByte(r)});
    raiseArbitrationErrorIfLost();
    return toByte(r);
}

// ---- block transfers ----

void SMBusProtocall::BlockWrite(std::uint8_t ByteCount, const std::vector<std::int16_t>& Data)
{
    const int n = ByteCount;
    // Everything that can fail is checked before the bus is touched, so a bad
    // argument never leaves a half-sent block or a held bus.
    if (n + 2 > 255)
        throw ComError::overflow();
    if (Data.size() < static_cast<std::size_t>(n) + 3)
        throw ComError::subscriptOutOfRange();
    CommsState& s = commsState();
    std::vector<std::int16_t> message(Data.begin(), Data.begin() + n + 3);
    const auto writeAddress = static_cast<std::uint8_t>(s.deviceAddress & 0xFE);
    // The PEC covers the bytes as they go on the wire.
    message[0] = writeAddress;
    message[1] = command::BlockWrite;
    message[2] = static_cast<std::int16_t>(n);
    if (m_usePEC != False) {
        if (message.size() > kPECDataSize)
            throw ComError::subscriptOutOfRange();
        if (std::any_of(message.begin(), message.end(), [](std::int16_t b) { return b < 0 || b > 255; }))
            throw ComError::overflow();
    }

    PrinterScope scope(writeAddress, TransferDirection::Write, TransferProtocol::BlockWrite);
    scope.command(command::BlockWrite);
    if (TransferRecord* record = scope.record())
        journal::assignData(*record, std::span(message).subspan(3));
    if (!OKtoStartCom()) {
        clearArbitration();
        return;
    }
    wireUnlessSkipped(scope, static_cast<std::size_t>(n) + 3 + (m_usePEC != False ? 1 : 0));
    for (;;) {
        runSequence([] { GPreStart(); }, [] { GStartBit(); }, [&] { GWriteData(writeAddress); }, [] { GAck(); },
                    [] { GWriteData(command::BlockWrite); }, [] { GAck(); }, [&] { GWriteData(static_cast<float>(n)); },
                    [] { GAck(); });
        for (int t = 3; t <= n + 2 && !arbitrationLost(); ++t) {
            GWriteData(message[static_cast<std::size_t>(t)]);
            if (arbitrationLost())
                break;
            if (m_blockWriteWaitAck != False)
                GWaitAck();
            else
                GAck();
        }
        if (m_usePEC != False && !arbitrationLost()) {
            const std::uint8_t pec = computePEC(message);
            m_finalPEC = pec;
            runSteps([&] { GWriteData(pec); }, [&] { m_pecOK = GCheckAck() ? True : False; });
            if (TransferRecord* record = scope.record()) {
                record->pecSent = pec;
                record->pecMatch = m_pecOK != False;
                // The PEC byte is the one byte whose answer this medium reads.
                if (!record->acks.empty())
                    record->acks.back() = m_pecOK != False ? ByteAck::Ack : ByteAck::Nack;
            }
        }
        runSteps([] { GStopBit(); });
        if (!arbitrationLost()) {
            releaseUnlessLocked();
            InternalFrameDelay();
            clearArbitration();
            return;
        }
        if (s.arbitrationDenials >= s.maxArbitrationDenials) {
            releaseUnlessLocked();
            return;
        }
        RandomWait();
        s.arbitrationLost = False;
    }
}

void SMBusProtocall::BlockRead(std::uint8_t, std::uint8_t)
{
    static constexpr const char* kCountError = "The byte count read did not equal 32";
    CommsState& s = commsState();
    PrinterScope scope(s.deviceAddress, TransferDirection::Read, TransferProtocol::BlockRead);
    scope.command(command::BlockRead);
    if (!OKtoStartCom()) {
        clearArbitration();
        return;
    }
    for (;;) {
        const auto writeAddress = static_cast<std::uint8_t>(s.deviceAddress & 0xFE);
        const auto readAddress = static_cast<std::uint8_t>(s.deviceAddress | 1);
        m_blockData[0] = readAddress;
        float count = 0;
        runSequence([] { GStartBit(); }, [&] { GWriteData(writeAddress); }, [] { GAck(); },
                    [] { GWriteData(command::BlockRead); }, [] { GAck(); }, [] { GPreStart(); }, [] { GStartBit(); },
                    [&] { GWriteData(readAddress); }, [] { GAck(); }, [&] { count = GReadData(); });
        if (!arbitrationLost()) {
            m_blockByteCount = toByte(count);
            if (TransferRecord* record = scope.record())
                record->acks.assign(4, ByteAck::Unknown);
            if (m_blockByteCount != 32) {
                // Not-acknowledge and stop, so the device lets go of the bus
                // and the next transaction starts from idle.
                runSteps([] { GNAck(); }, [] { GStopBit(); });
                releaseUnlessLocked();
                clearArbitration();
                raiseError(1, kCountError);
                return;
            }
            runSteps([] { GMAck(); });
            for (std::size_t i = 2; i <= 33 && !arbitrationLost(); ++i) {
                const float value = GReadData();
                if (arbitrationLost())
                    break;
                m_blockData[i] = static_cast<std::int16_t>(value);
                // Acknowledging the last byte asks the device for its PEC;
                // without one to read, the device would be left driving the
                // bus, so the last byte is not acknowledged then.
                if (i == 33 && m_usePEC == False)
                    GNAck();
                else
                    GMAck();
            }
            if (m_usePEC != False)
                runSteps([&] { m_receivedPEC = toByte(GReadData()); }, [] { GNAck(); });
            runSteps([] { GStopBit(); });
        }
        if (!arbitrationLost()) {
            if (m_usePEC != False) {
                m_blockData[1] = m_blockByteCount;
                // Over the whole message as the device computes it: both
                // address bytes, the command, the count and the data.
                std::array<std::int16_t, 4 + 32> message{};
                message[0] = writeAddress;
                message[1] = command::BlockRead;
                message[2] = readAddress;
                message[3] = m_blockByteCount;
                std::copy(m_blockData.begin() + 2, m_blockData.begin() + 34, message.begin() + 4);
                const std::uint8_t pec = computePEC(message);
                m_finalPEC = pec;
                m_pecOK = (m_receivedPEC == pec) ? True : False;
            }
            if (TransferRecord* record = scope.record()) {
                journal::assignData(*record, std::span(m_blockData).subspan(2, 32));
                record->acks.assign(4 + 32 + (m_usePEC != False ? 1 : 0), ByteAck::Unknown);
                if (m_usePEC != False) {
                    record->pecReceived = m_receivedPEC;
                    record->pecMatch = m_pecOK != False;
                }
            }
            releaseUnlessLocked();
            InternalFrameDelay();
            clearArbitration();
            return;
        }
        if (s.arbitrationDenials >= s.maxArbitrationDenials) {
            releaseUnlessLocked();
            raiseError(1, kCountError);
            return;
        }
        RandomWait();
        s.arbitrationLost = False;
    }
}

std::vector<std::int16_t> SMBusProtocall::GetBlockReadData() const { return {m_blockData.begin(), m_blockData.end()}; }

std::vector<std::int16_t> SMBusProtocall::GetPECData() const
{
    const auto& data = commsState().pecData;
    return {data.begin(), data.end()};
}

}  // namespace vexlink06
