#include "tovan/session/post_data_thread.h"

#include "rulo/exception.h"

#include <chrono>

namespace vyn {

namespace {

// What the connector asks of its host while it posts: the log and the
// error texts go to the owner; server calls on the post connection, chat and
// the session's state are none of the post's business, and a proxy password
// request counts as cancelled (nobody is asked at the end of a session).
class post_connector_host : public connector_host {
public:
    // sid and key: the ended session's, the post's identity.
    post_connector_host(post_data_host& owner, std::string const& sid, std::string const& key)
        : m_owner(owner) {
        m_shared.ids.update([&](session_ids& ids) {
            ids.sid = sid;
            ids.key = key;
        });
    }
    session_shared& shared() override { return m_shared; }
    void handle_command(origin, std::string) override {}
    void push_chat(std::string) override {}
    void stamp_life_sign() override {}
    int64_t connection_state() override { return 0; }
    void route_packet(int, netbuf const&) override {}
    void send_version() override {}
    void log(std::string const& text) override { m_owner.log(text); }
    void msg_box_in_main(std::string const&, std::string const&, unsigned) override {}
    void shutdown_connection() override {}
    void clear_connect_save_file() override {}
    void end_connection(failure_end const&) override {}
    void post_notification(int64_t, int64_t) override {}
    void set_new_code(std::string const&, std::function<bool()>) override {}
    std::string typed_code() override { return {}; }
    void request_credentials(credentials_request* request) override { request->done(); } // never asked
    std::string word_error(std::string const& server, control_rpc::exception const& e) override {
        return m_owner.word_error(server, e);
    }
    std::string word_failure(std::string const& server, rulo::exception const& e, bool starting) override {
        return m_owner.word_failure(server, e, starting);
    }
    std::string translate(std::string const&) override { return {}; }
    std::string selected_language() override { return {}; }

private:
    post_data_host& m_owner;
    session_shared m_shared;
};

} // namespace

PostDataThreadClass::PostDataThreadClass(post_data_host& host, connector_config config, std::string sid,
                                         std::string key, std::string comments, std::string transcript)
    : m_host(host), m_config(std::move(config)), m_sid(std::move(sid)), m_key(std::move(key)),
      m_comments(std::move(comments)), m_transcript(std::move(transcript)) {
    m_config.post_data = true;
    m_thread = std::thread([this] { run(); });
}

PostDataThreadClass::~PostDataThreadClass() {
    if (m_thread.joinable()) m_thread.join();
}

bool PostDataThreadClass::wait(long ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_done; });
}

bool PostDataThreadClass::done() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

void PostDataThreadClass::run() {
    m_host.log("posting results");
    std::string error;
    try {
        post_connector_host host(m_host, m_sid, m_key);
        auto c = std::make_shared<connector>(host, m_config);
        c->update_target(m_config.proxy_host, false);
        c->post_texts({m_comments, m_transcript}, drain_limit_ms);
    } catch (control_rpc::exception const& e) {
        error = m_host.word_error(m_config.proxy_host, e);
    } catch (rulo::exception const& e) {
        error = m_host.word_failure(m_config.proxy_host, e, true);
    } catch (std::string const& text) {
        error = text;
    } catch (...) {
        error = "unknown error";
    }
    m_host.log("done posting results: " + error);
    m_host.post_finished(error);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
    }
    m_changed.notify_all();
}

} // namespace vyn
