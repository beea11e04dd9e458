#include "rulo/config_store.h"

#include "rulo/lock.h"
#include "rulo/text.h"
#include "rulo/url.h"
#include "rulo/xfile.h"

#include <QSettings>
#include <QString>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace xstd {
namespace {

// Made by init_storage and never freed; before that (and in a copy that never
// started) the store runs without a lock.
rulo::rec_mutex* g_mutex = nullptr;
// The ini store's directory ("" until chosen) and whether it may be written.
std::string g_ini_dir;
bool g_disk_writes = false;
std::map<std::string, std::string> g_overrides;

QString q(std::string const& bytes) {
    // Latin-1 maps every byte to one character and back, so any bytes
    // (UTF-8 included) come back out of the file exactly as they went in.
    return QString::fromLatin1(bytes.data(), int(bytes.size()));
}

std::string bytes(QString const& text) {
    QByteArray raw = text.toLatin1();
    return std::string(raw.constData(), size_t(raw.size()));
}

void create_directory_quietly(std::string const& path) {
    try {
        rulo::create_directory(path);
    } catch (...) {
    }
}

// The user's home directory: HOME when it holds an absolute path, else the
// password database's entry for the effective user, else "". Never a shared
// directory such as /tmp, where any local user could plant the files.
std::string home_directory() {
    char const* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? size_t(hint) : 16384);
    passwd entry;
    passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (rc == 0 && found && found->pw_dir && found->pw_dir[0] == '/') return found->pw_dir;
    return "";
}

// The ini store's directory for a name given to set_config_storage.
std::string user_data_dir(std::string const& name) {
    if (!name.empty() && name[0] == '/') return name;
    std::string base = home_directory();
    if (!base.empty()) {
        base += "/.dravo";
        create_directory_quietly(base);
    } else {
        char const* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string dir = base + "/sepra";
    create_directory_quietly(dir);
    if (!name.empty()) dir += "/" + name;
    return dir;
}

// The ini file; chooses the default directory on first use. Caller holds the mutex.
std::string ini_file_locked() {
    if (g_ini_dir.empty()) g_ini_dir = user_data_dir("");
    return g_ini_dir + "/storage.ini";
}

// The directory of a per-key location with its final "/"; "" for a location
// without a base (paths relative to the working directory). Sets available to
// false when the location should have a directory but this system has none.
std::string config_location_dir(StorageLocation where, bool& available) {
    available = true;
    if (where == storage_system) return "/etc/sepra/";
    if (where != storage_user) return "";
    std::string home = home_directory();
    available = !home.empty();
    return available ? home + "/.sepra/" : "";
}

// The key's URL-coded parts. urlencode keeps only letters, digits and "_" and
// codes every other byte ("." becomes "%2e"), so no part can be "." or ".."
// or hold a "/"; the check below keeps that true should the coder change.
bool split_config_key(std::string key, std::vector<std::string>& parts) {
    rulo::replace_all(key, "\\", "/");
    parts.clear();
    for (std::string const& raw : split("/", key)) {
        std::string part = rulo::urlencode(raw);
        if (part == "." || part == ".." || part.find('/') != std::string::npos) return false;
        parts.push_back(part);
    }
    if (parts.empty()) parts.push_back("_");
    return true;
}

} // namespace

std::string config_key_path(StorageLocation where, std::string const& key) {
    bool available;
    std::string dir = config_location_dir(where, available);
    std::vector<std::string> parts;
    if (!available || !split_config_key(key, parts)) return "";
    return dir + join("/", parts);
}

std::string get_config_string_ex(StorageLocation where, std::string const& key) {
    try {
        std::string path = config_key_path(where, key);
        if (path.empty()) return "";
        {
            rulo::rec_lock lock(g_mutex);
            auto found = g_overrides.find("ex_" + path);
            if (found != g_overrides.end()) return found->second;
        }
        std::string value;
        rulo::get_file(value, path);
        return value;
    } catch (...) {
        return "";
    }
}

void set_config_string_ex(StorageLocation where, std::string const& key, std::string const& value,
                          StorageType type) {
    try {
        bool available;
        std::string dir = config_location_dir(where, available);
        std::vector<std::string> parts;
        if (!available || !split_config_key(key, parts)) return;
        std::string path = dir + join("/", parts);
        if (type != storage_disk) {
            rulo::rec_lock lock(g_mutex);
            g_overrides["ex_" + path] = value;
            return;
        }
        // A memory override set earlier keeps shadowing what is written here.
        if (!dir.empty()) create_directory_quietly(dir);
        std::string leading = dir;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            leading += parts[i];
            create_directory_quietly(leading);
            leading += "/";
        }
        rulo::put_file(path, value);
    } catch (...) {
    }
}

std::string get_config_string(std::string const& group, std::string const& key, bool) {
    try {
        std::string file;
        {
            rulo::rec_lock lock(g_mutex);
            auto found = g_overrides.find(group + "_" + key);
            if (found != g_overrides.end()) return found->second;
            file = ini_file_locked();
        }
        QSettings settings(q(file), QSettings::IniFormat);
        if (!group.empty()) settings.beginGroup(q(group));
        std::string value = bytes(settings.value(q(key)).toString());
        if (!group.empty()) settings.endGroup();
        return value;
    } catch (...) {
        return "";
    }
}

void set_config_string(std::string const& group, std::string const& key, std::string const& value,
                       StorageType type, bool) {
    try {
        std::string file;
        {
            rulo::rec_lock lock(g_mutex);
            std::string name = group + "_" + key;
            if (type != storage_disk) {
                // An empty memory value lifts the override, so the file's value shows again.
                if (value.empty())
                    g_overrides.erase(name);
                else
                    g_overrides[name] = value;
                return;
            }
            g_overrides.erase(name);
            if (!g_disk_writes) return;
            file = ini_file_locked();
        }
        // The store holds saved passwords: private to the user before Qt
        // writes it (its replacement keeps the mode) and after.
        rulo::make_private_file(file);
        QSettings settings(q(file), QSettings::IniFormat);
        if (!group.empty()) settings.beginGroup(q(group));
        settings.setValue(q(key), q(value));
        if (!group.empty()) settings.endGroup();
        settings.sync();
        rulo::make_private_file(file);
    } catch (...) {
    }
}

void set_config_storage(std::string spec) {
    bool chosen = false;
    std::string name;
    for (std::string const& item : split(";", spec)) {
        size_t colon = item.find(':');
        if (item.substr(0, colon) != "disk") continue;
        chosen = true;
        // A second ":" ends the name: "disk:/a:b" names "/a".
        name =
            colon == std::string::npos ? "" : item.substr(colon + 1, item.find(':', colon + 1) - colon - 1);
    }
    std::string dir = chosen ? user_data_dir(name) : "";
    rulo::rec_lock lock(g_mutex);
    if (chosen) {
        g_ini_dir = dir;
        g_disk_writes = true;
    }
    ini_file_locked();
}

void init_storage() {
    if (!g_mutex) g_mutex = new rulo::rec_mutex;
}

} // namespace xstd
