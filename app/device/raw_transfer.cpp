#include "device/raw_transfer.h"

#include <chiplaw/registers.h>

#include <cmath>
#include <mutex>

#include <vexlink06/vexlink06.h>

#include "device/bus_route.h"
#include "device/numbers.h"
#include "device/register_link.h"
#include "device/session_support.h"

namespace device {

namespace {

constexpr std::uint8_t BlockWriteCommand = chiplaw::command::BlockWrite;
constexpr std::uint8_t BlockReadCommand = chiplaw::command::BlockRead;

vexlink06::VBool flag(bool on) { return on ? vexlink06::True : vexlink06::False; }

bool isBlock(RawOp op) { return op == RawOp::ReadBlock || op == RawOp::WriteBlock; }

// SMBus carries a word's first byte low; the printer port's protocol puts it high.
std::uint16_t swapped(unsigned word) { return static_cast<std::uint16_t>(((word & 0xFF) << 8) | ((word >> 8) & 0xFF)); }

struct Problem {
    AdapterFault fault = AdapterFault::None;
    std::string sentence;
};

Problem problemOf(Medium medium, const RawTransfer& t)
{
    if (t.op == RawOp::WriteBlock && (t.block.empty() || t.block.size() > BlockMax))
        return {AdapterFault::Argument, "a block write takes 1 to 32 bytes"};
    if (medium == Medium::ChipsetSmbus && t.op != RawOp::ReadByteData && t.op != RawOp::WriteByteData)
        return {AdapterFault::Unsupported, "the chipset SMBus path makes byte transfers only"};
    if (medium == Medium::PrinterPort && isBlock(t.op)) {
        const bool write = t.op == RawOp::WriteBlock;
        const std::uint8_t own = write ? BlockWriteCommand : BlockReadCommand;
        if (t.command != own)
            return {AdapterFault::Unsupported, std::string("on the printer port a block ") +
                                                   (write ? "write" : "read") + " sends command " + hexByte(own) +
                                                   ", the chip's block command"};
    }
    return {};
}

void requireMakeable(Medium medium, const RawTransfer& t)
{
    const Problem problem = problemOf(medium, t);
    if (problem.fault != AdapterFault::None)
        throw BusFailure(ErrorKind::InvalidArgument, problem.fault, problem.sentence);
}

RawResult onPrinterPort(const ChipLocation& where, const RawTransfer& t)
{
    const auto port = detail::printerPort();
    if (port->PortAddressIndex() != where.port)
        port->setPortAddressIndex(static_cast<std::uint8_t>(where.port));
    const auto proto = required(port->SMBusProtocall());
    if (proto->DataInverted() != flag(where.dataInverted))
        proto->setDataInverted(flag(where.dataInverted));
    // The protocol reports a short block or a lost bus through its error
    // event and returns as if it had succeeded: the first event fails the
    // transfer, whatever it read.
    std::int16_t eventNumber = 0;
    std::string event;
    proto->setSMBusProtocallErrorHandler([&](std::int16_t number, const std::string& description) {
        if (event.empty()) {
            eventNumber = number;
            event = "Error: " + std::to_string(number) + ", " + description;
        }
    });
    struct Reset {
        vexlink06::SMBusProtocall& proto;
        ~Reset()
        {
            proto.setSMBusProtocallErrorHandler(nullptr);
            proto.setUsePEC(vexlink06::False);
        }
    } reset{*proto};
    const std::uint8_t byte = addressByte(t.address);
    RawResult r;
    bool pecRefused = false;
    switch (t.op) {
    case RawOp::ReceiveByte: r.value = proto->ShortRead(byte); break;
    case RawOp::SendByte: proto->ShortWrite(byte, static_cast<std::uint8_t>(t.value)); break;
    case RawOp::ReadByteData: r.value = proto->PortRead(byte, t.command); break;
    case RawOp::WriteByteData: proto->PortWrite(byte, t.command, static_cast<std::uint8_t>(t.value)); break;
    case RawOp::ReadWord:
        r.value = swapped(static_cast<unsigned>(std::lround(proto->ReadWord(byte, t.command))));
        break;
    case RawOp::WriteWord: proto->WriteWord(byte, t.command, static_cast<float>(swapped(t.value))); break;
    case RawOp::ReadBlock:
    case RawOp::WriteBlock:
        // The block commands go to the protocol's shared device address.
        proto->setDeviceAddress(byte);
        proto->setUsePEC(flag(t.pec));
        if (t.op == RawOp::ReadBlock) {
            proto->BlockRead(0, 0);
            // Element 0 is the read address, 1 the count, the data after them.
            const std::vector<std::int16_t> got = proto->GetBlockReadData();
            for (std::size_t i = 2; i < 2 + BlockMax && i < got.size(); ++i)
                r.block.push_back(static_cast<std::uint8_t>(got[i]));
        } else {
            // The protocol takes the data from element 3 on.
            std::vector<std::int16_t> elements(3, 0);
            elements.insert(elements.end(), t.block.begin(), t.block.end());
            proto->BlockWrite(static_cast<std::uint8_t>(t.block.size()), elements);
        }
        pecRefused = t.pec && proto->PECOK() == vexlink06::False;
        break;
    }
    if (!event.empty())
        throw BusFailure(ErrorKind::Bus, AdapterFault::Io, event, eventNumber);
    if (pecRefused)
        throw BusFailure(ErrorKind::Bus, AdapterFault::BadPec,
                         t.op == RawOp::ReadBlock ? "the block's PEC does not match: the data was damaged on the bus"
                                                  : "the chip did not acknowledge the PEC byte: the block was refused");
    return r;
}

RawResult onAdapter(vexlink06::KernelAdapter& a, const RawTransfer& t)
{
    RawResult r;
    switch (t.op) {
    case RawOp::ReceiveByte: r.value = a.ReceiveByte(t.address); break;
    case RawOp::SendByte: a.SendByte(t.address, static_cast<std::uint8_t>(t.value)); break;
    case RawOp::ReadByteData: r.value = a.PortRead(t.address, t.command); break;
    case RawOp::WriteByteData: a.PortWrite(t.address, t.command, static_cast<std::uint8_t>(t.value)); break;
    case RawOp::ReadWord: r.value = a.ReadWord(t.address, t.command); break;
    case RawOp::WriteWord: a.WriteWord(t.address, t.command, t.value); break;
    case RawOp::ReadBlock:
    case RawOp::WriteBlock: {
        a.setUsePEC(flag(t.pec));
        struct PecOff {
            vexlink06::KernelAdapter& a;
            ~PecOff() { a.setUsePEC(vexlink06::False); }
        } off{a};
        if (t.op == RawOp::ReadBlock)
            r.block = a.BlockRead(t.address, t.command);
        else
            a.BlockWrite(t.address, t.command, t.block);
        break;
    }
    }
    return r;
}

}  // namespace

std::string rawTransferProblem(Medium medium, const RawTransfer& t) { return problemOf(medium, t).sentence; }

RawResult rawTransfer(const ChipLocation& where, const RawTransfer& t)
{
    requireMakeable(where.medium, t);
    std::lock_guard lock(busMutex());
    try {
        switch (where.medium) {
        case Medium::PrinterPort: return onPrinterPort(where, t);
        case Medium::KernelAdapter: {
            // As the location's session selects it before its own transfers.
            const auto adapter = kernelAdapter();
            if (adapter->Bus() != where.port)
                adapter->setBus(where.port);
            if (adapter->Force() != flag(where.forced))
                adapter->setForce(flag(where.forced));
            return onAdapter(*adapter, t);
        }
        case Medium::ChipsetSmbus: break;
        }
        RawResult r;
        if (t.op == RawOp::ReadByteData)
            r.value = routeRead(MediumChipsetSMBus, t.address, t.command);
        else
            routeWrite(MediumChipsetSMBus, t.address, t.command, static_cast<std::uint8_t>(t.value));
        return r;
    } catch (const vexlink06::ComError& e) {
        throw busFailure(e);
    }
}

RawResult rawTransfer(KernelBus& bus, const RawTransfer& t, bool force)
{
    requireMakeable(Medium::KernelAdapter, t);
    std::lock_guard lock(busMutex());
    try {
        bus.m_adapter->setForce(flag(force));
        return onAdapter(*bus.m_adapter, t);
    } catch (const vexlink06::ComError& e) {
        throw busFailure(e);
    }
}

}  // namespace device
