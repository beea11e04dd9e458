// Translating widget trees in place and the status-text groups of the main
// window. GUI thread only.
#pragma once

#include <string>

class QAction;
class QMenu;
class QWidget;

namespace tovan {

// One row of a status-text table: a widget and the suffix of its key.
struct myLangStruct {
    QWidget* widget;
    char const* suffix;
};

// The main form's table, ended by a row with a null widget; the dialog
// fills it.
extern myLangStruct fixIDs[4];

// Every descendant's text is a key: replaced by its translation when there
// is one, and "TIP_" + key gives the tooltip. Then the top widget's title.
void SetWindowLanguage(QWidget* top);

// "gen_" + group[4:] first, then the group itself; no group: "generic" with
// the rows of fixIDs.
void RetranslateLanguageStatus(QWidget* dialog, char const* group);
void UpdateLanguageGroup(std::string const& language, QWidget* dialog, std::string const& group,
                         myLangStruct const* rows);

// Texts that follow the language: the key is kept with the action or the
// widget, so that a change of language sets the text again. A menu's title
// is its menuAction()'s text. An entry whose key has no translation shows
// the key; a tooltip whose key has none is empty.
void set_keyed_text(QAction* action, std::string const& key);
void set_keyed_tip(QWidget* widget, std::string const& key);
// The keyed texts of the menu and of its submenus, and the keyed tooltips
// of top and its descendants, in the selected language.
void retranslate_menu(QMenu* menu);
void retranslate_tips(QWidget* top);

} // namespace tovan
