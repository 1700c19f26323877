#include "HoverBitmapButton.h"
#include "ControlsTestUtil.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace ctltest;

namespace {

const QColor BLUE(0, 0, 255);

// A bitmap whose every pixel tells where in the bitmap it came from.
QString WriteCodedBitmap(const QTemporaryDir& dir, int nWidth, int nHeight) {
    QImage img(nWidth, nHeight, QImage::Format_RGB32);
    for (int y = 0; y < nHeight; ++y)
        for (int x = 0; x < nWidth; ++x)
            img.setPixel(x, y, qRgb(x * 6, y * 6, 77));
    const QString strPath = dir.filePath(QStringLiteral("coded%1x%2.png").arg(nWidth).arg(nHeight));
    img.save(strPath);
    return strPath;
}

QColor Coded(int x, int y) {
    return QColor(x * 6, y * 6, 77);
}

} // namespace

class CHoverBitmapButtonTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_pHost = std::make_unique<QWidget>();
        Prepare(*m_pHost, {200, 100});
    }
    void cleanup() { m_pHost.reset(); }

    // Frames flat, raised under the pointer, sunken while pressed; blue caption with the
    // focus; one click per release, the focusing one and both of a double click included.
    void framesFocusAndClicks() {
        auto* pBtn = new CHoverBitmapButton("&OK", m_pHost.get());
        pBtn->setGeometry(20, 20, 80, 30);
        auto* pOther = new CHoverBitmapButton("&Close", m_pHost.get());
        pOther->setGeometry(20, 60, 80, 30);
        m_pHost->show();
        QVERIFY(QTest::qWaitForWindowActive(m_pHost.get()));
        pOther->setFocus();
        QWindow* pWindow = m_pHost->windowHandle();
        const QPoint ptIn = pBtn->geometry().center();
        const QPoint ptOut(150, 40);
        const QRect rcCaption = pBtn->rect().adjusted(5, 2, -5, -2);
        QSignalSpy clicks(pBtn, &QAbstractButton::clicked);
        auto frame = [&] {
            const QImage img = Grab(pBtn);
            return std::make_pair(At(img, 40, 0), At(img, 40, 29));
        };
        using Frame = std::pair<QColor, QColor>;

        QCOMPARE(frame(), Frame(FACE, FACE));
        QVERIFY(Count(Grab(pBtn), rcCaption, FRAMETEXT) > 0);
        QCOMPARE(Count(Grab(pBtn), rcCaption, BLUE), 0);
        QTest::mouseMove(pWindow, ptIn);
        QTRY_COMPARE(frame(), Frame(HILIGHT, SHADOW));
        QTest::mouseMove(pWindow, ptOut);
        QTRY_COMPARE(frame(), Frame(FACE, FACE));

        QTest::mouseMove(pWindow, ptIn);
        QTest::mousePress(pWindow, Qt::LeftButton, {}, ptIn);
        QCOMPARE(frame(), Frame(SHADOW, HILIGHT));
        QVERIFY(pBtn->hasFocus());
        QCOMPARE(clicks.count(), 0);
        QTest::mouseRelease(pWindow, Qt::LeftButton, {}, ptIn);
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(frame(), Frame(HILIGHT, SHADOW));
        QVERIFY(Count(Grab(pBtn), rcCaption, BLUE) > 0);
        QCOMPARE(Count(Grab(pBtn), rcCaption, FRAMETEXT), 0);

        QTest::mouseClick(pWindow, Qt::LeftButton, {}, ptIn);
        QCOMPARE(clicks.count(), 2);
        QTest::mouseDClick(pWindow, Qt::LeftButton, {}, ptIn);
        QCOMPARE(clicks.count(), 4);

        // Dragged off before the release: the frame flattens and nothing is clicked.
        QTest::mousePress(pWindow, Qt::LeftButton, {}, ptIn);
        QTest::mouseMove(pWindow, ptOut);
        QTest::mouseRelease(pWindow, Qt::LeftButton, {}, ptOut);
        QCOMPARE(clicks.count(), 4);
        // The focus keeps the caption blue with the frame flat.
        QCOMPARE(frame(), Frame(FACE, FACE));
        QVERIFY(Count(Grab(pBtn), rcCaption, BLUE) > 0);

        pOther->setFocus();
        QCOMPARE(Count(Grab(pBtn), rcCaption, BLUE), 0);
    }

    // Centring splits the excess truncated toward zero; only the bitmap's pixels are drawn.
    void bitmapCentring() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        auto* pBtn = new CHoverBitmapButton(m_pHost.get());
        m_pHost->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_pHost.get()));

        // Taller than the 21 content rows, centred vertically: 4 rows lost at the top, 5
        // at the bottom.
        QVERIFY(pBtn->LoadBitmaps(WriteCodedBitmap(dir, 20, 30)));
        pBtn->SetLayout(CHoverBitmapButton::LAYOUT_BITMAP_LEFT);
        pBtn->setGeometry(0, 0, 60, 25);
        QImage img = Grab(pBtn);
        QCOMPARE(At(img, 5, 2), Coded(0, 4));
        QCOMPARE(At(img, 5, 22), Coded(0, 24));
        QCOMPARE(At(img, 24, 22), Coded(19, 24));
        QCOMPARE(At(img, 25, 22), FACE);

        // Narrower than the 41 content columns, centred horizontally: moved right by 7.
        QVERIFY(pBtn->LoadBitmaps(WriteCodedBitmap(dir, 26, 10)));
        pBtn->SetLayout(CHoverBitmapButton::LAYOUT_BITMAP_TOP);
        pBtn->setGeometry(0, 0, 51, 25);
        img = Grab(pBtn);
        QCOMPARE(At(img, 11, 2), FACE);
        QCOMPARE(At(img, 12, 2), Coded(0, 0));
        QCOMPARE(At(img, 37, 11), Coded(25, 9));
        QCOMPARE(At(img, 38, 2), FACE);
        QCOMPARE(At(img, 12, 12), FACE);

        // Wider than the 20 content columns: 10 columns lost on the left, 11 on the right.
        QVERIFY(pBtn->LoadBitmaps(WriteCodedBitmap(dir, 41, 10)));
        pBtn->setGeometry(0, 0, 30, 25);
        img = Grab(pBtn);
        QCOMPARE(At(img, 5, 2), Coded(10, 0));
        QCOMPARE(At(img, 24, 2), Coded(29, 0));
    }

    // The program's bitmaps come from the resources; a bitmap that cannot be loaded
    // leaves the button without one; a disabled button shows its disabled bitmap and an
    // embossed caption.
    void loadBitmapsAndDisabled() {
        auto* pBtn = new CHoverBitmapButton("&Close", m_pHost.get());
        pBtn->setGeometry(10, 10, 90, 34);
        pBtn->SetLayout(CHoverBitmapButton::LAYOUT_BITMAP_LEFT);
        auto* pOther = new CHoverBitmapButton("&OK", m_pHost.get());
        pOther->setGeometry(10, 50, 90, 34);
        m_pHost->show();
        QVERIFY(QTest::qWaitForWindowActive(m_pHost.get()));
        pOther->setFocus();
        const QRect rcContent = pBtn->rect().adjusted(5, 2, -5, -2);
        const QColor RED(255, 0, 0), LIME(0, 255, 0);

        QVERIFY(pBtn->LoadBitmaps(136, 135, 136));
        QVERIFY(Count(Grab(pBtn), rcContent, RED) > 0);
        QCOMPARE(Count(Grab(pBtn), rcContent, LIME), 0);
        pBtn->setFocus();
        QVERIFY(Count(Grab(pBtn), rcContent, LIME) > 0);
        pOther->setFocus();

        pBtn->setEnabled(false);
        QImage img = Grab(pBtn);
        QVERIFY(Count(img, rcContent, RED) > 0);
        QVERIFY(Count(img, rcContent, SHADOW) > 0);
        QVERIFY(Count(img, rcContent, HILIGHT) > 0);
        QCOMPARE(Count(img, rcContent, FRAMETEXT), 0);
        // No disabled bitmap: nothing drawn while disabled.
        QVERIFY(pBtn->LoadBitmaps(136, 135));
        QCOMPARE(Count(Grab(pBtn), rcContent, RED), 0);
        pBtn->setEnabled(true);

        QVERIFY(!pBtn->LoadBitmaps(QStringLiteral(":/res/none.bmp"), QString(), QString()));
        img = Grab(pBtn);
        QCOMPARE(Count(img, rcContent, RED) + Count(img, rcContent, LIME), 0);
        // A named hot bitmap that is missing fails the load; the normal one stays.
        QVERIFY(!pBtn->LoadBitmaps(135, 999, 0));
        QVERIFY(Count(Grab(pBtn), rcContent, LIME) > 0);
    }

private:
    std::unique_ptr<QWidget> m_pHost;
};

QObject* MakeHoverBitmapButtonTest() {
    return new CHoverBitmapButtonTest;
}

#include "HoverBitmapButtonTest.moc"
