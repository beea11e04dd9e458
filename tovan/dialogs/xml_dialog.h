// XML-described dialogs (start-up, start and end of session): their texts
// come from dialogs.ini. None is described yet, so no such dialog shows.
#pragma once

#include <string>

class QWidget;

namespace tovan {

// The XML of the named dialog in the selected language; empty when none.
std::string GetLanguageDialog(std::string const& name);

// Runs the dialog modally over parent; 1 is OK.
int run_xml_dialog(QWidget* parent, std::string const& xml);

} // namespace tovan
