#include "tovan/dialogs/end_of_session.h"

#include "rulo/packet.h"

#include <map>

namespace tovan {

dialog_variables transcript_variables(std::string const& plain, std::string const& html) {
    return {{"@CHAT_TRANSCRIPT_PLAIN@", plain}, {"@CHAT_TRANSCRIPT@", html}};
}

std::string transcript_record(bool is_client, std::string const& plain, std::string const& html) {
    std::map<std::string, std::string> const values{{"CHAT_TRANSCRIPT_PLAIN", plain},
                                                    {"CHAT_TRANSCRIPT", html}};
    std::string record;
    rulo_packet_push(record, std::string(is_client ? "client_chat" : "desk_chat"), values);
    return record;
}

} // namespace tovan
