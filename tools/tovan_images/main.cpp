// tovan_images: draws the desk program's compiled-in pictures at build time.
//
// Usage: tovan_images <output directory> [--solid]
// Writes every picture under its fixed name, a resource list
// (tovan_images.qrc) naming them, and logo.bmp for the run directory.
// With --solid every frame of a strip is one flat colour of its state, so a
// screenshot can be sampled to tell which frame a button shows.
#include <QBitmap>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// The colours of the solid variant, by state frame (normal, default, hover,
// pressed, spare); tests sample screenshots for these.
QColor const solid_state[5] = {QColor(0x20, 0xa0, 0x20), QColor(0x20, 0x20, 0xa0), QColor(0xa0, 0x20, 0x20),
                               QColor(0xa0, 0xa0, 0x20), QColor(0x80, 0x80, 0x80)};

QColor const accent(0x2f, 0x6f, 0xb5);
QColor const accent_dark(0x1f, 0x4f, 0x85);
QColor const panel(0xf3, 0xf5, 0xf8);

bool g_solid = false;

QImage canvas(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

// One state frame of a rounded button: flat fill that darkens with the state.
void draw_button_frame(QPainter& p, QRect r, int state, QColor base) {
    if (g_solid) {
        p.fillRect(r, solid_state[state]);
        return;
    }
    QColor fill = base;
    if (state == 1) fill = base.lighter(110);
    if (state == 2) fill = base.lighter(125);
    if (state == 3) fill = base.darker(125);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(fill.darker(130), 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
}

QImage strip(int frame_w, int frame_h, int frames, int states, QColor base) {
    QImage img = canvas(frame_w * frames, frame_h);
    QPainter p(&img);
    for (int i = 0; i < frames; ++i)
        draw_button_frame(p, QRect(i * frame_w, 0, frame_w, frame_h), i % states, base);
    return img;
}

// The plugin pad: one round pad 100 by 100 cut into four quarter sectors,
// one button each, with a gap between them so that no pixel belongs to two
// buttons. The buttons all sit on the pad's square; each shows only its own
// sector through its mask, so a state picture shows the whole pad and only
// the sector under the mouse changes. Frame order of the mask strip:
// 0 audio (left), 1 file_transfer (right), 2 video (bottom), 3 desktop (top).
int const pad_size = 100, pad_radius = 46;
double const pad_gap = 2.0; // each sector keeps this far off the diagonals

enum pad_part { part_audio, part_file_transfer, part_video, part_desktop, part_none };

// The sector a pixel of the pad's square belongs to.
pad_part part_at(int x, int y) {
    double const dx = x + 0.5 - pad_size / 2.0, dy = y + 0.5 - pad_size / 2.0;
    if (dx * dx + dy * dy > pad_radius * pad_radius) return part_none;
    if (-dx > std::abs(dy) + pad_gap) return part_audio;
    if (dx > std::abs(dy) + pad_gap) return part_file_transfer;
    if (dy > std::abs(dx) + pad_gap) return part_video;
    if (-dy > std::abs(dx) + pad_gap) return part_desktop;
    return part_none;
}

// Where each part's symbol is centred: at the middle of its sector.
QPointF symbol_centre(pad_part part) {
    double const c = pad_size / 2.0, off = 26;
    switch (part) {
    case part_audio:
        return {c - off, c};
    case part_file_transfer:
        return {c + off, c};
    case part_video:
        return {c, c + off};
    default:
        return {c, c - off};
    }
}

// The symbols, white, about 22 pixels across, drawn around (0, 0).
void draw_screen(QPainter& p) {
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(-10, -9, 20, 14), 2, 2);
    p.drawLine(QPointF(0, 5), QPointF(0, 8.5));
    p.drawLine(QPointF(-5, 9), QPointF(5, 9));
}

void draw_folder(QPainter& p, QColor pad) {
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(-11, -9, 9, 5), 1.5, 1.5); // the tab
    p.drawRoundedRect(QRectF(-11, -6, 22, 15), 2, 2);
    // Two arrows across it, for files going both ways.
    p.setPen(QPen(pad, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(-6, -1), QPointF(6, -1));
    p.drawPolyline(QPolygonF({QPointF(3, -3.5), QPointF(6, -1), QPointF(3, 1.5)}));
    p.drawLine(QPointF(6, 4.5), QPointF(-6, 4.5));
    p.drawPolyline(QPolygonF({QPointF(-3, 2), QPointF(-6, 4.5), QPointF(-3, 7)}));
}

void draw_camera(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(-11, -7, 15, 14), 2.5, 2.5);
    p.drawPolygon(QPolygonF({QPointF(5, -1.5), QPointF(11, -6), QPointF(11, 6), QPointF(5, 1.5)}));
}

void draw_speaker(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(-12, -4), QPointF(-7, -4), QPointF(-1, -9.5), QPointF(-1, 9.5),
                             QPointF(-7, 4), QPointF(-12, 4)}));
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    for (double r : {5.0, 9.5}) p.drawArc(QRectF(-r, -r, 2 * r, 2 * r), -45 * 16, 90 * 16);
}

// One state picture: the whole pad in the state's colour, the gaps between
// the sectors in the panel's colour, and every part's symbol.
void draw_pad(QPainter& p, QPoint at, QColor fill) {
    p.save();
    p.translate(at);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    double const c = pad_size / 2.0;
    p.drawEllipse(QPointF(c, c), pad_radius, pad_radius);
    p.setPen(QPen(panel, pad_gap * std::sqrt(2.0) + 0.5));
    p.drawLine(QPointF(c - pad_radius, c - pad_radius), QPointF(c + pad_radius, c + pad_radius));
    p.drawLine(QPointF(c - pad_radius, c + pad_radius), QPointF(c + pad_radius, c - pad_radius));
    for (pad_part part : {part_audio, part_file_transfer, part_video, part_desktop}) {
        p.save();
        p.translate(symbol_centre(part));
        if (part == part_audio) draw_speaker(p);
        if (part == part_file_transfer) draw_folder(p, fill);
        if (part == part_video) draw_camera(p);
        if (part == part_desktop) draw_screen(p);
        p.restore();
    }
    p.restore();
}

// Five frames: normal, default (the same; a pad button is never the
// default), hover lighter, pressed darker, a spare.
QImage navig_strip() {
    QImage img = canvas(5 * pad_size, pad_size);
    QPainter p(&img);
    QColor const fill[5] = {accent, accent, accent.lighter(130), accent_dark, accent};
    for (int i = 0; i < 5; ++i) {
        if (g_solid)
            p.fillRect(QRect(i * pad_size, 0, pad_size, pad_size), solid_state[i]);
        else
            draw_pad(p, QPoint(i * pad_size, 0), fill[i]);
    }
    return img;
}

// Black where a button takes the mouse: frame i holds part i alone.
QImage navig_mask() {
    QImage img(4 * pad_size, pad_size, QImage::Format_RGB32);
    img.fill(Qt::white);
    for (int i = 0; i < 4; ++i)
        for (int y = 0; y < pad_size; ++y)
            for (int x = 0; x < pad_size; ++x)
                if (part_at(x, y) == i) img.setPixel(i * pad_size + x, y, qRgb(0, 0, 0));
    return img;
}

// The background sheet; the dialog cuts its pieces at fixed places:
// A1 (0,0), A2 (297,0), A3 (6,278), A4 (296,277) each 279 by 265, A5 (599,1) 279 by 578.
// The window shows a sheet's rows from 28 on at its top (the upper piece, 187
// rows), then the rows from 215 on (the lower piece), so a sheet is drawn 28
// rows below where its parts show. The solid variant gives each sheet a flat
// colour of its own, so a screenshot tells which pieces are shown.
//
// The bottom strip is A1's last 11 rows, drawn over the window's last 11
// rows in every state. A connected window is 367 rows high and its chat
// input ends at row 357, so the strip's upper rows are see-through: the
// blue band shows only below the input and its outline (rows 359 on).
QColor const solid_sheet[5] = {QColor(0xd0, 0x40, 0x40), QColor(0x40, 0xd0, 0x40), QColor(0x40, 0x40, 0xd0),
                               QColor(0xd0, 0xd0, 0x40), QColor(0x40, 0xd0, 0xd0)};
int const strip_rows = 11, strip_clear_rows = 3;

QImage background() {
    QImage img(880, 580, QImage::Format_ARGB32);
    img.fill(panel);
    QPainter p(&img);
    int index = 0;
    auto sheet = [&](int x, int y, int h, bool connected) {
        if (g_solid) {
            p.fillRect(x, y, 279, h, solid_sheet[index++]);
            return;
        }
        int const top = y + 28; // the window's row 0
        p.fillRect(x, y, 279, h, Qt::white);
        p.fillRect(x, top, 279, 187, panel); // status panel
        p.setPen(QColor(0xc8, 0xd0, 0xdc));
        if (!connected) { // the code field shows only without a session
            p.fillRect(x + 14, top + 146, 251, 29, Qt::white);
            p.drawRect(x + 14, top + 146, 250, 28);
        }
        p.drawRect(x + 12, top + 331, 198, 26); // one pixel round the chat input (13, 332, 197, 25)
        p.fillRect(x, y + h - strip_rows, 279, strip_rows, connected ? accent_dark : accent); // bottom strip
    };
    sheet(0, 0, 265, false);
    sheet(297, 0, 265, true);
    sheet(6, 278, 265, false);
    sheet(296, 277, 265, false);
    sheet(599, 1, 578, true);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(0, 265 - strip_rows, 279, strip_clear_rows, Qt::transparent);
    return img;
}

QImage icon_strip() {
    QImage img = canvas(72, 24);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap));
    // 0: settings (a gear as a ring with spokes)
    p.drawEllipse(QPointF(12, 12), 4.5, 4.5);
    for (int i = 0; i < 8; ++i) {
        p.save();
        p.translate(12, 12);
        p.rotate(i * 45);
        p.drawLine(QPointF(0, 7), QPointF(0, 9.5));
        p.restore();
    }
    // 1: send (an arrow)
    QPainterPath arrow;
    arrow.moveTo(27, 5);
    arrow.lineTo(45, 12);
    arrow.lineTo(27, 19);
    arrow.lineTo(31, 12);
    arrow.closeSubpath();
    p.fillPath(arrow, Qt::white);
    // 2: close (a cross)
    p.drawLine(QPointF(54, 6), QPointF(66, 18));
    p.drawLine(QPointF(66, 6), QPointF(54, 18));
    return img;
}

// A plugin button's mark: a dot with a white rim, so that the blue one
// stands out on the blue pad too.
QImage dot(QColor c, int size) {
    QImage img = canvas(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    if (g_solid) {
        p.setPen(Qt::NoPen);
        p.setBrush(solid_state[4]);
        p.drawEllipse(QRect(0, 0, size, size));
        return img;
    }
    p.setPen(QPen(Qt::white, 1.5));
    p.setBrush(c);
    p.drawEllipse(QRectF(0.75, 0.75, size - 1.5, size - 1.5));
    return img;
}

QImage glyph(QString const& letter, int size, QColor c) {
    QImage img = canvas(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(0, 0, size, size), size / 5.0, size / 5.0);
    QFont f("DejaVu Sans");
    f.setPixelSize(size * 6 / 10);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, size, size), Qt::AlignCenter, letter);
    return img;
}

QImage logo() {
    QImage img(81, 81, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(accent);
    p.drawEllipse(QRect(8, 8, 65, 65));
    QFont f("DejaVu Sans");
    f.setPixelSize(40);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(8, 8, 65, 65), Qt::AlignCenter, "T");
    return img;
}

bool save(QString const& dir, QString const& name, QImage const& img, char const* format, QStringList* list) {
    QString path = dir + "/" + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!img.save(path, format)) {
        std::fprintf(stderr, "tovan_images: cannot write %s\n", qPrintable(path));
        return false;
    }
    if (list) list->append(name);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tovan_images <output directory> [--solid]\n");
        return 2;
    }
    QString out = QString::fromLocal8Bit(argv[1]);
    g_solid = argc > 2 && QByteArray(argv[2]) == "--solid";
    QStringList names;
    bool ok = true;
    QColor const desk_base(0x2f, 0x6f, 0xb5), client_base(0x2e, 0x8b, 0x57);
    ok &= save(out, "images/vyn-client-GUI-A.png", background(), "PNG", &names);
    ok &= save(out, "images/btns-navig.png", navig_strip(), "PNG", &names);
    ok &= save(out, "images/btns-navig-mask.png", navig_mask(), "PNG", &names);
    ok &= save(out, "images/indik-blue.png", dot(QColor(0x3a, 0x8d, 0xde), 12), "PNG", &names);
    ok &= save(out, "images/indik-or.png", dot(QColor(0xf0, 0x8c, 0x1e), 12), "PNG", &names);
    ok &= save(out, "images/ik-icons.png", icon_strip(), "PNG", &names);
    ok &= save(out, "images/btns-desk.png", strip(38, 38, 4, 4, desk_base), "PNG", &names);
    ok &= save(out, "images/btns-client.png", strip(38, 38, 4, 4, client_base), "PNG", &names);
    ok &= save(out, "images/btns-desk-big.png", strip(150, 38, 4, 4, desk_base), "PNG", &names);
    ok &= save(out, "images/btns-client-big.png", strip(150, 38, 4, 4, client_base), "PNG", &names);
    ok &= save(out, "images/mail.png", glyph("@", 32, accent), "PNG", &names);
    ok &= save(out, "images/Tovan.png", glyph("T", 32, accent), "PNG", &names);
    ok &= save(out, "images/generic-settings.png", glyph("S", 32, accent), "PNG", &names);
    ok &= save(out, "audio-icon", glyph("A", 16, accent), "PNG", &names);
    ok &= save(out, "file-icon", glyph("F", 16, accent), "PNG", &names);
    ok &= save(out, "desktop-icon", glyph("D", 16, accent), "PNG", &names);
    ok &= save(out, "video-icon", glyph("V", 16, accent), "PNG", &names);
    ok &= save(out, "qtutils_password/password.png", glyph("*", 32, accent), "PNG", &names);
    ok &= save(out, "logo.bmp", logo(), "BMP", nullptr);

    QFile qrc(out + "/tovan_images.qrc");
    if (!qrc.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "tovan_images: cannot write %s\n", qPrintable(qrc.fileName()));
        return 1;
    }
    QTextStream s(&qrc);
    s << "<RCC>\n  <qresource prefix=\"/\">\n";
    for (auto const& n : names) s << "    <file>" << n << "</file>\n";
    s << "  </qresource>\n</RCC>\n";
    return ok ? 0 : 1;
}
