#include "Shapes.h"

#include <QRect>
#include <cmath>
#include <vector>

QRegion EllipticRgn(int nLeft, int nTop, int nRight, int nBottom) {
    const int nWidth = nRight - nLeft - 1;
    const int nHeight = nBottom - nTop - 1;
    if (nWidth <= 0 || nHeight <= 0) return QRegion();
    const double a = nWidth / 2.0, b = nHeight / 2.0;
    const double cx = nLeft + a, cy = nTop + b;
    std::vector<QRect> rows;
    for (int y = nTop; y < nTop + nHeight; ++y) {
        const double dy = (y + 0.5 - cy) / b;
        if (dy * dy > 1.0) continue;
        const double dx = a * std::sqrt(1.0 - dy * dy);
        const int x0 = int(std::ceil(cx - dx - 0.5));
        const int x1 = int(std::floor(cx + dx - 0.5));
        if (x1 >= x0) rows.emplace_back(x0, y, x1 - x0 + 1, 1);
    }
    QRegion rgn;
    rgn.setRects(rows.data(), int(rows.size()));
    return rgn;
}
