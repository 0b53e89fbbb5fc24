#include "startup/frm_splash.h"

#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

QString labelText(QWidget* w, const char* name) { return w->findChild<QLabel*>(QString::fromLatin1(name))->text(); }

TEST(Splash, ShowsTheProgramsLabels)
{
    startup::frmSplash splash;
    EXPECT_EQ(splash.objectName(), QStringLiteral("frmSplash"));
    EXPECT_EQ(labelText(&splash, "lblVersion"), QStringLiteral("Version 4.0.10"));
    EXPECT_EQ(labelText(&splash, "lblProductName"), QStringLiteral("TFM4410 Evaluation Software"));
    EXPECT_EQ(labelText(&splash, "lblPlatform"), QStringLiteral("95/98/ME/NT/2K/XP"));
    EXPECT_EQ(labelText(&splash, "lblCompany"), QStringLiteral("Tarvex"));
    EXPECT_EQ(labelText(&splash, "LoadingLBL"), QStringLiteral("Loading......"));
    auto* timer = splash.findChild<QTimer*>(QStringLiteral("LoadingTimer"));
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 500);
}

TEST(Splash, TimerTickAppendsADot)
{
    startup::frmSplash splash;
    splash.setLoadingText(QStringLiteral("Loading Search Module."));
    auto* timer = splash.findChild<QTimer*>(QStringLiteral("LoadingTimer"));
    QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
    EXPECT_EQ(splash.loadingText(), QStringLiteral("Loading Search Module.."));
}

TEST(Splash, KeyOrClickOnTheFrameClosesIt)
{
    QPointer<startup::frmSplash> byKey = new startup::frmSplash();
    byKey->show();
    QTest::keyClick(byKey, Qt::Key_Space);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(byKey.isNull());

    QPointer<startup::frmSplash> byClick = new startup::frmSplash();
    byClick->show();
    QTest::mouseClick(byClick->findChild<QLabel*>(QStringLiteral("lblPlatform")), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(byClick.isNull());
}

}  // namespace
