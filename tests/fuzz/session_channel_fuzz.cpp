// The session channel's frame parser on hostile bytes.
//
// The first input byte sets the stage: bit 0 starts in the vint framing,
// bit 1 makes the sink switch to the vint framing when it gets a packet on
// index -2 (as the reliable channel does after the peer's "init"), bits 2-7
// give the size of the pieces the rest is delivered in (1 to 64 bytes).
// Invariants: no exception escapes received(), broken() reaches the sink at
// most once and nothing after it, every packet fits the frame cap, and raw
// mode is entered only by a stream that begins with "RFB ".
#include "rulo-rpt/channel/rptChannel.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

using fuzz::check;

namespace {

class null_transport : public rptTransport {
public:
    void send(netbuf const&) override {}
    void disconnect() override { ++disconnects; }
    void set_sink(rulo::object<rptTransportSink>) override {}
    void no_delay() override {}
    int64_t last_received() override { return 0; }
    void ioctl(std::string const&, std::string&) override {}
    int disconnects = 0;
};

class checking_sink : public rulo::rptChannelSink {
public:
    void received(netbuf const&) override {
        check(broken_count == 0);
        ++raw;
    }
    void received_channel(int index, netbuf const& data) override {
        check(broken_count == 0);
        check(data.size() <= rulo::rptChannel::max_packet);
        ++packets;
        if (switch_on_control && index == -2 && channel) channel->set_vint(true);
    }
    void broken() override { ++broken_count; }
    void queue_empty() override { check(broken_count == 0); }

    rulo::rptChannel* channel = nullptr;
    bool switch_on_control = false;
    int raw = 0;
    int packets = 0;
    int broken_count = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    uint8_t const stage = data[0];
    std::string const stream(reinterpret_cast<char const*>(data) + 1, size - 1);
    std::size_t const piece = std::size_t(stage >> 2) + 1;

    rulo::object<checking_sink> sink(new checking_sink);
    rulo::object<null_transport> transport(new null_transport);
    rulo::object<rulo::rptChannel> channel(new rulo::rptChannel(sink));
    sink->channel = channel.get();
    sink->switch_on_control = (stage & 2) != 0;
    channel->start(transport);
    channel->set_vint((stage & 1) != 0);
    for (std::size_t at = 0; at < stream.size(); at += piece)
        channel->received(netbuf::from_string(stream.substr(at, piece)));

    check(sink->broken_count <= 1);
    check(transport->disconnects == sink->broken_count);
    if (sink->raw > 0) check(stream.compare(0, 4, "RFB ") == 0);
    channel->stop();
    check(sink->broken_count == 1);
    return 0;
}
