#include "client/liveness.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>

namespace liveness {

namespace {

constexpr int KEEPALIVE_PROBES = 4;

void setOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

void keepAlive(int socket, std::chrono::seconds timeout) {
    const int seconds = static_cast<int>(timeout.count());
    // An idle connection is probed after a third of the timeout, then every sixth of it; the
    // kernel ends it after the last unanswered probe: 10 + 4 x 5 s for 30 s.
    setOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, std::max(1, seconds / 3));
    setOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, std::max(1, seconds / 6));
    setOption(socket, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES);
}

bool unanswered(int socket, std::chrono::seconds timeout) {
    int waiting = 0;
    if (::ioctl(socket, SIOCOUTQ, &waiting) != 0 || waiting <= 0) {
        return false;
    }
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return false;
    }
    // Sent data unacknowledged, or window probes unanswered. A peer that does not read but
    // answers the probes of its closed window is alive, however long it waits. (No
    // TCP_USER_TIMEOUT for this: it also ends a connection whose window stays closed.)
    const bool awaited = info.tcpi_unacked > 0 || info.tcpi_probes >= 2;
    const auto silent = std::chrono::milliseconds(info.tcpi_last_ack_recv);
    return awaited && silent >= timeout;
}

}  // namespace liveness
