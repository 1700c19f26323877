#include "RegionButton.h"

#include "SysColor.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

namespace {

void FillRgn(QPainter& dc, const QRegion& rgn, const QColor& cr) {
    for (const QRect& rc : rgn)
        dc.fillRect(rc, cr);
}

} // namespace

CRegionButton::CRegionButton(QWidget* pParent)
    : QPushButton(pParent), m_crNormal(QApplication::palette().color(QPalette::Button)),
      m_crSelected(m_crNormal), m_crHover(m_crNormal), m_crDisabled(m_crNormal) {
    // Reachable by the mouse only: Tab moves between the dialog's other controls, and a
    // focused capsule must not take Enter from the dialog's default button.
    setFocusPolicy(Qt::ClickFocus);
    setAutoDefault(false);
    setMouseTracking(true);
    // Every pixel inside the shape comes from one look: nothing to erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CRegionButton::~CRegionButton() = default;

bool CRegionButton::Create(const QString& strCaption, unsigned nStyle, int x, int y,
                           const QRegion& rgn, QWidget* pParent, int nId, int nBorder,
                           const QColor& crNormal, const QColor& crSelected, const QColor& crHover,
                           const QColor& crDisabled) {
    m_nBorder = nBorder;
    m_crNormal = crNormal;
    m_crSelected = crSelected;
    m_crHover = crHover;
    m_crDisabled = crDisabled;
    return Create(strCaption, nStyle, x, y, rgn, pParent, nId);
}

bool CRegionButton::Create(const QString& strCaption, unsigned nStyle, int x, int y,
                           const QRegion& rgn, QWidget* pParent, int nId) {
    if (rgn.isEmpty()) return false;
    m_hRgn = rgn.translated(-rgn.boundingRect().topLeft());
    const QRect rcBox = m_hRgn.boundingRect();
    m_ptCentre = QPoint(rcBox.left() + rcBox.width() / 2, rcBox.top() + rcBox.height() / 2);

    if (pParent != parentWidget()) setParent(pParent);
    m_nId = nId;
    setText(strCaption);
    setGeometry(QRect(QPoint(x, y), rcBox.size()));
    setMask(m_hRgn);
    setEnabled((nStyle & STYLE_DISABLED) == 0);
    setVisible((nStyle & STYLE_VISIBLE) != 0);
    m_bRebuild = true;
    return true;
}

QSize CRegionButton::sizeHint() const {
    return m_hRgn.isEmpty() ? QPushButton::sizeHint() : m_hRgn.boundingRect().size();
}

bool CRegionButton::hitButton(const QPoint& pt) const {
    return m_hRgn.contains(pt);
}

void CRegionButton::HoverCheck(const QPoint& pt) {
    if (m_hRgn.contains(pt)) {
        if (!m_bHover) {
            m_bHover = true;
            update();
        }
    } else {
        m_bHover = false;
        update();
    }
}

void CRegionButton::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton) m_bMouseDown = true;
    QPushButton::mousePressEvent(pEvent);
}

void CRegionButton::mouseReleaseEvent(QMouseEvent* pEvent) {
    // The click goes out first; the look then follows where the pointer was let go.
    QPushButton::mouseReleaseEvent(pEvent);
    if (pEvent->button() != Qt::LeftButton) return;
    m_bMouseDown = false;
    HoverCheck(pEvent->position().toPoint());
}

void CRegionButton::mouseDoubleClickEvent(QMouseEvent* pEvent) {
    // The second press of a double click arrives as this event alone. Taken as a plain
    // press, its release makes a second click; no double-click notice goes anywhere.
    QPushButton::mousePressEvent(pEvent);
}

void CRegionButton::mouseMoveEvent(QMouseEvent* pEvent) {
    if (!m_bMouseDown) HoverCheck(pEvent->position().toPoint());
    QPushButton::mouseMoveEvent(pEvent);
}

void CRegionButton::enterEvent(QEnterEvent* pEvent) {
    if (!m_bMouseDown) HoverCheck(pEvent->position().toPoint());
    QPushButton::enterEvent(pEvent);
}

void CRegionButton::leaveEvent(QEvent* pEvent) {
    m_bHover = false;
    update();
    QPushButton::leaveEvent(pEvent);
}

void CRegionButton::changeEvent(QEvent* pEvent) {
    // New colours or a new font make the looks stale.
    if (pEvent->type() == QEvent::PaletteChange || pEvent->type() == QEvent::FontChange)
        m_bRebuild = true;
    QPushButton::changeEvent(pEvent);
}

void CRegionButton::paintEvent(QPaintEvent*) {
    if (m_bRebuild || m_strRendered != text() || !m_pbmNormal || m_pbmNormal->size() != size()) {
        RenderLooks();
        m_bRebuild = false;
    }
    const QImage* pbm = m_pbmNormal.get();
    if (!isEnabled())
        pbm = m_pbmDisabled.get();
    else if (isDown())
        pbm = m_pbmSelected.get();
    else if (m_bHover)
        pbm = m_pbmHover.get();
    // No focus rectangle in any look.
    QPainter dc(this);
    dc.setClipRegion(m_hRgn);
    dc.drawImage(0, 0, *pbm);
}

void CRegionButton::RenderLooks() {
    RenderLook(m_pbmNormal, m_crNormal, true, false);
    RenderLook(m_pbmSelected, m_crSelected, true, true);
    RenderLook(m_pbmHover, m_crHover, true, false);
    RenderLook(m_pbmDisabled, m_crDisabled, false, false);
    m_strRendered = text();
}

void CRegionButton::RenderLook(std::unique_ptr<QImage>& pbm, const QColor& crFill, bool bEnabled,
                               bool bPressed) {
    pbm = std::make_unique<QImage>(size(), QImage::Format_RGB32);
    // Black outside the shape; the clipped copy never shows it.
    pbm->fill(Qt::black);
    QPainter dc(pbm.get());
    FillRgn(dc, m_hRgn, crFill);
    DrawCaption(dc, bEnabled, bPressed);
    DrawEdges(dc, bPressed);
}

void CRegionButton::DrawCaption(QPainter& dc, bool bEnabled, bool bPressed) const {
    // font() is the parent's font unless the button was given one of its own.
    const QFont font = this->font();
    const QFontMetrics fm(font);
    dc.setFont(font);
    const QString strCaption = text();
    // Centred on x, the bottom of the text cell on y: the caption sits in the middle of
    // the shape's box. Trailing blanks count in the width, as they are drawn.
    int x = m_ptCentre.x();
    int y = m_ptCentre.y() + fm.height() / 2;
    if (bPressed) {
        x += m_nBorder;
        y += m_nBorder;
    }
    const QPoint ptText(x - fm.horizontalAdvance(strCaption) / 2, y - fm.descent());
    const QPalette& pal = palette();
    if (bEnabled) {
        dc.setPen(SysColor(pal, COLOR_BTNTEXT));
        dc.drawText(ptText, strCaption);
    } else {
        dc.setPen(SysColor(pal, COLOR_3DHILIGHT));
        dc.drawText(ptText + QPoint(1, 1), strCaption);
        dc.setPen(SysColor(pal, COLOR_BTNSHADOW));
        dc.drawText(ptText, strCaption);
    }
}

void CRegionButton::DrawEdges(QPainter& dc, bool bPressed) const {
    // A rim is the shape minus the shape moved by (d, d): a positive d gives the top and
    // left side of the outline, a negative one the bottom and right side. Later rims
    // paint over earlier ones.
    struct SRim {
        int nOffset;
        ESysColor nRaised;
        ESysColor nPressed;
    };
    static constexpr SRim RIMS_TWO[] = {
        {+2, COLOR_3DHILIGHT, COLOR_3DDKSHADOW},
        {-2, COLOR_BTNSHADOW, COLOR_3DLIGHT},
        {+1, COLOR_3DLIGHT, COLOR_BTNSHADOW},
        {-1, COLOR_3DDKSHADOW, COLOR_3DHILIGHT},
    };
    static constexpr SRim RIMS_ONE[] = {
        {+1, COLOR_3DHILIGHT, COLOR_3DDKSHADOW},
        {-1, COLOR_3DDKSHADOW, COLOR_3DHILIGHT},
    };
    const QPalette& pal = palette();
    auto draw = [&](const SRim& rim) {
        const QRegion rgnRim = m_hRgn.subtracted(m_hRgn.translated(rim.nOffset, rim.nOffset));
        FillRgn(dc, rgnRim, SysColor(pal, bPressed ? rim.nPressed : rim.nRaised));
    };
    if (m_nBorder == 2) {
        for (const SRim& rim : RIMS_TWO)
            draw(rim);
    } else {
        for (const SRim& rim : RIMS_ONE)
            draw(rim);
    }
}
