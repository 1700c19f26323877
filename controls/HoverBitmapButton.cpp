#include "HoverBitmapButton.h"

#include "SysColor.h"

#include <QFocusEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

namespace {

// Caption while the button has the focus.
const QColor CR_FOCUS_TEXT(0, 0, 255);

QImage LoadBitmap(const QString& strName) {
    return strName.isNull() ? QImage() : QImage(strName);
}

QString ResourceName(unsigned nId) {
    // Only the low 16 bits name a resource; 0 names none.
    nId &= 0xFFFFu;
    return nId == 0 ? QString() : QStringLiteral(":/res/bmp%1.bmp").arg(nId);
}

// One-pixel frame: top and left in crTopLeft, bottom and right in crBottomRight.
void Draw3dRect(QPainter& dc, const QRect& rc, const QColor& crTopLeft,
                const QColor& crBottomRight) {
    const int x = rc.x(), y = rc.y(), cx = rc.width(), cy = rc.height();
    dc.fillRect(x, y, cx - 1, 1, crTopLeft);
    dc.fillRect(x, y, 1, cy - 1, crTopLeft);
    dc.fillRect(x + cx - 1, y, 1, cy, crBottomRight);
    dc.fillRect(x, y + cy - 1, cx, 1, crBottomRight);
}

} // namespace

CHoverBitmapButton::CHoverBitmapButton(QWidget* pParent) : QPushButton(pParent) {
    Init();
}

CHoverBitmapButton::CHoverBitmapButton(const QString& strCaption, QWidget* pParent)
    : QPushButton(strCaption, pParent) {
    Init();
}

CHoverBitmapButton::~CHoverBitmapButton() = default;

void CHoverBitmapButton::Init() {
    // Moves without a button held are what raise the frame.
    setMouseTracking(true);
    m_bDisabled = !isEnabled();
}

bool CHoverBitmapButton::LoadBitmaps(unsigned nNormal, unsigned nHot, unsigned nDisabled) {
    return LoadBitmaps(ResourceName(nNormal), ResourceName(nHot), ResourceName(nDisabled));
}

bool CHoverBitmapButton::LoadBitmaps(const QString& strNormal, const QString& strHot,
                                     const QString& strDisabled) {
    m_bmNormal = QImage();
    m_bmHot = QImage();
    m_bmDisabled = QImage();
    update();
    m_bmNormal = LoadBitmap(strNormal);
    if (m_bmNormal.isNull()) return false;
    if (!strHot.isNull()) {
        m_bmHot = LoadBitmap(strHot);
        if (m_bmHot.isNull()) return false;
    }
    if (strDisabled.isNull()) return true;
    m_bmDisabled = LoadBitmap(strDisabled);
    return !m_bmDisabled.isNull();
}

void CHoverBitmapButton::SetLayout(int nLayout) {
    if (nLayout < LAYOUT_BITMAP_RIGHT || nLayout > LAYOUT_BITMAP_BOTTOM) return;
    m_nLayout = nLayout;
    updateGeometry();
    update();
}

QSize CHoverBitmapButton::sizeHint() const {
    const QFontMetrics fm(font());
    const QSize szText(fm.horizontalAdvance(text()), fm.height());
    const QSize szBmp = m_bmNormal.size();
    if (m_nLayout == LAYOUT_BITMAP_TOP || m_nLayout == LAYOUT_BITMAP_BOTTOM)
        return {10 + std::max(szText.width(), szBmp.width()),
                4 + szText.height() + 5 + szBmp.height()};
    return {10 + szText.width() + 5 + szBmp.width(), 4 + std::max(szText.height(), szBmp.height())};
}

void CHoverBitmapButton::changeEvent(QEvent* pEvent) {
    if (pEvent->type() == QEvent::EnabledChange) m_bDisabled = !isEnabled();
    QPushButton::changeEvent(pEvent);
}

void CHoverBitmapButton::focusInEvent(QFocusEvent* pEvent) {
    m_bFocus = true;
    m_bHot = true;
    m_nFrame = m_bPressed ? FRAME_SUNKEN : FRAME_RAISED;
    QPushButton::focusInEvent(pEvent);
    update();
}

void CHoverBitmapButton::focusOutEvent(QFocusEvent* pEvent) {
    m_nFrame = FRAME_FLAT;
    m_bFocus = false;
    m_bHot = false;
    QPushButton::focusOutEvent(pEvent);
    update();
}

void CHoverBitmapButton::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() != Qt::LeftButton) {
        QPushButton::mousePressEvent(pEvent);
        return;
    }
    m_bPressed = true;
    m_bHot = false;
    if (hasFocus()) {
        m_nFrame = FRAME_SUNKEN;
        update();
    } else {
        setFocus(Qt::MouseFocusReason);
    }
}

void CHoverBitmapButton::mouseReleaseEvent(QMouseEvent* pEvent) {
    if (pEvent->button() != Qt::LeftButton) {
        QPushButton::mouseReleaseEvent(pEvent);
        return;
    }
    // Dragging off the button let it go (see mouseMoveEvent): a release out there is not
    // the button's, and clicks nothing.
    if (!rect().contains(pEvent->position().toPoint())) return;
    m_bPressed = false;
    m_bHot = true;
    if (hasFocus()) {
        m_nFrame = FRAME_RAISED;
        update();
    } else {
        setFocus(Qt::MouseFocusReason);
    }
    // The click is ours to send, on every release, the one after a focusing press
    // included; the base class would drop that one.
    click();
}

void CHoverBitmapButton::mouseDoubleClickEvent(QMouseEvent* pEvent) {
    // The second press of a double click arrives as this event alone; its release clicks.
    if (pEvent->button() != Qt::LeftButton) return;
    m_bPressed = true;
    if (hasFocus()) {
        m_nFrame = FRAME_SUNKEN;
        repaint();
        m_nFrame = FRAME_FLAT;
    } else {
        setFocus(Qt::MouseFocusReason);
    }
}

void CHoverBitmapButton::mouseMoveEvent(QMouseEvent* pEvent) {
    QPushButton::mouseMoveEvent(pEvent);
    const bool bInside = rect().contains(pEvent->position().toPoint());
    if (m_bCaptured && m_nFrame != FRAME_FLAT) {
        if (!bInside) Leave();
        return;
    }
    // While a press holds the pointer, moves keep arriving from outside: only a move
    // over the button takes it up again.
    if (!bInside) return;
    m_bCaptured = true;
    m_bPressed = (pEvent->buttons() & Qt::LeftButton) != 0;
    m_bHot = true;
    m_nFrame = m_bPressed ? FRAME_SUNKEN : FRAME_RAISED;
    update();
}

void CHoverBitmapButton::leaveEvent(QEvent* pEvent) {
    if (m_bCaptured) Leave();
    QPushButton::leaveEvent(pEvent);
}

void CHoverBitmapButton::Leave() {
    m_nFrame = FRAME_FLAT;
    m_bPressed = false;
    m_bHot = false;
    update();
    m_bCaptured = false;
}

void CHoverBitmapButton::paintEvent(QPaintEvent*) {
    QPainter dc(this);
    const QPalette& pal = palette();
    const QRect rcItem = rect();
    const QString strCaption = text();
    // The face behind frame, bitmap and caption.
    dc.fillRect(rcItem, SysColor(pal, COLOR_BTNFACE));

    switch (m_nFrame) {
    case FRAME_FLAT:
        Draw3dRect(dc, rcItem, SysColor(pal, COLOR_BTNFACE), SysColor(pal, COLOR_BTNFACE));
        break;
    case FRAME_SUNKEN:
        Draw3dRect(dc, rcItem, SysColor(pal, COLOR_BTNSHADOW), SysColor(pal, COLOR_3DHILIGHT));
        break;
    case FRAME_RAISED:
        Draw3dRect(dc, rcItem, SysColor(pal, COLOR_3DHILIGHT), SysColor(pal, COLOR_BTNSHADOW));
        break;
    default:
        break;
    }

    QRect rcContent = rcItem.adjusted(5, 2, -5, -2);
    const QImage* pbm = &m_bmNormal;
    QColor crText = SysColor(pal, COLOR_WINDOWFRAME);
    const QImage* pbmHot = m_bmHot.isNull() ? &m_bmNormal : &m_bmHot;
    if (m_bFocus) {
        crText = CR_FOCUS_TEXT;
        pbm = pbmHot;
    }
    if (m_bHot) pbm = pbmHot;
    m_bDisabled = !isEnabled();
    if (m_bDisabled)
        pbm = &m_bmDisabled;
    else if (m_bPressed)
        rcContent.translate(1, 1);

    int nFormat = Qt::TextSingleLine | Qt::TextShowMnemonic;
    switch (m_nLayout) {
    case LAYOUT_BITMAP_RIGHT:
    case LAYOUT_BITMAP_LEFT:
        nFormat |= Qt::AlignLeft | Qt::AlignVCenter;
        break;
    case LAYOUT_BITMAP_TOP:
        nFormat |= Qt::AlignHCenter | Qt::AlignBottom;
        break;
    default:
        nFormat |= Qt::AlignHCenter | Qt::AlignTop;
        break;
    }

    QRect rcText = rcContent;
    if (!pbm->isNull()) {
        const QFontMetrics fm(font());
        switch (m_nLayout) {
        case LAYOUT_BITMAP_RIGHT:
            DrawBitmap(dc, *pbm, rcContent.translated(fm.horizontalAdvance(strCaption) + 5, 0),
                       false, true);
            break;
        case LAYOUT_BITMAP_LEFT:
            DrawBitmap(dc, *pbm, rcContent, false, true);
            rcText.translate(pbm->width() + 5, 0);
            break;
        case LAYOUT_BITMAP_TOP:
            DrawBitmap(dc, *pbm, rcContent, true, false);
            break;
        default:
            DrawBitmap(dc, *pbm, rcContent.translated(0, fm.height() + 5), true, false);
            break;
        }
    }

    if (m_bDisabled) {
        dc.setPen(SysColor(pal, COLOR_3DHILIGHT));
        dc.drawText(rcText.translated(1, 1), nFormat, strCaption);
        dc.setPen(SysColor(pal, COLOR_BTNSHADOW));
        dc.drawText(rcText, nFormat, strCaption);
    } else {
        dc.setPen(crText);
        dc.drawText(rcText, nFormat, strCaption);
    }
}

void CHoverBitmapButton::DrawBitmap(QPainter& dc, const QImage& bm, const QRect& rc, bool bCentreX,
                                    bool bCentreY) {
    // Centring splits the difference, truncated toward zero: a larger bitmap loses the
    // smaller half of its excess at the left or top, a smaller one moves right or down.
    const int dx = (bm.width() - rc.width()) / 2;
    const int dy = (bm.height() - rc.height()) / 2;
    QPoint ptDest = rc.topLeft();
    QPoint ptSrc(0, 0);
    if (bCentreX) {
        if (dx <= 0)
            ptDest.rx() -= dx;
        else
            ptSrc.rx() = dx;
    }
    if (bCentreY) {
        if (dy <= 0)
            ptDest.ry() -= dy;
        else
            ptSrc.ry() = dy;
    }
    // A block the rectangle's size, of which only the bitmap's own pixels are drawn.
    const QRect rcSrc = QRect(ptSrc, rc.size()).intersected(bm.rect());
    if (rcSrc.isEmpty()) return;
    dc.drawImage(ptDest + (rcSrc.topLeft() - ptSrc), bm, rcSrc);
}
