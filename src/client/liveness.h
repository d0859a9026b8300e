// Finding a TCP peer whose machine or cable died, shared by the control client's server and
// the monitor: an idle peer by TCP keepalive, one with data waiting for it when it has answered
// nothing for the timeout. A peer that is alive but does not read keeps its connection.
#pragma once

#include <chrono>

namespace liveness {

// Keepalive on the socket, timed so that an idle dead peer goes in about `timeout`.
void keepAlive(int socket, std::chrono::seconds timeout);
// True when data waits for the peer and it has answered nothing for `timeout`.
bool unanswered(int socket, std::chrono::seconds timeout);

}  // namespace liveness
