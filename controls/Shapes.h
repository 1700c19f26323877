#pragma once
// Regions from boxes given as (left, top, right, bottom) with the right and bottom edges
// excluded, the way the program's shapes are written down. An elliptic region lies inside
// the box shrunk by one pixel at the right and bottom, so that RectRgn(16, 0, 80, 31) and
// EllipticRgn(0, 0, 32, 32) are equally tall and join without a step.

#include <QRegion>

inline QRegion RectRgn(int nLeft, int nTop, int nRight, int nBottom) {
    return QRegion(nLeft, nTop, nRight - nLeft, nBottom - nTop);
}

// Every pixel whose centre lies inside the ellipse, row by row: a round outline even for a
// small ellipse, where a polygon's straight pieces would show as corners.
QRegion EllipticRgn(int nLeft, int nTop, int nRight, int nBottom);
