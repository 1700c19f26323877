#pragma once
// The system colours the controls draw with, by their classic index, taken from the
// widget's palette so they follow the desktop's theme; and the 0x00BBGGRR colour
// references the program's colour constants are written in. System colours do not change
// with a control's state: always the active group, so a look rendered while disabled
// has the same edges as one rendered while enabled.

#include <QColor>
#include <QPalette>
#include <QtGlobal>

enum ESysColor {
    COLOR_WINDOWFRAME = 6,
    COLOR_BTNFACE = 15,
    COLOR_BTNSHADOW = 16,
    COLOR_BTNTEXT = 18,
    COLOR_3DHILIGHT = 20,
    COLOR_3DDKSHADOW = 21,
    COLOR_3DLIGHT = 22,
};

inline QColor SysColor(const QPalette& pal, ESysColor nIndex) {
    switch (nIndex) {
    case COLOR_WINDOWFRAME:
        return pal.color(QPalette::Active, QPalette::WindowText);
    case COLOR_BTNFACE:
        return pal.color(QPalette::Active, QPalette::Button);
    case COLOR_BTNSHADOW:
        return pal.color(QPalette::Active, QPalette::Dark);
    case COLOR_BTNTEXT:
        return pal.color(QPalette::Active, QPalette::ButtonText);
    case COLOR_3DHILIGHT:
        return pal.color(QPalette::Active, QPalette::Light);
    case COLOR_3DDKSHADOW:
        return pal.color(QPalette::Active, QPalette::Shadow);
    case COLOR_3DLIGHT:
        return pal.color(QPalette::Active, QPalette::Midlight);
    }
    return pal.color(QPalette::Active, QPalette::Button);
}

// 0x00BBGGRR: red in the low byte.
inline QColor ColorFromRef(quint32 cr) {
    return QColor(int(cr & 0xFFu), int((cr >> 8) & 0xFFu), int((cr >> 16) & 0xFFu));
}
