#include "BalloonTip.h"
#include "ControlsTestUtil.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QScreen>
#include <QTest>
#include <memory>

using namespace ctltest;

class CBalloonTipTest : public QObject {
    Q_OBJECT
private slots:
    // The 160 x 80 balloon: its text rectangle, its tail, its fill and its frame.
    void shapeAndPaint() {
        CBalloonTip tip;
        QVERIFY(tip.Create(nullptr));
        QCOMPARE(tip.size(), QSize(160, 80));
        QCOMPARE(tip.GetTextRect(), QRect(QPoint(32, 12), QPoint(137, 67)));
        // The tail: tip at (0, 30), base from (15, 35) to (15, 45).
        const QRegion rgn = tip.mask();
        QVERIFY(rgn.contains(QPoint(5, 33)));
        QVERIFY(rgn.contains(QPoint(12, 40)));
        QVERIFY(!rgn.contains(QPoint(5, 29)));
        QVERIFY(!rgn.contains(QPoint(5, 37)));
        QVERIFY(!rgn.contains(QPoint(12, 5)));
        QVERIFY(!rgn.contains(QPoint(159, 0)));

        const QImage img = Grab(&tip);
        const QColor FILL(249, 254, 188), FRAME(0, 0, 255);
        QCOMPARE(At(img, 85, 40), FILL);
        // The frame is two pixels wide at the sides and one high at the top.
        int x = 159;
        while (!rgn.contains(QPoint(x, 40)))
            --x;
        QCOMPARE(At(img, x, 40), FRAME);
        QCOMPARE(At(img, x - 1, 40), FRAME);
        QCOMPARE(At(img, x - 2, 40), FILL);
        int y = 0;
        while (!rgn.contains(QPoint(85, y)))
            ++y;
        QCOMPARE(At(img, 85, y), FRAME);
        QCOMPARE(At(img, 85, y + 1), FILL);
    }

    // Kept on the screen: flush with the bottom-right corner; negative becomes 0.
    void showAtClamps() {
        CBalloonTip tip;
        QVERIFY(tip.Create(nullptr));
        const QRect rcScreen = QGuiApplication::primaryScreen()->geometry();
        tip.ShowAt(rcScreen.right() - 5, rcScreen.bottom() - 5, 0, 0);
        QCOMPARE(tip.geometry(),
                 QRect(rcScreen.right() + 1 - 160, rcScreen.bottom() + 1 - 80, 160, 80));
        tip.ShowAt(-20, -1, 0, 0);
        QCOMPARE(tip.pos(), QPoint(0, 0));
        tip.ShowAt(30, 40, 0, 0);
        QCOMPARE(tip.pos(), QPoint(30, 40));
        QVERIFY(!tip.isVisible());
    }

    // Tools show after their delay, hide on a click until the pointer has left and come
    // back, never without a tool, never with no delay, and for as long as asked.
    void toolsAndTimers() {
        QWidget host;
        Prepare(host, {300, 200});
        auto* pTool = new QWidget(&host);
        pTool->setGeometry(10, 10, 100, 60);
        auto* pPlain = new QWidget(&host);
        pPlain->setGeometry(10, 110, 100, 60);
        host.move(100, 100);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        CBalloonTip tip;
        QVERIFY(tip.Create(&host));
        qApp->installEventFilter(&tip);
        QWindow* pWindow = host.windowHandle();
        auto moveTo = [&](QWidget* pWidget, QPoint pt) {
            QCursor::setPos(pWidget->mapToGlobal(pt));
            QCoreApplication::processEvents();
        };

        // No tool: nothing ever shows.
        moveTo(pTool, {20, 20});
        QTest::mouseClick(pWindow, Qt::LeftButton, {}, {30, 30});
        QTest::keyClick(pWindow, Qt::Key_A);
        moveTo(pTool, {30, 30});
        QTest::qWait(100);
        QVERIFY(!tip.isVisible());

        // A tool without a time limit: shows after its delay and stays up.
        tip.AddTool(pTool, "Unit address", Qt::black, 0, 20);
        moveTo(pTool, {20, 20});
        QCOMPARE(tip.pos(), pTool->mapToGlobal(QPoint(20, 20)));
        QTRY_VERIFY(tip.isVisible());
        QCOMPARE(tip.GetText(), QString("Unit address"));
        QTest::qWait(1100);
        QVERIFY(tip.isVisible());

        // A click hides it; it stays hidden while the pointer stays on the tool.
        QTest::mouseClick(pWindow, Qt::LeftButton, {}, pTool->geometry().topLeft() + QPoint(5, 5));
        QVERIFY(!tip.isVisible());
        moveTo(pTool, {40, 30});
        QTest::qWait(100);
        QVERIFY(!tip.isVisible());
        // Off the tool and back: shown again.
        moveTo(pPlain, {20, 20});
        moveTo(pTool, {40, 30});
        QTRY_VERIFY(tip.isVisible());

        // Leaving before the delay is up: it never comes.
        tip.AddTool(pTool, "Later", Qt::black, 0, 400);
        moveTo(pPlain, {20, 20});
        QVERIFY(!tip.isVisible());
        moveTo(pTool, {20, 20});
        moveTo(pPlain, {20, 20});
        QTest::qWait(600);
        QVERIFY(!tip.isVisible());

        // No delay: never shown.
        tip.AddTool(pPlain, "Never", Qt::black, 5, 0);
        moveTo(pPlain, {30, 30});
        QTest::qWait(100);
        QVERIFY(!tip.isVisible());

        // One second, then hidden.
        tip.AddTool(pTool, "Briefly", Qt::black, 1, 10);
        QElapsedTimer placed;
        placed.start();
        moveTo(pTool, {20, 20});
        moveTo(pTool, {21, 20});
        QTRY_VERIFY(tip.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!tip.isVisible(), 3000);
        QVERIFY(placed.elapsed() >= 900);

        // A tool that goes away takes its record with it.
        QCOMPARE(tip.GetToolCount(), 2);
        delete pPlain;
        QCOMPARE(tip.GetToolCount(), 1);
        qApp->removeEventFilter(&tip);
    }
};

QObject* MakeBalloonTipTest() {
    return new CBalloonTipTest;
}

#include "BalloonTipTest.moc"
