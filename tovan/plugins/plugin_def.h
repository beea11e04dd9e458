// One plugin version: a record of the server's catalogue and, once its
// package is fetched and checked, that package (head, payload, unpacked files).
//
// A package is
//
//   | head: "key=value" lines | 00 | payload: LZMA-alone stream of the archive container |
//
// and its head's "signature" is the program's RSA signature (PKCS#1 v1.5 over
// the bare SHA-512 digest) of the other keys in sorted "key=value\n" lines, a
// NUL and the payload, checked against public_raw.
//
// plugin_def is a value: each copy belongs to one thread at a time (the
// catalogue's on the GUI thread, a checker's result on its checker thread).
// The table of unpacked packages (plugin_extracted) is process-wide and every
// access to it, and every unpacking, holds plugin_def::m_plugins_mtx. The package operations never
// throw to their caller: a failure is a false or null result (and, for a
// refused signature, a message), after which nothing is unpacked and no cache
// file is written.
#pragma once

#include "rulo/init.h"
#include "rulo/lock.h"
#include "rulo/lock_directory.h"
#include "rulo/object.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// The program's public key (made at build time from the signer's key): the
// modulus and the exponent, each a 16-bit big-endian byte count and the number.
extern "C" const unsigned char public_raw[];
extern "C" const unsigned int public_raw_len;

namespace tovan {

using plugin_record = std::map<std::string, std::string>;

class plugin_def {
public:
    enum : int { state_prepared = 7, state_loaded = 8, state_invalid = 9 };

    plugin_def() = default;
    // A catalogue record: every key copied; "auto_start" "true" implies "auto_dl".
    explicit plugin_def(plugin_record const& record);
    // A package: the file at text (is_file) or the content text itself. Throws
    // the reader's exception for a package without its NUL, an unreadable
    // file or one above the package size limit.
    plugin_def(std::string const& text, bool is_file);
    virtual ~plugin_def() = default;
    plugin_def(plugin_def const&) = default;
    plugin_def& operator=(plugin_def const&) = default;

    // Completes the host tables from the framework's filled API table; once,
    // from main, before the first library opens. Also notes the start
    // directory (see start_path).
    static void init(rulo_api_t* table);

    std::string take(std::string const& key) const;
    std::string get_name() const { return take("name"); }
    std::string get_platform() const { return take("platform"); }
    plugin_record get_info() const { return definition; }
    bool auto_dl() const { return take("auto_dl") == "true"; }
    bool auto_start() const { return take("auto_start") == "true"; }

    // name_version[_branch] with every "." made "_".
    std::string get_full_name() const { return get_full_name(definition); }
    static std::string get_full_name(plugin_record const& record);

    // Copies "auto_start" "true" from one record to the other; nothing else.
    static void link_definition(plugin_record const& from, plugin_record& to);
    // Takes over a checked package: its keys this record lacks, its
    // auto-start, its payload and state (not its package bytes).
    void update_def(plugin_def const& other);

    // Checks one package (a file path or the content) against the server's
    // record, unpacks it and, with save, stores it in the home cache. Returns
    // the prepared definition (owned by the caller) in state 7, or null; the
    // reason for a refused signature is appended to message. The result is
    // named by the record (name, version, branch, platform), whatever the
    // package's own head says, so files, look-up and loading agree. Runs on a
    // checker thread; takes m_plugins_mtx while it touches the unpacked table.
    static plugin_def* prepare_plugin(std::string const& text, bool is_file, plugin_record const& record,
                                      std::string& message, bool save);
    bool verify_sig() const;
    // Unpacks the payload into a fresh locked directory under the start
    // directory (once per full name and process): state 7 when a library is
    // found, else 9 with nothing left unpacked. A full name already unpacked
    // clears *save and succeeds at once. Holds m_plugins_mtx throughout, so
    // no library's open or lib_init runs meanwhile.
    bool extract_plugin(bool* save);
    // Writes package to the home cache through a temporary file renamed into
    // place, so a reader never sees half a package. False on any failure.
    bool save_plugin() const;

    // The home cache (Qt's home + "/.dravo", made 0700 when missing) or the
    // start directory (never the working directory of the moment).
    static std::string get_root(bool home);
    // root/<full name>_<platform>.<extension>
    std::string get_plugin_path(std::string const& root, std::string const& extension) const;
    // False (and logged) when the full name or platform holds "/" or NUL, or
    // the platform "..": such a record gets no cache file.
    bool has_safe_cache_name() const;

    // The stored translations of this plugin (<full>_<platform>.trans in the
    // home cache: the text, then the identifier as a packet string): the
    // identifier, or the text when identifier_only is false; "" when there is
    // no readable file.
    std::string get_translations(bool identifier_only) const;
    // Stores one server answer (LZMA-alone text, then the identifier as a
    // packet string); an empty answer, identifier or text stores nothing and
    // succeeds. False when the answer does not decode or cannot be written.
    bool save_translations(std::string const& answer) const;
    // "tversion", or "1".
    std::string get_tversion() const;

    // The plugin host's one lock for libraries and their files: held while a
    // library is opened and initialised (plugin_host::load_lock) and by the
    // package code around its work on unpacked files and their table.
    static rulo::rec_mutex m_plugins_mtx;

    // The library loading opens: library_file when set, else the unpacked
    // package's library.
    std::string library_path() const;

    int32_t state = 0;
    std::string package;
    plugin_record definition;
    std::string payload;
    // Set only for definitions that do not come from a package (the test
    // directory): the library to open and a plain translation file.
    std::string library_file;
    std::string translation_file;
};

// The directory the program started in, noted by plugin_def::init before
// the first library open ("" before that). A library open moves the working
// directory on the GUI thread for a moment, so whatever other threads place
// relative to "here" counts from this one instead.
void note_start_directory();
std::string start_directory();
// A relative name joined to the start directory.
std::string start_path(std::string const& name);

// The test seam: one definition per regular file NAME.so in dir, in
// byte-wise order (name NAME, version "1", full name NAME_1, state 7,
// absolute path, NAME.trans when present).
std::vector<plugin_def> definitions_from_directory(std::string const& dir);

// The files of one unpacked package and the locked directory they are in.
// Entries are made by checker threads and read by the GUI thread, always
// under plugin_def::m_plugins_mtx; each lives until remove_all (called just
// before the program ends, since the program leaves by _exit) or the end of
// the process.
class plugin_extracted {
public:
    plugin_extracted(std::set<std::string> files, std::string library, rulo::lock_directory* directory);
    // Deletes every file of the set, then the directories unpacking made
    // below the locked one (deepest first, only when empty), then releases
    // the lock (which removes the locked directory when it made it and it is
    // empty). Never throws.
    virtual ~plugin_extracted();
    plugin_extracted(plugin_extracted const&) = delete;
    plugin_extracted& operator=(plugin_extracted const&) = delete;

    static void add_extracted(std::string const& full_name, std::string const& library,
                              std::set<std::string> const& files, rulo::lock_directory* directory);
    // The library path of an unpacked full name, or "".
    static std::string library_file(std::string const& full_name);
    // Registers files a plugin made, to be deleted with its unpacked files;
    // false when full_name was never unpacked.
    static bool add_plugin_file(std::string const& full_name, std::set<std::string> const& files);
    // Empties the table, deleting every entry's files and directories.
    static void remove_all();

    std::set<std::string> m_files;
    std::string m_library;
    rulo::object<rulo::lock_directory> m_directory;

    static std::map<std::string, rulo::object<plugin_extracted>> m_extracted_libs;
};

} // namespace tovan
