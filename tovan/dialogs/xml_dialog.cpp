#include "tovan/dialogs/xml_dialog.h"

namespace tovan {

std::string GetLanguageDialog(std::string const&) {
    return {};
}

int run_xml_dialog(QWidget*, std::string const&) {
    return 1;
}

} // namespace tovan
