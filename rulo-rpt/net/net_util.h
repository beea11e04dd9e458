// Small helpers of the network layer: waiting on one descriptor, the
// machine's interface addresses and a connection's MTU-derived limits.
//
// None keeps state; all may be called from any thread. wait_for_event blocks
// for at most its time-out; the others never block on the network.
#pragma once

#include <string>
#include <vector>

namespace rulo {

class socket;

// poll() on one descriptor: for reading when readable is given, for writing
// when writable is given, for at most seconds (negative: no limit; more than
// poll() can take is clamped to its largest time-out). Each result is written
// only when its pointer is given: readable = POLLIN or POLLHUP, writable =
// POLLOUT, error = POLLERR or POLLNVAL. A time-out leaves all three false;
// an interrupted poll() is repeated for the time that is left. A failing
// poll() throws the function exception "wait_for_event".
void wait_for_event(int descriptor, bool* readable, bool* writable, bool* error, long seconds);

// The IPv4 addresses of the machine's interfaces, dotted; with skip_loopback
// those that start with 127 are left out. Never throws: failures give a
// shorter or empty list.
std::vector<std::string> get_nifs(bool skip_loopback);
// The hardware addresses of the interfaces other than "lo", as
// "%02X:%02X:%02X:%02X:%02X:%02X". Never throws; the first interface whose
// address cannot be read ends the list.
std::vector<std::string> get_nifs_hw();

// For mtu > 0: one send() of the socket takes at most mtu bytes and its send
// buffer wish becomes mtu * 3 / 2. Logs each step under "AutoTransport";
// never throws (a failure is logged).
void set_mtu(socket& s, int mtu);

} // namespace rulo
