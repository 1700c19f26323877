#pragma once
// What the control tests share: a palette whose system colours all differ, a font drawn
// without smoothing (so caption pixels take exactly the pen's colour), and pixel counting.

#include <QFont>
#include <QImage>
#include <QObject>
#include <QPalette>
#include <QRect>
#include <QWidget>

QObject* MakeRegionButtonTest();
QObject* MakeHoverBitmapButtonTest();
QObject* MakeBalloonTipTest();
QObject* MakeHexKeyEditTest();

namespace ctltest {

const QColor FACE(200, 200, 200);
const QColor HILIGHT(255, 255, 255);
const QColor LIGHT(225, 225, 225);
const QColor SHADOW(128, 128, 128);
const QColor DKSHADOW(64, 64, 64);
const QColor BTNTEXT(0, 0, 0);
const QColor FRAMETEXT(10, 20, 30);

// A top-level window for the controls under test, shown and exposed.
inline void Prepare(QWidget& host, const QSize& size) {
    QPalette pal = host.palette();
    pal.setColor(QPalette::Button, FACE);
    pal.setColor(QPalette::Window, FACE);
    pal.setColor(QPalette::Light, HILIGHT);
    pal.setColor(QPalette::Midlight, LIGHT);
    pal.setColor(QPalette::Dark, SHADOW);
    pal.setColor(QPalette::Shadow, DKSHADOW);
    pal.setColor(QPalette::ButtonText, BTNTEXT);
    pal.setColor(QPalette::WindowText, FRAMETEXT);
    host.setPalette(pal);
    QFont font = host.font();
    font.setPixelSize(13);
    font.setStyleStrategy(QFont::NoAntialias);
    host.setFont(font);
    host.resize(size);
}

inline QImage Grab(QWidget* pWidget) {
    return pWidget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline QColor At(const QImage& img, int x, int y) {
    return QColor(img.pixel(x, y));
}

inline int Count(const QImage& img, const QRect& rc, const QColor& cr) {
    int n = 0;
    for (int y = rc.top(); y <= rc.bottom(); ++y)
        for (int x = rc.left(); x <= rc.right(); ++x)
            n += QColor(img.pixel(x, y)) == cr ? 1 : 0;
    return n;
}

// The bounding box of the pixels of colour cr inside rc.
inline QRect InkBox(const QImage& img, const QRect& rc, const QColor& cr) {
    QRect rcInk;
    for (int y = rc.top(); y <= rc.bottom(); ++y)
        for (int x = rc.left(); x <= rc.right(); ++x)
            if (QColor(img.pixel(x, y)) == cr) rcInk |= QRect(x, y, 1, 1);
    return rcInk;
}

} // namespace ctltest
