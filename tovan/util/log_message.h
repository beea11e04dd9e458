// The dialog's plain log file and the line writer every part of the
// program logs through.
//
// The handle is process-wide and guarded by one mutex: any thread writes a
// line (one whole line per call, flushed) while the GUI thread may switch the
// log to the framework's debug log, which closes the file under the same
// mutex, so no writer ever uses a closed handle. Before a file is opened
// nothing is written.
#pragma once

#include <QString>

#include <ctime>
#include <string>

namespace tovan {

// Moves an existing file at path aside to path + "_" + suffix (a failure is
// ignored), then opens path for appending. A file that cannot be opened is
// reported once on standard error with path and reason; the log then stays
// silent. Returns whether it is open.
bool open_log_file(std::string const& path, std::string const& aside_suffix);

// Closes the plain file and sends later lines to the framework log (category
// "dialog") written to path. Does nothing when already in debug mode.
// Returns true when it switched.
bool switch_log_to_debug(std::string const& path);
bool log_is_debug();

// Closes the plain file; lines are dropped until a file is opened again.
void close_log_file();

// ctime's text for t (24 characters, English names whatever the locale),
// made with localtime_r so that threads do not share a buffer; "N" when the
// time cannot be converted.
std::string ctime_stamp(std::time_t t);

void LogMessage(QString const& text);
void LogMessage(char const* text);
void LogMessage2(std::string const& text);

} // namespace tovan
