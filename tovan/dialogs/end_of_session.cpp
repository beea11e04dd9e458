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

bool post_session_data(std::function<void(std::string const&)> const& log, std::string const& comments,
                       std::string const& transcript, bool) {
    log("sending comments " + std::to_string(comments.size()) + "," + std::to_string(transcript.size()));
    // The post-data thread that sends them on the message channel is not
    // built yet: the answers go no further, and the caller closes as usual.
    return false;
}

} // namespace tovan
