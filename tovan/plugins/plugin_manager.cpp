#include "tovan/plugins/plugin_manager.h"

#include "rulo/kv_container.h"
#include "rulo/packet.h"

#include <algorithm>
#include <cstdlib>

namespace tovan {

namespace {

std::int64_t size_of(plugin_def const& def) {
    std::string const s = def.take("size");
    if (s.empty() || s[0] == '-') return 0;
    return std::int64_t(std::strtoull(s.c_str(), nullptr, 10) & INT64_MAX);
}

// A record is known by its full name and signature together: a record that
// carries another package's signature must not take over that package's
// result (and leave its own look-up waiting for ever).
std::string record_key(plugin_record const& record) {
    auto const signature = record.find("signature");
    return plugin_def::get_full_name(record) + "\n" + (signature == record.end() ? "" : signature->second);
}

plugin_def* find_by_record(std::vector<plugin_def>& defs, std::string const& key) {
    for (auto& d : defs)
        if (record_key(d.definition) == key) return &d;
    return nullptr;
}

} // namespace

std::string download_status_message(std::int64_t total, std::int64_t done) {
    std::string message = "module_plugin_download ";
    rulo_packet_push(message, done, total);
    return message;
}

bool read_download_status(std::string payload, std::int64_t& total, std::int64_t& done) {
    try {
        std::int64_t t = 0, d = 0;
        rulo_packet_pop(payload, t);
        rulo_packet_pop(payload, d);
        total = t;
        done = d;
        return true;
    } catch (...) {
        return false;
    }
}

plugin_manager::plugin_manager(plugin_manager_host& host, download_table& downloads)
    : m_host(host), m_downloads(downloads) {
    m_progress[0] = {};
}

plugin_manager::~plugin_manager() = default;

void plugin_manager::notify_function(void* context, int bytes) {
    auto* self = static_cast<plugin_manager*>(context);
    self->m_host.post([self, bytes] { self->update_plugins(0, bytes); });
}

void plugin_manager::new_session() {
    m_host.log("a new session: plugin downloads get their tries again");
    m_attempts.clear();
    m_resumed.clear();
}

std::int64_t plugin_manager::bytes_to_come(std::vector<plugin_def> const& defs,
                                           std::function<std::int64_t(plugin_def const&)> const& here) {
    auto rest = [&](plugin_def const& d) { return std::max<std::int64_t>(size_of(d) - here(d), 0); };
    std::int64_t sum = 0;
    std::set<std::string> taken;
    for (auto const& d : defs) {
        if (d.state == 2 || d.state == 3) sum += rest(d);
        if (d.state == 2 || d.state == 3 || d.state == 4 || d.state == 7) taken.insert(d.get_name());
    }
    for (auto const& d : defs)
        if (d.state == 1 && taken.insert(d.get_name()).second) sum += rest(d);
    return sum;
}

plugin_manager::download_data plugin_manager::next_round(download_data round, std::int64_t to_come) {
    if (to_come > std::max<std::int64_t>(round.total - round.done, 0))
        return download_data{-1, 0, to_come, 0};
    if (round.done + to_come != round.total) {
        round.total = round.done + to_come;
        round.shift = -1;
    }
    return round;
}

std::pair<int, int> plugin_manager::bar_steps(download_data& e) {
    if (e.shift == -1) {
        e.shift = 0;
        while (e.total > 0 && (e.total >> e.shift) >= max_bar_steps + 1) ++e.shift;
    }
    std::int64_t const total = std::max<std::int64_t>(e.total, 0);
    std::int64_t const done = std::clamp<std::int64_t>(e.done, 0, total);
    int const range = int(total >> e.shift);
    int value = int(done >> e.shift);
    // A step is 2^shift bytes: the last one shows once its last byte is here.
    if (done < total && value == range && range > 0) --value;
    return {range, value};
}

std::int64_t plugin_manager::update_dl_sizes() {
    std::int64_t const to_come = bytes_to_come(m_host.plugin_defs(), [this](plugin_def const& d) {
        return d.state == 3 ? m_running_here : std::int64_t(m_downloads.kept_length(d));
    });
    auto const own = m_progress.find(0);
    if (own == m_progress.end() && to_come == 0) return 0;
    download_data& e = m_progress[0];
    e = next_round(e, to_come);
    if (e.total != 0) update_progress_bar(0);
    return to_come;
}

void plugin_manager::start_downloads() {
    m_start_failed.clear();
    std::int64_t const to_come = update_dl_sizes();
    if (to_come == 0) return;
    download_data const& own = m_progress[0];
    if (m_host.is_client()) m_host.send_download_status(own.total, own.done);
    if (!m_busy) prepare_next_download();
}

bool plugin_manager::prepare_next_download() {
    m_busy = false;
    auto& defs = m_host.plugin_defs();
    for (std::size_t i = 0; i < defs.size(); ++i) {
        plugin_def& d = defs[i];
        if (d.state == 2 || d.state == 3) {
            m_busy = true;
            break;
        }
        if (d.state != 1 || m_start_failed.count(record_key(d.definition))) continue;
        bool other_under_way = false;
        for (std::size_t j = 0; j < defs.size(); ++j)
            if (j != i && defs[j].get_name() == d.get_name() &&
                (defs[j].state == 2 || defs[j].state == 3 || defs[j].state == 4 || defs[j].state == 7))
                other_under_way = true;
        if (other_under_way) continue;
        ++m_running_checkers;
        m_busy = true;
        d.state = 2;
        start_checker(d, nullptr);
        return true;
    }
    if (!m_busy && m_host.is_client()) m_host.send_download_status(-1, -1);
    return m_busy;
}

void plugin_manager::start_checker(plugin_def const& def, download_struct const* finished) {
    m_host.translations_start(def);
    auto* checker = new checker_thread(m_host, def, finished);
    checker->m_manager = this;
    try {
        checker->detach();
    } catch (...) {
        // No thread: the result (none) is handled at once, as a checker would hand it over.
        delete checker;
        m_host.log("cannot start a checker for " + def.get_full_name());
        --m_running_checkers;
        for (auto& d : m_host.plugin_defs())
            if (record_key(d.definition) == record_key(def.definition) && (d.state == 2 || d.state == 4))
                d.state = 1;
        m_start_failed.insert(record_key(def.definition));
    }
}

void plugin_manager::update_prep_plugins(checker_thread* checker) {
    --m_running_checkers;
    bool prepared = false;
    std::string error_text;
    std::string const key = record_key(checker->m_record);
    if (plugin_def* def = find_by_record(m_host.plugin_defs(), key)) {
        std::string const full = def->get_full_name();
        auto give_up = [&](std::string const& reason) {
            def->state = 9;
            error_text += reason;
            if (!m_host.is_loaded(def->get_name())) m_host.enable_plugin_button(def->get_name(), false);
        };
        if (checker->m_result) {
            m_host.log("prepared plugin " + full);
            def->update_def(*checker->m_result);
            prepared = true;
            m_resumed.erase(key);
            auto const own = m_progress.find(0);
            if (checker->m_from_cache && own != m_progress.end())
                update_download_status(own->second.total, own->second.done + size_of(*def), 0);
        } else if (checker->m_from_cache) {
            if (def->state != 2) {
                m_host.log("ignoring plugin transfer " + full);
            } else if (std::uint64_t(size_of(*def)) > rulo::kv_max_file_size) {
                m_host.log("plugin " + full + " is larger than a package may be");
                give_up("Plugin \"" + full + "\" not used: its package is larger than 256 MiB.\r\n");
            } else {
                m_host.show_window(true);
                try {
                    std::int64_t const kept = std::int64_t(m_downloads.kept_length(*def));
                    m_downloads.start_download(notify_function, this, *def,
                                               [this](std::string const& l) { m_host.log(l); });
                    // Kept bytes longer than the package are dropped: it comes whole.
                    m_running_here = kept <= size_of(*def) ? kept : 0;
                    if (kept != 0) m_resumed.insert(key);
                    def->state = 3;
                    m_host.log("starting plugin transfer " + full);
                } catch (...) {
                    m_host.log(full + "  DlError retrying2");
                    def->state = 1;
                    m_start_failed.insert(key); // until the next start_downloads
                }
            }
        } else if (checker->m_status == "DlError") {
            if (checker->m_error == rulo::SRDownloader::connection_broken ||
                ++m_attempts[key] < max_attempts) {
                def->state = 1;
                m_host.log(full + "  DlError retrying");
            } else {
                m_host.log("unable to download plugin " + full);
                give_up("Plugin \"" + full + "\" not downloaded: " + checker->m_error + ".\r\n");
            }
        } else if (checker->m_status.empty() && m_resumed.erase(key)) {
            // Bytes kept from an earlier attempt may not belong to this package: once more from the start.
            def->state = 1;
            m_host.log(full + " failed its check after resuming; fetching it again from the start");
        } else {
            m_host.log("unable to extract plugin " + full);
            give_up(checker->m_error);
        }
    } else {
        // The catalogue it was started for is gone (the session stopped, or
        // a new one came): nothing of it is prepared or loaded.
        m_host.log("dropping the check of plugin " + plugin_def::get_full_name(checker->m_record) +
                   ": no longer in the catalogue");
    }
    // A package found, given up or to be fetched again changes what is left.
    update_dl_sizes();
    if (m_host.has_network()) {
        prepare_next_download();
    } else {
        // Without a connection nothing new starts; what is no longer under
        // way must not keep the next start_downloads (on the next connection)
        // from starting again.
        m_busy = false;
        for (auto const& d : m_host.plugin_defs())
            if (d.state == 2 || d.state == 3) m_busy = true;
    }
    if (prepared) m_host.handle_command("module_plugin_load");
    hide_when_idle();
    checker->m_handled.post();
    if (!error_text.empty()) {
        plugin_manager_host* host = &m_host;
        m_host.post([host, error_text] { host->message_box(error_text, "Error"); });
    }
}

void plugin_manager::update_plugins(int id, int bytes) {
    if (id >= 0 && bytes != 0) {
        // Progress of an entry that is gone (all its bytes counted) has no bar to go to.
        if (auto own = m_progress.find(0); own != m_progress.end()) {
            own->second.done += bytes;
            m_running_here += bytes;
            update_progress_bar(0);
            if (m_busy && m_host.is_client() && own->second.done - own->second.last_sent > 30000) {
                m_host.send_download_status(own->second.total, own->second.done);
                own->second.last_sent = own->second.done;
            }
        }
    }
    bool changed = false;
    auto& defs = m_host.plugin_defs();
    for (std::size_t i = 0; i < defs.size(); ++i) {
        plugin_def& d = defs[i];
        if (d.state != 3) continue;
        std::string const ticket = d.take("download_ticket");
        download_struct record;
        if (!m_downloads.find(ticket, record)) {
            d.state = 9;
            changed = true;
            continue;
        }
        if (record.status.empty()) continue;
        d.state = 4;
        changed = true;
        if (record.status == "DlError" && record.error == rulo::SRDownloader::connection_broken)
            m_downloads.keep_partial(d, record.data);
        ++m_running_checkers;
        start_checker(d, &record);
        m_downloads.remove_download(ticket);
    }
    if (changed) prepare_next_download();
}

void plugin_manager::update_progress_bar(int id) {
    auto it = m_progress.find(id);
    if (it == m_progress.end()) return;
    auto const [range, value] = bar_steps(it->second);
    m_host.set_bar(id, range, value);
}

void plugin_manager::update_download_status(std::int64_t total, std::int64_t done, int id) {
    if (total != done && done != -1) {
        auto [it, made] = m_progress.try_emplace(id, download_data{-1, 0, total, 0});
        if (it->second.total != total) {
            it->second.total = total;
            it->second.shift = -1;
        }
        it->second.done = done;
        update_progress_bar(id);
        // The remote end's report never hides this end's own download.
        if (id != 0 && !m_busy && m_running_checkers == 0) m_host.show_window(false);
        (void)made;
        return;
    }
    if (m_progress.erase(id) && id != 0) m_host.remove_bar(id);
    hide_when_idle();
}

void plugin_manager::cancel_all() {
    for (auto& d : m_host.plugin_defs()) {
        if (d.state != 3) continue;
        m_downloads.remove_download(d.take("download_ticket"));
        d.state = 0;
    }
    // The round ends with the connection; the next one counts afresh.
    m_progress.erase(0);
    if (m_running_checkers == 0) m_busy = false;
}

void plugin_manager::hide_when_idle() {
    if (m_progress.size() <= 1 && m_running_checkers == 0 && !m_busy) m_host.show_window(false);
}

checker_thread::checker_thread(plugin_manager_host& host, plugin_def const& def,
                               download_struct const* finished)
    : rulo::thread(true, "", 0), m_record(def.get_info()), m_host(host) {
    if (def.has_safe_cache_name()) {
        m_home_path = def.get_plugin_path(plugin_def::get_root(true), "plugin");
        m_cwd_path = def.get_plugin_path(plugin_def::get_root(false), "plugin");
    }
    if (finished) {
        m_download = *finished;
        m_from_cache = false;
    }
}

checker_thread::~checker_thread() = default;

void checker_thread::run() {
    try {
        if (m_from_cache) {
            if (!m_home_path.empty())
                m_result.reset(plugin_def::prepare_plugin(m_home_path, true, m_record, m_error, false));
            if (!m_result && !m_cwd_path.empty())
                m_result.reset(plugin_def::prepare_plugin(m_cwd_path, true, m_record, m_error, true));
        } else if (m_download.status == "Done") {
            m_result.reset(plugin_def::prepare_plugin(m_download.data, false, m_record, m_error, true));
        } else {
            m_status = m_download.status;
            m_error = m_download.error;
        }
    } catch (...) {
        m_result.reset();
    }
    if (!m_error.empty())
        m_host.log("checker error for plugin " + plugin_def::get_full_name(m_record) + " error :" + m_error);
    else if (m_result)
        m_host.translations_finish(*m_result);
    m_host.post([this] { m_manager->update_prep_plugins(this); });
    m_handled.wait();
    m_result.reset();
}

} // namespace tovan
