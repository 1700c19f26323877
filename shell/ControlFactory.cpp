#include "shell/ControlFactory.h"

#include <QPalette>

#include "HoverBitmapButton.h"
#include "RegionButton.h"
#include "Shapes.h"
#include "SysColor.h"

QRegion ActionButtonOutline() {
    return RectRgn(16, 0, 80, 31) | EllipticRgn(0, 0, 32, 32) | EllipticRgn(64, 0, 96, 32);
}

QAbstractButton* CreateActionButton(QWidget* pParent, int nId, const QString& strCaption, int x,
                                    int y, const QRegion& rgnOutline) {
    const QColor crFace = pParent->palette().color(QPalette::Active, QPalette::Button);
    const QColor crPaleBlue = ColorFromRef(0xFEF7D3);
    auto* pButton = new CRegionButton;
    pButton->Create(strCaption, CRegionButton::STYLE_VISIBLE, x, y, rgnOutline, pParent, nId, 2,
                    crFace, crPaleBlue, crPaleBlue, crFace);
    pButton->setObjectName(QStringLiteral("IDC_%1").arg(nId));
    return pButton;
}

void SetUpOkCancel(CHoverBitmapButton* pOk, CHoverBitmapButton* pCancel, int nLayout) {
    pOk->LoadBitmaps(135, 135, 135);
    pOk->SetLayout(nLayout);
    pCancel->LoadBitmaps(136, 135, 136);
    pCancel->SetLayout(nLayout);
}
