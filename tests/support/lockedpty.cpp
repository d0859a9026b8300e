#include "lockedpty.h"

#include <fcntl.h>
#include <stdlib.h>

namespace testing_support {

LockedPty::LockedPty() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_.valid() && ::grantpt(master_.get()) == 0) {
        slavePath_ = ::ptsname(master_.get());
    }
}

void LockedPty::unlock() const {
    ::unlockpt(master_.get());
}

}  // namespace testing_support
