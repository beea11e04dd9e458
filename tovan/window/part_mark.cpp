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
        double const cx = sum_x / count - (mark.width() - 1) / 2.0,
                     cy = sum_y / count - (mark.height() - 1) / 2.0;
        double best = -1;
        for (int y = 0; y + mark.height() <= h; ++y)
            for (int x = 0; x + mark.width() <= w; ++x) {
                double const d = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                if (d <= best) continue;
                bool fits = true;
                for (QPoint const& q : visible)
                    if (!inside[static_cast<size_t>(y + q.y()) * w + x + q.x()]) {
                        fits = false;
                        break;
                    }
                if (fits) {
                    best = d;
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
