// Reference programs (coreutils, openssl, iconv ...) as test peers: a scratch
// directory for their files and ways to run them and read what they printed.
#pragma once

#include <string>

namespace test_support {

// A fresh directory under TMPDIR (or /tmp), removed with its content when the
// object goes.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(scratch_dir const&) = delete;
    scratch_dir& operator=(scratch_dir const&) = delete;

    std::string const& path() const { return m_path; }
    std::string file(std::string const& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

struct command_output {
    int status = -1; // the exit status, -1 when the command did not exit normally
    std::string out; // standard output (standard error is discarded)
};

// Runs a shell command and collects its standard output. Blocks until it ends.
command_output run_command(std::string const& command);

// Runs `command < file-holding-input` and returns its standard output.
std::string filter_command(std::string const& command, std::string const& input);

// The text as one single-quoted shell word.
std::string shell_quote(std::string const& text);

void write_file(std::string const& path, std::string const& bytes);
std::string read_file(std::string const& path);

} // namespace test_support
