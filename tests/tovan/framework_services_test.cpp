// The framework services the desk program is written against, checked as
// call shapes at compile time: a change of one of them breaks this build
// before it breaks the program. Services of the transport that are not
// built yet (the relay multiplexer, channels, RPC, the transport chooser,
// downloads) join when they land.
#include "rulo-rpt/net/net_util.h"
#include "rulo-rpt/net/process_id.h"
#include "rulo-rpt/net/socket.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/archive.h"
#include "rulo/charset.h"
#include "rulo/clock.h"
#include "rulo/config_store.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/fut.h"
#include "rulo/init.h"
#include "rulo/kv_container.h"
#include "rulo/library.h"
#include "rulo/lock.h"
#include "rulo/lock_directory.h"
#include "rulo/netbuf.h"
#include "rulo/packet.h"
#include "rulo/process.h"
#include "rulo/que.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/text.h"
#include "rulo/thread.h"
#include "rulo/url.h"
#include "rulo/xfile.h"

#include <concepts>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using string_map = std::map<std::string, std::string>;

// Files, paths and processes.
static_assert(requires(std::string s, std::string& out) {
    { rulo::atoi(s) } -> std::same_as<int>;
    rulo::create_directory(s);
    rulo::delete_file(s);
    { rulo::expand_filename(s) } -> std::same_as<std::string>;
    { rulo::file_exists(s) } -> std::same_as<bool>;
    { rulo::get_exe_path() } -> std::same_as<std::string>;
    rulo::get_file(out, s);
    rulo::put_file(s, s);
    rulo::move_file(s, s);
    rulo::generic_open(s);
    rulo::open_link(s, true);
    { rulo::relative_time() } -> std::convertible_to<int64_t>;
    { rulo::destringify<unsigned short>(s) } -> std::same_as<unsigned short>;
    { rulo::itoa(1, 10) } -> std::same_as<std::string>;
});
static_assert(requires(unsigned ms) { Sleep(ms); });
static_assert(requires(char const* p, rulo::_mmap* m) {
    { rulo::mmap_open(p, 0L, -1L) } -> std::same_as<rulo::_mmap*>;
    rulo::mmap_close(m);
});

// Text, URLs and option strings.
static_assert(requires(std::string s, std::string* sp, std::vector<std::string>& words, string_map& m) {
    { rulo::parse_cmdline(s, words, false) } -> std::convertible_to<int>;
    { rulo::starts_with(s, s) } -> std::same_as<bool>;
    rulo::trim(sp);
    rulo::get_tokens(&words, s, s);
    { rulo::urlencode(s) } -> std::same_as<std::string>;
    { rulo::cgi_parse_param(s, '&', '=') } -> std::same_as<string_map>;
    { rulo::cgi_get_param(m) } -> std::same_as<std::string>;
    rulo::cgi_parse_path_param(s, sp, sp, sp);
    rulo::unpack_search_params(m, s);
    { xstd::hexcode(s) } -> std::same_as<std::string>;
    xstd::dehexcode(s);
    { xstd::take(m, s) } -> std::same_as<std::string>;
    { xstd::utf8(s) } -> std::same_as<std::string>;
    { rulo::url::add_cgi(rulo::url(s), m).as_string() } -> std::same_as<std::string>;
});

// Logging and errors.
static_assert(requires(std::string s, rulo::exception const& e) {
    rulo::errlog::set_log_file(s);
    rulo::errlog::set_vlevel(9999);
    rulo::fmt_dbg("x").fmt_verbose(s);
    { e.full() } -> std::convertible_to<std::string>;
    { e.description() } -> std::convertible_to<std::string>;
    { rulo::exception::function("f") } -> std::same_as<rulo::exception>;
});
static_assert(std::is_constructible_v<rulo::exception, char const*>);

// Start-up, locks, threads, scheduling and queues.
static_assert(std::is_constructible_v<rulo::init, rulo_api_t*>);
static_assert(sizeof(rulo_api_t) == 204);
static_assert(std::is_constructible_v<rulo::rec_lock, rulo::rec_mutex&>);
static_assert(std::is_default_constructible_v<rulo::rulo_lock_guard>);
static_assert(std::is_constructible_v<rulo::semaphore, unsigned, unsigned>);
static_assert(requires(rulo::semaphore & s, rulo::thread& t, xstd::que<int>& q) {
    s.wait();
    s.post();
    t.detach(rulo::thread::normal);
    t.synchronize();
    q.push(1);
    { q.pop() } -> std::same_as<int>;
    { rulo::scheduler_pool() } -> std::same_as<rulo::executor>;
});
static_assert(requires(rulo::fut<int> & f) { f.sync(-1); });

// Configuration stores and signed containers.
static_assert(requires(std::string s, string_map& m, std::map<std::string, string_map>& sections) {
    { xstd::get_config_string(s, s, false) } -> std::same_as<std::string>;
    xstd::set_config_string(s, s, s, xstd::storage_memory, false);
    xstd::set_config_storage(s);
    rulo::kv_load_content(s, m, &s);
    rulo::kv_load_file(s, m, &s);
    { rulo::kv_verify(s, m, &s) } -> std::same_as<bool>;
    rulo::kvs_load_file(s, sections);
});

// Archives, libraries, buffers and packets.
static_assert(requires(std::string s, std::string& out, std::set<std::string>& files, void* handle) {
    { rulo::extract_lz_buffer(s, out) } -> std::same_as<bool>;
    { rulo::extract_lz_files_ex(s, s, &files) } -> std::same_as<rulo::lock_directory*>;
    xstd::get_proc(handle, handle, s);
});
static_assert(std::is_constructible_v<xstd::auto_lib, char const*, bool>);
static_assert(requires(netbuf & b, std::string s, bool flag) {
    { netbuf::from_string(s) } -> std::same_as<netbuf>;
    { netbuf::from_string("x") } -> std::same_as<netbuf>;
    { b.to_string() } -> std::same_as<std::string>;
    { b.get_ptr() } -> std::same_as<void*>;
    { b.detach_ptr() } -> std::same_as<void*>;
    { b.empty() } -> std::same_as<bool>;
    b.size();
    rulo_packet_push(b, s);
    rulo_packet_pop(b, s);
    rulo_packet_pop(b, flag);
    xstd::packet_push(b, s, s);
});

// Sockets and TLS.
static_assert(std::is_same_v<decltype(rulo::socket::g_max_send), int>);
static_assert(requires(int n, std::string s, bool flag) {
    rulo::socket::limit_send_buffer(n);
    { rulo::get_nifs(flag) } -> std::same_as<std::vector<std::string>>;
    rulo::get_nifs_hw();
});
static_assert(requires(rulo::xyssl_ctx & c, std::string s) {
    c.set_cert(s, s, s);
    c.set_trusted_ca(s, s);
    c.set_verify_peer(true);
    c.enable_dh(true);
});

TEST(FrameworkServices, CallShapesCompile) {
    SUCCEED() << "checked at compile time";
}

} // namespace
