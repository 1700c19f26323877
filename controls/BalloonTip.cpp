#include "BalloonTip.h"

#include "Shapes.h"

#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QScreen>
#include <QTimerEvent>
#include <climits>

namespace {

// A little above 1/sqrt(2): the text rectangle's corners sit on the ellipse at 45 degrees.
constexpr double INSCRIBED = 0.7071085623775818;

void FillRgn(QPainter& dc, const QRegion& rgn, const QColor& cr) {
    for (const QRect& rc : rgn)
        dc.fillRect(rc, cr);
}

} // namespace

CBalloonTip::CBalloonTip() : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
}

CBalloonTip::~CBalloonTip() {
    StopHideTimer();
    StopShowTimer();
    m_tools.clear();
}

bool CBalloonTip::Create(QWidget* pParent) {
    m_hParent = pParent;
    setParent(pParent, Qt::ToolTip | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setGeometry(0, 0, m_nWidth, m_nHeight);

    const QRect rcClient = rect();
    const int nLeft = rcClient.left(), nTop = rcClient.top();
    const int nRight = nLeft + rcClient.width(), nBottom = nTop + rcClient.height();
    const int W = nRight - (nLeft + 10);
    const int H = nBottom - nTop;
    const int a = int(W * 0.5 * INSCRIBED);
    const int b = int(H * 0.5 * INSCRIBED);
    m_rcText = QRect(W / 2 - a + 10, H / 2 - b, 2 * a, 2 * b);
    m_rgnBalloon = EllipticRgn(nLeft + 10, nTop, nRight, nBottom);
    // The tail's tip is on the left edge, 10 pixels above the middle; its base lies
    // inside the ellipse.
    const QPolygon tail{QPoint(nLeft, nBottom / 2 - 10), QPoint(nLeft + 15, nBottom / 2 - 5),
                        QPoint(nLeft + 15, nBottom / 2 + 5)};
    m_rgnTail = QRegion(tail, Qt::OddEvenFill);
    m_rgnWindow = BalloonRgn();
    setMask(m_rgnWindow);

    // A font height names the text cell, not the em: shrink the em until the cell fits.
    m_font = QFont(m_strFontFace);
    m_font.setPixelSize(m_nFontHeight);
    const int nCell = QFontMetrics(m_font).height();
    if (nCell > m_nFontHeight)
        m_font.setPixelSize(std::max(1, m_nFontHeight * m_nFontHeight / nCell));

    m_bCreated = true;
    return true;
}

void CBalloonTip::AddTool(QWidget* pTool, const QString& strText, const QColor& crText,
                          int nShowSeconds, int nDelayMs) {
    if (!pTool) return;
    const bool bNew = m_tools.count(pTool) == 0;
    m_tools[pTool] = BalloonTool{strText, crText, nShowSeconds, nDelayMs};
    if (bNew)
        connect(pTool, &QObject::destroyed, this, [this](QObject* pGone) {
            m_tools.erase(pGone);
            if (m_hwndCurrent.isNull()) Hide();
        });
}

void CBalloonTip::RemoveTool(QWidget* pTool) {
    if (m_tools.erase(pTool) == 0) return;
    disconnect(pTool, &QObject::destroyed, this, nullptr);
    if (m_hwndCurrent == pTool) {
        Hide();
        m_hwndCurrent = nullptr;
    }
}

bool CBalloonTip::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if (m_bCreated) {
        const QWidget* pWidget = qobject_cast<QWidget*>(pWatched);
        // Its own events too: the pointer may cross the balloon on its way off a tool.
        if (m_hParent.isNull() || pWidget == this ||
            (pWidget && pWidget->window() == m_hParent->window()))
            RelayEvent(pWatched, pEvent);
    }
    return QWidget::eventFilter(pWatched, pEvent);
}

void CBalloonTip::RelayEvent(QObject* pWatched, QEvent* pEvent) {
    switch (pEvent->type()) {
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseMove: {
        const QPoint ptScreen = static_cast<QMouseEvent*>(pEvent)->globalPosition().toPoint();
        if (m_hwndCurrent.isNull()) {
            const auto it = m_tools.find(pWatched);
            if (it == m_tools.end()) return;
            m_crText = it->second.crText;
            m_strText = it->second.strText;
            update();
            ShowAt(ptScreen.x(), ptScreen.y(), it->second.nShowSeconds, it->second.nDelayMs);
            m_hwndCurrent = qobject_cast<QWidget*>(pWatched);
        } else {
            const QRect rcTool(m_hwndCurrent->mapToGlobal(QPoint(0, 0)), m_hwndCurrent->size());
            // One move drops the tool; the next one over another tool picks that one up.
            if (!rcTool.contains(ptScreen)) {
                Hide();
                m_hwndCurrent = nullptr;
            }
        }
        break;
    }
    case QEvent::MouseButtonPress:
    case QEvent::NonClientAreaMouseButtonPress: {
        const Qt::MouseButton nButton = static_cast<QMouseEvent*>(pEvent)->button();
        // The tool stays current: the balloon stays away until the pointer has left it.
        if (nButton == Qt::LeftButton || nButton == Qt::RightButton) Hide();
        break;
    }
    case QEvent::KeyPress:
        Hide();
        break;
    default:
        break;
    }
}

void CBalloonTip::ShowAt(int x, int y, int nShowSeconds, int nDelayMs) {
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    // The screen the point is on, so the balloon stays on the user's monitor.
    QScreen* pScreen = QGuiApplication::screenAt(QPoint(x, y));
    if (!pScreen) pScreen = QGuiApplication::primaryScreen();
    if (pScreen) {
        const QRect rcScreen = pScreen->geometry();
        if (y + m_nHeight > rcScreen.y() + rcScreen.height())
            y = rcScreen.y() + rcScreen.height() - m_nHeight;
        if (x + m_nWidth > rcScreen.x() + rcScreen.width())
            x = rcScreen.x() + rcScreen.width() - m_nWidth;
    }
    setGeometry(x, y, m_nWidth, m_nHeight);
    StartHideTimer(nShowSeconds);
    StartShowTimer(nDelayMs);
}

void CBalloonTip::Hide() {
    if (isVisible()) hide();
    StopHideTimer();
    StopShowTimer();
}

void CBalloonTip::StartHideTimer(int nSeconds) {
    StopHideTimer();
    if (nSeconds > 0) m_nHideTimer = startTimer(std::min(nSeconds, INT_MAX / 1000) * 1000);
}

void CBalloonTip::StartShowTimer(int nMs) {
    StopShowTimer();
    if (nMs > 0) m_nShowTimer = startTimer(nMs);
}

void CBalloonTip::StopHideTimer() {
    if (m_nHideTimer != 0) killTimer(m_nHideTimer);
    m_nHideTimer = 0;
}

void CBalloonTip::StopShowTimer() {
    if (m_nShowTimer != 0) killTimer(m_nShowTimer);
    m_nShowTimer = 0;
}

void CBalloonTip::timerEvent(QTimerEvent* pEvent) {
    const int nId = pEvent->timerId();
    if (nId != 0 && nId == m_nHideTimer) {
        StopHideTimer();
        StopShowTimer();
        hide();
    } else if (nId != 0 && nId == m_nShowTimer) {
        // Keeps firing: shows the balloon again whenever the pointer is over any of the
        // owner's controls, until a hide stops it.
        const QWidget* pUnder = QApplication::widgetAt(QCursor::pos());
        if (pUnder && m_hParent && pUnder != m_hParent && m_hParent->isAncestorOf(pUnder)) show();
    }
    QWidget::timerEvent(pEvent);
}

void CBalloonTip::paintEvent(QPaintEvent*) {
    QPainter dc(this);
    const QRegion rgn = BalloonRgn();
    FillRgn(dc, rgn, m_crFill);
    // The frame: the shape's pixels within 2 columns or 1 row of its outside.
    const QRegion rgnInner = rgn.intersected(rgn.translated(2, 0))
                                 .intersected(rgn.translated(-2, 0))
                                 .intersected(rgn.translated(0, 1))
                                 .intersected(rgn.translated(0, -1));
    FillRgn(dc, rgn.subtracted(rgnInner), m_crFrame);

    dc.setFont(m_font);
    dc.setPen(m_crText);
    // A text too wide for one line is wrapped from the top; otherwise one centred line.
    if (QFontMetrics(m_font).horizontalAdvance(m_strText) >= m_rcText.width())
        dc.drawText(m_rcText, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, m_strText);
    else
        dc.drawText(m_rcText, Qt::AlignCenter | Qt::TextSingleLine, m_strText);
}
