// An image button of the main dialog: four state pictures cut from a strip
// (normal, default, hover, pressed), an optional icon on top, an optional
// mask, and a dotted frame while it has the keyboard focus (which only Tab
// gives it: a click leaves the focus where it was). GUI thread only.
#pragma once

#include <QBitmap>
#include <QImage>
#include <QPushButton>

namespace tovan {

class push_button : public QPushButton {
    Q_OBJECT
public:
    explicit push_button(QWidget* parent);

    // Frame i of an n-frame strip becomes state picture i.
    void setBtnImage(QImage const& strip, int n, int i);
    // The first four frames become normal, default, hover and pressed.
    void setBtnImages(QImage const& strip, int n);
    void setBtnSingleImage(QImage const& img);
    void setBtnMask(QBitmap const& strip, int n, int i);
    // A piece without alpha gets its own grey levels as alpha.
    void setBtnTopImage(QImage const& strip, int n, int i);
    void disableTopImage();

    QImage const& state_image(int i) const { return m_images[i]; }
    bool top_enabled() const { return m_top_on; }
    QImage const& top_image() const { return m_top; }
    // The state picture paintEvent would draw now.
    int current_state() const;

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_images[4];
    bool m_top_on = false;
    QImage m_top;
    // A click or a menu may open a box or a menu over the button; once it
    // is gone, the hover picture waits for the pointer to move over the
    // button again (the window system tells of an enter at the old place).
    void unlight();
    bool m_hover_shown = true;
    QPoint m_unlit_at; // the pointer on the screen when the button went unlit
};

// The width of one of n frames of a strip (integer division; n at least 1).
int frame_width(int strip_width, int n);

} // namespace tovan
