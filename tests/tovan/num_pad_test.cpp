// The touch pad: its keys append to the code field, read-only or not, and
// F11 and F12 never show.
#include "tovan/dialogs/num_pad.h"

#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

TEST(NumPad, KeysAppendToTheCodeField) {
    QLineEdit code;
    code.setReadOnly(true);
    code.setCursorPosition(0);
    tovan::CNumPad pad(nullptr, &code);
    pad.show();
    for (char const* key : {"IDC_N1", "IDC_N2", "IDC_N3", "IDC_N10"})
        pad.findChild<QPushButton*>(key)->click();
    EXPECT_EQ(code.text(), "1230");
    EXPECT_EQ(pad.findChildren<QPushButton*>().size(), 12);
    for (char const* hidden : {"IDC_N11", "IDC_N12"})
        EXPECT_FALSE(pad.findChild<QPushButton*>(hidden)->isVisible());
    EXPECT_TRUE(pad.findChild<QPushButton*>("IDC_N5")->isVisible());
    EXPECT_EQ(pad.windowTitle(), "Touch Pad");
}

} // namespace
