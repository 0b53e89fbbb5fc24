// Labels that act on a mouse click, made keyboard and screen-reader controls
// as well: they take the focus, Space or Enter run the very handler a click
// runs, a focus frame is drawn around them (the text colour the window set
// is left alone, since windows read it back), and assistive tools meet them
// as buttons that can be pressed.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <vector>

class QLabel;
class QWidget;

namespace widgets {

class LabelButtonGroup;

// Owned by its label.
class LabelButton : public QObject {
    Q_OBJECT

public:
    LabelButton(QLabel* label, std::function<void()> handler);

    QLabel* label() const { return m_label; }
    // What a click does.
    void activate();
    bool focusFrameShown() const;

    // The label's LabelButton, or nullptr for any other object.
    static LabelButton* of(const QObject* label);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class LabelButtonGroup;

    QLabel* m_label = nullptr;
    std::function<void()> m_handler;
    QWidget* m_frame = nullptr;
    QPointer<LabelButtonGroup> m_group;
};

// Label buttons that read as one set (a list, a column of bits): Tab stops
// once in the set, at the member used last, and the arrow keys move by row
// and column between members that are shown and enabled.
class LabelButtonGroup : public QObject {
    Q_OBJECT

public:
    explicit LabelButtonGroup(QObject* parent);

    LabelButton* add(QLabel* label, std::function<void()> handler, int row, int column = 0);
    // The next row of a single column.
    LabelButton* add(QLabel* label, std::function<void()> handler);

    // The member Tab reaches, or nullptr when none is available.
    QLabel* tabStop() const;

private:
    friend class LabelButton;

    struct Member {
        QPointer<LabelButton> button;
        int row = 0;
        int column = 0;
    };

    static bool available(const Member& member);
    int indexOf(const LabelButton* button) const;
    void focused(const LabelButton* button);
    void move(const LabelButton* from, int key);
    void refreshTabStop();

    std::vector<Member> m_members;
    int m_current = 0;
};

}  // namespace widgets
