// The end of a session: the end-of-session comments and the chat transcript
// posted to the server by a thread of their own, over a fresh relay
// connection (the connector's post-data mode) that identifies with the ended
// session's id and key.
//
// Ownership: made and owned by the desk session on the GUI thread; the
// destructor waits for the thread. Threads: run() on its own thread; the
// host's finished() is called once from there at the end, with the error
// text ("" when everything was posted), after which the thread touches
// nothing of its owner. done() and wait() from any thread.
#pragma once

#include "tovan/session/connector.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace vyn {

class post_data_host {
public:
    virtual ~post_data_host() = default;
    virtual void log(std::string const& text) = 0;
    // The person's words for a failure towards server (as connector_host's).
    virtual std::string word_error(std::string const& server, control_rpc::exception const& e) = 0;
    virtual std::string word_failure(std::string const& server, rulo::exception const& e, bool starting) = 0;
    // On the post thread, once: the posting ended with this error ("" none).
    virtual void post_finished(std::string const& error) = 0;
};

class PostDataThreadClass {
public:
    // config: the session's connection settings; sid and key: the ended
    // session's. Starts the thread at once.
    PostDataThreadClass(post_data_host& host, connector_config config, std::string sid, std::string key,
                        std::string comments, std::string transcript);
    ~PostDataThreadClass();
    PostDataThreadClass(PostDataThreadClass const&) = delete;
    PostDataThreadClass& operator=(PostDataThreadClass const&) = delete;

    // Waits for the end of the posting; false at the limit.
    bool wait(long ms);
    bool done();

    // How long the texts may take to leave once sent.
    static constexpr long drain_limit_ms = 10000;

private:
    void run();

    post_data_host& m_host;
    connector_config m_config;
    std::string m_sid, m_key, m_comments, m_transcript;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_thread;
};

} // namespace vyn
