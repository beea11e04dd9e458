#include "tovan/window/part_mark.h"

#include <QPainter>

#include <vector>

namespace tovan {

QImage mark_in_part(QImage const& mark, QRegion const& part, QSize size) {
    if (mark.isNull() || size.isEmpty()) return {};
    int const w = size.width(), h = size.height();
    std::vector<char> inside(static_cast<size_t>(w) * h, 0);
    double sum_x = 0, sum_y = 0, count = 0;
    for (QRect const& r : part.intersected(QRect(QPoint(0, 0), size)))
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                inside[static_cast<size_t>(y) * w + x] = 1;
                sum_x += x;
                sum_y += y;
                ++count;
            }
    std::vector<QPoint> visible;
    for (int y = 0; y < mark.height(); ++y)
        for (int x = 0; x < mark.width(); ++x)
            if (!mark.hasAlphaChannel() || qAlpha(mark.pixel(x, y)) > 0) visible.push_back({x, y});

    QPoint at((w - mark.width()) / 2, (h - mark.height()) / 2);
    if (count > 0) {
        // The part's centre and its direction from the button's centre; a
        // spot counts as clockwise when it lies to the right of that
        // direction on the screen (rows grow downward).
        double const px = sum_x / count, py = sum_y / count;
        double const ux = px - (w - 1) / 2.0, uy = py - (h - 1) / 2.0;
        double best = -1;
        bool best_clockwise = false;
        for (int y = 0; y + mark.height() <= h; ++y)
            for (int x = 0; x + mark.width() <= w; ++x) {
                double const ox = x + (mark.width() - 1) / 2.0 - px, oy = y + (mark.height() - 1) / 2.0 - py;
                double const d = ox * ox + oy * oy;
                bool const clockwise = ux * oy - uy * ox > 0;
                if (clockwise < best_clockwise || (clockwise == best_clockwise && d <= best)) continue;
                bool fits = true;
                for (QPoint const& q : visible)
                    if (!inside[static_cast<size_t>(y + q.y()) * w + x + q.x()]) {
                        fits = false;
                        break;
                    }
                if (fits) {
                    best = d;
                    best_clockwise = clockwise;
                    at = {x, y};
                }
            }
    }
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.drawImage(at, mark);
    return out;
}

} // namespace tovan
