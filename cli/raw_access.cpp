// The board memory and raw SMBus transactions: what the library offers
// beside the byte transfers of the register link.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <vexlink06/vexlink06.h>

#include "commands.h"
#include "decode.h"
#include "device/chip_presence.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "device/register_map.h"

namespace cli {

namespace {

// The board EEPROM's address byte on the printer port's bus.
constexpr std::uint8_t EepromAddressByte = 0xA0;
constexpr unsigned EepromSize = 0x10000;
// The chip's block commands.
constexpr std::uint8_t BlockWriteCommand = chiplaw::command::BlockWrite;
constexpr std::uint8_t BlockReadCommand = chiplaw::command::BlockRead;
constexpr std::size_t BlockMax = 32;

std::shared_ptr<vexlink06::PrinterPort> requirePrinterPort(const FoundChip& chip, const char* what)
{
    if (chip.medium != Medium::Printer)
        throw Failure(std::string(what) + " needs the printer port (the evaluation board's bus)");
    return device::required(device::ComPort()->PrinterPort());
}

// The EEPROM shares the bus's device address with the chip's block transfers:
// pointed at the memory for the command, back at the chip afterwards.
class EepromSession {
public:
    explicit EepromSession(const FoundChip& chip)
        : m_port(requirePrinterPort(chip, "the board memory")), m_chipByte(device::addressByte(chip.address))
    {
        m_eeprom = device::required(m_port->EEPROM());
        m_eeprom->setDeviceAddress(EepromAddressByte);
    }
    ~EepromSession()
    {
        try {
            m_port->setDeviceAddress(m_chipByte);
        } catch (...) {
            // Nothing else uses the shared address in this process.
        }
    }
    EepromSession(const EepromSession&) = delete;
    EepromSession& operator=(const EepromSession&) = delete;

    std::uint8_t read(unsigned address)
    {
        return m_eeprom->ReadByte(static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address));
    }
    void write(unsigned address, std::uint8_t value)
    {
        m_eeprom->WriteByte(static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), value);
    }

private:
    std::shared_ptr<vexlink06::PrinterPort> m_port;
    std::shared_ptr<vexlink06::EEPROM> m_eeprom;
    std::uint8_t m_chipByte;
};

// "0000: ff ff ... ff  ................" sixteen bytes a line.
std::string hexDump(unsigned offset, const std::vector<std::uint8_t>& bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        char text[16];
        std::snprintf(text, sizeof text, "%04x: ", static_cast<unsigned>(offset + i));
        std::string hex = text, ascii;
        for (std::size_t k = i; k < i + 16; ++k) {
            if (k >= bytes.size()) {
                hex += "   ";
                continue;
            }
            const std::uint8_t b = bytes[k];
            std::snprintf(text, sizeof text, "%02x ", b);
            hex += text;
            ascii += b >= 0x20 && b < 0x7F ? char(b) : '.';
        }
        out += hex + " " + ascii + "\n";
    }
    return out;
}

void checkRange(unsigned offset, std::size_t length)
{
    if (offset + length > EepromSize)
        throw UsageError("offset and length reach beyond the 64 KiB of the board memory");
}

std::vector<std::uint8_t> readFileBytes(const std::string& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        throw Failure(path + ": not a regular file");
    const auto size = std::filesystem::file_size(path, ec);
    if (ec)
        throw Failure(path + ": " + ec.message());
    if (size > EepromSize)
        throw Failure(path + ": larger than the 64 KiB of the board memory");
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        throw Failure(path + ": cannot be read");
    return bytes;
}

}  // namespace

void runEepromRead(const TargetOptions& options, unsigned offset, unsigned length, const std::string& path)
{
    checkRange(offset, length);
    const FoundChip chip = connect(options);
    std::vector<std::uint8_t> bytes;
    {
        EepromSession eeprom(chip);
        bytes.reserve(length);
        for (unsigned i = 0; i < length; ++i)
            bytes.push_back(eeprom.read(offset + i));
    }
    if (path.empty() || path == "-") {
        if (path.empty())
            std::cout << "# board memory at 0xa0 on " << describe(chip) << ", " << backEndText() << "\n";
        if (path == "-")
            std::cout.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        else
            std::cout << hexDump(offset, bytes);
        std::cout << std::flush;
        return;
    }
    const std::string error =
        device::writeFileReplacing(path, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!error.empty())
        throw Failure(error);
    std::cout << "read " << length << " bytes of the board memory to " << path << "\n";
}

void runEepromWrite(const TargetOptions& options, unsigned offset, const std::string& path, bool assumeYes)
{
    const std::vector<std::uint8_t> bytes = readFileBytes(path);
    if (bytes.empty())
        throw Failure(path + ": empty, nothing to write");
    checkRange(offset, bytes.size());
    const FoundChip chip = connect(options);
    requirePrinterPort(chip, "the board memory");
    char range[48];
    std::snprintf(range, sizeof range, "0x%04x..0x%04x", offset, static_cast<unsigned>(offset + bytes.size() - 1));
    if (!assumeYes && !confirm("Write " + std::to_string(bytes.size()) + " bytes to the board memory at " + range +
                               " on " + describe(chip) + "?"))
        throw Failure("not written");
    EepromSession eeprom(chip);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        eeprom.write(offset + static_cast<unsigned>(i), bytes[i]);
        // A real memory takes a few milliseconds to store each byte and ignores
        // the bus meanwhile.
        if (!onSimulatedBoard())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t got = eeprom.read(offset + static_cast<unsigned>(i));
        if (got != bytes[i]) {
            char where[96];
            std::snprintf(where, sizeof where, "the board memory reads back 0x%02x at 0x%04x, not 0x%02x", got,
                          static_cast<unsigned>(offset + i), bytes[i]);
            throw Failure(where);
        }
    }
    std::cout << "wrote and verified " << bytes.size() << " bytes at " << range << "\n";
}

void runTransfer(const TargetOptions& options, const TransferOptions& t)
{
    const bool block = t.kind == TransferKind::ReadBlock || t.kind == TransferKind::WriteBlock;
    const bool write = t.kind == TransferKind::WriteWord || t.kind == TransferKind::WriteBlock;
    if (t.pec && !block)
        throw UsageError("--pec goes with block transfers only: after a word the chip takes a PEC byte as the next "
                         "register's data");
    const auto command = static_cast<std::uint8_t>(numberArgument("register", t.reg, 0xFF));
    std::uint16_t word = 0;
    std::vector<std::uint8_t> data;
    if (t.kind == TransferKind::WriteWord) {
        if (t.data.size() != 1)
            throw UsageError("write-word takes one value (0x0000..0xffff)");
        word = static_cast<std::uint16_t>(numberArgument("value", t.data[0], 0xFFFF));
    } else if (t.kind == TransferKind::WriteBlock) {
        if (t.data.empty() || t.data.size() > BlockMax)
            throw UsageError("write-block takes 1 to 32 bytes");
        for (const std::string& b : t.data)
            data.push_back(static_cast<std::uint8_t>(numberArgument("byte", b, 0xFF)));
    }
    const FoundChip chip = connect(options);
    if (chip.medium == Medium::Smbus)
        throw Failure("the chipset SMBus path makes byte transfers only; use the printer port or --medium i2c");
    if (block && chip.medium == Medium::Printer && command != (write ? BlockWriteCommand : BlockReadCommand))
        throw Failure(std::string("on the printer port a block ") + (write ? "write" : "read") + " sends command " +
                      hexByte(write ? BlockWriteCommand : BlockReadCommand) + ", the chip's block command");
    if (write && !t.assumeYes &&
        !confirm(std::string("Write a ") + (block ? "block of " + std::to_string(data.size()) + " bytes" : "word") +
                 " with command " + hexByte(command) + " to the " + chipLine(chip) + "?"))
        throw Failure("not written");
    const bool printer = chip.medium == Medium::Printer;
    const auto pec = t.pec ? vexlink06::True : vexlink06::False;
    std::string result;
    if (printer) {
        auto proto = device::required(device::required(device::ComPort()->PrinterPort())->SMBusProtocall());
        const std::uint8_t address = device::addressByte(chip.address);
        proto->setDeviceAddress(address);
        proto->setUsePEC(pec);
        // The protocol reports a short block or a lost bus through its error
        // event and returns as if it had succeeded: the event fails the command.
        std::string busError;
        struct HandlerReset {
            vexlink06::SMBusProtocall& proto;
            ~HandlerReset()
            {
                proto.setSMBusProtocallErrorHandler(nullptr);
                proto.setUsePEC(vexlink06::False);
            }
        } reset{*proto};
        proto->setSMBusProtocallErrorHandler([&busError](std::int16_t number, const std::string& description) {
            if (busError.empty())
                busError = "Error: " + std::to_string(number) + ", " + description;
        });
        switch (t.kind) {
        case TransferKind::ReadWord: {
            // On the printer port the high byte comes first; shown as SMBus
            // words are, the first byte (register REG) low.
            const auto v = static_cast<unsigned>(std::lround(proto->ReadWord(address, command)));
            word = static_cast<std::uint16_t>(((v & 0xFF) << 8) | ((v >> 8) & 0xFF));
            break;
        }
        case TransferKind::WriteWord:
            proto->WriteWord(address, command, static_cast<float>(((word & 0xFF) << 8) | (word >> 8)));
            break;
        case TransferKind::ReadBlock: {
            proto->BlockRead(0, 0);
            const auto got = proto->GetBlockReadData();
            for (std::size_t i = 2; i < 2 + BlockMax && i < got.size(); ++i)
                data.push_back(static_cast<std::uint8_t>(got[i]));
            if (!busError.empty())
                throw Failure(busError);
            if (t.pec && proto->PECOK() == vexlink06::False)
                throw Failure("the block's PEC does not match: the data was damaged on the bus");
            break;
        }
        case TransferKind::WriteBlock: {
            std::vector<std::int16_t> elements(3, 0);
            for (const std::uint8_t b : data)
                elements.push_back(b);
            proto->BlockWrite(static_cast<std::uint8_t>(data.size()), elements);
            if (t.pec && proto->PECOK() == vexlink06::False)
                throw Failure("the chip did not acknowledge the PEC byte: the block was refused");
            break;
        }
        }
        if (!busError.empty())
            throw Failure(busError);
    } else {
        auto adapter = device::required(device::kernelAdapter());
        adapter->setUsePEC(pec);
        switch (t.kind) {
        case TransferKind::ReadWord: word = adapter->ReadWord(chip.address, command); break;
        case TransferKind::WriteWord: adapter->WriteWord(chip.address, command, word); break;
        case TransferKind::ReadBlock: data = adapter->BlockRead(chip.address, command); break;
        case TransferKind::WriteBlock: adapter->BlockWrite(chip.address, command, data); break;
        }
        adapter->setUsePEC(vexlink06::False);
    }
    session().requirePresent();
    char text[16];
    switch (t.kind) {
    case TransferKind::ReadWord:
        std::snprintf(text, sizeof text, "0x%04x", word);
        std::cout << text << "\n";
        break;
    case TransferKind::ReadBlock:
        for (std::size_t i = 0; i < data.size(); ++i)
            std::cout << (i ? " " : "") << hexByte(data[i]);
        std::cout << "\n";
        break;
    case TransferKind::WriteWord:
    case TransferKind::WriteBlock: std::cout << "written" << (t.pec ? " (PEC acknowledged)" : "") << "\n"; break;
    }
}

}  // namespace cli
