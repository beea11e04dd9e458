// Plugin packages on hostile bytes: the whole check (prepare_plugin) must
// answer, never throw, and never accept a package the build key did not
// sign; the unpacking on its own (extract_plugin, as after a check) must
// leave nothing behind once refused or removed; a translation answer must
// be stored or refused, never crash.
//
// Input: one control byte (bit 0: the record carries the package's own
// signature; bit 1: unpack the payload directly), then the package bytes.
#include "tests/fuzz/fuzz_support.h"
#include "tovan/plugins/plugin_def.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

using fuzz::check;

namespace {

// A scratch working directory and HOME for the whole run.
std::string const scratch = [] {
    char const* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/plugin_package_fuzz.XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    ::setenv("HOME", pattern.c_str(), 1);
    if (::chdir(pattern.c_str()) != 0) std::abort();
    return pattern;
}();

// Entries of the working directory other than the cache directory.
int leftovers() {
    int n = 0;
    if (DIR* d = ::opendir(scratch.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string const name = e->d_name;
            if (name != "." && name != ".." && name != ".dravo") ++n;
        }
        ::closedir(d);
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    std::string const content = fuzz::bytes(data + 1, size - 1);
    tovan::plugin_record record{{"name", "fuzz"}, {"version", "1"}};
    tovan::plugin_def head;
    bool readable = true;
    try {
        head = tovan::plugin_def(content, false);
    } catch (...) {
        readable = false;
    }
    if (readable && (data[0] & 1)) record["signature"] = head.take("signature");

    std::string message;
    tovan::plugin_def* prepared = tovan::plugin_def::prepare_plugin(content, false, record, message, true);
    check(prepared == nullptr); // nothing here is signed with the build key
    check(leftovers() == 0);

    if (readable && (data[0] & 2)) {
        head.definition["name"] = "direct";
        bool save = true;
        bool const unpacked = head.extract_plugin(&save);
        check(!unpacked || !tovan::plugin_extracted::library_file(head.get_full_name()).empty());
        check(unpacked || leftovers() == 0);
        tovan::plugin_extracted::remove_all();
        check(leftovers() == 0);
    }

    tovan::plugin_def tr(record);
    (void)tr.save_translations(content);
    (void)tr.get_translations(false);
    return 0;
}
