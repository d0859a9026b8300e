#include "messageframer.h"

#include <cstdio>

void MessageFramer::feed(const char* bytes, std::size_t count,
                         const std::function<void(const std::string&)>& onMessage) {
    for (std::size_t i = 0; i < count; ++i) {
        char byte = bytes[i];
        if (byte == ';') {
            if (!overflowed) {
                onMessage(message);
            }
            message.clear();
            overflowed = false;
        } else if (overflowed) {
            // The rest of a dropped message, up to its ";".
        } else if (message.size() >= MESSAGE_LIMIT) {
            std::printf("Message longer than %zu bytes dropped\n", MESSAGE_LIMIT);
            message.clear();
            overflowed = true;
        } else {
            message += byte;
        }
    }
}

void MessageFramer::clear() {
    message.clear();
    overflowed = false;
}
