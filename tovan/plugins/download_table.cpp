#include "tovan/plugins/download_table.h"

#include "rulo/errlog.h"
#include "rulo/lock.h"
#include "rulo/text.h"

namespace tovan {

namespace {

std::uint64_t size_of(plugin_def const& def) {
    std::string const s = def.take("size");
    return s.empty() || s[0] == '-' ? 0 : std::strtoull(s.c_str(), nullptr, 10);
}

} // namespace

std::string download_table::partial_key(plugin_def const& def) {
    return def.get_full_name() + "\n" + def.take("signature") + "\n" + std::to_string(size_of(def));
}

void download_table::set_downloader(rulo::object<plugin_downloader> downloader) {
    rulo::rulo_lock_guard lock;
    m_downloader = std::move(downloader);
}

void download_table::start_download(void (*callback)(void*, int), void* context, plugin_def const& def,
                                    std::function<void(std::string const&)> const& log) {
    std::string const ticket = def.take("download_ticket");
    std::uint64_t const size = size_of(def);
    rulo::rulo_lock_guard lock;
    download_struct record;
    record.callback = callback;
    record.context = context;
    std::string const key = partial_key(def);
    if (auto kept = m_partial_downloads.find(key); kept != m_partial_downloads.end()) {
        record.data = std::move(kept->second);
        m_partial_downloads.erase(kept);
    }
    if (record.data.size() > size) {
        log("dropping " + std::to_string(record.data.size()) + " kept bytes of " + def.get_full_name() +
            ": more than its size");
        record.data.clear();
    }
    rulo::errlog("CVYNDialog::start_download", true)
        .log(0, (rulo::fmt("downloading plugin %1% (skip:%2%)") % ticket % record.data.size()).str());
    try {
        if (!m_downloader) throw rulo::exception::function("start_download");
        m_downloader->download(ticket, size, record.data.size());
    } catch (...) {
        if (!record.data.empty()) m_partial_downloads[key] = std::move(record.data);
        throw;
    }
    m_downloads[ticket] = std::move(record);
}

void download_table::remove_download(std::string const& ticket) {
    try {
        rulo::rulo_lock_guard lock;
        m_downloads.erase(ticket);
        if (m_downloader) m_downloader->cancel(ticket);
    } catch (...) {
        // the connection is gone: nothing runs any more
    }
}

bool download_table::find(std::string const& ticket, download_struct& out) const {
    rulo::rulo_lock_guard lock;
    auto it = m_downloads.find(ticket);
    if (it == m_downloads.end()) return false;
    out = it->second;
    return true;
}

void download_table::keep_partial(plugin_def const& def, std::string data) {
    rulo::rulo_lock_guard lock;
    if (!data.empty()) m_partial_downloads[partial_key(def)] = std::move(data);
}

std::size_t download_table::kept_length(plugin_def const& def) const {
    rulo::rulo_lock_guard lock;
    auto it = m_partial_downloads.find(partial_key(def));
    return it == m_partial_downloads.end() ? 0 : it->second.size();
}

void download_table::packet(std::string const& ticket, std::string const& bytes) {
    rulo::rulo_lock_guard lock;
    rulo::errlog("download_reader", true).log(0, (rulo::fmt("got %1%") % bytes.size()).str());
    if (m_life_sign) m_life_sign();
    auto it = m_downloads.find(ticket);
    if (it == m_downloads.end()) return;
    it->second.data += bytes;
    if (it->second.callback) it->second.callback(it->second.context, int(bytes.size()));
}

void download_table::finished(std::string const& ticket, char const* status, std::string const& error) {
    rulo::rulo_lock_guard lock;
    auto it = m_downloads.find(ticket);
    if (it == m_downloads.end()) return;
    it->second.status = status;
    if (!error.empty()) it->second.error = error;
    if (it->second.callback) it->second.callback(it->second.context, 0);
}

void download_reader::download_packet(std::string ticket, netbuf const& bytes) {
    m_table.packet(ticket, bytes.to_string());
}

void download_reader::download_error(std::string ticket, std::string text) {
    m_table.finished(ticket, "DlError", text);
}

void download_reader::download_cancelled(std::string ticket) {
    m_table.finished(ticket, "Cancelled", "");
}

void download_reader::download_complete(std::string ticket) {
    m_table.finished(ticket, "Done", "");
}

void sr_downloader::download(std::string const& ticket, std::uint64_t size, std::uint64_t skip) {
    m_downloader->download(ticket, size, skip);
}

void sr_downloader::cancel(std::string const& ticket) {
    m_downloader->cancel(ticket);
}

} // namespace tovan
