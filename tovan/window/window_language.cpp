#include "tovan/window/window_language.h"

#include "tovan/dialogs/vyn_string.h"
#include "tovan/lang/translations.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

#include <cstring>
#include <set>

namespace tovan {

myLangStruct fixIDs[4] = {{nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}};

namespace {

char const* const text_key = "tovan_text_key";
char const* const tip_key = "tovan_tip_key";

QString entry_text(std::string const& key) {
    QString text = get_lang_string(key, true, false);
    return text.isEmpty() ? QString::fromUtf8(key.c_str()) : text;
}

void retranslate_menu(QMenu* menu, std::set<QMenu*>& seen) {
    if (!menu || !seen.insert(menu).second) return;
    for (QAction* a : menu->actions()) {
        QVariant const key = a->property(text_key);
        if (key.isValid()) a->setText(entry_text(key.toString().toStdString()));
        retranslate_menu(a->menu(), seen);
    }
}

void translate_one(QWidget* w, bool tooltip) {
    vyn_string key = vyn_string::GetWindowText(w);
    if (key.empty()) return;
    std::string const language = GetSelectedLanguage();
    QString text = get_language_string(language, key.str(), true, false);
    if (!text.isEmpty()) vyn_string(text.toUtf8().toStdString()).SetWindowText(w);
    if (!tooltip) return;
    QString tip = get_language_string(language, "TIP_" + key.str(), true, false);
    if (!tip.isEmpty()) w->setToolTip(tip);
}

} // namespace

void SetWindowLanguage(QWidget* top) {
    if (!top) return;
    for (QWidget* w : top->findChildren<QWidget*>()) translate_one(w, true);
    QString title = top->windowTitle();
    if (title.isEmpty()) return;
    QString text = get_language_string(GetSelectedLanguage(), title.toUtf8().toStdString(), true, false);
    if (!text.isEmpty()) top->setWindowTitle(text);
}

void UpdateLanguageGroup(std::string const& language, QWidget*, std::string const& group,
                         myLangStruct const* rows) {
    for (; rows && rows->widget; ++rows) {
        QString text = get_language_string(language, group + rows->suffix, false, false);
        if (text.isEmpty()) continue;
        // The look-up already points image sources at the compiled-in
        // pictures; a source that named one itself must not get a second ":".
        if (std::strcmp(rows->suffix, "_IDC_DESCRIPTION_TEXT") == 0)
            text.replace("<img src=\"::", "<img src=\":");
        vyn_string(text.toUtf8().toStdString()).SetWindowText(rows->widget);
    }
}

void RetranslateLanguageStatus(QWidget* dialog, char const* group) {
    std::string const language = GetSelectedLanguage();
    if (!group || !*group) {
        UpdateLanguageGroup(language, dialog, "generic", fixIDs);
        return;
    }
    std::string g = group;
    std::string general = "gen_" + (g.size() > 4 ? g.substr(4) : std::string());
    UpdateLanguageGroup(language, dialog, general, fixIDs);
    if (general != g) UpdateLanguageGroup(language, dialog, g, fixIDs);
}

void set_keyed_text(QAction* action, std::string const& key) {
    action->setProperty(text_key, QString::fromUtf8(key.c_str()));
    action->setText(entry_text(key));
}

void set_keyed_tip(QWidget* widget, std::string const& key) {
    widget->setProperty(tip_key, QString::fromUtf8(key.c_str()));
    widget->setToolTip(get_lang_string(key, true, false));
}

void retranslate_menu(QMenu* menu) {
    std::set<QMenu*> seen;
    retranslate_menu(menu, seen);
}

void retranslate_tips(QWidget* top) {
    if (!top) return;
    QList<QWidget*> widgets = top->findChildren<QWidget*>();
    widgets.prepend(top);
    for (QWidget* w : widgets) {
        QVariant const key = w->property(tip_key);
        if (key.isValid()) w->setToolTip(get_lang_string(key.toString().toStdString(), true, false));
    }
}

} // namespace tovan
