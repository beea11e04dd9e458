#include "tovan/window/window_language.h"

#include "tovan/dialogs/vyn_string.h"
#include "tovan/lang/translations.h"

#include <QWidget>

#include <cstring>

namespace tovan {

myLangStruct fixIDs[4] = {{nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}};

namespace {

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

} // namespace tovan
