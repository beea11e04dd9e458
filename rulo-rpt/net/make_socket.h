// The one creation point of socket descriptors in a process.
//
// Some descriptor numbers may be kept out of use ("forbidden"): make_socket
// never hands one out while it is forbidden, even after its owner closed it.
// In a plugin every call goes to the host's creation point instead (the hooks
// of hooks.h, filled from the host's API table), so host and plugins share one
// forbidden set. The set and every creation that consults it are serialised
// by one recursive lock of their own (not the framework lock); all functions
// may be called from any thread.
#pragma once

#include "rulo/hooks.h"

namespace rulo {

// A descriptor from create (socket(2) when null), or -1 when creation failed.
// Numbers that are forbidden are held open while the next one is made, then
// closed with close_fn (close(2) when null).
int make_socket(int domain, int type, int protocol, socket_cb create = nullptr,
                socket_cb2 close_fn = nullptr);
// make_socket, and the number joins the forbidden set. The descriptor is the
// caller's; closing it does not free the number.
int make_forbidden_socket(int domain, int type, int protocol, socket_cb create = nullptr);
// Frees the number again; the descriptor itself is not closed. An unknown number changes nothing.
void remove_forbidden_socket(int descriptor);
// Start-up: makes the lock and the empty set (also made on first use).
void init_make_socket();

} // namespace rulo
