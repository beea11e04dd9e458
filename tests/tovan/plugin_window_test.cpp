// The "Downloading plugins" window as the download manager drives it.
#include "tovan/lang/translations.h"
#include "tovan/window/plugin_manager_window.h"

#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>

#include <gtest/gtest.h>

using namespace tovan;

TEST(PluginWindow, LookBarsAndTexts) {
    ASSERT_TRUE(read_language_file(SHIPPED_LANGALL, true));
    SetSelectedLanguage("de");
    QWidget parent;
    plugin_manager_window w(&parent);
    EXPECT_EQ(w.size(), QSize(323, 80));
    EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(w.windowTitle(), "Plugins werden heruntergeladen");
    EXPECT_EQ(w.bar(0)->objectName(), "IDC_PROGRESS");

    // 10,000,000 bytes in at most 16384 steps, as the manager scales them.
    w.set_bar(0, int(10000000 >> 10), int(5000000 >> 10));
    EXPECT_EQ(w.bar(0)->maximum(), 9765);
    EXPECT_EQ(w.bar(0)->text(), "49%"); // 4882 of 9765 steps, rounded down
    w.set_bar(1, 100, 10);
    ASSERT_NE(w.bar(1), nullptr);
    EXPECT_NE(w.bar(1), w.bar(0));
    w.remove_bar(1);
    EXPECT_EQ(w.bar(1), nullptr);
    w.remove_bar(0); // this end's bar stays
    EXPECT_NE(w.bar(0), nullptr);

    w.setTitle();
    EXPECT_EQ(w.windowTitle(), "Tovan");
    auto* label = w.findChild<QLabel*>("IDC_PLUGIN_LOADING");
    ASSERT_NE(label, nullptr);
    EXPECT_FALSE(label->isHidden());

    // Every line of the loading text shows, in every shipped language and
    // also in a larger font than the label's own.
    ini_sections shipped;
    ASSERT_TRUE(read_ini_file(SHIPPED_LANGALL, shipped, true, true));
    for (int points : {8, 11})
        for (auto const& code : get_ini_sections(shipped)) {
            label->setFont(QFont("Tahoma", points));
            SetSelectedLanguage(code);
            w.setTitle();
            QRect const lines =
                QFontMetrics(label->font()).boundingRect(label->rect(), Qt::TextWordWrap, label->text());
            EXPECT_TRUE(QRect(QPoint(), w.size()).contains(label->geometry()) &&
                        lines.height() <= label->height())
                << code << points;
        }
    SetSelectedLanguage("en");
}
