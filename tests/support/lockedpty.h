// A pseudo-terminal whose slave side cannot be opened until it is unlocked, as a device node
// that gets its group a moment after it appears.
#pragma once

#include <string>

#include "service/filedescriptor.h"

namespace testing_support {

class LockedPty {
public:
    LockedPty();
    int master() const { return master_.get(); }
    const std::string& slavePath() const { return slavePath_; }
    void unlock() const;

private:
    FileDescriptor master_;
    std::string slavePath_;
};

}  // namespace testing_support
