#include "rulo-rpt/rpc/rptMsg.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/packet.h"

#include <utility>

namespace rulo {

rptMsgCall::rptMsgCall(object<rptMsg> msg, std::string name)
    : m_msg(std::move(msg)), m_name(std::move(name)) {}

rptMsgCall &rptMsgCall::operator,(std::string const&value) {
    rulo_packet_push(m_args, value);
    return *this;
}

rptMsgCall &rptMsgCall::operator,(std::map<std::string, std::string> const&value) {
    rulo_packet_push(m_args, value);
    return *this;
}

rptMsgCall &rptMsgCall::operator,(std::vector<std::string> const&value) {
    rulo_packet_push(m_args, value);
    return *this;
}

void rptMsgCall::operator!() {
    netbuf message(m_args);
    m_msg->send(m_name, message);
}

rptMsg::rptMsg(object<rptMsgSink> sink) : m_sink(std::move(sink)) {}

void rptMsg::start(object<rptTransport> transport) {
    rulo_lock_guard lock;
    m_transport = std::move(transport);
}

void rptMsg::send(std::string const& name, netbuf& body) {
    rulo_packet_push(body, name);
    rulo_packet_push(body, 0);
    rulo_lock_guard lock;
    if (!m_transport) throw exception::function("send");
    m_transport->send(body);
}

rptMsgCall rptMsg::call(std::string const& name) {
    return rptMsgCall(object<rptMsg>(this), name);
}

void rptMsg::stop() {
    fmt_dbg("rulo::rptMsg::stop").log("stop");
    rulo_lock_guard lock;
    object<rptTransport> transport = std::move(m_transport);
    object<rptMsgSink> sink = std::move(m_sink);
    if (transport) {
        try {
            transport->disconnect();
        } catch (...) {
        }
    }
    if (sink) {
        try {
            sink->broken_msg();
        } catch (...) {
        }
    }
}

void rptMsg::received(netbuf const& data) {
    rulo_lock_guard lock;
    try {
        netbuf body(data);
        int kind = 0;
        std::string name;
        rulo_packet_pop(body, kind);
        rulo_packet_pop(body, name);
        object<rptMsgSink> sink = m_sink;
        if (sink) sink->message(object<rptMsg>(this), name, body);
    } catch (...) {
        fmt_dbg("rulo::rptMsg::received").log("message refused");
        stop();
    }
}

void rptMsg::broken() {
    stop();
}

void rptMsg::queue_empty() {}

} // namespace rulo
