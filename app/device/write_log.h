#pragma once
// The log of every register write made through the register link, and undo
// and redo on top of it. Plain C++, shared by the program and the CLI.
//
// The link reports each read and each write here. A write's "before" value
// is the last value this process read from or wrote to that register of that
// chip: nearly every writer reads the register just before (read-modify-
// write), and the blind writers (byte entry, recall, duty presets) write
// registers the windows have read a moment earlier. Taking it from memory
// keeps the bus traffic of every write exactly as it was; no write is
// preceded by a read of its own. A register never seen has no before value,
// and a group that wrote one cannot be undone.
//
// Writes made while a WriteAction is alive form one group (a recall, Easy
// Setup, one dialog click); a write outside any action is a group by itself.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace device {

enum class WriteSource { Other, Panel, FanControl, Dialog, EasySetup, Gauge, Recall, Undo, Redo, Cli };

std::string_view sourceName(WriteSource source);

struct WriteRecord {
    std::uint64_t group = 0;
    WriteSource source = WriteSource::Other;
    std::string action;  // what the user did, e.g. "Recall Previous Setup"
    std::uint8_t medium = 0;
    std::uint8_t deviceAddress = 0;
    std::uint8_t reg = 0;
    std::optional<std::uint8_t> before;
    std::uint8_t after = 0;
    // A write that changed nothing and repeated the previous record (a dialog
    // timer rewriting the value shown) bumps this instead of adding a record.
    int repeats = 1;
    std::chrono::steady_clock::time_point at{};
};

// One register's net change in a group: the value before its first write
// and the value of its last.
struct RegisterChangeOfGroup {
    std::uint8_t reg = 0;
    std::optional<std::uint8_t> before;
    std::uint8_t after = 0;
};

// Registers undo leaves out: read-only ones and the tach counts the chip
// measures over whatever was written.
bool undoable(std::uint8_t reg);

// Bits that keep what was written: the software-reset bit clears itself and
// only the top bit of the revision register is writable.
std::uint8_t keptBits(std::uint8_t reg);

struct UndoResult {
    bool done = false;
    std::string message;       // what was restored, or why nothing was
    bool nothingToDo = false;  // the history was empty: not a refusal
};

class WriteLog {
public:
    static constexpr std::size_t DefaultCapacity = 1024;
    explicit WriteLog(std::size_t capacity = DefaultCapacity) : m_capacity(capacity) { }

    void noteRead(std::uint8_t medium, std::uint8_t deviceAddress, std::uint8_t reg, std::uint8_t value);
    void noteWrite(std::uint8_t medium, std::uint8_t deviceAddress, std::uint8_t reg, std::uint8_t value);

    std::optional<std::uint8_t> knownValue(std::uint8_t medium, std::uint8_t deviceAddress, std::uint8_t reg) const;

    const std::deque<WriteRecord>& records() const { return m_records; }
    std::vector<RegisterChangeOfGroup> changesOfGroup(std::uint64_t group) const;

    bool canUndo() const { return !m_undo.empty(); }
    bool canRedo() const { return !m_redo.empty(); }
    // "Undo Recall Previous Setup" style texts for buttons and tooltips.
    std::string undoText() const;
    std::string redoText() const;

    // Restores the last group with a net change through the register link
    // (RegisterLink's medium and address must be those of the group). Refused,
    // writing nothing, when a register no longer holds what was written, or
    // when no register of the group has a known earlier value; registers with
    // no known earlier value are otherwise left as written and named in the
    // message. A refused group is dropped from the history.
    UndoResult undo();
    UndoResult redo();

    // Forgets the records, the history and the remembered values.
    void clear();

    // Called whenever what undo or redo would do may have changed.
    void setHistoryListener(std::function<void()> listener) { m_listener = std::move(listener); }

    // The action of the WriteAction alive now (the outermost one), "" when
    // none is; the bus journal names the cause of each transfer by it.
    std::string_view activeAction() const
    {
        return m_depth > 0 ? std::string_view(m_current.action) : std::string_view();
    }

    // Used by WriteAction.
    enum class Continue { No, Within, Always };
    void beginAction(WriteSource source, std::string action, Continue continues);
    void endAction();

private:
    struct Key {
        std::uint8_t medium, address;
        // NOLINTNEXTLINE(modernize-use-nullptr): there is no pointer; clang-tidy misreads a defaulted <=>
        auto operator<=>(const Key&) const = default;
    };
    struct Current {
        std::uint64_t group = 0;
        WriteSource source = WriteSource::Other;
        std::string action;
    };

    std::optional<std::uint8_t>& remembered(std::uint8_t medium, std::uint8_t deviceAddress, std::uint8_t reg);
    const WriteRecord* lastRecordOf(std::uint64_t group) const;
    void dropGroup(std::uint64_t group);
    UndoResult replay(bool undoing);

    std::size_t m_capacity;
    std::deque<WriteRecord> m_records;
    std::map<Key, std::array<std::optional<std::uint8_t>, 256>> m_known;
    std::vector<std::uint64_t> m_undo, m_redo;
    std::uint64_t m_nextGroup = 1;
    int m_depth = 0;
    Current m_current;
    std::function<void()> m_listener;
};

// The process-wide log the register link reports to.
WriteLog& writeLog();

// While alive, the writes through the register link are one group with this
// source and action. Nested actions join the outermost one.
class WriteAction {
public:
    // A drag (gauge pointer, slider) writes on every step; with
    // ContinueWithin, an action that starts within that time of the same
    // action's last write joins its group, so the whole drag is one undo.
    // DragHeld: the caller knows the drag goes on (the mouse button is still
    // down since the group began): it joins however long the drag paused.
    // Either joins only while that group is still the last one to undo.
    static constexpr std::chrono::milliseconds ContinueWithin{1500};
    enum class Kind { Single, Drag, DragHeld };
    WriteAction(WriteSource source, std::string action, Kind kind = Kind::Single);
    ~WriteAction();
    WriteAction(const WriteAction&) = delete;
    WriteAction& operator=(const WriteAction&) = delete;
};

}  // namespace device
