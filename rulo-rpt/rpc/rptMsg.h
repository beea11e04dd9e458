// One-way named messages over a relay channel: a name and a packed body, no
// reply.
//
// A message is one transport send and arrives as one received() (the relay
// channel keeps message boundaries). Its packet, read from the end:
//
//   | body (the arguments) | name (text) | 0 (int) |
//                                             ^ popped first
//
// The body of a message built with rptMsgCall holds its arguments in the order
// they were appended, so the receiver pops them last first.
//
// Ownership: held through rulo::object handles by its user and, as its sink,
// by the channel below; the channel's handle is dropped on stop().
//
// Threads and locks: send, start and stop from any thread, under the framework
// lock; received and broken come from the channel below with the framework
// lock held, and the sink's message() and broken_msg() are called there, so a
// sink may send from inside them.
//
// After a failure: a message that cannot be unpacked, or an exception from the
// sink, stops the object (the channel is disconnected and the sink hears
// broken_msg() once); send() then throws "send".
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <map>
#include <string>
#include <vector>

namespace rulo {

class rptMsg;

// The receiver of messages; implemented by the user. Called on the channel's
// thread with the framework lock held; it may keep the body.
class rptMsgSink {
public:
    virtual ~rptMsgSink() = default;
    // The channel ended; called once.
    virtual void broken_msg() {}
    virtual void message(object<rptMsg> from, std::string name, netbuf& body) = 0;
};

// A message being written: a name, then its arguments appended one by one,
// sent by operator!. A value type; used by one thread.
class rptMsgCall {
public:
    rptMsgCall(object<rptMsg> msg, std::string name);
    rptMsgCall& operator,(std::string const& value);
    rptMsgCall& operator,(std::map<std::string, std::string> const& value);
    rptMsgCall& operator,(std::vector<std::string> const& value);
    // Sends the message; throws as rptMsg::send does.
    void operator!();

private:
    object<rptMsg> m_msg;
    std::string m_name;
    netbuf m_args;
};

class rptMsg : public rptTransportSink {
public:
    explicit rptMsg(object<rptMsgSink> sink);
    // Takes the channel. Takes the framework lock.
    void start(object<rptTransport> transport);
    // Frames body in place (the name and the int are pushed onto it) and
    // sends it. Throws the function exception "send" before start and after
    // stop. Takes the framework lock.
    void send(std::string const& name, netbuf& body);
    rptMsgCall call(std::string const& name);
    // Disconnects the channel and tells the sink once; errors of both are
    // swallowed. Takes the framework lock.
    void stop();

    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;

private:
    object<rptMsgSink> m_sink;
    object<rptTransport> m_transport;
};

} // namespace rulo
