#include "tovan/plugins/plugin_host.h"

namespace tovan {

void plugin_def::init(rulo_api_t*) {}

void libs_command(std::string const&, netbuf const&) {}

void remove_pin(std::string const&) {}

} // namespace tovan
