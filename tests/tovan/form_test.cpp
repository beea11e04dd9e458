// The main form, the image buttons, message boxes and the dialog built in
// process (offscreen), with its configuration, command line and options.
#include "tovan/dialogs/held_keys.h"
#include "tovan/dialogs/message_box.h"
#include "tovan/lang/translations.h"
#include "tovan/look/chat_text.h"
#include "tovan/look/user_commands.h"
#include "tovan/plugins/negotiation.h"
#include "tovan/window/main_window.h"
#include "tovan/window/program_args.h"
#include "tovan/window/push_button.h"
#include "tovan/window/vyn_dialog.h"

#include "rulo/packet.h"

#include "rulo-rpt/net/socket.h"
#include "rulo/config_store.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QTemporaryDir>

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace tovan;

QColor const frame_colour[4] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};

// A strip of n frames of w by h, frame i filled with frame_colour[i % 4].
QImage strip(int w, int h, int n, int extra = 0) {
    QImage img(w * n + extra, h, QImage::Format_ARGB32);
    img.fill(Qt::black);
    QPainter p(&img);
    for (int i = 0; i < n; ++i) p.fillRect(i * w, 0, w, h, frame_colour[i % 4]);
    return img;
}

QImage render(QWidget& w) {
    QImage img(w.size(), QImage::Format_ARGB32);
    img.fill(Qt::black);
    w.render(&img);
    return img;
}

TEST(PushButton, FramesStatesAndPressedShift) {
    QDialog parent;
    push_button b(&parent);
    b.setGeometry(0, 0, 40, 30);
    b.setBtnImages(strip(75, 30, 4, 2), 4); // 302 wide: 75-pixel frames, 2 pixels unused
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(b.state_image(i).size(), QSize(75, 30));
        EXPECT_EQ(b.state_image(i).pixelColor(74, 0), frame_colour[i]) << i;
    }
    push_button small(&parent);
    small.setGeometry(0, 0, 40, 30);
    small.setBtnImages(strip(20, 10, 5), 5);
    small.setText("");
    struct {
        char const* what;
        bool down, hover, is_default;
        int state;
    } const cases[] = {{"normal", false, false, false, 0},
                       {"default", false, false, true, 1},
                       {"hover", false, true, true, 2},
                       {"pressed", true, true, true, 3}};
    for (auto const& c : cases) {
        small.setDown(c.down);
        small.setAttribute(Qt::WA_UnderMouse, c.hover);
        small.setDefault(c.is_default);
        EXPECT_EQ(small.current_state(), c.state) << c.what;
        QImage img = render(small);
        int const d = c.down ? 1 : 0;
        // Centred: (40 - 20) / 2 = 10, (30 - 10) / 2 = 10, plus the shift.
        EXPECT_EQ(img.pixelColor(10 + d, 10 + d), frame_colour[c.state]) << c.what;
        EXPECT_EQ(img.pixelColor(29 + d, 19 + d), frame_colour[c.state]) << c.what;
        EXPECT_NE(img.pixelColor(9 + d, 10 + d), frame_colour[c.state]) << c.what;
    }
    // A picture larger than the button starts at its corner (1 when pressed).
    b.setDown(true);
    QImage big = render(b);
    EXPECT_EQ(big.pixelColor(1, 1), frame_colour[3]);
    EXPECT_NE(big.pixelColor(0, 0), frame_colour[3]);
}

// After a click or a menu (either may open a box or a menu) a button under the pointer is unlit until
// the pointer really moves; Tab alone gives it the focus, which shows at its edge.
TEST(PushButton, UnlitAfterABoxOrMenuAndFocusMark) {
    QDialog parent;
    push_button b(&parent);
    b.setGeometry(0, 0, 40, 30);
    b.setBtnImages(strip(40, 30, 4), 4);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, {5, 5});
    for (bool by_menu : {false, true}) {
        b.setAttribute(Qt::WA_UnderMouse, true);
        by_menu ? void(QCoreApplication::sendEvent(&b, &menu)) : b.click();
        for (int moved : {0, 1}) { // told of the pointer where it was (as when a box goes), then of a move
            QMouseEvent move(QEvent::MouseMove, {6, 6}, {6, 6}, QCursor::pos() + QPoint(moved, 0),
                             Qt::NoButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(&b, &move);
            EXPECT_EQ(b.current_state(), moved ? 2 : 0) << by_menu << moved;
        }
    }
    EXPECT_EQ(b.focusPolicy(), Qt::TabFocus);
    QImage const plain = render(b);
    parent.show();
    QApplication::setActiveWindow(&parent);
    b.setFocus(Qt::TabFocusReason);
    QImage const marked = render(b);
    EXPECT_NE(marked.pixelColor(2, 2), plain.pixelColor(2, 2));
    EXPECT_EQ(marked.pixelColor(20, 15), plain.pixelColor(20, 15));
}

TEST(PushButton, TopIconTextAndGreyAlpha) {
    QDialog parent;
    push_button b(&parent);
    b.setGeometry(0, 0, 60, 30);
    b.setText("WWWW");
    QImage blank(60, 30, QImage::Format_ARGB32);
    blank.fill(Qt::black);
    b.setBtnSingleImage(blank);
    auto white_pixels = [&] {
        QImage img = render(b);
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) n += img.pixelColor(x, y).lightness() > 200;
        return n;
    };
    EXPECT_GT(white_pixels(), 20) << "the text shows in white";

    // Grey levels become the alpha of an icon without alpha.
    QImage grey(30, 10, QImage::Format_RGB32);
    grey.fill(QColor(0, 0, 0));
    grey.setPixelColor(12, 5, QColor(128, 128, 128));
    grey.setPixelColor(13, 5, QColor(255, 255, 255));
    b.setBtnTopImage(grey, 3, 1);
    ASSERT_TRUE(b.top_enabled());
    EXPECT_EQ(b.top_image().size(), QSize(10, 10));
    EXPECT_EQ(b.top_image().pixelColor(2, 5).alpha(), 128);
    EXPECT_EQ(b.top_image().pixelColor(3, 5).alpha(), 255);
    EXPECT_EQ(b.top_image().pixelColor(0, 0).alpha(), 0);
    EXPECT_LT(white_pixels(), 3) << "an icon replaces the text";
    b.disableTopImage();
    EXPECT_GT(white_pixels(), 20);
}

TEST(MessageBoxes, TypeBitsButtonsIconsAnswers) {
    set_language_table({{"en", {{"generic_IDC_YES", "Ja"}, {"generic_IDC_OK", ""}}}});
    SetSelectedLanguage("en");
    struct {
        int type;
        QMessageBox::StandardButton press;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon;
        int answer;
    } const cases[] = {
        {0x2 | 0x400, QMessageBox::Cancel, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Information,
         IDCANCEL},
        {0x2 | 0x400, QMessageBox::Ok, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Information, IDOK},
        {0, QMessageBox::NoButton, QMessageBox::NoButton, QMessageBox::NoIcon, IDOK},
        {0xA00010, QMessageBox::Yes, QMessageBox::Yes | QMessageBox::No, QMessageBox::Question, IDYES},
        {0xA00010, QMessageBox::No, QMessageBox::Yes | QMessageBox::No, QMessageBox::Question, IDNO},
        {0xA00081, QMessageBox::Ok, QMessageBox::Ok, QMessageBox::Critical, IDOK},
        {0x1 | 0x200, QMessageBox::Ok, QMessageBox::Ok, QMessageBox::Warning, IDOK},
        {0x20, QMessageBox::NoButton, QMessageBox::NoButton, QMessageBox::Question, IDOK},
        {0x8, QMessageBox::NoButton, QMessageBox::NoButton, QMessageBox::Question, IDOK},
    };
    for (auto const& c : cases) {
        QString title, yes_text, ok_text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon{};
        set_message_box_responder([&](QMessageBox& box) {
            title = box.windowTitle();
            buttons = box.standardButtons();
            icon = box.icon();
            if (box.button(QMessageBox::Yes)) yes_text = box.button(QMessageBox::Yes)->text();
            if (box.button(QMessageBox::Ok)) ok_text = box.button(QMessageBox::Ok)->text();
            return c.press;
        });
        EXPECT_EQ(MessageBox(nullptr, "text", "", c.type), c.answer) << std::hex << c.type;
        EXPECT_EQ(title, "Tovan");
        EXPECT_EQ(buttons, c.buttons) << std::hex << c.type;
        EXPECT_EQ(icon, c.icon) << std::hex << c.type;
        if (c.buttons & QMessageBox::Yes) {
            EXPECT_EQ(yes_text, "Ja");
        }
        if (c.buttons & QMessageBox::Ok) {
            EXPECT_EQ(ok_text, "OK") << "an empty translation falls back";
        }
    }
    set_message_box_responder(nullptr);
}

// The dialog built in a directory of its own, as the program builds it.
class DialogInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        old = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        old_home = qgetenv("HOME");
        qputenv("HOME", (dir.path() + "/home").toUtf8());
        QDir().mkpath("conf");
        QDir().mkpath("conf_static");
        QDir().mkpath("home");
        write("conf/VYNConfiguration.ini",
              "[VYNDeskLite]\nMaxPacketSize=51\n=x\nTouchPad=TRUE\nLogoImage=l/a&b#c%41.bmp\n");
        // This test binary's name is neither desk nor client: answer the question No.
        set_message_box_responder([this](QMessageBox& box) {
            asked.push_back(box.text().toStdString());
            return QMessageBox::No;
        });
    }
    void TearDown() override {
        set_message_box_responder(nullptr);
        QDir::setCurrent(old);
        qputenv("HOME", old_home);
    }
    void write(char const* name, std::string const& content) {
        std::ofstream(name, std::ios::binary) << content;
    }

    QTemporaryDir dir;
    QString old;
    QByteArray old_home;
    std::vector<std::string> asked;
};

TEST_F(DialogInProcess, FormGeometryRoleConfigurationAndCommandLine) {
    set_program_arguments({"--vynwex", "--mtu", "1", "--add-title", "", "--on-connect", "topmost=false"});
    g_main_window = new VYNMainWindow;
    auto* d = new CVYNDialog(nullptr);
    EXPECT_EQ(asked, std::vector<std::string>{"client ?"});
    EXPECT_FALSE(d->m_is_client);
    EXPECT_STREQ(d->m_ini_section, "VYNDeskLite");
    // The idle look: the upper and lower background pieces, 187 + 43 rows.
    EXPECT_EQ(d->size(), QSize(279, 230));
    EXPECT_EQ(d->minimumSize(), QSize(279, 230));
    EXPECT_EQ(d->maximumSize(), QSize(279, 230));
    EXPECT_EQ(g_main_window->windowTitle(), "Tovan Desk");
    struct {
        char const* name;
        QRect at;
    } const places[] = {
        {"IDC_STATIC_TEXT", {10, 271, 261, 21}}, {"IDC_LOG_OUTPUT", {10, 205, 255, 113}},
        {"IDC_CODE", {20, 149, 241, 23}},        {"IDC_STATUS_DESCRIPTION", {17, 94, 255, 51}},
        {"IDC_LOGO_ICON", {170, 10, 101, 81}},   {"IDC_CHAT_TEXT", {13, 332, 197, 25}},
        {"IDC_ACTION", {14, 187, 150, 38}},      {"IDC_CLOSE", {225, 187, 38, 38}},
        {"IDC_SEND", {226, 325, 38, 38}},        {"IDC_CLOSE1", {13, 51, 38, 38}}};
    for (auto const& p : places) {
        auto* w = d->findChild<QWidget*>(p.name);
        ASSERT_NE(w, nullptr) << p.name;
        EXPECT_EQ(w->geometry(), p.at) << p.name;
    }
    // Every widget of the window, in the order it is made (the stacking
    // order where they overlap), with its place, whether it shows in the
    // look without a session (the chat and the session's buttons hidden),
    // and the font of those that get one of their own.
    struct {
        char const* name;
        QRect at;
        bool hidden;
        char const* family;
        int points;
    } const widgets[] = {
        {"IDC_STATIC_TEXT", {10, 271, 261, 21}, true, nullptr, 0},
        {"IDC_PLUGINS_DRAW_AREA", {0, 380, 261, 1}, false, nullptr, 0},
        {"IDC_LOG_OUTPUT", {10, 205, 255, 113}, true, "Tahoma", 8},
        {"IDC_CODE", {20, 149, 241, 23}, false, "Tahoma", 12},
        {"IDC_STATUS_DESCRIPTION", {17, 94, 255, 51}, false, "Tahoma", 7},
        {"IDC_CONNECT_IMAGE", {70, 10, 70, 74}, true, nullptr, 0},
        {"IDC_LOGO_ICON", {170, 10, 101, 81}, false, nullptr, 0},
        {"IDC_CHAT_TEXT", {13, 332, 197, 25}, true, "Tahoma", 8},
        {"IDC_FILE_TRANSFER", {61, 0, 100, 100}, true, nullptr, 0},
        {"IDC_DESKTOP", {61, 0, 100, 100}, true, nullptr, 0},
        {"IDC_VIDEO", {61, 0, 100, 100}, true, nullptr, 0},
        {"IDC_AUDIO", {61, 0, 100, 100}, true, nullptr, 0},
        {"IDC_SETINGS", {175, 187, 38, 38}, false, nullptr, 0},
        {"IDC_ACTION", {14, 187, 150, 38}, false, "Arial", 10},
        {"IDC_CLOSE", {225, 187, 38, 38}, false, nullptr, 0},
        {"IDC_SETINGS1", {13, 8, 38, 38}, true, nullptr, 0},
        {"IDC_SEND", {226, 325, 38, 38}, true, nullptr, 0},
        {"IDC_CLOSE1", {13, 51, 38, 38}, true, nullptr, 0},
        {"IDC_TIME_TEXT", {100, 186, 115, 18}, true, "Tahoma", 7},
        {"IDC_TIME_TEXT2", {215, 184, 50, 18}, true, "Tahoma", 7},
        {"IDC_MAIL_ICON", {200, 140, 32, 32}, true, nullptr, 0},
    };
    // The form's widgets; the touch pad is a child window of its own, made hidden.
    std::vector<QWidget*> made;
    int windows = 0;
    for (QObject* o : d->children())
        if (auto* w = qobject_cast<QWidget*>(o)) {
            if (!w->isWindow())
                made.push_back(w);
            else
                windows += w->objectName() == "IDD_NUMPAD" && w->isHidden();
        }
    EXPECT_EQ(windows, 1);
    ASSERT_EQ(made.size(), std::size(widgets));
    for (size_t i = 0; i < made.size(); ++i) {
        auto const& want = widgets[i];
        QWidget* w = made[i];
        EXPECT_EQ(w->objectName().toStdString(), want.name) << i;
        EXPECT_EQ(w->geometry(), want.at) << want.name;
        EXPECT_EQ(w->isHidden(), want.hidden) << want.name;
        if (want.family) {
            EXPECT_EQ(w->font().family().toStdString(), want.family) << want.name;
            EXPECT_EQ(w->font().pointSize(), want.points) << want.name;
        }
    }
    EXPECT_EQ(d->m_time_text->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    // A blank between "Session time:" and the clock, which shows whole.
    EXPECT_GE(d->m_time_text2->x() - d->m_time_text->geometry().right() - 1 + d->m_time_text->indent(),
              QFontMetrics(d->m_time_text->font()).horizontalAdvance(' '));
    d->m_time_text2->setText(QString::fromStdString(look::clock_text(8)));
    EXPECT_LE(d->m_time_text2->sizeHint().width(), d->m_time_text2->width());
    // While the desk waits for the client its mail button sits on the right
    // end of the frameless code field: a whole code, centred, stays clear of it.
    int const code_width = QFontMetrics(d->IDC_CODE->font()).horizontalAdvance("999999999");
    EXPECT_LT(d->IDC_CODE->geometry().center().x() + code_width / 2, d->m_btn_mail->geometry().left())
        << code_width;
    // What start-up leaves for the parts that fill these later.
    EXPECT_EQ(d->m_next_cmd_id, 30000u);
    ASSERT_NE(d->negotiation_core(), nullptr);
    EXPECT_EQ(d->negotiation_core()->last_plugin_channel(), 100);
    EXPECT_EQ(d->m_plugin_buttons.size(), 4u);
    EXPECT_TRUE(tovan::plugin_host::instance().pins().empty() && d->m_plugin_menus.empty());
    EXPECT_TRUE(d->IDC_CODE->isReadOnly()) << "the desk shows its code, it does not take one";
    EXPECT_TRUE(d->IDC_LOG_OUTPUT->isReadOnly());
    EXPECT_EQ(d->palette().color(QPalette::Active, QPalette::Highlight), QColor(255, 210, 129));
    EXPECT_EQ(d->palette().color(QPalette::Disabled, QPalette::Base), QColor(212, 208, 200));
    EXPECT_EQ(d->IDC_LOGO_ICON->palette().color(QPalette::Inactive, QPalette::AlternateBase),
              QColor(237, 243, 254));
    EXPECT_TRUE(d->m_btn_action->hasMouseTracking());
    EXPECT_EQ(d->m_btn_action->state_image(0).size(), QSize(150, 38));
    // Equal pictures are held once: the plugin buttons share their frames,
    // the small buttons theirs, and the background its repeated pieces.
    for (int state = 0; state < 4; ++state) {
        uchar const* first = d->m_btn_file_transfer->state_image(state).constBits();
        for (push_button* b : {d->m_btn_desktop, d->m_btn_video, d->m_btn_audio})
            EXPECT_EQ(b->state_image(state).constBits(), first) << b->objectName().toStdString() << state;
        EXPECT_EQ(d->m_btn_close1->state_image(state).constBits(),
                  d->m_btn_settings->state_image(state).constBits());
    }
    QImage const* bg = d->m_background.image;
    for (auto [copy, of] : {std::pair{3, 2}, {7, 6}, {9, 8}}) {
        EXPECT_EQ(bg[copy], bg[of]) << copy;
        EXPECT_EQ(bg[copy].constBits(), bg[of].constBits()) << copy;
    }
    EXPECT_TRUE(d->m_btn_close->top_enabled());
    // The pad: each button takes the mouse in the whole of its own part of
    // the pad (so the parts are disjoint), and both its marks lie inside it.
    push_button* const pad[] = {d->m_btn_audio, d->m_btn_file_transfer, d->m_btn_video, d->m_btn_desktop};
    for (push_button* b : pad) b->show();
    for (push_button* b : pad) {
        std::string const name = b->objectName().toStdString(), plugin = look::button_plugin(name).first;
        for (QRect const& r : b->mask())
            for (QPoint const p : {r.topLeft(), r.center(), r.bottomRight()})
                ASSERT_EQ(d->childAt(b->pos() + p), b) << name << " " << p.x() << "," << p.y();
        for (bool lit : {true, false}) {
            lit ? d->illuminate_plugin_button(plugin, true) : d->enable_plugin_button(plugin, false);
            QImage const& top = b->top_image();
            int shown = 0;
            for (int y = 0; y < top.height(); ++y)
                for (int x = 0; x < top.width(); ++x)
                    if (qAlpha(top.pixel(x, y)) > 0) shown += b->mask().contains({x, y}) ? 1 : -1000;
            EXPECT_GT(shown, 50) << name << lit;
        }
    }

    // The configuration survived its "=x" line.
    EXPECT_EQ(rulo::socket::g_max_send, 51);
    EXPECT_TRUE(d->m_touch_pad);
    // The logo path is stored as it stands: no option-string syntax in it.
    std::string logo;
    EXPECT_TRUE(d->get_main_app_option("load", "logo", &logo));
    EXPECT_EQ(logo, QCoreApplication::applicationDirPath().toStdString() + "/l/a&b#c%41.bmp");
    // "--mtu 1" holds for the process, in memory only.
    EXPECT_EQ(xstd::get_config_string("", "mtu_fix_v"), "1");
    QDirIterator files(dir.path() + "/home", QDir::Files, QDirIterator::Subdirectories);
    EXPECT_FALSE(files.hasNext()) << "nothing stored: " << files.next().toStdString();

    // "topmost=false" at "connect" leaves the shown window visible in place.
    g_main_window->setCentralWidget(d);
    g_main_window->move(50, 60);
    g_main_window->show();
    ASSERT_TRUE(d->m_topmost);
    ASSERT_TRUE(g_main_window->windowFlags() & Qt::WindowStaysOnTopHint);
    QPoint const before = g_main_window->pos();
    d->handle_main_app_options("connect");
    EXPECT_FALSE(g_main_window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(g_main_window->isVisible());
    EXPECT_EQ(g_main_window->pos(), before);

    // A held Return repeats into a plugin's window and a dialog over the main window (the
    // plugins' parent), not into the main dialog or a dialog over it.
    install_held_keys_filter(QCoreApplication::instance());
    QWidget view(g_main_window, Qt::Window);
    QDialog over_main(g_main_window), over_dialog(d);
    for (QWidget* in : std::initializer_list<QWidget*>{d, &view, &over_main, &over_dialog}) {
        QLineEdit e(in);
        bool repeated = false;
        QObject::connect(&e, &QLineEdit::returnPressed, [&] { repeated = true; });
        QKeyEvent held(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
        QCoreApplication::sendEvent(&e, &held);
        EXPECT_EQ(repeated, in == &view || in == &over_main);
    }
    g_main_window->hide();
}

// Key events of one time stamp from one reused object, as the window system
// delivers them: r/R Return release/press, E Enter press, q/Q another key, S
// a modifier, A a press marked auto-repeat; "rRRR" is one press seen thrice.
TEST(HeldReturnJudge, RepeatOnlyRightAfterTheSameKeysRelease) {
    std::map<char, int> const code = {{'r', Qt::Key_Return}, {'R', Qt::Key_Return}, {'A', Qt::Key_Return},
                                      {'E', Qt::Key_Enter},  {'q', Qt::Key_Q},      {'Q', Qt::Key_Q},
                                      {'S', Qt::Key_Shift}};
    std::pair<char const*, char const*> const rows[] = {{"rR", ".d"}, {"rQqR", "...."}, {"rSR", "..."},
                                                        {"A", "d"},   {"rRRR", ".ddd"}, {"rE", ".."}};
    for (auto [keys, dropped] : rows) {
        held_return_judge judge;
        std::string got;
        for (char const* k = keys; *k; ++k)
            got += judge.is_repeat({keys, *k != 'r' && *k != 'q', code.at(*k), 7, *k == 'A'}) ? 'd' : '.';
        EXPECT_EQ(got, dropped) << keys;
    }
}

// The user picks a language from the menu the settings buttons open.
TEST_F(DialogInProcess, LanguageMenuAndContextMenus) {
    set_language_table({{"en",
                         {{"__NAME", "English"},
                          {"__PRIORITY", "100"},
                          {"generic_IDC_ACTION", "Connect"},
                          {"generic_CLEAR", "Clear"},
                          {"generic_COPY", "Copy"},
                          {"generic_PROXY_LOG", "Proxy log"}}},
                        {"de",
                         {{"__NAME", "German"},
                          {"__NATIVE", "Deutsch"},
                          {"__PRIORITY", "100"},
                          {"generic_IDC_ACTION", "Verbinden"}}},
                        {"ptbr", {{"__PRIORITY", "50"}}},
                        {"fr", {{"__NAME", "French"}, {"__PRIORITY", "50"}}}});
    setenv("LANG", "C", 1);
    unsetenv("LC_ALL");
    set_program_arguments({"--vynwex"});
    CVYNDialog d(nullptr);
    EXPECT_EQ(GetSelectedLanguage(), "en");
    EXPECT_EQ(d.m_btn_action->text(), "Connect");

    QMenu* main_menu = d.context_menu_for(d.m_btn_settings);
    ASSERT_NE(main_menu, nullptr);
    EXPECT_EQ(d.context_menu_for(d.m_btn_settings1), main_menu);
    QStringList entries;
    for (QAction* a : main_menu->actions()) entries << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(entries, (QStringList{"Log", "-", "Languages", "Advanced", "-", "Settings"}));

    QStringList languages;
    QAction* german = nullptr;
    for (QAction* a : d.m_language_menu.actions()) {
        languages << (a->isSeparator() ? "-" : a->text());
        if (a->data().toString() == "de") german = a;
    }
    EXPECT_EQ(languages, (QStringList{"Deutsch (German)", "English", "-", "French"}));
    ASSERT_NE(german, nullptr);
    german->trigger();
    EXPECT_EQ(GetSelectedLanguage(), "de");
    EXPECT_EQ(d.m_btn_action->text(), "Verbinden");
    for (QAction* a : d.m_language_menu.actions()) {
        if (!a->isSeparator()) {
            EXPECT_EQ(a->isChecked(), a == german) << a->text().toStdString();
        }
    }

    QMenu* chat = d.context_menu_for(d.IDC_LOG_OUTPUT->viewport());
    ASSERT_NE(chat, nullptr);
    ASSERT_EQ(chat->actions().size(), 2);
    EXPECT_EQ(chat->actions()[0]->text(), "Clear") << "English stands in for a missing German text";
    QMenu* send = d.context_menu_for(d.m_btn_send);
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(send->actions()[0]->text(), "Proxy log");
    EXPECT_EQ(d.context_menu_for(d.m_btn_audio), nullptr);
    EXPECT_EQ(d.context_menu_for(d.IDC_CODE), nullptr);
}

// The look applied to the widgets for each role, state and status bits,
// with a text per status group that says which group it is.
TEST_F(DialogInProcess, LookCommandsAndSavedConnection) {
    std::map<std::string, std::string> en = {{"__PRIORITY", "100"},
                                             {"generic_PLUGIN_DISABLED", "no plugin"},
                                             {"generic_TIP_SEND_CHAT", "send it"},
                                             {"generic_CHAT_WELCOME2", "welcome"},
                                             {"generic_CONNECTING_DESCRIPTION", "wait"},
                                             {"generic_DO_DISCONNECT", "disconnect?"}};
    for (char const* g : {"cli_dis", "cli_con", "cli_str", "cli_ctr", "dsk_dis", "dsk_prg", "dsk_con",
                          "dsk_str", "dsk_ctr", "dsk_vie", "gen_rec"}) {
        en[std::string(g) + "_IDC_DESCRIPTION_TEXT"] = std::string(g) + " text";
        en[std::string(g) + "_IDC_ACTION"] = std::string(g) + " action";
    }
    set_language_table({{"en", en}});
    setenv("LANG", "C", 1);
    unsetenv("LC_ALL");
    set_program_arguments({"--vynwex"});
    g_main_window = new VYNMainWindow;
    auto* d = new CVYNDialog(nullptr);
    g_main_window->setCentralWidget(d);
    struct {
        int64_t state;
        uint64_t flags;
        char const* group;
    } const looks[] = {{0, 0x900, "dsk_dis"}, {1, 0, "dsk_dis"},     {4, 0x100, "dsk_dis"},
                       {5, 0, "dsk_prg"},     {6, 0, "dsk_con"},     {6, 0x100, "dsk_str"},
                       {6, 0x300, "dsk_ctr"}, {6, 0x900, "dsk_vie"}, {7, 0x300, "gen_rec"}};
    for (auto const& l : looks) {
        d->state().state = l.state;
        d->state().flags = l.flags;
        d->UpdateVisualLook();
        bool const connected = l.state >= 6;
        EXPECT_EQ(d->IDC_STATUS_DESCRIPTION->text().toStdString(), std::string(l.group) + " text") << l.state;
        EXPECT_EQ(d->height(), connected ? 367 : 230) << l.state;
        EXPECT_EQ(g_main_window->maximumHeight(), connected ? 367 : 230) << l.state;
        EXPECT_EQ(d->IDC_STATUS_DESCRIPTION->geometry(),
                  connected ? QRect(17, 100, 250, 76) : QRect(17, 94, 255, 51));
        EXPECT_EQ(d->m_btn_mail->isHidden(), l.state != 5) << l.state;
        EXPECT_EQ(d->m_btn_desktop->isHidden(), !connected) << l.state;
        EXPECT_EQ(d->IDC_CODE->isHidden(), connected) << l.state;
        // The lower corners are cut by 5 pixels.
        QRegion const m = d->mask();
        EXPECT_EQ(m.boundingRect(), QRect(0, 0, 279, d->height())) << l.state;
        EXPECT_TRUE(m.contains(QPoint(0, 0)) && m.contains(QPoint(5, d->height() - 1)));
        EXPECT_FALSE(m.contains(QPoint(0, d->height() - 1)) || m.contains(QPoint(278, d->height() - 1)));
    }
    EXPECT_EQ(d->m_btn_send->toolTip(), "send it");
    // Tab reads each look row by row (what it visits from the window on), past the chat log.
    std::pair<int64_t, char const*> const tab_rows[] = {
        {0, "IDC_CODE IDC_ACTION IDC_SETINGS IDC_CLOSE"},
        {5, "IDC_CODE IDC_MAIL_ICON IDC_ACTION IDC_SETINGS IDC_CLOSE"},
        {6,
         "IDC_SETINGS1 IDC_CLOSE1 IDC_DESKTOP IDC_AUDIO IDC_FILE_TRANSFER IDC_VIDEO IDC_CHAT_TEXT IDC_SEND"}};
    for (auto const& [state, stops] : tab_rows) {
        d->state().state = state;
        d->UpdateVisualLook();
        d->SetChatMode(state >= 6);
        QStringList got;
        for (QWidget* w = d->nextInFocusChain(); w != d; w = w->nextInFocusChain())
            if (w->isVisibleTo(d) && (w->focusPolicy() & Qt::TabFocus)) got << w->objectName();
        EXPECT_EQ(got.join(' ').toStdString(), stops) << state;
    }
    // Numbers that name no status change nothing.
    QString const before = d->IDC_STATUS_DESCRIPTION->text();
    for (int n : {4, 6, 7, 8, 9, 15, -3, 17}) EXPECT_EQ(d->UpdateSkinNLanguage(n), "") << n;
    EXPECT_EQ(d->IDC_STATUS_DESCRIPTION->text(), before);
    EXPECT_EQ(d->UpdateSkinNLanguage(12), "dsk_con");

    // The action button by state: a box while connecting, a question before
    // ending a session (unless --silent), and No keeps the session.
    struct {
        int64_t state;
        bool confirm;
        QMessageBox::StandardButton answer;
        char const* box;
        bool ends;
    } const actions[] = {
        {1, true, QMessageBox::Ok, "wait", false},        {4, true, QMessageBox::Ok, "wait", false},
        {5, true, QMessageBox::No, nullptr, true},        {6, true, QMessageBox::No, "disconnect?", false},
        {6, true, QMessageBox::Yes, "disconnect?", true}, {7, false, QMessageBox::No, nullptr, true},
        {3, true, QMessageBox::No, nullptr, false}};
    for (auto const& a : actions) {
        std::vector<std::string> boxes;
        set_message_box_responder([&](QMessageBox& box) {
            boxes.push_back(box.text().toStdString());
            return a.answer;
        });
        d->state().state = a.state;
        d->m_confirm = a.confirm;
        d->OnAction();
        EXPECT_EQ(boxes, a.box ? std::vector<std::string>{a.box} : std::vector<std::string>{}) << a.state;
        // The shut-down of a session marks it closing (3).
        EXPECT_EQ(a.state != 3 && d->state().state == 3, a.ends) << a.state << " " << a.answer;
    }
    set_message_box_responder([this](QMessageBox& box) {
        asked.push_back(box.text().toStdString());
        return QMessageBox::No;
    });
    d->state().state = 6;
    d->m_confirm = true;

    d->SetChatMode(true);
    EXPECT_TRUE(d->m_btn_send->isDefault() && !d->m_btn_action->isDefault());
    d->SetChatMode(false);
    EXPECT_TRUE(d->m_btn_action->isDefault());

    d->updateDialogItem("IDC_VIDEO", 0x1, 0);
    EXPECT_FALSE(d->m_btn_video->isHidden()) << "no visibility bit in the mask: nothing";
    d->updateDialogItem("IDC_VIDEO", 0x10000000, 0);
    EXPECT_TRUE(d->m_btn_video->isHidden());
    d->updateDialogItem("IDC_VIDEO", 0x10000000, 0x10000000);
    EXPECT_FALSE(d->m_btn_video->isHidden());

    // No plugin catalogue yet: the video button explains itself.
    d->state().peer_version = "3.3.2";
    d->m_btn_video->click();
    EXPECT_EQ(asked.back(), "no plugin");

    // Return sends the chat line; keypad Enter goes the default way.
    d->IDC_CHAT_TEXT->setText("typed");
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(d->eventFilter(d->IDC_CHAT_TEXT, &enter));
    EXPECT_EQ(d->IDC_CHAT_TEXT->text(), "typed");
    QKeyEvent ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    EXPECT_TRUE(d->eventFilter(d->IDC_CHAT_TEXT, &ret));
    EXPECT_EQ(d->IDC_CHAT_TEXT->text(), "");

    // The saved connection: cleared, written private, or refused.
    auto packet = [](std::string const& b) { return netbuf::from_string(b); };
    d->state().connect_params = {{"__restore_connection__", "true"}, {"host", "a b"}};
    d->m_restore_file = "old.dat";
    write("old.dat", "x");
    EXPECT_EQ(d->connect_save(packet("F")), 1);
    EXPECT_FALSE(QFile::exists("old.dat"));
    EXPECT_EQ(d->state().connect_params.count("__restore_connection__"), 0u);
    EXPECT_EQ(d->connect_save(packet("\x54\x73\x2E\x64\x61\x74\x05\x01\x54")), 1);
    EXPECT_EQ(d->m_restore_file, "s.dat");
    // Its 0600 mode is checked where the desk saves a live session's file.
    QFile saved("s.dat");
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll().toStdString(), "host=a+b") << "empty values are left out";
    EXPECT_TRUE(QDir(".").entryList({"s.dat.*"}).isEmpty()) << "no temporary file stays";
    std::string keep_false, keep_true;
    rulo_packet_push(keep_false, false, std::string("missing/c.dat"), true);
    rulo_packet_push(keep_true, true, std::string("missing/c.dat"), true);
    EXPECT_EQ(d->connect_save(netbuf::from_string(keep_false)), 0);
    EXPECT_EQ(d->m_restore_file, "s.dat");
    EXPECT_EQ(d->connect_save(netbuf::from_string(keep_true)), 1);
    EXPECT_EQ(d->m_restore_file, "missing/c.dat");
    EXPECT_FALSE(d->has_network()) << "no plugin downloader";

    // The log viewer: the first of the programs that exists gets the log's
    // absolute path.
    // It writes its argument into a pipe the test waits on.
    ASSERT_EQ(::mkfifo("viewed", 0600), 0);
    write("viewer.sh", "#!/bin/sh\nprintf '%s' \"$1\" > viewed\n");
    QFile::setPermissions("viewer.sh", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    int const pipe = ::open("viewed", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(pipe, 0);
    set_log_viewers({(dir.path() + "/missing").toStdString(), (dir.path() + "/viewer.sh").toStdString()});
    d->OnLog();
    std::string viewed;
    pollfd p{pipe, POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0 && (p.revents & POLLIN)) {
        char buf[512];
        ssize_t const n = ::read(pipe, buf, sizeof buf);
        if (n <= 0) break;
        viewed.append(buf, size_t(n));
    }
    ::close(pipe);
    EXPECT_EQ(viewed, (dir.path() + "/VYNDesk.out").toStdString());
    set_log_viewers({(dir.path() + "/missing").toStdString()});
    d->OnLog();
    EXPECT_EQ(asked.back(), "Unable to find a suitable program to open the log file.\nPlease open " +
                                (dir.path() + "/VYNDesk.out").toStdString() + " manually.");
}

TEST_F(DialogInProcess, Logos) {
    set_program_arguments({"--vynwex"});
    struct {
        char const* what;
        QSize size; // empty: write a corrupt file
        QSize shown;
        char const* format = "BMP";
    } const cases[] = {{"81 by 81", {81, 81}, {81, 81}},
                       {"82 by 10", {82, 10}, {80, 9}},
                       {"corrupt", {}, {0, 0}},
                       // The name says BMP, but any format Qt reads is shown.
                       {"PNG inside", {40, 30}, {40, 30}, "PNG"},
                       {"JPEG inside", {20, 20}, {20, 20}, "JPEG"}};
    for (auto const& c : cases) {
        if (c.size.isEmpty()) {
            write("conf_static/logo.bmp", "BM not really");
        } else {
            QImage img(c.size, QImage::Format_RGB32);
            img.fill(Qt::blue);
            ASSERT_TRUE(img.save("conf_static/logo.bmp", c.format));
        }
        CVYNDialog d(nullptr);
        QPixmap shown = d.IDC_LOGO_ICON->pixmap(Qt::ReturnByValue);
        EXPECT_EQ(shown.size(), c.shown) << c.what;
    }
}

} // namespace
