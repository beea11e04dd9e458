#include "tovan/plugins/plugin_translations.h"

#include "rulo/lock.h"

namespace tovan {

translation_rpc control_translation_rpc(std::function<rulo::object<vyn::control_rpc>()> get) {
    return {[get](std::vector<std::string> const& t) {
                rulo::object<vyn::control_rpc> rpc = get();
                if (!rpc || t.size() != 7) throw rulo::exception::function("translation_dl_start");
                return rpc->co_get_translations_start(t[0], t[1], t[2], t[3], t[4], t[5], t[6]);
            },
            [get](rulo::object<rulo::rpcWrapper::sCall> call, long limit_s) {
                rulo::object<vyn::control_rpc> rpc = get();
                if (!rpc) throw rulo::exception::function("translation_dl_finish");
                return rpc->co_get_translations_end(call, limit_s);
            }};
}

void plugin_translations::start(translation_rpc const& rpc, plugin_def const& entry) {
    rulo::rulo_lock_guard lock;
    std::string const full = entry.get_full_name();
    if (m_translation_requests.count(full) || !entry.take("tr_downloaded").empty()) return;
    try {
        auto call = rpc.start({"Tovan", "Tovan", entry.get_name(), entry.get_tversion(),
                               entry.get_translations(true), entry.get_platform(), "lzma"});
        if (!call) return;
        m_translation_requests[full] = call;
        m_log("starting plugin translation download " + full);
    } catch (...) {
        // no call stored: the next check asks again
    }
}

void plugin_translations::finish(translation_rpc const& rpc, plugin_def& entry, long limit_s) {
    rulo::object<rulo::rpcWrapper::sCall> call;
    {
        rulo::rulo_lock_guard lock;
        auto it = m_translation_requests.find(entry.get_full_name());
        if (it == m_translation_requests.end()) return;
        call = it->second;
        m_translation_requests.erase(it);
    }
    try {
        netbuf const answer = rpc.finish(call, limit_s);
        if (entry.save_translations(answer.to_string())) entry.definition["tr_downloaded"] = "true";
    } catch (...) {
        m_log("no translations for " + entry.get_full_name() + " (no answer in time or a failed call)");
    }
}

void plugin_translations::clear() {
    rulo::rulo_lock_guard lock;
    m_translation_requests.clear();
}

bool plugin_translations::pending(std::string const& full_name) const {
    rulo::rulo_lock_guard lock;
    return m_translation_requests.count(full_name) != 0;
}

} // namespace tovan
