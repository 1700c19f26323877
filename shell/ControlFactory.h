#pragma once
// The one place where the main window's capsule buttons and the bitmap buttons of the
// window and the dialogs are made ready.

#include <QString>

class QAbstractButton;
class QRegion;
class QWidget;
class CHoverBitmapButton;

// The capsule outline of the action buttons, 96 by 32: the rectangle (16, 0)-(80, 31)
// united with the ellipses in the boxes (0, 0)-(32, 32) and (64, 0)-(96, 32).
QRegion ActionButtonOutline();

// One action button of the main window: the outline with its top-left corner at (x, y)
// in the parent's client area, object name IDC_<id>, not in the Tab order. Each button
// keeps its own copy of the outline.
QAbstractButton* CreateActionButton(QWidget* pParent, int nId, const QString& strCaption, int x,
                                    int y, const QRegion& rgnOutline);

// OK (tick, bitmaps 135, 135, 135) and Cancel/Close (cross, bitmaps 136, 135, 136) with the
// bitmap at the left (layout 1) or at the top (layout 2).
void SetUpOkCancel(CHoverBitmapButton* pOk, CHoverBitmapButton* pCancel, int nLayout);
