// The borderless start-up picture shown while the library comes to life.
#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QTimer;

namespace Ui {
class frmSplash;
}

namespace startup {

class frmSplash : public QWidget {
    Q_OBJECT
public:
    // Form_Load: fills the version and product labels.
    explicit frmSplash(QWidget* parent = nullptr);
    ~frmSplash() override;

    // Shows a progress text in LoadingLBL and paints it at once: the entry
    // procedure does not return to the event loop between its steps.
    void setLoadingText(const QString& text);
    QString loadingText() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void LoadingTimer_Timer();

    std::unique_ptr<Ui::frmSplash> ui;
    QTimer* m_loadingTimer = nullptr;
};

// The picture of the evaluation board, rendered at the given logical size.
QPixmap boardPicture(const QSize& size, qreal devicePixelRatio);

}  // namespace startup
