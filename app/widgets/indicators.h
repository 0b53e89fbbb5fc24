// Small state displays: a two-state lamp that also names its state in text,
// a filled status shape, and a slider with its caption above it.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class QLabel;
class QSlider;

namespace widgets {

// A lamp that is either OK (green) or bad (red); hidden means "disabled".
// The state is written beside the lamp so colour is not the only cue.
class ToggleIndicator : public QWidget {
    Q_OBJECT

public:
    explicit ToggleIndicator(QWidget* parent = nullptr);

    void setBad(bool bad);
    bool isBad() const { return m_bad; }
    // The reading behind the lamp did not come from the chip: grey, "Lost",
    // whatever setBad says.
    void setNoAnswer(bool noAnswer);
    bool noAnswer() const { return m_noAnswer; }
    // Red 0x0000FF or green 0x00FF00 as 0xBBGGRR.
    unsigned colourBgr() const { return m_bad ? 0x0000FFu : 0x00FF00u; }
    // "OK" or "Alarm" ("Lost" while there is no answer).
    QString stateText() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_bad = false;
    bool m_noAnswer = false;
};

// A filled shape (rounded square) with an optional short text inside.
class StatusShape : public QWidget {
    Q_OBJECT

public:
    explicit StatusShape(QWidget* parent = nullptr);

    void setFillBgr(unsigned bgr);
    unsigned fillBgr() const { return m_fill; }
    void setText(const QString& text);
    QString text() const { return m_text; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    unsigned m_fill = 0x0000FF;
    QString m_text;
};

// Horizontal slider with a caption naming what it serves; the caption is
// part of the state ("Fan1" / "Fan2" decide which nibble the slider edits).
class CaptionedSlider : public QWidget {
    Q_OBJECT

public:
    explicit CaptionedSlider(QWidget* parent = nullptr);

    QSlider* slider() const { return m_slider; }
    void setCaption(const QString& caption);
    QString caption() const;
    int value() const;
    void setValue(int value);

private:
    QLabel* m_caption = nullptr;
    QSlider* m_slider = nullptr;
};

}  // namespace widgets
