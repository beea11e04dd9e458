// What the end of a session hands on: the variables of the end-of-session
// dialog, the chat transcript record, and the post of both to the server.
// Pure, except post_session_data, which any thread may call.
#pragma once

#include "tovan/dialogs/dialog_model.h"

#include <functional>
#include <string>

namespace tovan {

// "@CHAT_TRANSCRIPT_PLAIN@" and "@CHAT_TRANSCRIPT@", for the dialog's data texts.
dialog_variables transcript_variables(std::string const& plain, std::string const& html);

// "desk_chat" or "client_chat", then the map of both transcripts.
std::string transcript_record(bool is_client, std::string const& plain, std::string const& html);

// Posts the dialog's answers and the transcript once the session is over.
// Logs "sending comments N,M" (the two lengths) through log. True when the
// post took over closing the program (with auto_close); false leaves the
// closing to the caller.
bool post_session_data(std::function<void(std::string const&)> const& log, std::string const& comments,
                       std::string const& transcript, bool auto_close);

} // namespace tovan
