// Labels used as buttons, from the keyboard and from assistive tools: the
// click's handler runs for Space and Enter only, the Tab stop and the arrow
// keys stay on members that can take the focus, and the focus frame leaves
// the label's own colours alone.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "widgets/label_button.h"

namespace {

using widgets::LabelButton;
using widgets::LabelButtonGroup;

// A button before a 3 x 2 grid of labels (column 1 has two rows), as the
// register list lays out its columns.
class LabelButtons : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto* layout = new QGridLayout(&window);
        before = new QPushButton(QStringLiteral("Before"), &window);
        layout->addWidget(before, 0, 0);
        auto* group = new LabelButtonGroup(&window);
        for (int column = 0; column < 2; ++column)
            for (int row = 0; row < 3 - column; ++row) {
                auto* label = new QLabel(QStringLiteral("Entry %1.%2").arg(column).arg(row), &window);
                layout->addWidget(label, row + 1, column);
                const int id = column * 10 + row;
                group->add(
                    label, [this, id] { activated.push_back(id); }, row, column);
                labels[column][row] = label;
            }
        m_group = group;
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    QLabel* focused() const { return qobject_cast<QLabel*>(QApplication::focusWidget()); }
    void key(int k, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(k), mods);
    }

    QWidget window;
    QPushButton* before = nullptr;
    QLabel* labels[2][3]{};
    LabelButtonGroup* m_group = nullptr;
    std::vector<int> activated;
};

TEST_F(LabelButtons, SpaceAndEnterRunTheClickHandlerAndNothingElseDoes)
{
    labels[0][1]->setFocus(Qt::TabFocusReason);
    struct Case {
        int key;
        Qt::KeyboardModifiers mods;
        bool runs;
    };
    const Case cases[] = {{Qt::Key_Space, Qt::NoModifier, true},     {Qt::Key_Return, Qt::NoModifier, true},
                          {Qt::Key_Enter, Qt::KeypadModifier, true}, {Qt::Key_Space, Qt::ControlModifier, false},
                          {Qt::Key_Return, Qt::AltModifier, false},  {Qt::Key_A, Qt::NoModifier, false},
                          {Qt::Key_Escape, Qt::NoModifier, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        activated.clear();
        key(c.key, c.mods);
        EXPECT_EQ(activated, c.runs ? std::vector<int>{1} : std::vector<int>{});
    }
    // A held key runs it once, and a disabled label not at all.
    activated.clear();
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
    QApplication::sendEvent(labels[0][1], &repeat);
    EXPECT_TRUE(activated.empty());
    LabelButton::of(labels[0][1])->activate();
    labels[0][1]->setEnabled(false);
    LabelButton::of(labels[0][1])->activate();
    EXPECT_EQ(activated, std::vector<int>{1});
}

TEST_F(LabelButtons, TabEntersTheGroupOnceAtTheMemberUsedLast)
{
    before->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Tab);
    EXPECT_EQ(focused(), labels[0][0]);
    key(Qt::Key_Tab);
    EXPECT_NE(qobject_cast<QLabel*>(QApplication::focusWidget()), labels[0][1]) << "one Tab stop per group";
    labels[1][1]->setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(m_group->tabStop(), labels[1][1]);
    // A hidden stop hands over to the first member that can take the focus.
    labels[0][0]->hide();
    labels[1][1]->hide();
    EXPECT_EQ(m_group->tabStop(), labels[0][1]);
    int stops = 0;
    for (auto& column : labels)
        for (QLabel* l : column)
            if (l && (l->focusPolicy() & Qt::TabFocus))
                ++stops;
    EXPECT_EQ(stops, 1);
}

TEST_F(LabelButtons, ArrowsMoveByRowAndColumnAndSkipHiddenMembers)
{
    labels[0][0]->setFocus(Qt::TabFocusReason);
    struct Step {
        int key;
        int column;
        int row;
    };
    const Step walk[] = {
        {Qt::Key_Up, 0, 0},                                                 // top edge: stays
        {Qt::Key_Down, 0, 1},  {Qt::Key_Down, 0, 2}, {Qt::Key_Down, 0, 2},  // bottom edge
        {Qt::Key_Right, 1, 1},                                              // column 1 has no row 2: the closest row
        {Qt::Key_Right, 1, 1}, {Qt::Key_Up, 1, 0},   {Qt::Key_Left, 0, 0},
    };
    for (const Step& s : walk) {
        key(s.key);
        EXPECT_EQ(focused(), labels[s.column][s.row]) << s.key << " to " << s.column << "." << s.row;
    }
    labels[0][1]->hide();
    key(Qt::Key_Down);
    EXPECT_EQ(focused(), labels[0][2]);
    labels[0][1]->show();
    labels[0][1]->setEnabled(false);
    key(Qt::Key_Up);
    EXPECT_EQ(focused(), labels[0][0]);
    EXPECT_TRUE(activated.empty());
}

TEST_F(LabelButtons, FocusFrameShowsForTheKeyboardOnlyAndKeepsTheTextColour)
{
    QPalette palette = labels[0][0]->palette();
    palette.setColor(QPalette::WindowText, QColor(0x00, 0x80, 0x00));
    labels[0][0]->setPalette(palette);
    const QImage unfocused = labels[0][0]->grab().toImage();

    labels[0][0]->setFocus(Qt::MouseFocusReason);
    EXPECT_FALSE(LabelButton::of(labels[0][0])->focusFrameShown());
    before->setFocus(Qt::TabFocusReason);
    labels[0][0]->setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(LabelButton::of(labels[0][0])->focusFrameShown());
    EXPECT_EQ(labels[0][0]->palette().color(QPalette::WindowText), QColor(0x00, 0x80, 0x00));
    const QImage framed = window.grab(labels[0][0]->geometry()).toImage();
    EXPECT_NE(framed, unfocused.convertToFormat(framed.format())) << "the frame is drawn";
    key(Qt::Key_Down);
    EXPECT_FALSE(LabelButton::of(labels[0][0])->focusFrameShown());
    EXPECT_TRUE(LabelButton::of(labels[0][1])->focusFrameShown());
}

TEST_F(LabelButtons, AssistiveToolsSeeAPressableButtonNamedByItsCaption)
{
    labels[1][0]->setAccessibleDescription(QStringLiteral("Shows it"));
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(labels[1][0]);
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->role(), QAccessible::Button);
    EXPECT_EQ(face->text(QAccessible::Name), QStringLiteral("Entry 1.0"));
    EXPECT_EQ(face->text(QAccessible::Description), QStringLiteral("Shows it"));
    ASSERT_NE(face->actionInterface(), nullptr);
    EXPECT_TRUE(face->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
    face->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(activated, std::vector<int>{10});
    // An ordinary label stays text.
    QLabel plain(QStringLiteral("Plain"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&plain)->role(), QAccessible::StaticText);
}

}  // namespace
