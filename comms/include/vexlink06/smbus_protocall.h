// The software SMBus master on the parallel port: bit primitives, byte, word,
// short and block transactions with arbitration and packet error checking.
//
// Device addresses are 8-bit address bytes (7-bit address shifted left by
// one). Byte, word and short transactions send the argument unchanged in the
// write phase and with bit 0 set in the read phase; block transfers use the
// shared DeviceAddress. Acknowledges are not sampled: a transfer to an absent
// device succeeds silently and a read from it returns 255.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vexlink06/types.h"

namespace vexlink06 {

class VEXLINK06_API SMBusProtocall {
public:
    // Error 1: "The byte count read did not equal 32" (block read).
    // Error 2: "Arbitration Error, another device is using the SMBus. " + N +
    //          " communication attempts were interrupted".
    // Delivered synchronously inside the member call that raised it; that
    // call still succeeds.
    using ErrorHandler = std::function<void(std::int16_t number, const std::string& description)>;

    // Every creation resets, for all objects: MaxArbitrationDenials = 20, the
    // inverted line codes (DataInverted itself is left), BitsToStayHigh = 0,
    // Delay = 0, ActAsMaster = False. Scans the ports once per process.
    static std::shared_ptr<SMBusProtocall> create();
    ~SMBusProtocall();

    SMBusProtocall(const SMBusProtocall&) = delete;
    SMBusProtocall& operator=(const SMBusProtocall&) = delete;

    void setSMBusProtocallErrorHandler(ErrorHandler handler);

    std::int16_t FinalPEC() const { return m_finalPEC; }
    void setFinalPEC(std::int16_t pec) { m_finalPEC = pec; }
    VBool ArbitrationOn() const;
    void setArbitrationOn(VBool on);
    std::int16_t MaxArbitrationDenials() const;
    void setMaxArbitrationDenials(std::int16_t limit);
    VBool BlockWriteWaitAck() const { return m_blockWriteWaitAck; }
    void setBlockWriteWaitAck(VBool wait) { m_blockWriteWaitAck = wait; }
    VBool ActAsMaster() const;
    void setActAsMaster(VBool master);
    // Senses received data bits on status bit 3 instead of bit 4.
    VBool VideoSoftware() const;
    void setVideoSoftware(VBool video);

    // Value is rounded to the nearest integer; its high byte goes out first.
    void WriteWord(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, float Value);
    float ReadWord(std::uint8_t DeviceAddress, std::uint8_t AddressPointer);
    void ShortWrite(std::uint8_t DeviceAddress, std::uint8_t Data);
    std::uint8_t ShortRead(std::uint8_t DeviceAddress);
    // True when SDA went low (the receiver acknowledged) within Timeout
    // seconds; False on time-out, with the lines and the claim left as they are.
    VBool WaitAck(std::uint8_t Timeout);

    // Passes of the event loop instead of seconds, for Delay and FrameDelay.
    VBool RelativeDelayOn() const;
    void setRelativeDelayOn(VBool on);
    // Pause after every transaction; limited to 0 .. 1e10.
    float FrameDelay() const;
    void setFrameDelay(float delay);
    // Pause between line changes; stored as given, not limited.
    float Delay() const;
    void setDelay(float delay);
    // PortRead without a stop between the pointer and the read phase.
    VBool RepeatedStart() const;
    void setRepeatedStart(VBool on);

    void Portout(std::int32_t CurrentPortAddress, std::uint8_t Value);
    std::uint8_t Portin(std::int32_t CurrentPortAddress);

    std::uint8_t AddressPointer() const;
    void setAddressPointer(std::uint8_t pointer);
    // OR-ed into every data-register write; bits 2..7 drive the board's
    // outputs. Setting it writes the idle line state at once.
    std::uint8_t BitsToStayHigh() const;
    void setBitsToStayHigh(std::uint8_t bits);
    VBool ThereWasNoAck() const;
    void setThereWasNoAck(VBool flag);
    std::int32_t PortAddress() const;
    void setPortAddress(std::int32_t address);
    std::uint8_t DeviceAddress() const;
    void setDeviceAddress(std::uint8_t address);
    VBool DataInverted() const;
    void setDataInverted(VBool inverted);
    VBool CheckForAck() const;
    void setCheckForAck(VBool flag);
    // Setting it sets BitsToStayHigh as well.
    std::uint8_t OrBits() const;
    void setOrBits(std::uint8_t bits);

    void Ack();
    std::uint8_t PortRead(std::uint8_t DeviceAddress, std::uint8_t AddressPointer);
    void NAck();
    void MAck();
    void PortWrite(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, std::uint8_t Data);
    void PreStart();
    float ReadData();
    void StartBit();
    void StopBit();
    // Rounded to the nearest integer (halves to even); bits above 7 dropped.
    void WriteData(float Data);
    std::int16_t Detect(std::int16_t port);
    std::int16_t TotalSpeed() const { return 0; }
    void setTotalSpeed(std::int16_t) { }

    // Command 0xA1, 32 data bytes; the arguments are not used. The data is
    // read with GetBlockReadData: element 0 = read address, 1 = byte count
    // (only with UsePEC), 2..33 = data.
    void BlockRead(std::uint8_t HighByte, std::uint8_t LowByte);
    // Command 0xA0 with ByteCount data bytes taken from Data[3 ..
    // ByteCount + 2]; elements 0..2 are ignored (the caller's array is not
    // changed). Throws ComError when Data is too short or a value does not fit.
    void BlockWrite(std::uint8_t ByteCount, const std::vector<std::int16_t>& Data);
    VBool PECOK() const { return m_pecOK; }
    void setPECOK(VBool ok) { m_pecOK = ok; }
    std::vector<std::int16_t> GetBlockReadData() const;
    VBool UsePEC() const { return m_usePEC; }
    void setUsePEC(VBool use) { m_usePEC = use; }
    // Running PEC after each byte of the last computation.
    std::vector<std::int16_t> GetPECData() const;

private:
    SMBusProtocall() = default;

    void raiseError(std::int16_t number, const std::string& description);
    void raiseArbitrationErrorIfLost();

    ErrorHandler m_errorHandler;
    VBool m_usePEC = False;
    VBool m_pecOK = False;
    VBool m_blockWriteWaitAck = False;
    std::int16_t m_finalPEC = 0;
    std::array<std::int16_t, 38> m_blockData{};
    std::uint8_t m_blockByteCount = 0;
    std::uint8_t m_receivedPEC = 0;
};

}  // namespace vexlink06
