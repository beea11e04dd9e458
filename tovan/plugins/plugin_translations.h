// Plugins' own translation texts: one request to the server per plugin full
// name while its package is checked, the answer stored in the home cache
// beside the package (plugin_def::save_translations).
//
// The dialog owns one plugin_translations. start() runs on the thread that
// sets up a checker (the GUI thread), finish() on that checker's thread;
// the table of pending calls is read and changed only under the framework
// lock (rulo::rulo_lock_guard), never held while waiting for the server. A
// failure anywhere is swallowed: the plugin is used without its texts, and
// the next check of the same entry asks again.
#pragma once

#include "tovan/plugins/plugin_def.h"

#include "tovan/session/control_rpc.h"

#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tovan {

// The two halves of the control call: start with its seven texts, and wait
// for its answer up to a limit in seconds. Either may throw.
struct translation_rpc {
    std::function<rulo::object<rulo::rpcWrapper::sCall>(std::vector<std::string> const& texts)> start;
    std::function<netbuf(rulo::object<rulo::rpcWrapper::sCall> call, long limit_s)> finish;
};

// The pair over the control RPC of the moment (get() may give none: the call then fails).
translation_rpc control_translation_rpc(std::function<rulo::object<vyn::control_rpc>()> get);

class plugin_translations {
public:
    // How long a checker waits for an answer before it goes on without one.
    static constexpr long answer_limit_s = 30;

    using log_sink = std::function<void(std::string const&)>;

    explicit plugin_translations(log_sink log) : m_log(std::move(log)) {}

    // Asks for the entry's translations unless a call for its full name is
    // pending or the entry already has them ("tr_downloaded"). Takes the
    // framework lock.
    void start(translation_rpc const& rpc, plugin_def const& entry);
    // Waits (at most limit_s) for the answer of the entry's pending call and
    // stores it; marks the entry "tr_downloaded" when that worked. Blocks;
    // takes the framework lock only to take the call out.
    void finish(translation_rpc const& rpc, plugin_def& entry, long limit_s = answer_limit_s);
    // Forgets every pending call (a new catalogue, a stopped session).
    void clear();
    bool pending(std::string const& full_name) const;

private:
    log_sink m_log;
    // By full name; under the framework lock.
    std::map<std::string, rulo::object<rulo::rpcWrapper::sCall>> m_translation_requests;
};

} // namespace tovan
