#include "RegionButton.h"
#include "ControlsTestUtil.h"

#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace ctltest;

namespace {

const QColor PALE_BLUE(211, 247, 254);
const QColor HOVER(250, 220, 180);
const QColor DISABLED(180, 190, 200);

// The main window's outline: a capsule in a 95 x 31 box, centred on (47, 15).
QRegion Capsule() {
    return RectRgn(16, 0, 80, 31) | EllipticRgn(0, 0, 32, 32) | EllipticRgn(64, 0, 96, 32);
}
const QSize BOX(95, 31);
const QPoint CENTRE(47, 15);

// Inside the shape, clear of the edges and the caption.
const QPoint FILL_POINT(8, 16);
// Inside the bounding box, outside the capsule.
const QPoint CORNER(1, 1);
// Between the edges: where the caption goes.
const QRect CAPTION_AREA(16, 3, 64, 25);

} // namespace

class CRegionButtonTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_pHost = std::make_unique<QWidget>();
        Prepare(*m_pHost, {300, 120});
    }
    void cleanup() { m_pHost.reset(); }

    // Each look: its fill, its rims along the outline, its caption.
    void looks() {
        auto* pBtn = new CRegionButton;
        QVERIFY(pBtn->Create("Ethernet", CRegionButton::STYLE_VISIBLE, 10, 10, Capsule(),
                             m_pHost.get(), 1042, 2, FACE, PALE_BLUE, HOVER, DISABLED));
        m_pHost->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_pHost.get()));
        QCOMPARE(pBtn->geometry(), QRect(QPoint(10, 10), BOX));

        const QImage imgNormal = Grab(pBtn);
        QCOMPARE(At(imgNormal, FILL_POINT.x(), FILL_POINT.y()), FACE);
        // Raised: light then highlight along the top, dark shadow then shadow at the bottom.
        QCOMPARE(At(imgNormal, 48, 0), LIGHT);
        QCOMPARE(At(imgNormal, 48, 1), HILIGHT);
        QCOMPARE(At(imgNormal, 48, 29), SHADOW);
        QCOMPARE(At(imgNormal, 48, 30), DKSHADOW);
        // The rim follows the rounded end, not the rectangle.
        QCOMPARE(At(imgNormal, 0, 15), LIGHT);
        QCOMPARE(At(imgNormal, 94, 15), DKSHADOW);
        // The caption in button text, centred on the shape.
        const QRect rcInk = InkBox(imgNormal, CAPTION_AREA, BTNTEXT);
        QVERIFY(!rcInk.isEmpty());
        const int nCell = QFontMetrics(pBtn->font()).height();
        QVERIFY(qAbs(rcInk.center().x() - CENTRE.x()) <= 2);
        QVERIFY(rcInk.top() >= CENTRE.y() - nCell / 2);
        QVERIFY(rcInk.bottom() < CENTRE.y() + nCell / 2);

        // Focus draws nothing.
        pBtn->setFocus();
        QCOMPARE(Grab(pBtn), imgNormal);

        pBtn->setDown(true);
        const QImage imgPressed = Grab(pBtn);
        pBtn->setDown(false);
        QCOMPARE(At(imgPressed, FILL_POINT.x(), FILL_POINT.y()), PALE_BLUE);
        QCOMPARE(At(imgPressed, 48, 0), SHADOW);
        QCOMPARE(At(imgPressed, 48, 1), DKSHADOW);
        QCOMPARE(At(imgPressed, 48, 29), LIGHT);
        QCOMPARE(At(imgPressed, 48, 30), HILIGHT);
        // The pressed caption moves down and right by the border.
        QCOMPARE(InkBox(imgPressed, CAPTION_AREA, BTNTEXT), rcInk.translated(2, 2));

        pBtn->setEnabled(false);
        const QImage imgDisabled = Grab(pBtn);
        QCOMPARE(At(imgDisabled, FILL_POINT.x(), FILL_POINT.y()), DISABLED);
        QCOMPARE(At(imgDisabled, 48, 0), LIGHT);
        // Embossed: shadow on top, highlight one pixel down and right; no plain text.
        QCOMPARE(Count(imgDisabled, CAPTION_AREA, BTNTEXT), 0);
        const QRect rcShadow = InkBox(imgDisabled, CAPTION_AREA, SHADOW);
        QCOMPARE(rcShadow, rcInk);
        QCOMPARE(At(imgDisabled, rcShadow.right() + 1, rcShadow.bottom() + 1).name(),
                 HILIGHT.name());
        QVERIFY(Count(imgDisabled, CAPTION_AREA, HILIGHT) > 0);

        // One-pixel edge for any other border: highlight top-left, dark shadow bottom-right.
        auto* pThin = new CRegionButton;
        QVERIFY(pThin->Create("Serial", CRegionButton::STYLE_VISIBLE, 150, 10, Capsule(),
                              m_pHost.get(), 1043, 1, FACE, PALE_BLUE, HOVER, DISABLED));
        const QImage imgThin = Grab(pThin);
        QCOMPARE(At(imgThin, 48, 0), HILIGHT);
        QCOMPARE(At(imgThin, 48, 1), FACE);
        QCOMPARE(At(imgThin, 48, 30), DKSHADOW);
        QCOMPARE(At(imgThin, 48, 29), FACE);
    }

    // The six buttons of the main window from one region that is gone before they draw;
    // each is hit only inside its own capsule.
    void sixButtonsFromOneRegion() {
        struct {
            const char* pszCaption;
            int nId, x, y;
        } const buttons[] = {{"Configure IP", 1069, 10, 10}, {"Configure IP ", 1059, 10, 60},
                             {"Ethernet", 1042, 110, 10},    {"Serial", 1043, 110, 60},
                             {"Flash Velor", 1078, 210, 10}, {"Flash Velor", 1077, 210, 60}};
        auto* pRgn = new QRegion(Capsule());
        std::vector<CRegionButton*> btns;
        std::vector<std::unique_ptr<QSignalSpy>> spies;
        for (const auto& b : buttons) {
            auto* pBtn = new CRegionButton;
            // The last one is given the outline somewhere else: only its shape counts.
            const QRegion rgn = b.nId == 1077 ? pRgn->translated(7, 5) : *pRgn;
            QVERIFY(pBtn->Create(b.pszCaption, CRegionButton::STYLE_VISIBLE, b.x, b.y, rgn,
                                 m_pHost.get(), b.nId, 2, FACE, PALE_BLUE, PALE_BLUE, FACE));
            btns.push_back(pBtn);
            spies.push_back(std::make_unique<QSignalSpy>(pBtn, &QAbstractButton::clicked));
        }
        delete pRgn;
        m_pHost->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_pHost.get()));

        QWindow* pWindow = m_pHost->windowHandle();
        for (size_t i = 0; i < btns.size(); ++i) {
            QCOMPARE(btns[i]->GetDlgCtrlID(), buttons[i].nId);
            QCOMPARE(btns[i]->geometry(), QRect(QPoint(buttons[i].x, buttons[i].y), BOX));
            QCOMPARE(btns[i]->mask(), Capsule());
            QTest::mouseClick(pWindow, Qt::LeftButton, {}, btns[i]->geometry().topLeft() + CORNER);
            QTest::mouseClick(pWindow, Qt::LeftButton, {}, btns[i]->geometry().center());
        }
        for (size_t i = 0; i < btns.size(); ++i)
            QCOMPARE(spies[i]->count(), 1);
    }

    // Hover follows the capsule, not the rectangle; clicks come on release inside only;
    // a double click is two clicks; a disabled button neither hovers nor clicks.
    void pointer() {
        auto* pBtn = new CRegionButton;
        QVERIFY(pBtn->Create("Flash Velor", CRegionButton::STYLE_VISIBLE, 50, 40, Capsule(),
                             m_pHost.get(), 1078, 2, FACE, PALE_BLUE, HOVER, DISABLED));
        m_pHost->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_pHost.get()));
        QWindow* pWindow = m_pHost->windowHandle();
        const QPoint ptOrigin = pBtn->pos();
        const QPoint ptMiddle = ptOrigin + CENTRE;
        auto fill = [&] { return At(Grab(pBtn), FILL_POINT.x(), FILL_POINT.y()); };
        QSignalSpy clicks(pBtn, &QAbstractButton::clicked);

        QTest::mouseMove(pWindow, ptMiddle);
        QTRY_COMPARE(fill(), HOVER);
        QTest::mouseMove(pWindow, ptOrigin + CORNER);
        QTRY_COMPARE(fill(), FACE);

        QTest::mouseClick(pWindow, Qt::LeftButton, {}, ptMiddle);
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(fill(), HOVER);

        // Let go outside the window rectangle: no click, back to normal.
        QTest::mousePress(pWindow, Qt::LeftButton, {}, ptMiddle);
        QTest::mouseMove(pWindow, ptOrigin + QPoint(48, 60));
        QTest::mouseRelease(pWindow, Qt::LeftButton, {}, ptOrigin + QPoint(48, 60));
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(fill(), FACE);

        // Let go in a corner of the rectangle, outside the capsule: no click either.
        QTest::mousePress(pWindow, Qt::LeftButton, {}, ptMiddle);
        QTest::mouseMove(pWindow, ptOrigin + CORNER);
        QTest::mouseRelease(pWindow, Qt::LeftButton, {}, ptOrigin + CORNER);
        QCOMPARE(clicks.count(), 1);

        QTest::mouseDClick(pWindow, Qt::LeftButton, {}, ptMiddle);
        QCOMPARE(clicks.count(), 3);

        pBtn->setEnabled(false);
        QTest::mouseMove(pWindow, ptMiddle + QPoint(1, 1));
        QTest::mouseClick(pWindow, Qt::LeftButton, {}, ptMiddle + QPoint(1, 1));
        QCOMPARE(clicks.count(), 3);
        QCOMPARE(fill(), DISABLED);
    }

private:
    std::unique_ptr<QWidget> m_pHost;
};

QObject* MakeRegionButtonTest() {
    return new CRegionButtonTest;
}

#include "RegionButtonTest.moc"
