#include "tovan/window/push_button.h"

#include <QCursor>
#include <QDialog>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <deque>

namespace tovan {

namespace {

// The dialog gives several buttons the same frames of the same strip (the
// four plugin buttons, the five small ones): each frame is cut once and the
// buttons share its pixels instead of holding a copy each. A strip's cache
// key names its pixels and is never reused, so a hit is always the same
// frame; the list is short, and a strip no longer in use drops out.
QImage cut_frame(QImage const& strip, QRect const& r) {
    struct cut {
        qint64 key;
        QRect rect;
        QImage piece;
    };
    static std::deque<cut> recent;
    qint64 const key = strip.cacheKey();
    for (cut const& c : recent)
        if (c.key == key && c.rect == r) return c.piece;
    QImage piece = strip.copy(r);
    recent.push_front({key, r, piece});
    if (recent.size() > 24) recent.pop_back();
    return piece;
}

} // namespace

int frame_width(int strip_width, int n) {
    return strip_width / std::max(1, n);
}

push_button::push_button(QWidget* parent) : QPushButton(parent) {
    setMouseTracking(true);
    // Enter and leave repaint the button, so the hover picture follows the mouse.
    setAttribute(Qt::WA_Hover);
    // Return presses the dialog's one default button (Connect, or Send in a
    // chat), unless a button holds the focus (keyPressEvent); a click gives
    // none, so the focus stays in the code field or the chat line.
    setAutoDefault(false);
    setFocusPolicy(Qt::TabFocus);
    connect(this, &QAbstractButton::clicked, this, &push_button::unlight);
}

void push_button::setBtnImage(QImage const& strip, int n, int i) {
    if (i < 0 || i > 3) return;
    int w = frame_width(strip.width(), n);
    m_images[i] = cut_frame(strip, QRect(i * w, 0, w, strip.height()));
    update();
}

void push_button::setBtnImages(QImage const& strip, int n) {
    for (int i = 0; i < 4; ++i) setBtnImage(strip, n, i);
}

void push_button::setBtnSingleImage(QImage const& img) {
    for (auto& image : m_images) image = img;
    update();
}

void push_button::setBtnMask(QBitmap const& strip, int n, int i) {
    int w = frame_width(strip.width(), n);
    setMask(strip.copy(i * w, 0, w, strip.height()));
}

void push_button::setBtnTopImage(QImage const& strip, int n, int i) {
    int w = frame_width(strip.width(), n);
    QImage piece = cut_frame(strip, QRect(i * w, 0, w, strip.height()));
    if (!piece.hasAlphaChannel()) {
        QImage alpha = piece.convertToFormat(QImage::Format_Grayscale8);
        piece = piece.convertToFormat(QImage::Format_ARGB32);
        piece.setAlphaChannel(alpha);
    }
    m_top = piece;
    m_top_on = true;
    repaint();
}

void push_button::disableTopImage() {
    m_top_on = false;
    repaint();
}

int push_button::current_state() const {
    if (isDown()) return 3;
    if (underMouse() && m_hover_shown) return 2;
    if (isDefault()) return 1;
    return 0;
}

void push_button::unlight() {
    m_hover_shown = false;
    m_unlit_at = QCursor::pos();
    update();
}

bool push_button::event(QEvent* e) {
    if (e->type() == QEvent::ContextMenu) unlight();
    // Only a real move: the window system's enter, and the move Qt makes up
    // with it, when a box or menu goes, come with the pointer where it was.
    if (e->type() == QEvent::MouseMove && !m_hover_shown &&
        static_cast<QMouseEvent*>(e)->globalPos() != m_unlit_at) {
        m_hover_shown = true;
        update();
    }
    return QPushButton::event(e);
}

void push_button::keyPressEvent(QKeyEvent* e) {
    // Reached by Tab, the button is the one Return means, as space does.
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) &&
        !(e->modifiers() & ~Qt::KeypadModifier)) {
        click();
        return;
    }
    QPushButton::keyPressEvent(e);
}

void push_button::paintEvent(QPaintEvent*) {
    QPainter p(this);
    int const d = isDown() ? 1 : 0;
    QRect const win = p.window();
    int const W = win.width(), H = win.height();
    QImage const& img = m_images[current_state()];
    if (!img.isNull())
        p.drawImage(std::max(0, (W - img.width()) / 2) + d, std::max(0, (H - img.height()) / 2) + d, img);
    if (m_top_on) {
        p.drawImage(std::max(0, (W - m_top.width()) / 2) + d, std::max(0, (H - m_top.height()) / 2) + d,
                    m_top);
    } else {
        p.setPen(Qt::white);
        p.drawText(QRect(d, d, W - 1, H - 1), Qt::AlignCenter | Qt::TextSingleLine, text());
    }
    if (hasFocus()) {
        // Light dots on a dark line, to show on any picture: inside the
        // edge of the button, or of its mask where a pad part has one (the
        // mask clips the outer half of the line).
        QPainterPath edge;
        if (mask().isEmpty()) {
            edge.addRect(QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5));
        } else {
            edge.addRegion(mask());
            edge = edge.simplified();
        }
        p.strokePath(edge, QPen(Qt::black, mask().isEmpty() ? 1 : 4));
        p.strokePath(edge, QPen(Qt::white, mask().isEmpty() ? 1 : 2, Qt::DotLine));
    }
}

} // namespace tovan
