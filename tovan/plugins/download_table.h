// The running plugin downloads on "PLUGINS" and the bytes kept from ones a
// broken connection cut short.
//
// The dialog owns one download_table for the program's life. The GUI thread
// starts and removes downloads; the downloader reports through
// download_reader on its own thread (a socket poller thread, or the one that
// notices the broken channel). Every record is read and changed under the
// framework lock (rulo::rulo_lock_guard), which the reports hold while they
// call a record's callback: the callback must only hand the news on (the
// manager posts it to the GUI thread), never block or call back in.
//
// Kept bytes are filed under the package's full name, signature and size,
// so bytes of one package are never spliced onto another that was signed
// again under the same name.
#pragma once

#include "tovan/plugins/plugin_def.h"

#include "rulo-rpt/rpc/SRDownloader.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace tovan {

// The downloader as the table drives it: the framework's SRDownloader on the
// current connection, or a stand-in. Called under the framework lock; either
// call may throw (no connection, a skip beyond the size).
class plugin_downloader {
public:
    virtual ~plugin_downloader() = default;
    virtual void download(std::string const& ticket, std::uint64_t size, std::uint64_t skip) = 0;
    virtual void cancel(std::string const& ticket) = 0;
};

// One running download.
struct download_struct {
    void (*callback)(void* context, int bytes) = nullptr; // after every change, under the framework lock
    void* context = nullptr;
    std::string data;   // bytes so far, starting with the kept ones
    std::string error;  // the downloader's error text
    std::string status; // "" while running, then "Done", "Cancelled" or "DlError"
};

class download_table {
public:
    // Downloads count as signs of life for the connection watchdog.
    explicit download_table(std::function<void()> life_sign = {}) : m_life_sign(std::move(life_sign)) {}

    // The downloader of the current connection (null: none).
    void set_downloader(rulo::object<plugin_downloader> downloader);

    // Starts the download of def's package, resuming from kept bytes of the
    // same package. The kept bytes are taken out first; bytes longer than
    // the size are dropped, and when the downloader refuses they are put
    // back and its exception passes to the caller. Logs through log.
    void start_download(void (*callback)(void*, int), void* context, plugin_def const& def,
                        std::function<void(std::string const&)> const& log);
    // Forgets the ticket's record and cancels it on the downloader; never throws.
    void remove_download(std::string const& ticket);
    // A copy of the ticket's record; false when there is none.
    bool find(std::string const& ticket, download_struct& out) const;
    // Keeps bytes received before the connection broke, for the next start.
    void keep_partial(plugin_def const& def, std::string data);
    // The length kept for def's package (0: none).
    std::size_t kept_length(plugin_def const& def) const;

    // The downloader's reports (download_reader calls these).
    void packet(std::string const& ticket, std::string const& bytes);
    void finished(std::string const& ticket, char const* status, std::string const& error);

    // The key kept bytes are filed under: full name, signature and size.
    static std::string partial_key(plugin_def const& def);

private:
    std::function<void()> m_life_sign;
    rulo::object<plugin_downloader> m_downloader;           // under the framework lock
    std::map<std::string, download_struct> m_downloads;     // by ticket, under the framework lock
    std::map<std::string, std::string> m_partial_downloads; // by partial_key, under the framework lock
};

// The sink the framework's downloader reports to: hands each report to the
// table under the framework lock. Called on the downloader's thread.
class download_reader : public rulo::SRDownloaderSink {
public:
    explicit download_reader(download_table& table) : m_table(table) {}
    void download_packet(std::string ticket, netbuf const& bytes) override;
    void download_error(std::string ticket, std::string text) override;
    void download_cancelled(std::string ticket) override;
    void download_complete(std::string ticket) override;

private:
    download_table& m_table;
};

// The framework's SRDownloader behind plugin_downloader.
class sr_downloader : public plugin_downloader {
public:
    explicit sr_downloader(rulo::object<rulo::SRDownloader> downloader)
        : m_downloader(std::move(downloader)) {}
    void download(std::string const& ticket, std::uint64_t size, std::uint64_t skip) override;
    void cancel(std::string const& ticket) override;

private:
    rulo::object<rulo::SRDownloader> m_downloader;
};

} // namespace tovan
