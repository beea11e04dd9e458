#include "rulo-rpt/net/make_socket.h"

#include "rulo/lock.h"

#include <set>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace rulo {

namespace {

struct forbidden_state {
    rec_mutex lock;
    std::set<int> numbers;
};

forbidden_state& forbidden() {
    static forbidden_state* state = new forbidden_state; // lives as long as the process
    return *state;
}

int close_descriptor(int descriptor) {
    return ::close(descriptor);
}

} // namespace

void init_make_socket() {
    forbidden();
}

int make_socket(int domain, int type, int protocol, socket_cb create, socket_cb2 close_fn) {
    if (!create) create = &::socket;
    if (!close_fn) close_fn = &close_descriptor;
    if (x_make_socket3) return x_make_socket3(domain, type, protocol, create, close_fn);
    if (x_make_socket2) return x_make_socket2(domain, type, protocol, create);
    if (x_make_socket) return x_make_socket(domain, type, protocol);

    forbidden_state& f = forbidden();
    rec_lock lock(f.lock);
    std::vector<int> refused;
    int descriptor = create(domain, type, protocol);
    // Holding a refused number open makes the system hand out the next free one.
    while (descriptor >= 0 && f.numbers.count(descriptor)) {
        refused.push_back(descriptor);
        descriptor = create(domain, type, protocol);
    }
    for (int r : refused) close_fn(r);
    return descriptor;
}

int make_forbidden_socket(int domain, int type, int protocol, socket_cb create) {
    if (x_make_forbidden_socket2)
        return x_make_forbidden_socket2(domain, type, protocol, create ? create : &::socket);
    if (x_make_forbidden_socket) return x_make_forbidden_socket(domain, type, protocol);
    forbidden_state& f = forbidden();
    rec_lock lock(f.lock);
    int descriptor = make_socket(domain, type, protocol, create);
    if (descriptor >= 0) f.numbers.insert(descriptor);
    return descriptor;
}

void remove_forbidden_socket(int descriptor) {
    if (x_remove_forbidden_socket) {
        x_remove_forbidden_socket(descriptor);
        return;
    }
    forbidden_state& f = forbidden();
    rec_lock lock(f.lock);
    f.numbers.erase(descriptor);
}

} // namespace rulo
