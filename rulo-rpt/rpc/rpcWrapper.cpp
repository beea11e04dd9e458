#include "rulo-rpt/rpc/rpcWrapper.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"

#include <string>
#include <utility>

namespace rulo {

namespace {

// A call id as the peer writes it: 1 to 10 decimal digits, at most UINT32_MAX.
bool parse_call_id(std::string const& text, unsigned int& out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value > UINT32_MAX) return false;
    out = static_cast<unsigned int>(value);
    return true;
}

} // namespace

// The answer to one incoming call: the first send() goes out, a second throws,
// and the destructor sends an empty body when nobody answered.
class rpcWrapper::reply_impl : public rpcWrapperSink::reply {
public:
    reply_impl(std::string id, object<rpcWrapper> wrapper)
        : m_id(std::move(id)), m_wrapper(std::move(wrapper)) {}
    ~reply_impl() override {
        try {
            send(netbuf());
        } catch (...) {
            // Already answered, or the channel is gone: nothing left to say.
        }
    }
    void send(netbuf const& body) override {
        rulo_lock_guard lock;
        if (m_sent) throw exception::function("send");
        m_sent = true;
        m_wrapper->send_reply(m_id, body);
    }

private:
    std::string const m_id;
    bool m_sent = false;
    object<rpcWrapper> m_wrapper;
};

rpcWrapper::rpcWrapper(object<rptTransport> transport, object<rpcWrapperSink> sink)
    : m_transport(std::move(transport)), m_sink(std::move(sink)) {}

rpcWrapper::~rpcWrapper() {
    m_closing = true;
    rulo_lock_guard lock;
    m_broken = true;
    release_pending();
}

void rpcWrapper::connected() {
    rulo_lock_guard lock;
    m_broken = false;
}

unsigned int rpcWrapper::CallId() {
    rulo_lock_guard lock;
    unsigned int id = m_next_id++;
    if (m_next_id == 0) m_next_id = 1;
    return id;
}

object<rpcWrapper::sCall> rpcWrapper::async_call(netbuf const& body, unsigned int* id) {
    rulo_lock_guard lock;
    if (m_broken || !m_transport) throw exception::function("async_call");
    object<sCall> call(new sCall);
    call->id = CallId();
    m_pending[call->id] = call;
    try {
        netbuf message(body);
        message.prepend(std::to_string(call->id) + "\n");
        m_transport->send(message);
    } catch (...) {
        m_pending.erase(call->id);
        throw exception::function("async_call");
    }
    if (id) *id = call->id;
    return call;
}

netbuf rpcWrapper::async_call_ret(object<sCall> call, long* timeout) {
    bool signalled = true;
    if (timeout)
        signalled = call->signal.wait(*timeout);
    else
        call->signal.wait();
    // A reply that arrived is returned even if the link broke after it, or
    // the wait ran out just as it came. Its thread may still hold the
    // framework lock: waiting for it here would cost a second wake.
    if (call->done.load(std::memory_order_acquire)) return call->reply;
    rulo_lock_guard lock;
    if (call->done.load(std::memory_order_acquire)) return call->reply;
    if (!signalled) {
        auto it = m_pending.find(call->id);
        if (it != m_pending.end() && it->second.get() == call.get()) m_pending.erase(it);
    }
    throw exception::function("async_call_ret");
}

netbuf rpcWrapper::call(netbuf const& body, unsigned int* id, long* timeout) {
    unsigned int local_id = 0;
    try {
        object<sCall> c = async_call(body, &local_id);
        if (id) *id = local_id;
        return async_call_ret(c, timeout);
    } catch (...) {
        if (local_id) remove_cid(local_id);
        throw exception::function("call");
    }
}

void rpcWrapper::ping() {
    rulo_lock_guard lock;
    if (m_broken || !m_transport) throw exception::function("ping");
    m_transport->send(netbuf::from_string("result 0\n"));
}

void rpcWrapper::remove_cid(unsigned int id) {
    rulo_lock_guard lock;
    m_pending.erase(id);
}

object<rptTransport> rpcWrapper::get_rptTransport() {
    rulo_lock_guard lock;
    return m_transport;
}

std::size_t rpcWrapper::pending_count() {
    rulo_lock_guard lock;
    return m_pending.size();
}

void rpcWrapper::send_reply(std::string const& id, netbuf const& body) {
    rulo_lock_guard lock;
    if (!m_transport) throw exception::function("send");
    netbuf message(body);
    message.prepend("result " + id + "\n");
    m_transport->send(message);
}

void rpcWrapper::received(netbuf const& data) {
    if (m_closing) return;
    try {
        handle(data);
    } catch (...) {
        fmt_dbg("rulo::rpcWrapper::received").log("failed to handle a message");
        object<rptTransport> transport = get_rptTransport();
        if (transport) transport->disconnect();
    }
}

void rpcWrapper::handle(netbuf const& data) {
    int const newline = data.find('\n');
    netbuf const header_bytes(data, 0, newline < 0 ? data.size() : newline);
    netbuf const body = newline < 0 ? netbuf() : netbuf(data, newline + 1);
    std::string const header = header_bytes.to_string();
    std::size_t const blank = header.find(' ');
    std::string const word = header.substr(0, blank);
    std::string const rest = blank == std::string::npos ? std::string() : header.substr(blank + 1);

    if (word == "result") {
        unsigned int id = 0;
        if (!parse_call_id(rest, id)) {
            fmt_dbg("rulo::rpcWrapper::received").log("reply with an unreadable call id ignored");
            return;
        }
        bool is_ping = false;
        {
            rulo_lock_guard lock;
            auto it = m_pending.find(id);
            if (it != m_pending.end()) {
                object<sCall> call = it->second;
                m_pending.erase(it);
                answered(call, body);
                return;
            }
            is_ping = id == 0;
        }
        if (is_ping) {
            object<rpcWrapperSink> sink;
            {
                rulo_lock_guard lock;
                sink = m_sink;
            }
            if (sink) sink->ping();
        }
        return;
    }

    object<rpcWrapperSink> sink;
    {
        rulo_lock_guard lock;
        sink = m_sink;
    }
    object<rpcWrapperSink::reply> answer(new reply_impl(word, object<rpcWrapper>(this)));
    if (sink) sink->func(body, answer);
}

void rpcWrapper::broken() {
    object<rpcWrapperSink> sink;
    {
        rulo_lock_guard lock;
        m_broken = true;
        release_pending();
        m_transport.reset();
        sink = std::move(m_sink);
    }
    if (sink) sink->broken_sink();
}

void rpcWrapper::queue_empty() {}

bool rpcWrapper::take_now(netbuf const& packet) {
    static char const result[] = "result ";
    int const word = int(sizeof result) - 1;
    if (m_closing || packet.size() <= word || netbuf(packet, 0, word).to_string() != result) return false;
    int const newline = packet.find('\n');
    if (newline < 0) return false;
    unsigned int id = 0;
    if (!parse_call_id(netbuf(packet, word, newline - word).to_string(), id) || id == 0) return false;
    rulo_lock_guard lock;
    auto it = m_pending.find(id);
    if (it == m_pending.end()) return false;
    object<sCall> call = it->second;
    m_pending.erase(it);
    answered(call, netbuf(packet, newline + 1));
    return true;
}

void rpcWrapper::answered(object<sCall> const& call, netbuf const& reply) {
    call->reply = reply;
    call->done.store(true, std::memory_order_release);
    // The caller is woken once this thread lets go of the framework lock: the
    // receiving thread holds it for its whole pass, and a caller woken
    // before would wait on it (or push this thread off its CPU) at once.
    after_framework_unlock([call] { call->signal.post(); });
}

void rpcWrapper::release_pending() {
    for (auto& entry : m_pending) entry.second->signal.post();
    m_pending.clear();
}

} // namespace rulo
