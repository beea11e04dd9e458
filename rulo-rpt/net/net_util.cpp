#include "rulo-rpt/net/net_util.h"

#include "rulo-rpt/net/make_socket.h"
#include "rulo-rpt/net/process_id.h"
#include "rulo-rpt/net/socket.h"
#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rulo {

namespace {

// Closes a descriptor on every way out.
struct descriptor_closer {
    int fd;
    ~descriptor_closer() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

void wait_for_event(int descriptor, bool* readable, bool* writable, bool* error, long seconds) {
    pollfd p{};
    p.fd = descriptor;
    if (readable) p.events |= POLLIN;
    if (writable) p.events |= POLLOUT;
    // seconds * 1000 overflows long for large values and poll() takes an int.
    bool const forever = seconds < 0;
    int64_t const limit_ms = seconds >= INT_MAX / 1000 ? INT_MAX : int64_t(seconds) * 1000;
    int64_t const deadline = relative_time() + limit_ms;
    int n;
    for (;;) {
        int wait_ms = -1;
        if (!forever) {
            int64_t left = deadline - relative_time();
            wait_ms = left < 0 ? 0 : int(left > INT_MAX ? INT_MAX : left);
        }
        n = ::poll(&p, 1, wait_ms);
        if (n >= 0 || errno != EINTR) break;
    }
    if (n < 0) throw exception::function("wait_for_event");
    short const r = n > 0 ? p.revents : 0;
    if (readable) *readable = (r & (POLLIN | POLLHUP)) != 0;
    if (writable) *writable = (r & POLLOUT) != 0;
    if (error) *error = (r & (POLLERR | POLLNVAL)) != 0;
}

std::vector<std::string> get_nifs(bool skip_loopback) {
    std::vector<std::string> out;
    descriptor_closer d{make_socket(AF_INET, SOCK_DGRAM, 0)};
    if (d.fd < 0) return out;
    ifreq records[100];
    ifconf conf{};
    conf.ifc_len = sizeof records;
    conf.ifc_req = records;
    if (::ioctl(d.fd, SIOCGIFCONF, &conf) != 0) return out;
    int const count = conf.ifc_len / int(sizeof(ifreq));
    for (int i = 0; i < count; ++i) {
        if (records[i].ifr_addr.sa_family != AF_INET) continue;
        sockaddr_in in;
        std::memcpy(&in, &records[i].ifr_addr, sizeof in);
        unsigned int address = ntohl(in.sin_addr.s_addr);
        if (skip_loopback && (address >> 24) == 127) continue;
        out.push_back(addr_as_string(address));
    }
    return out;
}

std::vector<std::string> get_nifs_hw() {
    std::vector<std::string> out;
    descriptor_closer d{::socket(AF_INET, SOCK_STREAM, 0)};
    if (d.fd < 0) return out;
    struct if_nameindex* names = ::if_nameindex();
    if (!names) return out;
    for (struct if_nameindex* n = names; n->if_index != 0 && n->if_name; ++n) {
        if (std::strcmp(n->if_name, "lo") == 0) continue;
        ifreq request{};
        // At most IFNAMSIZ - 1 characters, so the name stays terminated.
        std::strncpy(request.ifr_name, n->if_name, IFNAMSIZ - 1);
        request.ifr_name[IFNAMSIZ - 1] = '\0';
        if (::ioctl(d.fd, SIOCGIFHWADDR, &request) != 0) break;
        unsigned char const* a = reinterpret_cast<unsigned char const*>(request.ifr_hwaddr.sa_data);
        char text[18];
        std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
        out.push_back(text);
    }
    if_freenameindex(names);
    return out;
}

void set_mtu(socket& s, int mtu) {
    if (mtu <= 0) return;
    fmt_dbg log("AutoTransport");
    try {
        log.fmt_verbose("setting MTU %1% on socket %2%", mtu, s.descriptor());
        log.fmt_verbose("... max send = %1%", mtu);
        s.set_max_send(mtu);
        log.fmt_verbose("... send buffer = %1%", mtu * 3 / 2);
        s.limit_send_buffer_socket(mtu * 3 / 2);
        log.fmt_verbose("... done");
    } catch (...) {
        log.fmt_verbose("... failed!");
    }
}

} // namespace rulo
