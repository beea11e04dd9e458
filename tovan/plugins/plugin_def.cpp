#include "tovan/plugins/plugin_def.h"

#include "rulo/archive.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/kv_container.h"
#include "rulo/packet.h"
#include "rulo/xfile.h"

#include <QDir>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

namespace tovan {

rulo::rec_mutex plugin_def::m_plugins_mtx;
std::map<std::string, rulo::object<plugin_extracted>> plugin_extracted::m_extracted_libs;

namespace {

void debug_log(std::string const& text) {
    rulo::errlog("plugin_def", true).log(0, text);
}

// Writes bytes to path through a temporary file beside it that is renamed
// into place: another process reading path sees the old file or the new one.
bool replace_file(std::string const& path, std::string const& bytes) {
    std::string temp = path + ".XXXXXX";
    int const fd = ::mkstemp(temp.data()); // mode 0600
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t const n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    bool const ok = ::close(fd) == 0 && done == bytes.size() && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

// The whole file, refused before reading when it is not a regular file or
// larger than a package may be (everything is held in memory).
void read_package_file(std::string const& path, std::string& out) {
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw rulo::exception::function("kv_load_file");
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) > rulo::kv_max_file_size) {
        ::close(fd);
        throw rulo::exception::function("kv_load_file");
    }
    out.resize(size_t(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        ssize_t const n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    out.resize(done); // a file cut meanwhile gives what was there
}

std::string full_name_of(plugin_record const& record) {
    auto const get = [&](char const* key) {
        auto it = record.find(key);
        return it == record.end() ? std::string() : it->second;
    };
    std::string name = get("name") + "_" + get("version");
    if (std::string const branch = get("branch"); !branch.empty()) name += "_" + branch;
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}

} // namespace

plugin_def::plugin_def(plugin_record const& record) : definition(record) {
    if (auto_start()) definition["auto_dl"] = "true";
}

plugin_def::plugin_def(std::string const& text, bool is_file) {
    if (is_file) {
        read_package_file(text, package);
    } else {
        package = text;
    }
    rulo::kv_load_content(package, definition, &payload);
}

std::string plugin_def::take(std::string const& key) const {
    auto it = definition.find(key);
    return it == definition.end() ? std::string() : it->second;
}

std::string plugin_def::get_full_name(plugin_record const& record) {
    return full_name_of(record);
}

void plugin_def::link_definition(plugin_record const& from, plugin_record& to) {
    auto it = from.find("auto_start");
    if (it != from.end() && it->second == "true") to["auto_start"] = "true";
}

void plugin_def::update_def(plugin_def const& other) {
    for (auto const& [key, value] : other.definition) definition.emplace(key, value);
    link_definition(other.definition, definition);
    payload = other.payload;
    state = other.state;
}

plugin_def* plugin_def::prepare_plugin(std::string const& text, bool is_file, plugin_record const& record,
                                       std::string& message, bool save) {
    try {
        auto def = std::make_unique<plugin_def>(text, is_file);
        debug_log("checking signature");
        auto const record_signature = record.find("signature");
        if (record_signature == record.end() || def->take("signature") != record_signature->second) {
            message += "Plugin \"" + def->get_full_name();
            if (std::string const server = full_name_of(record); server != def->get_full_name())
                message += "(" + server + ")";
            message += "\" not used due to mismatch in signature.\r\n";
            return nullptr;
        }
        if (!def->verify_sig()) {
            message += "Plugin \"" + def->get_full_name() + "\" not used due to invalid signature.\r\n";
            return nullptr;
        }
        // The package is the one the record lists; from here on it goes by the
        // record's names, which the catalogue, the loading and the
        // translations use.
        for (char const* key : {"name", "version", "branch", "platform"}) {
            auto it = record.find(key);
            if (it != record.end())
                def->definition[key] = it->second;
            else
                def->definition.erase(key);
        }
        if (!def->extract_plugin(&save)) return nullptr;
        debug_log("saving");
        if (save) def->save_plugin();
        return def.release();
    } catch (...) {
        return nullptr;
    }
}

bool plugin_def::verify_sig() const {
    std::string const key(reinterpret_cast<char const*>(public_raw), public_raw_len);
    return rulo::kv_verify(key, definition, &payload);
}

bool plugin_def::extract_plugin(bool* save) {
    std::string const full = get_full_name();
    auto const already = [&] {
        state = 7;
        if (save) *save = false;
        return true;
    };
    // One lock with the loading: a library open moves the working directory
    // and runs lib_init, and neither may meet files being unpacked.
    rulo::rec_lock guard(m_plugins_mtx);
    if (!plugin_extracted::library_file(full).empty()) return already();
    std::set<std::string> files;
    rulo::lock_directory* directory = rulo::extract_lz_files_ex(get_root(false), payload, &files);
    if (!directory) return false;
    state = 9;
    std::string suffix = take("lib");
    if (suffix.empty()) suffix = ".so";
    for (auto const& path : files) {
        if (path.size() < suffix.size() ||
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        state = 7;
        plugin_extracted::add_extracted(full, path, files, directory);
        return true;
    }
    // No library: nothing of the package stays on disk.
    plugin_extracted refused(files, "", directory);
    return false;
}

bool plugin_def::save_plugin() const {
    if (!has_safe_cache_name()) return false;
    return replace_file(get_plugin_path(get_root(true), "plugin"), package);
}

std::string plugin_def::get_root(bool home) {
    if (!home) return start_directory().empty() ? QDir::currentPath().toStdString() : start_directory();
    std::string const root = QDir::homePath().toStdString() + "/.dravo";
    ::mkdir(root.c_str(), 0700); // an existing directory keeps its mode; a failure shows later
    return root;
}

std::string plugin_def::get_plugin_path(std::string const& root, std::string const& extension) const {
    return root + "/" + get_full_name() + "_" + get_platform() + "." + extension;
}

bool plugin_def::has_safe_cache_name() const {
    std::string const full = get_full_name(), platform = get_platform();
    bool const bad = full.find_first_of(std::string("/\0", 2)) != std::string::npos ||
                     platform.find_first_of(std::string("/\0", 2)) != std::string::npos ||
                     platform.find("..") != std::string::npos;
    if (bad) debug_log("no cache file for plugin " + full + ": unsafe name or platform");
    return !bad;
}

std::string plugin_def::get_translations(bool identifier_only) const {
    try {
        if (!has_safe_cache_name()) return {};
        std::string content;
        rulo::get_file(content, get_plugin_path(get_root(true), "trans"));
        std::string identifier;
        rulo_packet_pop(content, identifier);
        return identifier_only ? identifier : content;
    } catch (...) {
        return {};
    }
}

bool plugin_def::save_translations(std::string const& answer) const {
    debug_log("saving translations for " + get_name() + "(size=" + std::to_string(answer.size()) + ")");
    if (answer.empty()) return true;
    try {
        std::string rest = answer, identifier;
        rulo_packet_pop(rest, identifier);
        if (identifier.empty() || rest.empty()) return true;
        std::string text;
        if (!rulo::extract_lz_buffer(rest, text)) return false;
        rulo_packet_push(text, identifier);
        debug_log("valid (size=" + std::to_string(text.size()) + ")");
        if (!has_safe_cache_name()) return false;
        return replace_file(get_plugin_path(get_root(true), "trans"), text);
    } catch (...) {
        return false;
    }
}

std::string plugin_def::get_tversion() const {
    std::string const v = take("tversion");
    return v.empty() ? "1" : v;
}

plugin_extracted::plugin_extracted(std::set<std::string> files, std::string library,
                                   rulo::lock_directory* directory)
    : m_files(std::move(files)), m_library(std::move(library)), m_directory(directory) {}

plugin_extracted::~plugin_extracted() {
    std::string const top = m_directory ? m_directory->get_directory() : std::string();
    std::set<std::string> directories;
    for (auto const& path : m_files) {
        ::unlink(path.c_str());
        if (top.empty() || path.compare(0, top.size() + 1, top + "/") != 0) continue;
        for (auto slash = path.rfind('/'); slash != std::string::npos && slash > top.size();
             slash = path.rfind('/', slash - 1))
            directories.insert(path.substr(0, slash));
    }
    std::vector<std::string> deepest_first(directories.begin(), directories.end());
    std::sort(deepest_first.begin(), deepest_first.end(), [](std::string const& a, std::string const& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    for (auto const& dir : deepest_first) ::rmdir(dir.c_str());
    m_directory.reset();
}

void plugin_extracted::add_extracted(std::string const& full_name, std::string const& library,
                                     std::set<std::string> const& files, rulo::lock_directory* directory) {
    rulo::rec_lock guard(plugin_def::m_plugins_mtx);
    m_extracted_libs[full_name] =
        rulo::object<plugin_extracted>(new plugin_extracted(files, library, directory));
}

std::string plugin_extracted::library_file(std::string const& full_name) {
    rulo::rec_lock guard(plugin_def::m_plugins_mtx);
    auto it = m_extracted_libs.find(full_name);
    return it == m_extracted_libs.end() ? std::string() : it->second->m_library;
}

bool plugin_extracted::add_plugin_file(std::string const& full_name, std::set<std::string> const& files) {
    rulo::rec_lock guard(plugin_def::m_plugins_mtx);
    auto it = m_extracted_libs.find(full_name);
    if (it == m_extracted_libs.end()) return false;
    it->second->m_files.insert(files.begin(), files.end());
    return true;
}

void plugin_extracted::remove_all() {
    std::map<std::string, rulo::object<plugin_extracted>> table;
    {
        rulo::rec_lock guard(plugin_def::m_plugins_mtx);
        table.swap(m_extracted_libs);
    }
    table.clear();
}

std::string plugin_def::library_path() const {
    return library_file.empty() ? plugin_extracted::library_file(get_full_name()) : library_file;
}

std::vector<plugin_def> definitions_from_directory(std::string const& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string const file = e->d_name;
            if (file.size() <= 3 || file.compare(file.size() - 3, 3, ".so") != 0) continue;
            struct stat st {};
            if (stat((dir + "/" + file).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            names.push_back(file.substr(0, file.size() - 3));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    char resolved[PATH_MAX];
    std::string const base = realpath(dir.c_str(), resolved) ? std::string(resolved) : dir;
    std::vector<plugin_def> defs;
    for (auto const& name : names) {
        plugin_def def(plugin_record{{"name", name}, {"version", "1"}});
        def.state = plugin_def::state_prepared;
        def.library_file = base + "/" + name + ".so";
        std::string const trans = base + "/" + name + ".trans";
        struct stat st {};
        if (stat(trans.c_str(), &st) == 0 && S_ISREG(st.st_mode)) def.translation_file = trans;
        defs.push_back(std::move(def));
    }
    return defs;
}

} // namespace tovan
