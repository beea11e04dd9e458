// Fetches named files from the relay over a channel, several at a time, each
// resumable from an offset, and checks each against the size its caller
// announced.
//
// Commands are packets, one per transport send (the channel keeps message
// boundaries); the values as the reader pops them, command first:
//
//   client -> server   "download" name offset(u64)     "cancel" name
//   server -> client   "pkt" name data(netbuf)         "error" name text
//                      "complete" name
//
// Other commands from the server are ignored. download() sends "cancel" for
// the name before its "download", whether or not the name was pending.
//
// Ownership: held through rulo::object handles by its user and, as its sink,
// by the channel below; the channel's handle is dropped on broken().
//
// Threads and locks: download and cancel from any thread, under the framework
// lock; received and broken come from the channel with the framework lock
// held. Every sink call is made with the framework lock held, on the thread of
// the call that caused it (the channel's, or the caller of download/cancel),
// so a sink may call download or cancel from inside it.
//
// After a failure: a broken channel reports "Connection broken" once for every
// pending name and leaves nothing pending; later downloads throw. A packet that
// cannot be read, or an exception from the sink, ends the channel the same way.
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <cstddef>
#include <map>
#include <string>

namespace rulo {

// The receiver of download events; implemented by the user. May keep the data.
class SRDownloaderSink {
public:
    virtual ~SRDownloaderSink() = default;
    virtual void download_packet(std::string name, netbuf const& data) = 0;
    virtual void download_error(std::string name, std::string text) = 0;
    virtual void download_cancelled(std::string name) = 0;
    virtual void download_complete(std::string name) = 0;
};

class SRDownloader : public rptTransportSink {
public:
    // The error text of a file that came out shorter or longer than announced.
    static constexpr char const* incorrect_size = "Incorrect file size";
    static constexpr char const* connection_broken = "Connection broken";

    void init(object<SRDownloaderSink> sink, object<rptTransport> transport);
    // Starts (or restarts: a pending one is cancelled first) the download of
    // name, whose full size is size, from byte offset. Throws the function
    // exception "download" when offset > size or the channel is gone.
    void download(std::string const& name, unsigned long long size, unsigned long long offset);
    // Forgets name (the sink hears download_cancelled when it was pending)
    // and tells the server. Throws "cancel" when the channel is gone.
    void cancel(std::string const& name);
    // Names pending; a snapshot for tests.
    std::size_t pending_count();

    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;

private:
    // Sends a command packet; caller holds the framework lock.
    void send_command(netbuf const& packet, char const* function);
    void handle(netbuf& packet);

    object<SRDownloaderSink> m_sink;
    object<rptTransport> m_transport;
    std::map<std::string, unsigned long long> m_pending; // bytes still expected
};

} // namespace rulo
