// The relay's end of one HTTP tunnel, for tests: on 127.0.0.1, every
// connection carries one leg. A POST's body (exactly its Content-Length) is
// the client's stream and is answered once complete; a GET is answered at
// once with a Content-Length chosen in advance and filled as the test pushes
// bytes downstream. Scripted GET answers replace the first GETs' behaviour.
//
// Threads: an accept thread and one thread per connection; the test thread
// pushes, reads and waits under the server's mutex. Every wait has a limit.
#pragma once

#include "tests/support/tcp_peer.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

class tunnel_server {
public:
    struct scripted_get {
        std::string raw;         // sent as it is, head and body
        std::string after = "";  // then, once upload bytes arrived (the tunnel is up)
        bool close_after = true; // else held open and silent until the server stops
    };
    // get_length: the Content-Length of every streaming GET response.
    explicit tunnel_server(int get_length = 3 << 20, std::vector<scripted_get> scripts = {});
    ~tunnel_server();
    tunnel_server(tunnel_server const&) = delete;

    int port() const { return m_listener.port(); }
    // Bytes for the download stream, sent in order by the GET legs.
    void push_down(std::string const& bytes);
    // The upload stream so far and the bodies of each POST (as far as read).
    std::string up_bytes();
    std::vector<std::string> post_bodies();
    std::vector<int> post_lengths();                                 // the Content-Length each POST announced
    std::vector<std::chrono::steady_clock::time_point> post_times(); // when each POST's head came
    std::vector<std::string> heads();
    // The answer to every complete POST from now on.
    void set_post_answer(std::string answer);
    // While held, complete POSTs wait for their answer until released.
    void hold_answers(bool on);
    // Ends every POST connection still open, as a proxy cutting them would.
    void cut_open_posts();
    // While on, every POST is ended right after its head, as by a proxy that
    // drops each idle upload; turning it on also ends those open now.
    // Returns how many POSTs came before.
    std::size_t cut_posts(bool on);
    bool wait_for_up(std::size_t n, int64_t ms = 60000);
    bool wait_for_posts(std::size_t n, int64_t ms = 30000);
    bool wait_for_down_sent(std::size_t n, int64_t ms = 60000);

private:
    void serve(int fd);
    void serve_get(tcp_fd& fd);
    void serve_post(tcp_fd& fd, std::string const& head, std::string body);

    int const m_get_length;
    std::vector<scripted_get> m_scripts;
    tcp_listener m_listener;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    bool m_hold = false;
    bool m_cut_posts = false;
    std::string m_post_answer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    int m_gets = 0;
    std::string m_down; // pushed, not yet sent
    std::size_t m_down_sent = 0;
    std::string m_up;
    std::vector<std::string> m_posts;
    std::vector<int> m_post_lengths;
    std::vector<std::chrono::steady_clock::time_point> m_post_times;
    std::vector<std::string> m_heads;
    std::vector<int> m_open;      // descriptors of live connections
    std::vector<int> m_open_post; // those of them carrying a POST
    std::vector<std::thread> m_threads;
    std::vector<std::thread::id> m_served; // threads whose connection ended, to be joined
    std::thread m_acceptor;
};

} // namespace test_support
