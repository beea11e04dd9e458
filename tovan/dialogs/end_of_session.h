// What the end of a session hands on: the variables of the end-of-session
// dialog and the chat transcript record. Pure.
#pragma once

#include "tovan/dialogs/dialog_model.h"

#include <string>

namespace tovan {

// "@CHAT_TRANSCRIPT_PLAIN@" and "@CHAT_TRANSCRIPT@", for the dialog's data texts.
dialog_variables transcript_variables(std::string const& plain, std::string const& html);

// "desk_chat" or "client_chat", then the map of both transcripts.
std::string transcript_record(bool is_client, std::string const& plain, std::string const& html);

} // namespace tovan
