#include "service/filedescriptor.h"

#include <unistd.h>

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}
