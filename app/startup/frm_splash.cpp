#include "startup/frm_splash.h"

#include "ui_frm_splash.h"

#include <QKeyEvent>
#include <QPainter>
#include <QSvgRenderer>
#include <QTimer>
#include <QVersionNumber>

// The picture lives in a static library's resources, which the linker drops
// unless something registers them by name.
static void registerStartupResources() { Q_INIT_RESOURCE(startup); }

namespace startup {

QPixmap boardPicture(const QSize& size, qreal devicePixelRatio)
{
    static const bool registered = (registerStartupResources(), true);
    Q_UNUSED(registered);
    QSvgRenderer renderer(QStringLiteral(":/startup/eval_board.svg"));
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QSizeF drawn = renderer.defaultSize().toSizeF().scaled(QSizeF(size), Qt::KeepAspectRatio);
    const QPointF origin((size.width() - drawn.width()) / 2, (size.height() - drawn.height()) / 2);
    renderer.render(&painter, QRectF(origin, drawn));
    return pixmap;
}

frmSplash::frmSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint), ui(std::make_unique<Ui::frmSplash>())
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("frmSplash"));
    setAttribute(Qt::WA_DeleteOnClose);

    ui->Frame1->setStyleSheet(QStringLiteral(
        "#Frame1 { background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #fbfcfe, stop:1 #dde6f0);"
        " border: 1px solid #6a7b8c; }"
        "#lblCompany { color: #1b4f8a; font-size: 22pt; font-weight: bold; font-style: italic; }"
        "#lblProductName { color: #15202b; font-size: 17pt; font-weight: bold; }"
        "#lblVersion { color: #3b4b5b; font-size: 11pt; }"
        "#lblPlatform { color: #5a6877; font-size: 9pt; }"
        "#lblCompanyProduct { color: #5a6877; font-size: 9pt; }"
        "#LoadingLBL { color: #2c3e50; font-size: 9pt; border-top: 1px solid #b8c4d0; padding-top: 6px; }"));
    ui->Image2->setPixmap(boardPicture(ui->Image2->minimumSize(), devicePixelRatioF()));

    const QVersionNumber version = QVersionNumber::fromString(QStringLiteral(FANSCOPE_VERSION));
    ui->lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                                .arg(version.majorVersion())
                                .arg(version.minorVersion())
                                .arg(version.microVersion()));
    ui->lblProductName->setText(QStringLiteral("TFM4410 Evaluation Software"));

    ui->Frame1->installEventFilter(this);
    setFocusPolicy(Qt::StrongFocus);

    m_loadingTimer = new QTimer(this);
    m_loadingTimer->setObjectName(QStringLiteral("LoadingTimer"));
    m_loadingTimer->setInterval(500);
    connect(m_loadingTimer, &QTimer::timeout, this, &frmSplash::LoadingTimer_Timer);
    m_loadingTimer->start();
}

frmSplash::~frmSplash() = default;

void frmSplash::setLoadingText(const QString& text)
{
    ui->LoadingLBL->setText(text);
    repaint();
}

QString frmSplash::loadingText() const { return ui->LoadingLBL->text(); }

void frmSplash::LoadingTimer_Timer() { ui->LoadingLBL->setText(ui->LoadingLBL->text() + u'.'); }

void frmSplash::keyPressEvent(QKeyEvent* event)
{
    event->accept();
    close();
}

bool frmSplash::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->Frame1 && event->type() == QEvent::MouseButtonPress) {
        close();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace startup
