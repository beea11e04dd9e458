#include "tests/fuzz/fuzz_support.h"

#include "rulo/init.h"

// Every target starts the framework once, as the program does, so that
// buffers and the log work. The table lives as long as the process.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return 0;
}

namespace fuzz {

std::string function_error(char const* name) {
    return rulo::exception::function(name).what();
}

std::vector<std::string> split_lines(std::string const& text) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines.push_back(line);
            line.clear();
        } else {
            line += text[i];
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

} // namespace fuzz
