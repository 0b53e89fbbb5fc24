#include "device/write_log.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "device/register_link.h"
#include "device/register_map.h"

namespace device {
namespace {

std::string registerLabel(std::uint8_t reg)
{
    const RegisterEntry* e = registerEntryByAddress(reg);
    return (e ? std::string(e->name) + " " : std::string()) + "(" + addressText(reg) + ")";
}

std::string byteText(std::uint8_t value) { return addressText(value); }

bool sameKept(std::uint8_t reg, std::uint8_t a, std::uint8_t b) { return ((a ^ b) & keptBits(reg)) == 0; }

std::string actionName(const WriteRecord& r)
{
    if (!r.action.empty())
        return r.action;
    return "the write to " + registerLabel(r.reg);
}

// A changed "before" that is unknown still counts as a change.
bool netChange(const RegisterChangeOfGroup& c) { return !c.before || !sameKept(c.reg, *c.before, c.after); }

}  // namespace

std::string_view sourceName(WriteSource source)
{
    switch (source) {
    case WriteSource::Other: return "other";
    case WriteSource::Panel: return "Read/Write panel";
    case WriteSource::FanControl: return "fan control panel";
    case WriteSource::Dialog: return "dialog";
    case WriteSource::EasySetup: return "Easy Setup";
    case WriteSource::Gauge: return "limits gauge";
    case WriteSource::Recall: return "recall";
    case WriteSource::Undo: return "undo";
    case WriteSource::Redo: return "redo";
    case WriteSource::Cli: return "command line";
    }
    return "other";
}

bool undoable(std::uint8_t reg)
{
    const RegisterEntry* e = registerEntryByAddress(reg);
    return e && e->panelWrites && reg != reg::Fan1Tach && reg != reg::Fan2Tach;
}

std::uint8_t keptBits(std::uint8_t reg)
{
    switch (reg) {
    case reg::Configuration2: return 0x7F;
    case reg::Revision: return 0x80;
    default: return 0xFF;
    }
}

WriteLog& writeLog()
{
    static WriteLog log;
    return log;
}

std::optional<std::uint8_t>& WriteLog::remembered(std::uint8_t medium, std::uint8_t deviceAddress, std::uint8_t reg)
{
    return m_known[Key{medium, deviceAddress}][reg];
}

std::optional<std::uint8_t> WriteLog::knownValue(std::uint8_t medium, std::uint8_t deviceAddress,
                                                 std::uint8_t reg) const
{
    const auto it = m_known.find(Key{medium, deviceAddress});
    if (it == m_known.end())
        return std::nullopt;
    return it->second[reg];
}

void WriteLog::noteRead(std::uint8_t medium, std::uint8_t deviceAddress, std::uint8_t reg, std::uint8_t value)
{
    remembered(medium, deviceAddress, reg) = value;
}

void WriteLog::noteWrite(std::uint8_t medium, std::uint8_t deviceAddress, std::uint8_t reg, std::uint8_t value)
{
    auto& known = remembered(medium, deviceAddress, reg);
    const std::optional<std::uint8_t> before = known;
    // A software reset leaves the register at its power-on value, which the
    // chip variant decides. The reset also returns every other register to its
    // power-on value; their remembered values stay, which is what undoing the
    // group that reset the chip has to put back.
    if (reg == reg::Configuration2 && (value & 0x80))
        known.reset();
    else
        known = value;

    const bool changed = !before || !sameKept(reg, *before, value);
    const bool inAction = m_depth > 0;
    const WriteSource source = inAction ? m_current.source : WriteSource::Other;
    const std::string& action = inAction ? m_current.action : std::string();

    if (!changed && !m_records.empty()) {
        WriteRecord& last = m_records.back();
        if (last.reg == reg && last.after == value && last.medium == medium && last.deviceAddress == deviceAddress &&
            last.source == source && last.action == action) {
            ++last.repeats;
            last.at = std::chrono::steady_clock::now();
            return;
        }
    }

    const std::uint64_t group = inAction ? m_current.group : m_nextGroup++;
    m_records.push_back(WriteRecord{group, source, action, medium, deviceAddress, reg, before, value, 1,
                                    std::chrono::steady_clock::now()});
    const bool history = source != WriteSource::Undo && source != WriteSource::Redo;
    if (history && changed) {
        if (m_undo.empty() || m_undo.back() != group)
            m_undo.push_back(group);
        m_redo.clear();
        if (m_listener)
            m_listener();
    }
    while (m_records.size() > m_capacity) {
        const std::uint64_t oldest = m_records.front().group;
        m_records.pop_front();
        // A group that lost a record can no longer be put back whole.
        dropGroup(oldest);
    }
}

std::vector<RegisterChangeOfGroup> WriteLog::changesOfGroup(std::uint64_t group) const
{
    std::vector<RegisterChangeOfGroup> changes;
    for (const WriteRecord& r : m_records) {
        if (r.group != group)
            continue;
        auto it = std::find_if(changes.begin(), changes.end(), [&](const auto& c) { return c.reg == r.reg; });
        if (it == changes.end())
            changes.push_back({r.reg, r.before, r.after});
        else
            it->after = r.after;
    }
    return changes;
}

const WriteRecord* WriteLog::lastRecordOf(std::uint64_t group) const
{
    for (auto it = m_records.rbegin(); it != m_records.rend(); ++it)
        if (it->group == group)
            return &*it;
    return nullptr;
}

void WriteLog::dropGroup(std::uint64_t group)
{
    std::erase(m_undo, group);
    std::erase(m_redo, group);
    if (m_listener)
        m_listener();
}

std::string WriteLog::undoText() const
{
    for (auto it = m_undo.rbegin(); it != m_undo.rend(); ++it) {
        const auto changes = changesOfGroup(*it);
        if (std::any_of(changes.begin(), changes.end(), netChange))
            return "Undo " + actionName(*lastRecordOf(*it));
    }
    return {};
}

std::string WriteLog::redoText() const
{
    if (m_redo.empty())
        return {};
    return "Redo " + actionName(*lastRecordOf(m_redo.back()));
}

UndoResult WriteLog::undo() { return replay(true); }
UndoResult WriteLog::redo() { return replay(false); }

UndoResult WriteLog::replay(bool undoing)
{
    std::vector<std::uint64_t>& from = undoing ? m_undo : m_redo;
    std::vector<std::uint64_t>& to = undoing ? m_redo : m_undo;

    std::vector<RegisterChangeOfGroup> changes;
    while (!from.empty()) {
        changes = changesOfGroup(from.back());
        std::erase_if(changes, [](const auto& c) { return !netChange(c); });
        if (!changes.empty())
            break;
        from.pop_back();  // nothing left to put back
    }
    if (from.empty())
        return {false, undoing ? "There is no register write to undo." : "There is nothing to redo.", true};

    const std::uint64_t group = from.back();
    const WriteRecord& last = *lastRecordOf(group);
    const std::string what = actionName(last);
    const std::string title = std::string(undoing ? "Undo" : "Redo") + " " + what + ": ";
    const auto refuse = [&](const std::string& why) {
        dropGroup(group);
        return UndoResult{false, title + why + " Nothing was written."};
    };

    if (last.medium != RegisterLink.Medium || last.deviceAddress != RegisterLink.DeviceAddress)
        return refuse("it was written to the chip at " + addressText(last.deviceAddress) +
                      ", not to the one connected now.");

    std::vector<RegisterChangeOfGroup> restore;
    std::string leftOut, unknown;
    for (const auto& c : changes) {
        // Easy Setup writes the second fan's registers on either chip; the
        // single-channel one has none to put back.
        const RegisterEntry* e = registerEntryByAddress(c.reg);
        if (e && !presentOn(*e, RegisterLink.DeviceId))
            continue;
        if (!undoable(c.reg))
            leftOut += (leftOut.empty() ? "" : ", ") + registerLabel(c.reg);
        else if (!c.before)
            unknown += (unknown.empty() ? "" : ", ") + registerLabel(c.reg);
        else
            restore.push_back(c);
    }
    if (restore.empty()) {
        if (!unknown.empty())
            return refuse("the value of " + unknown + " before the write was never read, so it is not known.");
        return refuse(leftOut + " cannot be put back: the chip sets it itself.");
    }

    // The chip must still hold what this group left there; otherwise putting
    // the old value back would overwrite a newer one.
    for (const auto& c : restore) {
        // After a software reset the register holds what the chip chose, not
        // what was written; there is nothing to compare.
        if (undoing && c.reg == reg::Configuration2 && (c.after & 0x80))
            continue;
        const std::uint8_t expected = undoing ? c.after : *c.before;
        std::uint8_t now = 0;
        try {
            now = readRegister(c.reg);
        } catch (const std::exception& e) {
            return refuse(registerLabel(c.reg) + " could not be read (" + e.what() + ").");
        }
        if (!sameKept(c.reg, now, expected))
            return refuse(registerLabel(c.reg) + " now holds " + byteText(now) + ", not " + byteText(expected) +
                          " as " + (undoing ? "written" : "it was before") +
                          "; the chip or another program changed it since.");
    }

    std::string done;
    {
        WriteAction action(undoing ? WriteSource::Undo : WriteSource::Redo,
                           std::string(undoing ? "Undo " : "Redo ") + what);
        if (undoing)
            std::reverse(restore.begin(), restore.end());
        for (const auto& c : restore) {
            const std::uint8_t was = undoing ? c.after : *c.before;
            const std::uint8_t value = undoing ? *c.before : c.after;
            try {
                writeRegister(c.reg, value);
            } catch (const std::exception& e) {
                dropGroup(group);
                return {false, title + "stopped at " + registerLabel(c.reg) + " (" + e.what() + ")." +
                                   (done.empty() ? std::string() : " Already written: " + done + ".")};
            }
            done += (done.empty() ? "" : ", ") + registerLabel(c.reg) + " " + byteText(was) + " -> " + byteText(value);
        }
    }
    from.pop_back();
    to.push_back(group);
    if (m_listener)
        m_listener();

    std::string message = std::string(undoing ? "Undone" : "Redone") + ": " + what + ". " + done + ".";
    if (!leftOut.empty())
        message += " Left out, as the chip sets it itself: " + leftOut + ".";
    // Writes whose earlier value was never read stay as written; the user is
    // told which, rather than the whole step being refused.
    if (!unknown.empty() && undoing)
        message += " Not put back, as their earlier values were never read: " + unknown + ".";
    const bool reset = std::any_of(changes.begin(), changes.end(),
                                   [](const auto& c) { return c.reg == reg::Configuration2 && (c.after & 0x80); });
    if (reset && undoing)
        message += " The software reset it made set the other registers to their power-on values; only the registers "
                   "it wrote are put back.";
    return {true, message};
}

void WriteLog::clear()
{
    m_records.clear();
    m_known.clear();
    m_undo.clear();
    m_redo.clear();
    if (m_listener)
        m_listener();
}

void WriteLog::beginAction(WriteSource source, std::string action, Continue continues)
{
    if (m_depth++ > 0)
        return;
    if (continues != Continue::No && !m_undo.empty() && m_redo.empty()) {
        // Writes that changed nothing may have come between (the Visual
        // Display cycle rewrites the PWM frequency); a change would have
        // made a newer group.
        const WriteRecord* last = lastRecordOf(m_undo.back());
        if (last && last->source == source && last->action == action &&
            (continues == Continue::Always ||
             std::chrono::steady_clock::now() - last->at < WriteAction::ContinueWithin)) {
            m_current = Current{last->group, source, std::move(action)};
            return;
        }
    }
    m_current = Current{m_nextGroup++, source, std::move(action)};
}

void WriteLog::endAction()
{
    if (m_depth > 0)
        --m_depth;
}

WriteAction::WriteAction(WriteSource source, std::string action, Kind kind)
{
    const auto continues = kind == Kind::DragHeld ? WriteLog::Continue::Always
                           : kind == Kind::Drag   ? WriteLog::Continue::Within
                                                  : WriteLog::Continue::No;
    writeLog().beginAction(source, std::move(action), continues);
}

WriteAction::~WriteAction() { writeLog().endAction(); }

}  // namespace device
