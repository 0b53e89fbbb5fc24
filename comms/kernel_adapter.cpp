// The kernel-adapter class: a thin face on libvxi2c_<impl>.so that keeps the
// adapter open and the address selected between transfers, so a register
// read costs one platform call, and turns every answer into a sentence.
#include "vexlink06/kernel_adapter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "i2cadapter_abi.h"
#include "journal.h"
#include "platform_loader.h"
#include "vexlink06/tvx_com_port.h"

namespace vexlink06 {
namespace {

// The ABI's entry points, in the order of their names, bound at the first
// use. A missing library fails with error 48 and the next use tries again.
using AdapterAbi =
    platform::Abi<platform::Kind::I2cAdapter, decltype(VxI2cListAdapters), decltype(VxI2cOpen), decltype(VxI2cClose),
                  decltype(VxI2cSetAddress), decltype(VxI2cSetPec), decltype(VxI2cQuick), decltype(VxI2cReadByte),
                  decltype(VxI2cWriteByte), decltype(VxI2cReadByteData), decltype(VxI2cWriteByteData),
                  decltype(VxI2cReadWordData), decltype(VxI2cWriteWordData), decltype(VxI2cReadBlockData),
                  decltype(VxI2cWriteBlockData)>;
enum AdapterEntry : std::size_t {
    VxList,
    VxOpen,
    VxClose,
    VxSetAddress,
    VxSetPec,
    VxQuick,
    VxReadByte,
    VxWriteByte,
    VxReadByteData,
    VxWriteByteData,
    VxReadWordData,
    VxWriteWordData,
    VxReadBlockData,
    VxWriteBlockData
};

constinit AdapterAbi g_abi{{"VxI2cListAdapters", "VxI2cOpen", "VxI2cClose", "VxI2cSetAddress", "VxI2cSetPec",
                            "VxI2cQuick", "VxI2cReadByte", "VxI2cWriteByte", "VxI2cReadByteData", "VxI2cWriteByteData",
                            "VxI2cReadWordData", "VxI2cWriteWordData", "VxI2cReadBlockData", "VxI2cWriteBlockData"}};

const AdapterAbi& abi()
{
    g_abi.bind();
    return g_abi;
}

std::string hexAddress(std::int32_t address7)
{
    char text[8];
    (void)std::snprintf(text, sizeof text, "%02Xh", static_cast<unsigned>(address7 & 0x7F));
    return text;
}

}  // namespace

std::string functionalityText(std::uint32_t bits)
{
    struct Name {
        std::uint32_t bits;
        const char* text;
    };
    static constexpr Name names[] = {
        {FuncSMBusQuick, "quick"},          {FuncSMBusByte, "byte"},
        {FuncSMBusByteData, "byte-data"},   {FuncSMBusWordData, "word-data"},
        {FuncSMBusBlockData, "block-data"}, {FuncSMBusPEC, "pec"},
    };
    std::string out;
    for (const Name& n : names) {
        if ((bits & n.bits) == n.bits) {
            if (!out.empty())
                out += ' ';
            out += n.text;
        }
    }
    return out.empty() ? "none" : out;
}

std::shared_ptr<KernelAdapter> TvxComPort::KernelAdapter() const
{
    if (!m_kernelAdapter)
        m_kernelAdapter = vexlink06::KernelAdapter::create();
    return m_kernelAdapter;
}

void TvxComPort::setKernelAdapter(std::shared_ptr<vexlink06::KernelAdapter> adapter)
{
    m_kernelAdapter = std::move(adapter);
}

std::shared_ptr<KernelAdapter> KernelAdapter::create() { return std::shared_ptr<KernelAdapter>(new KernelAdapter()); }

KernelAdapter::~KernelAdapter() { closeHandle(); }

void KernelAdapter::closeHandle()
{
    if (m_handle >= 0)
        abi().get<VxClose>()(m_handle);
    m_handle = -1;
    m_address = -1;
    m_pecOn = false;
}

std::vector<AdapterInfo> KernelAdapter::Adapters()
{
    const AdapterAbi& a = abi();
    std::vector<VxI2cAdapterInfo> raw(32);
    for (auto& r : raw)
        r.size = sizeof(VxI2cAdapterInfo);
    std::int32_t count = a.get<VxList>()(raw.data(), static_cast<std::int32_t>(raw.size()));
    if (count > static_cast<std::int32_t>(raw.size())) {
        raw.resize(static_cast<std::size_t>(count));
        for (auto& r : raw)
            r.size = sizeof(VxI2cAdapterInfo);
        count = std::min(a.get<VxList>()(raw.data(), count), count);
    }
    std::vector<AdapterInfo> out;
    if (count < 0) {
        m_listStatus = static_cast<AdapterError>(count);
        return out;
    }
    m_listStatus = AdapterError::None;
    for (std::int32_t i = 0; i < count; ++i) {
        const VxI2cAdapterInfo& r = raw[static_cast<std::size_t>(i)];
        out.push_back({r.number, std::string(r.name, strnlen(r.name, sizeof r.name)), r.functionality,
                       static_cast<AdapterError>(r.access), std::string(r.group, strnlen(r.group, sizeof r.group))});
    }
    return out;
}

void KernelAdapter::setBus(std::int32_t number)
{
    if (number == m_bus)
        return;
    closeHandle();
    m_bus = number;
    m_opened = false;
}

std::int32_t KernelAdapter::FindBus(const std::string& numberOrName)
{
    std::string digits = numberOrName;
    if (digits.rfind("i2c-", 0) == 0)
        digits = digits.substr(4);
    const bool numeric =
        !digits.empty() && digits.size() <= 6 && digits.find_first_not_of("0123456789") == std::string::npos;
    if (numeric)
        return static_cast<std::int32_t>(std::strtol(digits.c_str(), nullptr, 10));
    for (const AdapterInfo& info : Adapters())
        if (info.Name == numberOrName)
            return info.Number;
    return -1;
}

void KernelAdapter::setForce(VBool force)
{
    if ((force != False) != (m_force != False))
        m_address = -1;  // select again with the other request
    m_force = force;
}

void KernelAdapter::fail(AdapterError code, std::int32_t address7)
{
    const std::string bus = "i2c-" + std::to_string(m_bus);
    const std::string at = address7 >= 0 ? " at address " + hexAddress(address7) : std::string();
    switch (code) {
    case AdapterError::NoAck: throw AdapterFailure(code, 57, "No device answered" + at + " on " + bus + ".");
    case AdapterError::BadPec:
        throw AdapterFailure(code, 57,
                             "The packet error code from the device" + at + " on " + bus +
                                 " did not match: the data may be corrupted.");
    case AdapterError::Timeout:
        throw AdapterFailure(
            code, 57, bus + " timed out talking to the device" + at + " (a busy bus or a device holding the clock).");
    case AdapterError::Gone: throw AdapterFailure(code, 68, bus + " has gone away: was the adapter unplugged?");
    case AdapterError::DriverOwned:
        throw AdapterFailure(code, 70,
                             "A kernel driver is using the device" + at + " on " + bus +
                                 "; use force only if you know the driver is idle.");
    case AdapterError::NoPermission:
        throw AdapterFailure(code, 70,
                             "Permission denied on /dev/" + bus +
                                 ": join the group that owns it (usually i2c) and log in again.");
    case AdapterError::NoDeviceFiles:
        throw AdapterFailure(code, 53,
                             "There are no /dev/i2c-* device files: load the i2c-dev module "
                             "(sudo modprobe i2c-dev).");
    case AdapterError::NoAdapter: throw AdapterFailure(code, 53, "There is no adapter " + bus + ".");
    case AdapterError::Unsupported: throw AdapterFailure(code, 438, bus + " cannot do this transfer.");
    case AdapterError::Protocol:
        throw AdapterFailure(code, 57, "The device" + at + " on " + bus + " gave a malformed answer.");
    case AdapterError::Argument: throw AdapterFailure(code, 5, "Invalid procedure call or argument");
    case AdapterError::None:
    case AdapterError::Io: break;
    }
    throw AdapterFailure(AdapterError::Io, 57, "Device I/O error on " + bus + ".");
}

std::int32_t KernelAdapter::check(std::int32_t result, std::int32_t address7)
{
    if (result >= 0)
        return result;
    const auto code = static_cast<AdapterError>(result);
    if (code == AdapterError::Gone)
        closeHandle();  // the node is dead; a replugged bridge gets a fresh open
    if (!journal::current())
        fail(code, address7);
    try {
        fail(code, address7);
    } catch (const AdapterFailure& failure) {
        TransferRecord& record = *journal::current();
        journal::Scope::setError(record, failure.number(), failure.description());
        // The kernel says no acknowledge without saying for which byte; the
        // address is the usual one.
        if (code == AdapterError::NoAck)
            record.acks = {ByteAck::Nack};
        if (code == AdapterError::BadPec)
            record.pecMatch = false;
        throw;
    }
}

std::int32_t KernelAdapter::prepare(std::uint8_t address7, bool pec)
{
    const AdapterAbi& a = abi();
    if (m_bus < 0)
        fail(AdapterError::NoAdapter, -1);
    if (m_handle < 0) {
        std::int32_t handle = a.get<VxOpen>()(m_bus);
        // A bridge that was open once and whose node has vanished was unplugged.
        if (handle == VXI2C_ENOADAPTER && m_opened)
            handle = VXI2C_EGONE;
        m_handle = check(handle, -1);
        m_opened = true;
    }
    if (m_address != address7) {
        check(a.get<VxSetAddress>()(m_handle, address7, m_force != False ? 1 : 0), address7);
        m_address = address7;
    }
    if (m_pecOn != pec) {
        const std::int32_t rc = a.get<VxSetPec>()(m_handle, pec ? 1 : 0);
        if (rc == VXI2C_EUNSUPPORTED)
            throw AdapterFailure(AdapterError::Unsupported, 438,
                                 "i2c-" + std::to_string(m_bus) + " does not offer packet error checking.");
        check(rc, address7);
        m_pecOn = pec;
    }
    return m_handle;
}

// A transfer the kernel completed was acknowledged byte by byte (it fails
// the whole transfer otherwise). The kernel checks a PEC itself and says
// only whether it matched.
namespace {

journal::Scope adapterTransfer(std::int32_t bus, std::uint8_t address7, TransferDirection direction,
                               TransferProtocol protocol)
{
    return {TransferMedium::KernelAdapter, bus, address7, direction, protocol};
}

}  // namespace

void KernelAdapter::Quick(std::uint8_t DeviceAddress, VBool ReadBit)
{
    journal::Scope scope =
        adapterTransfer(m_bus, DeviceAddress, ReadBit != False ? TransferDirection::Read : TransferDirection::Write,
                        TransferProtocol::Quick);
    check(abi().get<VxQuick>()(prepare(DeviceAddress, false), ReadBit != False ? 1 : 0), DeviceAddress);
    scope.wire(1, ByteAck::Ack);
}

std::uint8_t KernelAdapter::ReceiveByte(std::uint8_t DeviceAddress)
{
    journal::Scope scope =
        adapterTransfer(m_bus, DeviceAddress, TransferDirection::Read, TransferProtocol::ReceiveByte);
    const auto value =
        static_cast<std::uint8_t>(check(abi().get<VxReadByte>()(prepare(DeviceAddress, false)), DeviceAddress));
    scope.data({value});
    scope.wire(2, ByteAck::Ack);
    return value;
}

void KernelAdapter::SendByte(std::uint8_t DeviceAddress, std::uint8_t Data)
{
    journal::Scope scope = adapterTransfer(m_bus, DeviceAddress, TransferDirection::Write, TransferProtocol::SendByte);
    scope.data({Data});
    check(abi().get<VxWriteByte>()(prepare(DeviceAddress, false), Data), DeviceAddress);
    scope.wire(2, ByteAck::Ack);
}

std::uint8_t KernelAdapter::PortRead(std::uint8_t DeviceAddress, std::uint8_t AddressPointer)
{
    journal::Scope scope = adapterTransfer(m_bus, DeviceAddress, TransferDirection::Read, TransferProtocol::ReadByte);
    scope.command(AddressPointer);
    const auto value = static_cast<std::uint8_t>(
        check(abi().get<VxReadByteData>()(prepare(DeviceAddress, false), AddressPointer), DeviceAddress));
    scope.data({value});
    scope.wire(4, ByteAck::Ack);
    return value;
}

void KernelAdapter::PortWrite(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, std::uint8_t Data)
{
    journal::Scope scope = adapterTransfer(m_bus, DeviceAddress, TransferDirection::Write, TransferProtocol::WriteByte);
    scope.command(AddressPointer);
    scope.data({Data});
    check(abi().get<VxWriteByteData>()(prepare(DeviceAddress, false), AddressPointer, Data), DeviceAddress);
    scope.wire(3, ByteAck::Ack);
}

std::uint16_t KernelAdapter::ReadWord(std::uint8_t DeviceAddress, std::uint8_t Command)
{
    journal::Scope scope = adapterTransfer(m_bus, DeviceAddress, TransferDirection::Read, TransferProtocol::ReadWord);
    scope.command(Command);
    const auto value = static_cast<std::uint16_t>(
        check(abi().get<VxReadWordData>()(prepare(DeviceAddress, false), Command), DeviceAddress));
    // SMBus words go low byte first.
    scope.data({static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)});
    scope.wire(5, ByteAck::Ack);
    return value;
}

void KernelAdapter::WriteWord(std::uint8_t DeviceAddress, std::uint8_t Command, std::uint16_t Value)
{
    journal::Scope scope = adapterTransfer(m_bus, DeviceAddress, TransferDirection::Write, TransferProtocol::WriteWord);
    scope.command(Command);
    scope.data({static_cast<std::uint8_t>(Value & 0xFF), static_cast<std::uint8_t>(Value >> 8)});
    check(abi().get<VxWriteWordData>()(prepare(DeviceAddress, false), Command, Value), DeviceAddress);
    scope.wire(4, ByteAck::Ack);
}

std::vector<std::uint8_t> KernelAdapter::BlockRead(std::uint8_t DeviceAddress, std::uint8_t Command)
{
    journal::Scope scope = adapterTransfer(m_bus, DeviceAddress, TransferDirection::Read, TransferProtocol::BlockRead);
    scope.command(Command);
    std::uint8_t data[VXI2C_BLOCK_MAX] = {};
    const bool pec = m_usePec != False;
    const std::int32_t handle = prepare(DeviceAddress, pec);
    const auto count = check(abi().get<VxReadBlockData>()(handle, Command, data), DeviceAddress);
    std::vector<std::uint8_t> block(data, data + std::min<std::int32_t>(count, VXI2C_BLOCK_MAX));
    if (TransferRecord* record = scope.record()) {
        record->data = block;
        record->acks.assign(4 + block.size() + (pec ? 1 : 0), ByteAck::Ack);
        if (pec)
            record->pecMatch = true;
    }
    return block;
}

void KernelAdapter::BlockWrite(std::uint8_t DeviceAddress, std::uint8_t Command, const std::vector<std::uint8_t>& Data)
{
    if (Data.size() > VXI2C_BLOCK_MAX)
        throw ComError::subscriptOutOfRange();
    journal::Scope scope =
        adapterTransfer(m_bus, DeviceAddress, TransferDirection::Write, TransferProtocol::BlockWrite);
    scope.command(Command);
    if (TransferRecord* record = scope.record())
        record->data = Data;
    const bool pec = m_usePec != False;
    const std::int32_t handle = prepare(DeviceAddress, pec);
    check(abi().get<VxWriteBlockData>()(handle, Command, static_cast<std::int32_t>(Data.size()), Data.data()),
          DeviceAddress);
    if (TransferRecord* record = scope.record()) {
        record->acks.assign(3 + Data.size() + (pec ? 1 : 0), ByteAck::Ack);
        if (pec)
            record->pecMatch = true;
    }
}

}  // namespace vexlink06
