// The process's descriptors as a budget: how many it may still open, who gets the last ones,
// and the one line said when they run short. The boards and the control client come first:
// an optional connection (an observer) is refused while fewer than reserve() would be left,
// the watcher opens a port only while PORT_FLOOR are left (room for its own listing and the
// service manager's notifications), and the control server holds a spare for its client.
#pragma once

#include <sys/socket.h>

#include <string>

#include "service/filedescriptor.h"

namespace descriptors {

// What the watcher leaves free when it opens a port: a port and its channel take two.
constexpr long PORT_FLOOR = 8;

// The soft RLIMIT_NOFILE, read each time (a limit raised while running counts).
long limit();
// Descriptors open now, counted in /proc/self/fd (one by one where /proc is missing); the
// limit itself when even the count cannot get a descriptor.
long openCount();
// limit() - openCount(), never below 0.
long available();
// Kept free for the boards and the control client: a quarter of the limit, at least 16.
long reserve();
// Whether an optional connection already accepted may stay: more than reserve() left.
bool roomForOptional();
// Whether the watcher may open a port: at least PORT_FLOOR left.
bool roomForPort();
// The errors of a process (EMFILE) or a system (ENFILE) out of descriptors.
bool isShortage(int error);
// "Out of descriptors (limit 64): <what>" on standard error, once and then a count a minute
// however many things it refuses. Safe from any thread.
void sayShort(const std::string& what);

}  // namespace descriptors

// One descriptor kept in reserve for a listener, so that the connection it exists for is
// still taken when the process has run out: given up for that accept, taken again afterwards.
class SpareDescriptor {
public:
    // Takes the spare (on /dev/null) at once.
    SpareDescriptor();
    bool held() const { return spare_.valid(); }
    // accept4(); when it fails for want of a descriptor and the spare is held, the spare is
    // given up and the accept tried once more. The new descriptor, or -1 with errno set.
    int accept(int listenFd, sockaddr* address, socklen_t* length, int flags);
    // Takes the spare again if it was given up; false while there is none to take.
    bool replenish();

private:
    FileDescriptor spare_;
};
