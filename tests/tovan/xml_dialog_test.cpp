// The XML-described dialogs, offscreen: the controls a description makes
// (kind, id, geometry, groups, items), the variables of the data texts, the
// result record on OK and on Cancel, and the texts of dialogs.ini.
#include "rulo/packet.h"
#include "tests/support/shell.h"
#include "tovan/dialogs/end_of_session.h"
#include "tovan/dialogs/xml_dialog.h"
#include "tovan/lang/translations.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>
#include <unistd.h>

namespace {

using tovan::CXMLDialog;

std::string const form =
    "<dialog title='Survey' left='0' top='0' width='200' height='100' result='answers'>"
    "<static title='Question' left='2' top='3' width='50' height='10'/>"
    "<button id='IDOK' title='OK' left='10' top='80' width='40' height='14'/>"
    "<button id='IDCANCEL' title='Cancel' left='60' top='80' width='40' height='14'/>"
    "<button id='77' style='BS_AUTOCHECKBOX' title='Box' result='box'>true</button>"
    "<button style='BS_AUTORADIOBUTTON WS_GROUP' result='r1'>true</button>"
    "<button style='BS_AUTORADIOBUTTON' result='r2'/>"
    "<button style='BS_AUTORADIOBUTTON WS_GROUP' result='r3'>TRUE</button>"
    "<edit left='5' top='20' width='100' height='10' title='@V@' result='line'>typed @V@</edit>"
    "<edit style='ES_MULTILINE' result='multi'>many</edit>"
    "<edit style='ES_PASSWORD' result='pw'>s3cret</edit>"
    "<combobox left='5' top='40' width='60' height='50' result='pick'>a ;b ;c</combobox>"
    "<data result='d'>[@V@|@W@]</data>"
    "<unknown result='u'/>"
    "</dialog>";

template <class W>
W* control(CXMLDialog& d, char const* result) {
    for (auto const& c : d.dialog_node().children) {
        std::string const* r = c->GetAttrValue("result");
        std::string const* id = c->GetAttrValue("controlID");
        if (r && *r == result && id) return d.findChild<W*>(QString::fromStdString(*id));
    }
    return nullptr;
}

std::map<std::string, std::string> values_of(std::string record, std::string* name) {
    std::map<std::string, std::string> values;
    rulo_packet_pop(record, *name, values);
    return values;
}

TEST(XmlDialog, BuildsFillsAndCollects) {
    CXMLDialog d(nullptr);
    ASSERT_TRUE(d.initDialog(form));
    tovan::dialog_variables const vars{{"@V@", "v"}, {"@W@", "w"}};
    d.build(&vars);

    EXPECT_EQ(d.windowTitle(), "Survey");
    EXPECT_EQ(d.size(), QSize(801, 401)); // units times 4, right edge inclusive
    auto* label = d.findChildren<QLabel*>().value(0);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->geometry(), QRect(8, 12, 201, 41));
    EXPECT_TRUE(label->wordWrap());
    EXPECT_EQ(label->alignment(), Qt::AlignLeft | Qt::AlignTop) << "a text too long loses its end";

    // Ids: the given ones as given, the others from the counter, never reused.
    auto* box = control<QCheckBox>(d, "box");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->objectName(), "77");
    EXPECT_TRUE(box->isChecked());
    auto* r1 = control<QRadioButton>(d, "r1");
    auto* r2 = control<QRadioButton>(d, "r2");
    auto* r3 = control<QRadioButton>(d, "r3");
    ASSERT_TRUE(r1 && r2 && r3);
    EXPECT_GT(r2->objectName().toUInt(), r1->objectName().toUInt());
    EXPECT_EQ(r1->group(), r2->group());
    EXPECT_NE(r1->group(), r3->group());
    EXPECT_TRUE(r1->isChecked());
    EXPECT_FALSE(r3->isChecked()); // "TRUE" is not "true"
    EXPECT_EQ(d.findChildren<QPushButton*>().size(), 2);
    EXPECT_NE(d.findChild<QPushButton*>("1"), nullptr);
    EXPECT_NE(d.findChild<QPushButton*>("2"), nullptr);

    // Variables reach data texts only.
    auto* line = control<QLineEdit>(d, "line");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->text(), "typed @V@");
    EXPECT_EQ(control<QTextEdit>(d, "multi")->toPlainText(), "many");
    EXPECT_EQ(control<QLineEdit>(d, "pw")->echoMode(), QLineEdit::Password);
    // Tab and Shift+Tab, as the keyboard sends them, leave the multi-line edit.
    d.show();
    auto* multi = control<QTextEdit>(d, "multi");
    for (auto [key, modifiers] :
         {std::pair{Qt::Key_Tab, Qt::NoModifier}, {Qt::Key_Backtab, Qt::ShiftModifier}}) {
        multi->setFocus();
        QKeyEvent tab(QEvent::KeyPress, key, modifiers, "\t");
        QApplication::sendEvent(multi, &tab);
        EXPECT_NE(d.focusWidget(), multi) << key;
    }
    auto* combo = control<QComboBox>(d, "pick");
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->currentText(), "c");

    // Cancel still collects what the controls hold.
    line->setText("changed");
    r2->setChecked(true);
    QTimer::singleShot(0, &d, [&] { d.findChild<QPushButton*>("2")->click(); });
    EXPECT_EQ(d.exec(), 0);
    std::string name;
    auto values = values_of(d.result(), &name);
    EXPECT_EQ(name, "answers");
    std::map<std::string, std::string> const expected{{"box", "true"}, {"r1", "false"},     {"r2", "true"},
                                                      {"r3", "false"}, {"line", "changed"}, {"multi", "many"},
                                                      {"pick", "c"},   {"d", "[v|w]"},      {"pw", "s3cret"}};
    EXPECT_EQ(values, expected);

    QTimer::singleShot(0, &d, [&] { d.findChild<QPushButton*>("1")->click(); });
    EXPECT_EQ(d.exec(), 1);

    // A slip in the last control: it and what was read before it still show.
    CXMLDialog partial(nullptr);
    EXPECT_FALSE(partial.initDialog(form.substr(0, form.find("<data")) + "<edit result='r' title='t' / >"));
    QTimer::singleShot(0, &partial, [&] { partial.findChild<QPushButton*>("2")->click(); });
    EXPECT_EQ(partial.doModal(nullptr), 0);
    values = values_of(partial.result(), &name);
    EXPECT_EQ(values["line"], "typed @V@");
    EXPECT_EQ(values["r"], "t");
}

TEST(XmlDialog, RecordWithoutResultName) {
    CXMLDialog d(nullptr);
    ASSERT_TRUE(d.initDialog("<dialog><button style='BS_AUTOCHECKBOX' result='c'>true</button></dialog>"));
    d.build(nullptr);
    d.done(1);
    // The packet format's bytes: text then length, the map's pair, its count.
    EXPECT_EQ(
        d.result(),
        std::string("\x72\x65\x73\x75\x6c\x74\x73\x07\x01\x63\x01\x01\x74\x72\x75\x65\x04\x01\x01\x01", 20));
}

TEST(XmlDialog, HostileNumbersAreBounded) {
    CXMLDialog d(nullptr);
    ASSERT_TRUE(d.initDialog("<dialog width='99999999999999999999' height='-7'>"
                             "<static left='-99999' top='5000' width='3000' height='1' result='s' "
                             "image='/nonexistent.png'/>"
                             "<button id='4294967296999' result='b'/></dialog>"));
    d.build(nullptr);
    EXPECT_LE(d.width(), tovan::dialog_max_pixels);
    auto* label = control<QLabel>(d, "s");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->geometry(), QRect(-8192, 8192, 4096, 5));
    auto* b = control<QPushButton>(d, "b");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->objectName(), "4294967295");
}

TEST(XmlDialog, TranscriptVariablesInsertedOnce) {
    // The customer's chat holds both variable names many times: each is put
    // in once per place, and what it brings is not read again.
    std::string chat;
    for (int i = 0; i < 1000; ++i) chat += "@CHAT_TRANSCRIPT_PLAIN@ @CHAT_TRANSCRIPT@ ";
    auto const vars = tovan::transcript_variables(chat, "<p>" + chat + "</p>");
    std::string const out = tovan::substitute_variables("A@CHAT_TRANSCRIPT_PLAIN@B@CHAT_TRANSCRIPT@C", vars);
    EXPECT_EQ(out, "A" + chat + "B<p>" + chat + "</p>C");
    EXPECT_EQ(tovan::substitute_variables("@X@@X", {{"@X@", "@X@@X@"}, {"", "never"}}), "@X@@X@@X");

    std::string name;
    std::string record = tovan::transcript_record(true, "p", "h");
    auto const values = values_of(record, &name);
    EXPECT_EQ(name, "client_chat");
    EXPECT_EQ(values,
              (std::map<std::string, std::string>{{"CHAT_TRANSCRIPT", "h"}, {"CHAT_TRANSCRIPT_PLAIN", "p"}}));
}

TEST(XmlDialog, StylesAndItems) {
    struct row {
        char const* text;
        uint32_t value;
    } const rows[] = {
        {"", 0},
        {"IDOK", 1},
        {"IDCANCEL", 2},
        {"12 WS_GROUP", 12 | 0x20000},
        {"CBS_DROPDOWNLIST", 3},
        {"99999999999", 0xFFFFFFFF},
        {"-5", 0},
        {"ES_MULTILINE|ES_PASSWORD", 0x24},
    };
    for (auto const& r : rows) EXPECT_EQ(tovan::style_value(r.text), r.value) << r.text;
    EXPECT_EQ(tovan::split_items("a;;b", ";"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(tovan::split_items("a ;b", ""), (std::vector<std::string>{"a ;b"}));
}

TEST(XmlDialog, LanguageDialogTexts) {
    test_support::scratch_dir dir;
    QString const old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.path())));
    EXPECT_EQ(tovan::GetLanguageDialog("sod_dialog"), "");
    test_support::write_file(dir.file("dialogs.ini"), "[en]\nsod_dialog=<dialog>a<br>b<br/>c\\n</dialog>\n"
                                                      "[de]\nsod_dialog=<dialog>de</dialog>\n");
    tovan::SetSelectedLanguage("fr");
    EXPECT_EQ(tovan::GetLanguageDialog("sod_dialog"), "<dialog>a\r\nb\r\nc\\n</dialog>");
    tovan::SetSelectedLanguage("de");
    EXPECT_EQ(tovan::GetLanguageDialog("sod_dialog"), "<dialog>de</dialog>");
    EXPECT_EQ(tovan::GetLanguageDialog("eos_dialog"), "");
    tovan::SetSelectedLanguage("en");
    QDir::setCurrent(old);
}

} // namespace
