#pragma once
// A push button shaped by a region: the capsule buttons of the main window. It draws
// itself from four looks (normal, pressed, hover, disabled) rendered once off screen,
// with 3-D edges that follow the outline and a caption centred in the shape. The
// pointer counts as over the button only inside the region.

#include "Shapes.h"

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QPushButton>
#include <QRegion>
#include <QString>
#include <memory>

class CRegionButton : public QPushButton {
    Q_OBJECT
public:
    // Style bits for Create; a button without STYLE_VISIBLE stays hidden.
    static constexpr unsigned STYLE_VISIBLE = 0x1u;
    static constexpr unsigned STYLE_DISABLED = 0x2u;

    explicit CRegionButton(QWidget* pParent = nullptr);
    ~CRegionButton() override;

    // Stores the edge style and the four fill colours, then creates the button as below.
    bool Create(const QString& strCaption, unsigned nStyle, int x, int y, const QRegion& rgn,
                QWidget* pParent, int nId, int nBorder, const QColor& crNormal,
                const QColor& crSelected, const QColor& crHover, const QColor& crDisabled);
    // Makes the button a child of pParent with its own copy of rgn as its shape, moved so
    // that the shape's bounding box starts at the button's top-left corner (x, y) in the
    // parent. False for an empty region: such a button could never be seen nor hit.
    bool Create(const QString& strCaption, unsigned nStyle, int x, int y, const QRegion& rgn,
                QWidget* pParent, int nId);

    int GetDlgCtrlID() const { return m_nId; }
    QRegion GetWindowRgn() const { return m_hRgn; }
    QSize sizeHint() const override;

protected:
    bool hitButton(const QPoint& pt) const override;
    void paintEvent(QPaintEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void enterEvent(QEnterEvent* pEvent) override;
    void leaveEvent(QEvent* pEvent) override;
    void changeEvent(QEvent* pEvent) override;

private:
    void HoverCheck(const QPoint& pt);
    void RenderLooks();
    void RenderLook(std::unique_ptr<QImage>& pbm, const QColor& crFill, bool bEnabled,
                    bool bPressed);
    void DrawCaption(QPainter& dc, bool bEnabled, bool bPressed) const;
    void DrawEdges(QPainter& dc, bool bPressed) const;

    int m_nBorder = 1;
    QColor m_crNormal;
    QColor m_crSelected;
    QColor m_crHover;
    QColor m_crDisabled;
    std::unique_ptr<QImage> m_pbmNormal;
    std::unique_ptr<QImage> m_pbmSelected;
    std::unique_ptr<QImage> m_pbmHover;
    std::unique_ptr<QImage> m_pbmDisabled;
    QPoint m_ptCentre;
    bool m_bMouseDown = false;
    bool m_bHover = false;
    QRegion m_hRgn;
    bool m_bRebuild = true;
    int m_nId = 0;
    // The caption the looks were rendered with: a new caption renders them again.
    QString m_strRendered;
};
