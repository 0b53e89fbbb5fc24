// The board memory and raw SMBus transactions: what the device layer offers
// beside the byte transfers of the register link.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "decode.h"
#include "device/board_memory.h"
#include "device/chip_presence.h"
#include "device/raw_transfer.h"
#include "device/register_file.h"
#include "device/register_map.h"

namespace cli {

namespace {

constexpr unsigned EepromSize = device::BoardMemory::Size;

// The board memory is on the evaluation board's own bus.
void requirePrinterPort(const FoundChip& chip, const char* what)
{
    if (chip.medium != Medium::Printer)
        throw Failure(std::string(what) + " needs the printer port (the evaluation board's bus)");
}

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
        requirePrinterPort(chip, "the board memory");
        device::BoardMemory eeprom(session().location());
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
    device::BoardMemory eeprom(session().location());
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
    device::RawTransfer raw;
    raw.op = t.kind == TransferKind::ReadWord    ? device::RawOp::ReadWord
             : t.kind == TransferKind::WriteWord ? device::RawOp::WriteWord
             : t.kind == TransferKind::ReadBlock ? device::RawOp::ReadBlock
                                                 : device::RawOp::WriteBlock;
    raw.command = static_cast<std::uint8_t>(numberArgument("register", t.reg, 0xFF));
    raw.pec = t.pec;
    if (t.kind == TransferKind::WriteWord) {
        if (t.data.size() != 1)
            throw UsageError("write-word takes one value (0x0000..0xffff)");
        raw.value = static_cast<std::uint16_t>(numberArgument("value", t.data[0], 0xFFFF));
    } else if (t.kind == TransferKind::WriteBlock) {
        if (t.data.empty() || t.data.size() > device::BlockMax)
            throw UsageError("write-block takes 1 to 32 bytes");
        for (const std::string& b : t.data)
            raw.block.push_back(static_cast<std::uint8_t>(numberArgument("byte", b, 0xFF)));
    }
    const FoundChip chip = connect(options);
    raw.address = chip.address;
    if (chip.medium == Medium::Smbus)
        throw Failure("the chipset SMBus path makes byte transfers only; use the printer port or --medium i2c");
    if (const std::string problem = device::rawTransferProblem(deviceMedium(chip.medium), raw); !problem.empty())
        throw Failure(problem);
    if (write && !t.assumeYes &&
        !confirm(std::string("Write a ") +
                 (block ? "block of " + std::to_string(raw.block.size()) + " bytes" : "word") + " with command " +
                 hexByte(raw.command) + " to the " + chipLine(chip) + "?"))
        throw Failure("not written");
    const device::RawResult result = device::rawTransfer(session().location(), raw);
    session().requirePresent();
    char text[16];
    switch (t.kind) {
    case TransferKind::ReadWord:
        std::snprintf(text, sizeof text, "0x%04x", result.value);
        std::cout << text << "\n";
        break;
    case TransferKind::ReadBlock:
        for (std::size_t i = 0; i < result.block.size(); ++i)
            std::cout << (i ? " " : "") << hexByte(result.block[i]);
        std::cout << "\n";
        break;
    case TransferKind::WriteWord:
    case TransferKind::WriteBlock: std::cout << "written" << (t.pec ? " (PEC acknowledged)" : "") << "\n"; break;
    }
}

}  // namespace cli
