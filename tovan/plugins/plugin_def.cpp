#include "tovan/plugins/plugin_def.h"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

namespace tovan {

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
        plugin_def def;
        def.name = name;
        def.full_name = name + "_1";
        def.state = 7;
        def.info.emplace("version", std::string(1, '1'));
        def.library_path = base + "/" + name + ".so";
        std::string const trans = base + "/" + name + ".trans";
        struct stat st {};
        if (stat(trans.c_str(), &st) == 0 && S_ISREG(st.st_mode)) def.trans_path = trans;
        defs.push_back(std::move(def));
    }
    return defs;
}

} // namespace tovan
