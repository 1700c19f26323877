#pragma once
// The one place where the main window's capsule buttons are made and the key fields
// are given their keystroke filter: plain Qt controls for now, so the window works
// before the custom controls arrive and takes them with a change here only.

#include <QString>

class QAbstractButton;
class QLineEdit;
class QWidget;

// One action button of the main window: the 96 x 32 outline with its top-left corner
// at (x, y) in the parent's client area, object name IDC_<id>, not in the Tab order.
QAbstractButton* CreateActionButton(QWidget* pParent, int nId, const QString& strCaption, int x,
                                    int y);

// A key field takes only the digits 1 to 9 and A to F (either case) as keystrokes.
void SetUpHexKeyField(QLineEdit* pField);
