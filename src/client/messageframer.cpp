#include "client/messageframer.h"

#include "service/consolethrottle.h"

void MessageFramer::feed(const char* bytes, std::size_t count,
                         const std::function<void(const std::string&)>& onMessage,
                         const std::function<void()>& onOversized) {
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
            // A client streaming long messages would print a line per 4 KB: once, then a
            // count a minute.
            consoleThrottle().print(
                "client-oversized",
                "Message longer than " + std::to_string(MESSAGE_LIMIT) + " bytes dropped");
            message.clear();
            overflowed = true;
            if (onOversized) {
                onOversized();
            }
        } else {
            message += byte;
        }
    }
}

void MessageFramer::clear() {
    message.clear();
    overflowed = false;
}
