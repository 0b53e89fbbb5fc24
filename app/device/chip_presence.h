#pragma once
// Does the connected chip still answer? On the printer port no acknowledge
// is sampled, so a chip that was unplugged, or a bus another master holds,
// reads 0xFF (or 0x00) and takes writes without a word. Commands and windows
// that would pass such values on as the chip's ask here: the Device ID must
// still read as the connected chip's, and a register that can never read
// 0xFF must not.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace device {

// "the chip at 0x2E no longer answers", with the connected chip's 7-bit
// address whichever medium it was found on.
std::string noLongerAnswersText();
std::string noLongerAnswersText(std::uint8_t address7);

// True for a value the register can never hold on either chip: 0xFF in
// Configuration 2 (its reset bit clears itself), the two ID registers and
// the revision register (only bit 7 is writable).
bool impossibleValue(std::uint8_t address, std::uint8_t value);

// Reads the Device ID through the register link and compares it with
// RegisterLink.DeviceId. Leaves RegisterPointer and ReadResult as they were.
// A library error propagates.
bool chipAnswers();

class ChipNotAnswering : public std::runtime_error {
public:
    ChipNotAnswering() : std::runtime_error(noLongerAnswersText()) { }
    explicit ChipNotAnswering(const std::string& text) : std::runtime_error(text) { }
};

// Wraps a register reader (such as device::readRegister) and remembers
// whether any value it gave was impossible, so a batch of reads can be
// confirmed once at its end.
class AnswerWatch {
public:
    using Reader = std::function<std::uint8_t(std::uint8_t)>;
    // Confirms through the register link.
    explicit AnswerWatch(Reader read) : AnswerWatch(std::move(read), chipAnswers, [] { return noLongerAnswersText(); })
    { }
    // Confirms with `answers` (a device session's presence check) and says
    // `goneText` when the chip is gone.
    AnswerWatch(Reader read, std::function<bool()> answers, std::function<std::string()> goneText)
        : m_read(std::move(read)), m_answers(std::move(answers)), m_goneText(std::move(goneText))
    { }

    std::uint8_t operator()(std::uint8_t address);
    bool sawImpossible() const { return m_impossible; }
    // Throws ChipNotAnswering when a value was impossible or the Device ID
    // no longer reads as the connected chip's.
    void confirm() const;

private:
    Reader m_read;
    std::function<bool()> m_answers;
    std::function<std::string()> m_goneText;
    bool m_impossible = false;
};

}  // namespace device
