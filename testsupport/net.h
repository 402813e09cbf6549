// Test helpers for loopback networking.

#ifndef CORVANE_TESTSUPPORT_NET_H_
#define CORVANE_TESTSUPPORT_NET_H_

#include <cstdint>

namespace corvane::testing {

// A TCP port that was free a moment ago (bound to port 0, then released).
uint16_t FreeTcpPort();

// A socket bound to `port` on every local address (listening when asked);
// -1 when the port is taken. The caller closes it.
int BindTcpPort(uint16_t port, bool listening);

// A UDP socket bound to `port` on every local address; -1 when taken.
int BindUdpPort(uint16_t port);

// The port a socket is bound to.
uint16_t BoundPort(int socket);

// True when a connection to 127.0.0.1:`port` is accepted by the kernel.
bool CanConnect(uint16_t port);

}  // namespace corvane::testing

#endif  // CORVANE_TESTSUPPORT_NET_H_
