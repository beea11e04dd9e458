#include "tovan/dialogs/xml_dialog.h"

#include "tovan/dialogs/vyn_string.h"
#include "tovan/util/log_message.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextEdit>

#include <algorithm>

namespace tovan {

namespace {

QString qs(std::string const& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

std::string attr_or(_tagXMLNode const& node, char const* name, std::string fallback = {}) {
    std::string const* v = node.GetAttrValue(name);
    return v ? *v : fallback;
}

// A picture file, refused before decoding when it is implausibly large.
QImage load_picture(std::string const& path, std::pair<int, int> size) {
    QImageReader reader(qs(path));
    QSize const natural = reader.size();
    if (natural.isValid() &&
        (natural.width() > 4 * dialog_max_pixels || natural.height() > 4 * dialog_max_pixels))
        return {};
    QImage image = reader.read();
    if (image.isNull()) return {};
    return image.scaled(size.first, size.second, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

CXMLDialog::CXMLDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint |
                          Qt::WindowStaysOnTopHint) {}

CXMLDialog::~CXMLDialog() = default;

bool CXMLDialog::initDialog(std::string const& xml) {
    _tagParseInfo pi = piDefault;
    bool const readable = m_dialog_node.Load(xml, &pi) != nullptr;
    if (pi.failed)
        LogMessage2("dialog description refused: error " + std::to_string(pi.error_code) + " at byte " +
                    std::to_string(pi.error_at - xml.c_str()) + ": " + pi.error_text);
    return readable;
}

void CXMLDialog::build(dialog_variables const* variables) {
    for (int i = 0; i < m_dialog_node.GetChildCount(); ++i)
        mmCreateControl(*m_dialog_node.GetChild(i), variables);
    mmCreateControl(m_dialog_node, variables);
    for (int i = 0; i < m_dialog_node.GetChildCount(); ++i)
        mmUpdateControl(*m_dialog_node.GetChild(i), false);
    mmUpdateControl(m_dialog_node, false);
}

int CXMLDialog::doModal(dialog_variables const* variables) {
    // A slip late in a description (a server's survey, say) must not hide
    // what was read before it: the partial tree is shown when it still
    // describes a window.
    if (!describes_window(m_dialog_node)) {
        LogMessage2("dialog not shown: its description makes no window");
        return 1;
    }
    build(variables);
    return exec();
}

void CXMLDialog::OnOK() {
    done(1);
}

void CXMLDialog::OnCancel() {
    done(0);
}

void CXMLDialog::mmCreateControl(_tagXMLNode& node, dialog_variables const* variables) {
    control_spec c = describe_control(node);
    std::string const title = attr_or(node, "title");
    QWidget* w = nullptr;
    switch (c.kind) {
    case control_kind::none:
        break;
    case control_kind::dialog: {
        setWindowTitle(qs(title));
        std::string const* font = node.GetAttrValue("fontName");
        std::string const* size = node.GetAttrValue("fontSize");
        if (font && size) setFont(QFont(qs(*font), std::clamp(read_units(node, "fontSize", 0), 1, 200)));
        QSize const s(c.right + 1 - c.left, c.bottom + 1 - c.top);
        resize(s);
        setMinimumSize(s);
        setMaximumSize(s);
        break;
    }
    case control_kind::data:
        if (variables) node.value = substitute_variables(node.value, *variables);
        break;
    case control_kind::push_button: {
        auto* b = new QPushButton(this);
        if (c.id == 1) connect(b, &QPushButton::clicked, this, &CXMLDialog::OnOK);
        if (c.id == 2) connect(b, &QPushButton::clicked, this, &CXMLDialog::OnCancel);
        w = b;
        break;
    }
    case control_kind::check_box:
        w = new QCheckBox(this);
        break;
    case control_kind::radio_button: {
        auto* r = new QRadioButton(this);
        if (c.new_radio_group || !m_radio_group) m_radio_group = new QButtonGroup(this);
        m_radio_group->addButton(r);
        w = r;
        break;
    }
    case control_kind::line_edit: {
        auto* e = new QLineEdit(this);
        if (c.password) e->setEchoMode(QLineEdit::Password);
        w = e;
        break;
    }
    case control_kind::multi_edit: {
        // Tab and Shift+Tab go on to the next control, as in every other
        // one: a person using the keys is never stuck in a comment box.
        auto* t = new QTextEdit(this);
        t->setTabChangesFocus(true);
        w = t;
        break;
    }
    case control_kind::label: {
        // A text longer than its box shows from its first line: what is
        // cut off is the end, never the beginning.
        auto* l = new QLabel(this);
        l->setWordWrap(true);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        w = l;
        break;
    }
    case control_kind::list:
        w = new QListView(this);
        break;
    case control_kind::scroll_bar:
        w = new QScrollBar(this);
        break;
    case control_kind::combo:
        w = new QComboBox(this);
        c.bottom = c.top + w->height();
        break;
    }
    if (w) {
        w->setObjectName(QString::number(c.id));
        w->setGeometry(QRect(QPoint(c.left, c.top), QPoint(c.right, c.bottom)));
        if (auto* t = qobject_cast<QTextEdit*>(w)) {
            t->setHtml(qs(title));
            t->setAcceptRichText(false);
        } else {
            vyn_string(title).SetWindowText(w);
        }
    }
    // Only the dialog says which control a node addresses.
    node.attrs.erase(std::remove_if(node.attrs.begin(), node.attrs.end(),
                                    [](auto const& a) { return a->name == "controlID"; }),
                     node.attrs.end());
    if (c.addressable) node.AppendAttr("controlID", std::to_string(c.id));
}

QWidget* CXMLDialog::control_of(_tagXMLNode const& node) const {
    std::string const* id = node.GetAttrValue("controlID");
    if (!id || style_value(*id) == 0) return nullptr;
    return findChild<QWidget*>(qs(*id), Qt::FindDirectChildrenOnly);
}

void CXMLDialog::mmUpdateControl(_tagXMLNode& node, bool skip_pictures) {
    std::string const* image = node.GetAttrValue("image");
    std::string const* icon = node.GetAttrValue("icon");
    QWidget* w = control_of(node);
    if (!w && !image && !icon) return;
    QString const text = qs(node.value);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        if (!text.isEmpty()) {
            e->setText(text);
            e->deselect();
        }
    } else if (auto* t = qobject_cast<QTextEdit*>(w)) {
        if (!text.isEmpty()) t->setPlainText(text);
    }
    if (!skip_pictures && (image || icon)) {
        std::string const path = image && !image->empty() ? *image : icon ? *icon : std::string();
        QImage const picture = load_picture(path, picture_size(node));
        if (image && !picture.isNull())
            if (auto* l = qobject_cast<QLabel*>(w)) l->setPixmap(QPixmap::fromImage(picture));
    }
    if (!node.GetAttr("result")) return;
    if (auto* b = qobject_cast<QAbstractButton*>(w); b && b->isCheckable()) {
        b->setChecked(checked_by_text(node.value));
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        for (auto const& item : split_items(node.value, attr_or(node, "delimiters", " ;")))
            combo->addItem(qs(item));
        combo->setCurrentIndex(combo->count() - 1);
    }
}

void CXMLDialog::done(int result) {
    std::string const* result_name = m_dialog_node.GetAttrValue("result");
    std::string const name = result_name ? *result_name : "results";
    m_results_node.Load(result_name ? *result_name : "<results></results>");
    std::map<std::string, std::string> values;
    for (auto const& child : m_dialog_node.children) {
        std::string const* key = child->GetAttrValue("result");
        if (!key) continue;
        std::string value;
        if (child->name == "data") {
            value = child->value;
        } else if (QWidget* w = control_of(*child)) {
            auto* b = qobject_cast<QAbstractButton*>(w);
            value = b && b->isCheckable() ? (b->isChecked() ? "true" : "false")
                                          : vyn_string::GetWindowText(w).str();
        } else {
            continue;
        }
        values[*key] = value;
        m_results_node.AppendChild(*key, value);
    }
    QDialog::done(result);
    m_result = result_record(name, values);
}

} // namespace tovan
