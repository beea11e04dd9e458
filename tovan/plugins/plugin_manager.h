// The plugin download manager: takes the catalogue's wanted definitions one
// at a time through a cache look-up, a download on "PLUGINS" and a check,
// until each is prepared (7) or given up (9), and keeps the progress shown in
// the "Downloading plugins" window and reported to the remote end.
//
// Threads. The dialog owns one plugin_manager for the program's life; all
// of its operations run on the GUI thread, which is the only thread that
// changes definitions and their states. A checker_thread runs one look-up or
// check at a time on its own thread and hands its result to the GUI thread
// through the host's post(), then waits until update_prep_plugins has taken
// it over. The downloader's reports reach the manager through notify() on
// the downloader's thread, under the framework lock; notify only posts. A
// message box is posted too, so that it shows after the step that made it.
//
// Bounds: a package above the package size limit is refused before it is
// fetched; a download error other than a broken connection is retried at
// most 3 times per definition and session; a start that fails waits for the
// next start_downloads; a resumed download that fails its check is fetched
// once more from its start.
#pragma once

#include "tovan/plugins/download_table.h"
#include "tovan/plugins/plugin_def.h"

#include "rulo/semaphore.h"
#include "rulo/thread.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tovan {

class checker_thread;

// The message that reports this end's download progress to the remote end:
// "module_plugin_download " and a packet of done, then total (so the total
// is read first), in one buffer. (-1, -1): nothing left to fetch.
std::string download_status_message(std::int64_t total, std::int64_t done);
// Reads the payload after that prefix; false when it does not decode.
bool read_download_status(std::string payload, std::int64_t& total, std::int64_t& done);

// What the manager needs from the dialog. Called on the GUI thread, except
// post() and translations_finish(), which a checker thread calls.
class plugin_manager_host {
public:
    virtual ~plugin_manager_host() = default;
    virtual std::vector<plugin_def>& plugin_defs() = 0;
    virtual bool is_client() const = 0;
    virtual bool has_network() = 0;
    virtual bool is_loaded(std::string const& name) = 0;
    virtual void send_download_status(std::int64_t total, std::int64_t done) = 0;
    virtual void handle_command(std::string const& text) = 0;
    virtual void enable_plugin_button(std::string const& name, bool enable) = 0;
    virtual void log(std::string const& text) = 0;
    virtual void message_box(std::string const& text, std::string const& caption) = 0;
    // Runs job later on the GUI thread (queued, never inside the caller); any thread.
    virtual void post(std::function<void()> job) = 0;
    virtual void translations_start(plugin_def const& def) = 0;
    // On the checker thread: waits (bounded) for the texts of a prepared plugin.
    virtual void translations_finish(plugin_def& prepared) = 0;
    // The progress window: show or hide it, and one bar per id (0: this end,
    // 1: the remote end, made on first use) with its range and value.
    virtual void show_window(bool show) = 0;
    virtual void set_bar(int id, int range, int value) = 0;
    virtual void remove_bar(int id) = 0;
    // Title "Tovan" and the translated loading text shown (the language changed).
    virtual void set_title() {}
};

class plugin_manager {
public:
    // The most steps a bar takes.
    static constexpr int max_bar_steps = 16384;
    // Tries of a download that fails (other than by a broken connection).
    static constexpr int max_attempts = 3;

    struct download_data {
        std::int64_t shift = -1;
        std::int64_t done = 0;
        std::int64_t total = 0;
        std::int64_t last_sent = 0;
    };

    plugin_manager(plugin_manager_host& host, download_table& downloads);
    ~plugin_manager();
    plugin_manager(plugin_manager const&) = delete;
    plugin_manager& operator=(plugin_manager const&) = delete;

    void start_downloads();
    void cancel_all();
    // A new session (the user connects anew, not a reconnect): every
    // definition gets its download tries again.
    void new_session();
    // The progress window in the language just chosen.
    void setTitle() { m_host.set_title(); }
    void update_download_status(std::int64_t total, std::int64_t done, int id);

    // The downloads' callback: posts update_plugins(0, bytes). Any thread.
    static void notify_function(void* context, int bytes);
    // Queued steps (GUI thread).
    void update_prep_plugins(checker_thread* checker);
    void update_plugins(int id, int bytes);
    void update_progress_bar(int id);

    // For tests and the window.
    int running_checkers() const { return m_running_checkers; }
    bool busy() const { return m_busy; }
    std::map<int, download_data> const& progress() const { return m_progress; }

    // The progress of one round of downloads, as pure steps. A round's bytes
    // are those still to arrive when it begins; its bar shows the share of
    // them that has arrived, so it grows, and is whole only when nothing is
    // left to come.
    //
    // The bytes still to arrive: the rest of the package being looked up (2)
    // or downloaded (3), and of each one waiting (1), once per name; here()
    // gives the bytes of a package already at this end (kept from a broken
    // download, or arrived of the running one). A name whose package is
    // under way, being checked (4) or prepared (7) fetches no other.
    static std::int64_t bytes_to_come(std::vector<plugin_def> const& defs,
                                      std::function<std::int64_t(plugin_def const&)> const& here);
    // The round after counting to_come again. It goes on while what is left
    // of it covers to_come, its total lowered to done + to_come when less is
    // left (a package found in the cache, or given up); more than is left (a
    // package newly wanted, or fetched again from its start) begins a new
    // round of to_come bytes.
    static download_data next_round(download_data round, std::int64_t to_come);
    // The bar's range and value for an entry (its shift computed when it is
    // -1): at most max_bar_steps, and full only when done reached total.
    static std::pair<int, int> bar_steps(download_data& entry);

private:
    bool prepare_next_download();
    // Counts the bytes still to come into entry 0 (see next_round) and
    // returns them.
    std::int64_t update_dl_sizes();
    void start_checker(plugin_def const& def, download_struct const* finished);
    void hide_when_idle();

    plugin_manager_host& m_host;
    download_table& m_downloads;
    int m_running_checkers = 0;
    bool m_busy = false;
    std::map<int, download_data> m_progress;
    // Bytes of the running download at this end: those kept from before its
    // start and those counted since (one download runs at a time).
    std::int64_t m_running_here = 0;
    // By full name and signature: definitions whose start failed (until the next
    // start_downloads), download errors counted, downloads that resumed.
    std::set<std::string> m_start_failed;
    std::map<std::string, int> m_attempts;
    std::set<std::string> m_resumed;
};

// One cache look-up or one check of a downloaded package, on its own
// thread; deletes itself after the GUI thread has taken its result.
class checker_thread : public rulo::thread {
public:
    // Look-up mode (finished null) or check of a finished download.
    checker_thread(plugin_manager_host& host, plugin_def const& def, download_struct const* finished);
    ~checker_thread() override;

    // Read by the GUI thread in update_prep_plugins, while run() waits.
    download_struct m_download;
    std::string m_status;
    std::string m_error;
    std::string m_home_path;
    std::string m_cwd_path;
    std::unique_ptr<plugin_def> m_result;
    bool m_from_cache = true;
    rulo::semaphore m_handled{1, 0};
    plugin_record m_record;
    plugin_manager* m_manager = nullptr;

protected:
    void run() override;

private:
    plugin_manager_host& m_host;
};

} // namespace tovan
