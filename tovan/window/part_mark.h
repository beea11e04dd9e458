// A plugin button's mark, placed inside the button's own part of the pad.
// The four pad buttons lie on one square and each takes the mouse only in
// its mask; a mark drawn at the square's centre would sit where all four
// parts meet and name none of them. Pure; any thread.
#pragma once

#include <QImage>
#include <QRegion>
#include <QSize>

namespace tovan {

// A transparent image of the button's size with the mark drawn where all
// its visible pixels lie inside the part, as far from the part's centre
// (where the pad shows the part's symbol) as it fits, on the clockwise side
// of that centre as seen from the button's centre, so that the marks of two
// neighbouring parts never face each other across their gap; the first such
// spot in reading order among equals. A part the mark fits nowhere in gets
// the mark centred. A null mark gives a null image (no mark).
QImage mark_in_part(QImage const& mark, QRegion const& part, QSize size);

} // namespace tovan
