#include "main_window/register_panel.h"

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <string_view>

#include "device/numbers.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "device/write_log.h"
#include "main_window/undo_controls.h"
#include "shell/label_colour.h"
#include "widgets/label_button.h"
#include "widgets/ribbon_toggle.h"

namespace mainwindow {

namespace {

using device::RegisterLink;

// The list's own short captions; the long names come from the register map.
// clang-format off
constexpr std::array<const char*, 36> Captions{
    "",
    "Company ID", "Revision", "Configuration 1", "Interrupt Status 1", "Configuration 2",
    "Interrupt Status 2", "Fan1 Characteristics", "Fan Speed Config.", "Local Tmin/Trange",
    "Remote1 Tmin/Trange", "Fan2 Characteristics", "Fan1 Speed ", "Remote1 Temp (8Msb)",
    "Local Temperature", "Local Temp. Offset", "Remote1 Temp. Offset", "Remote1 Temp. High",
    "Remote1 Temp. Low", "Local Temp High", "Local Temp. Low", "Device ID", "Fan1 Tach High Limit",
    "Local Temp Therm", "Remote1 Temp Therm", "Extra Resolution", "Fan Filter", "Test Register",
    "Remote2 Tmin/Trange", "Fan2 Speed", "Remote2 Temp. Offset", "Fan2 Tach High Limit",
    "Remote2 Temp. High", "Remote2 Temp. Low", "Remote2 Temp Therm", "Remote2 Temp (8Msb)",
};
// clang-format on

// Entries that lose their channel number on the single-channel chip.
struct Rename {
    int index;
    const char* caption;
};
constexpr std::array<Rename, 9> SingleChannelCaptions{{
    {12, "Fan Speed"},
    {13, "Remote Temp (8Msb)"},
    {16, "Remote Temp Offset"},
    {17, "Remote Temp High"},
    {18, "Remote Temp Low"},
    {24, "Remote Temp Therm"},
    {7, "Fan Characteristics"},
    {22, "Fan Tach High Limit"},
    {10, "Remote Tmin/Trange"},
}};

// The three inner pages, as columns of list indices. Hidden entries take no
// room, so the single-channel list closes up without gaps.
struct Column {
    const char* heading;
    std::array<int, 8> indices;  // 0 ends the column
};
struct Page {
    const char* title;
    std::array<Column, 3> columns;
};
constexpr std::array<Page, 3> Pages{{
    {"General", {{{"Identity", {1, 21, 2, 27}}, {"Configuration", {3, 5}}, {"Interrupt Status", {4, 6}}}}},
    {"Temperatures",
     {{{"Local", {14, 25, 15, 19, 20, 23, 9}},
       {"Remote 1", {13, 16, 17, 18, 24, 10}},
       {"Remote 2", {35, 30, 32, 33, 34, 28}}}}},
    {"Fans", {{{"Fan 1", {7, 12, 22}}, {"Both Fans", {8, 26}}, {"Fan 2", {11, 29, 31}}}}},
}};

// Column headings that lose their channel number on the single-channel chip,
// as the entries under them do.
struct HeadingRename {
    std::string_view designed;
    const char* single;
};
constexpr std::array<HeadingRename, 2> SingleChannelHeadings{{{"Remote 1", "Remote"}, {"Fan 1", "Fan"}}};

const char* headingFor(const char* designed, bool single)
{
    if (single)
        for (const HeadingRename& r : SingleChannelHeadings)
            if (r.designed == designed)
                return r.single;
    return designed;
}

constexpr std::uint32_t Workspace = shell::kAppWorkspace;
constexpr std::uint32_t Green = device::ColourCurrent;
constexpr std::uint32_t Yellow = device::ColourCurrentHover;
constexpr std::uint32_t BrightGreen = device::ColourHover;
constexpr unsigned ButtonRed = 0xFF;
constexpr unsigned ButtonGreen = 0xFF00;

int hexDigit(QChar c) { return device::hexDigit(c.toLatin1()); }

// The value of the leading hex digits ("1G" -> 1, "" -> 0), saturating above
// 255 so a long text still counts as too large.
int leadingHexValue(const QString& text)
{
    int value = 0;
    for (QChar c : text) {
        const int d = hexDigit(c);
        if (d < 0)
            break;
        value = std::min(value * 16 + d, 0x1000);
    }
    return value;
}

// The value of the leading decimal number ("12a" -> 12, "" -> 0).
int leadingDecimalValue(const QString& text)
{
    const QString t = text.trimmed();
    int i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == QLatin1Char('-') || t[i] == QLatin1Char('+')))
        negative = t[i++] == QLatin1Char('-');
    int value = 0;
    for (; i < t.size() && t[i].isDigit(); ++i)
        value = std::min(value * 10 + t[i].digitValue(), 100000);
    return negative ? -value : value;
}

}  // namespace

RegisterPanel::RegisterPanel(QWidget* parent) : QWidget(parent), m_timer3(new QTimer(this))
{
    setObjectName(QStringLiteral("RegisterPanel"));
    m_timer3->setObjectName(QStringLiteral("Timer3"));
    m_timer3->setInterval(100);
    connect(m_timer3, &QTimer::timeout, this, &RegisterPanel::Timer3_Tick);

    auto* pages = new QTabWidget(this);
    pages->setObjectName(QStringLiteral("SSTab1"));
    buildList(pages);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(pages, 3);
    layout->addWidget(buildBitsAndEntries(), 2);
}

RegisterPanel::~RegisterPanel() = default;

void RegisterPanel::buildList(QTabWidget* pages)
{
    for (const Page& page : Pages) {
        auto* widget = new QWidget;
        auto* keys = new widgets::LabelButtonGroup(widget);
        // Selection colours are bright; they read best on a dark ground.
        widget->setAutoFillBackground(true);
        QPalette pal = widget->palette();
        pal.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
        widget->setPalette(pal);
        auto* grid = new QGridLayout(widget);
        grid->setHorizontalSpacing(24);
        grid->setVerticalSpacing(6);
        int column = 0;
        for (const Column& col : page.columns) {
            auto* heading = new QLabel(QString::fromLatin1(col.heading));
            QFont f = heading->font();
            f.setBold(true);
            heading->setFont(f);
            QPalette hp = heading->palette();
            hp.setColor(QPalette::WindowText, QColor(0xE0, 0xE0, 0xE0));
            heading->setPalette(hp);
            grid->addWidget(heading, 0, column);
            std::vector<QLabel*> members;
            int row = 1;
            for (int index : col.indices) {
                if (index == 0)
                    break;
                auto* entry = new QLabel(QString::fromLatin1(Captions[std::size_t(index)]));
                entry->setObjectName(QStringLiteral("read_writedisplaytext(%1)").arg(index));
                entry->setToolTip(QStringLiteral("Click to set as default"));
                entry->setCursor(Qt::PointingHandCursor);
                entry->installEventFilter(this);
                keys->add(
                    entry, [this, index] { read_writedisplaytext_Click(index); }, row, column);
                m_entries[std::size_t(index)] = entry;
                setEntryColour(index, Workspace);
                grid->addWidget(entry, row++, column);
                members.push_back(entry);
            }
            m_headings.push_back({heading, std::move(members)});
            ++column;
        }
        grid->setRowStretch(9, 1);
        pages->addTab(widget, QString::fromLatin1(page.title));
    }
}

QWidget* RegisterPanel::buildBitsAndEntries()
{
    auto* side = new QWidget;
    auto* layout = new QVBoxLayout(side);

    auto* current = new QGroupBox(QStringLiteral("Register"));
    auto* cg = new QGridLayout(current);
    cg->addWidget(new QLabel(QStringLiteral("Current Reg:")), 0, 0);
    m_regName = new QLabel;
    m_regName->setObjectName(QStringLiteral("current_reg_type_label"));
    cg->addWidget(m_regName, 0, 1, 1, 2);
    cg->addWidget(new QLabel(QStringLiteral("Current Addr:")), 1, 0);
    m_regAddress = new QLabel;
    m_regAddress->setObjectName(QStringLiteral("current_reg_address_label"));
    cg->addWidget(m_regAddress, 1, 1);
    cg->addWidget(new QLabel(QStringLiteral("(Hex)")), 1, 2);
    cg->setColumnStretch(1, 1);
    layout->addWidget(current);

    auto* bitsBox = new QGroupBox(QStringLiteral("Bits"));
    auto* bg = new QGridLayout(bitsBox);
    auto* bitKeys = new widgets::LabelButtonGroup(bitsBox);
    for (int bit = 7; bit >= 0; --bit) {
        const int row = 7 - bit;
        auto* value = new QLabel(QStringLiteral("0"));
        value->setObjectName(QStringLiteral("bit%1").arg(bit));
        value->setToolTip(QStringLiteral("Click to change"));
        value->setAlignment(Qt::AlignCenter);
        value->setFrameShape(QFrame::Panel);
        value->setFrameShadow(QFrame::Sunken);
        value->setMinimumWidth(28);
        value->setCursor(Qt::PointingHandCursor);
        value->installEventFilter(this);
        bitKeys->add(
            value, [this, bit] { bitClick(bit); }, row);
        m_bits[std::size_t(bit)] = value;
        auto* number = new QLabel(QString::number(bit));
        number->setEnabled(false);
        auto* name = new QLabel(QStringLiteral("Bit %1").arg(bit));
        name->setObjectName(QStringLiteral("bitname(%1)").arg(bit));
        m_bitNames[std::size_t(bit)] = name;
        bg->addWidget(number, row, 0);
        bg->addWidget(value, row, 1);
        bg->addWidget(name, row, 2);
    }
    bg->setColumnStretch(2, 1);
    layout->addWidget(bitsBox);

    auto* entry = new QGroupBox(QStringLiteral("Write"));
    auto* eg = new QGridLayout(entry);
    m_hex = new QLineEdit;
    m_hex->setObjectName(QStringLiteral("Text6"));
    m_dec = new QLineEdit;
    m_dec->setObjectName(QStringLiteral("Text7"));
    m_hexWrite = new QPushButton(QStringLiteral("Press to update"));
    m_hexWrite->setObjectName(QStringLiteral("Command4"));
    m_decWrite = new QPushButton(QStringLiteral("Press to update"));
    m_decWrite->setObjectName(QStringLiteral("Command5"));
    for (QLineEdit* e : {m_hex, m_dec}) {
        e->setMaxLength(8);
        e->setMaximumWidth(70);
        e->setEnabled(false);  // until a writable register is selected
    }
    eg->addWidget(new QLabel(QStringLiteral("Hex")), 0, 0);
    eg->addWidget(m_hex, 0, 1);
    eg->addWidget(m_hexWrite, 0, 2);
    eg->addWidget(new QLabel(QStringLiteral("Dec")), 1, 0);
    eg->addWidget(m_dec, 1, 1);
    eg->addWidget(m_decWrite, 1, 2);
    layout->addWidget(entry);
    connect(m_hex, &QLineEdit::textChanged, this, [this] { setButtonState(m_hexWrite, false); });
    connect(m_dec, &QLineEdit::textChanged, this, [this] { setButtonState(m_decWrite, false); });
    connect(m_hexWrite, &QPushButton::clicked, this, &RegisterPanel::Command4_Click);
    connect(m_decWrite, &QPushButton::clicked, this, &RegisterPanel::Command5_Click);
    connect(m_hex, &QLineEdit::returnPressed, this, &RegisterPanel::Command4_Click);
    connect(m_dec, &QLineEdit::returnPressed, this, &RegisterPanel::Command5_Click);

    auto* reading = new QHBoxLayout;
    m_ribbon = new widgets::RibbonToggle;
    m_ribbon->setObjectName(QStringLiteral("SSRibbon5"));
    m_ribbon->setToolTip(QStringLiteral("Read the current register continuously"));
    m_ribbon->setAccessibleName(QStringLiteral("Continuous Reading"));
    m_ribbon->setAccessibleDescription(m_ribbon->toolTip());
    m_continuousLabel = new QLabel(QStringLiteral("Continuous Reading is Off"));
    m_continuousLabel->setObjectName(QStringLiteral("continuous_reading_label"));
    reading->addWidget(m_ribbon);
    reading->addWidget(m_continuousLabel, 1);
    layout->addLayout(reading);
    connect(m_ribbon, &QAbstractButton::clicked, this, [this] { setContinuousReading(m_ribbon->isChecked()); });
    layout->addWidget(new UndoBar(QStringLiteral("cmdUndoWrite")));

    layout->addStretch(1);
    return side;
}

template <class F> bool RegisterPanel::guarded(F&& f)
{
    try {
        f();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void RegisterPanel::setupForDevice(uint8_t deviceId)
{
    const bool single = deviceId == device::DeviceIdTFM4410;
    for (const device::RegisterEntry& e : device::RegisterList)
        if (QLabel* label = m_entries[std::size_t(e.index)])
            label->setVisible(!(single && e.tfm4411Only));
    for (int index = 1; index <= device::RegisterListSize; ++index)
        m_entries[std::size_t(index)]->setText(QString::fromLatin1(Captions[std::size_t(index)]));
    if (single)
        for (const Rename& r : SingleChannelCaptions)
            m_entries[std::size_t(r.index)]->setText(QString::fromLatin1(r.caption));
    // A column whose entries are all hidden loses its heading too.
    for (auto& [heading, members] : m_headings)
        heading->setVisible(std::any_of(members.begin(), members.end(), [](QLabel* l) { return !l->isHidden(); }));
    // m_headings was filled column by column in page order.
    std::size_t column = 0;
    for (const Page& page : Pages)
        for (const Column& col : page.columns)
            if (column < m_headings.size())
                m_headings[column++].first->setText(QString::fromLatin1(headingFor(col.heading, single)));
}

void RegisterPanel::enter()
{
    m_timer3->stop();
    m_ribbon->setValue(false);
    m_continuousLabel->setText(QStringLiteral("Continuous Reading is Off"));
    const int index = m_visited && m_lastClicked > 0 ? m_lastClicked : 1;
    setEntryColour(index, BrightGreen);
    read_writedisplaytext_Click(index);
    if (!m_visited)
        setEntryColour(index, Yellow);
    m_visited = true;
}

void RegisterPanel::leave()
{
    m_timer3->stop();
    m_ribbon->setValue(false);
    m_continuousLabel->setText(QStringLiteral("Continuous Reading is Off"));
}

void RegisterPanel::read_writedisplaytext_Click(int index)
{
    if (index < 1 || index > device::RegisterListSize)
        return;
    m_lastClicked = index;
    if (listEntryColour(index) != Yellow) {
        for (int i = 1; i <= device::RegisterListSize; ++i)
            if (i != index)
                setEntryColour(i, Workspace);
        setEntryColour(index, BrightGreen);
    }
    switch (listEntryColour(index)) {
    case Green:
    case Workspace:
    case Yellow: setEntryColour(index, BrightGreen); break;
    case BrightGreen: setEntryColour(index, Yellow); break;
    default: break;
    }
    device::SelectedRegisterIndex = std::int16_t(index);
    guarded([this] { device::ShowRegisterDescription(*this); });
}

void RegisterPanel::hoverEntry(int index)
{
    if (index == m_hovered)
        return;
    if (m_hovered > 0) {
        const std::uint32_t c = listEntryColour(m_hovered);
        if (c == BrightGreen)
            setEntryColour(m_hovered, Workspace);
        else if (c == Yellow)
            setEntryColour(m_hovered, Green);
    }
    m_hovered = index;
    if (index > 0) {
        const std::uint32_t c = listEntryColour(index);
        if (c == Workspace)
            setEntryColour(index, BrightGreen);
        else if (c == Green)
            setEntryColour(index, Yellow);
    }
}

void RegisterPanel::setContinuousReading(bool on)
{
    m_ribbon->setValue(on);
    if (on) {
        m_timer3->start();
        m_continuousLabel->setText(QStringLiteral("Continuous Reading is On"));
    } else {
        m_timer3->stop();
        m_continuousLabel->setText(QStringLiteral("Continuous Reading is Off"));
    }
}

void RegisterPanel::Timer3_Tick()
{
    guarded([this] {
        device::PointAtSelectedRegister(*this);
        device::ReadRegister();
        device::ShowRegisterBits(*this);
    });
}

void RegisterPanel::bitClick(int bit)
{
    if (bit < 0 || bit > 7 || !m_hex->isEnabled())
        return;
    QPointer<RegisterPanel> self(this);
    QLabel* label = m_bits[std::size_t(bit)];
    guarded([&] {
        device::PointAtSelectedRegister(*this);
        device::ReadRegister();
        const std::uint8_t mask = std::uint8_t(1u << bit);
        const std::uint8_t address = RegisterLink.RegisterPointer;
        if (label->text() == QLatin1String("1")) {
            label->setText(QStringLiteral("0"));
            RegisterLink.DataByte = std::uint8_t(RegisterLink.ReadResult & ~mask);
        } else {
            label->setText(QStringLiteral("1"));
            RegisterLink.DataByte = std::uint8_t(RegisterLink.ReadResult | mask);
        }
        {
            // The wait below yields; writes of other windows meanwhile are not part of the click.
            device::WriteAction action(device::WriteSource::Panel, "Read/Write panel: bit " + std::to_string(bit));
            device::WriteRegister();
        }
        // The wait lets the chip settle and keeps the window live; other
        // handlers may use the link meanwhile, so point at the register again.
        device::WaitSeconds(1);
        if (!self)
            return;
        RegisterLink.RegisterPointer = address;
        device::ReadRegister();
        device::ShowRegisterBits(*this);
    });
}

// Both entry boxes write the same way: to the selected register, showing
// the byte written (not the last read) while the write is confirmed.
bool RegisterPanel::writeEnteredByte(int value)
{
    RegisterLink.ShowDataByte = 1;
    const bool ok = guarded([&] {
        RegisterLink.DataByte = std::uint8_t(value);
        device::PointAtSelectedRegister(*this);
        RegisterLink.RegisterPointer = std::uint8_t(leadingHexValue(m_regAddress->text()));
        device::WriteAction action(device::WriteSource::Panel, "Read/Write panel: byte entry");
        device::WriteRegister();
        device::ShowRegisterBits(*this);
    });
    RegisterLink.ShowDataByte = 0;
    return ok;
}

void RegisterPanel::Command4_Click()
{
    const QString text = m_hex->text();
    if (leadingHexValue(text) > 255 || text == QLatin1String("0") || text.isEmpty()) {
        m_hex->setText(QStringLiteral("00"));
        m_dec->setText(QStringLiteral("00"));
        setButtonState(m_hexWrite, false);
        return;
    }
    // Every character must be a hex digit; a text such as "0G0F" would
    // otherwise write the value of its leading digits.
    for (QChar c : text) {
        if (hexDigit(c) < 0) {
            m_hex->setText(QStringLiteral("00"));
            setButtonState(m_hexWrite, false);
            return;
        }
    }
    if (!m_hex->isEnabled() && !m_dec->isEnabled())
        return;
    const int value = leadingHexValue(text);
    if (!writeEnteredByte(value))
        return;
    m_dec->setText(QString::number(value));
    setButtonState(m_hexWrite, true);
    setButtonState(m_decWrite, true);
}

void RegisterPanel::Command5_Click()
{
    const QString text = m_dec->text();
    if (leadingDecimalValue(text) > 255 || text == QLatin1String("0")) {
        m_hex->setText(QStringLiteral("00"));
        m_dec->setText(QStringLiteral("00"));
        setButtonState(m_decWrite, false);
        return;
    }
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            m_dec->setText(QStringLiteral("00"));
            setButtonState(m_decWrite, false);
            return;
        }
    }
    if (!m_hex->isEnabled() && !m_dec->isEnabled())
        return;
    const int value = leadingDecimalValue(text);
    if (!writeEnteredByte(value))
        return;
    m_hex->setText(QString::number(value, 16).toUpper());
    setButtonState(m_hexWrite, true);
    setButtonState(m_decWrite, true);
}

void RegisterPanel::setButtonState(QPushButton* button, bool written)
{
    const unsigned bgr = written ? ButtonGreen : ButtonRed;
    button->setProperty("backColour", bgr);
    button->setStyleSheet(QStringLiteral("background-color: %1;").arg(QColor(shell::toRgb(bgr)).name()));
    button->setToolTip(written ? QStringLiteral("Written to the chip") : QStringLiteral("Not yet written"));
}

void RegisterPanel::setEntryColour(int index, std::uint32_t bgr)
{
    QLabel* label = (index >= 1 && index <= device::RegisterListSize) ? m_entries[std::size_t(index)] : nullptr;
    if (!label)
        return;
    shell::setTextColour(label, bgr);
    // Also readable without telling the colours apart.
    label->setAccessibleDescription(bgr == Green || bgr == Yellow ? QStringLiteral("current register") : QString());
}

std::uint32_t RegisterPanel::listEntryColour(int index) const
{
    QLabel* label = (index >= 1 && index <= device::RegisterListSize) ? m_entries[std::size_t(index)] : nullptr;
    return label ? shell::textColour(label) : Workspace;
}

void RegisterPanel::setBitValue(int bit, std::string_view caption)
{
    if (bit >= 0 && bit < 8)
        m_bits[std::size_t(bit)]->setText(QString::fromLatin1(caption.data(), qsizetype(caption.size())));
}

void RegisterPanel::setAddressText(std::string_view text)
{
    m_regAddress->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
}

void RegisterPanel::setRegisterName(std::string_view text)
{
    m_regName->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
}

void RegisterPanel::setBitName(int bit, std::string_view name)
{
    if (bit >= 0 && bit < 8)
        m_bitNames[std::size_t(bit)]->setText(QString::fromLatin1(name.data(), qsizetype(name.size())));
}

void RegisterPanel::setEntryEnabled(bool enabled)
{
    m_hex->setEnabled(enabled);
    m_dec->setEnabled(enabled);
}

bool RegisterPanel::eventFilter(QObject* watched, QEvent* event)
{
    for (int index = 1; index <= device::RegisterListSize; ++index) {
        if (watched != m_entries[std::size_t(index)])
            continue;
        if (event->type() == QEvent::Enter)
            hoverEntry(index);
        else if (event->type() == QEvent::Leave && m_hovered == index)
            hoverEntry(0);
        else if (event->type() == QEvent::MouseButtonRelease)
            read_writedisplaytext_Click(index);
        return QWidget::eventFilter(watched, event);
    }
    for (int bit = 0; bit < 8; ++bit) {
        if (watched == m_bits[std::size_t(bit)] && event->type() == QEvent::MouseButtonRelease) {
            bitClick(bit);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace mainwindow
