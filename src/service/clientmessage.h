// One message of the client text protocol: "key:value", ended by ";" on the wire. Every unit
// that reads a key and its value, or builds a message, goes through this type, so that the
// text is cut one way only.
#pragma once

#include <string>

struct ClientMessage {
    std::string key;
    std::string value;
    bool hasValue = false;  // the text had a ':' (a key alone has none)

    // Reads one message, with or without its ";": the key runs to the first ':' (the whole
    // text when there is none), the value from there to the end.
    static ClientMessage parse(const std::string& text);
    // "key:value;"
    static std::string build(const std::string& key, const std::string& value);

    // A board has identified itself as `device`, or is gone.
    static std::string deviceConnected(int device);
    static std::string deviceDisconnected(int device);
};
