#include "service/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "service/consolethrottle.h"

namespace descriptors {

namespace {

constexpr long MIN_RESERVE = 16;
// Where /proc is missing the numbers are probed one by one, up to this many.
constexpr long PROBE_LIMIT = 1 << 16;

}  // namespace

long limit() {
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) != 0 || current.rlim_cur == RLIM_INFINITY ||
        current.rlim_cur > static_cast<rlim_t>(LONG_MAX / 2)) {
        return LONG_MAX / 2;
    }
    return static_cast<long>(current.rlim_cur);
}

long openCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        if (isShortage(errno)) {
            return limit();
        }
        long open = 0;
        const long last = std::min(limit(), PROBE_LIMIT);
        for (int fd = 0; fd < last; ++fd) {
            if (::fcntl(fd, F_GETFD) != -1) {
                ++open;
            }
        }
        return open;
    }
    long entries = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++entries;
        }
    }
    ::closedir(dir);
    // The listing's own descriptor was among them.
    return std::max(entries - 1, 0L);
}

long available() {
    return std::max(limit() - openCount(), 0L);
}

long reserve() {
    return std::max(limit() / 4, MIN_RESERVE);
}

bool roomForOptional() {
    return available() > reserve();
}

bool roomForPort() {
    return available() >= PORT_FLOOR;
}

bool isShortage(int error) {
    return error == EMFILE || error == ENFILE;
}

void sayShort(const std::string& what) {
    consoleThrottle().print("descriptors",
                            "Out of descriptors (limit " + std::to_string(limit()) + "): " + what,
                            console::Stream::ERR);
}

}  // namespace descriptors

SpareDescriptor::SpareDescriptor() {
    replenish();
}

int SpareDescriptor::accept(int listenFd, sockaddr* address, socklen_t* length, int flags) {
    int fd = ::accept4(listenFd, address, length, flags);
    if (fd >= 0 || !descriptors::isShortage(errno) || !spare_.valid()) {
        return fd;
    }
    // Another thread may take the number first: then this accept fails as the first did.
    spare_.reset();
    return ::accept4(listenFd, address, length, flags);
}

bool SpareDescriptor::replenish() {
    if (!spare_.valid()) {
        spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    return spare_.valid();
}
