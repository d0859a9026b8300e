// Turns one client message, "key:value", into device settings and commands queued on every
// identified board of the key's group.
#pragma once

#include <string>
#include <vector>

class Channel;

class TcpCommandParser {
public:
    // Parses one message (without its ";"). A value that cannot be read, or whose scaled
    // result does not fit its setting, prints one "Parser error: <reason>" line and changes
    // nothing. Nothing goes back to the client. Never throws. Server thread only (or a thread
    // ordered against it, as the fail-safe's is). With `only`, the commands go to that board
    // alone, if it is of the key's group.
    static void parse(std::string message, const Channel* only = nullptr);
    // The keys parse() knows, in the order it compares them.
    static std::vector<std::string> keyNames();
    // True once the command of the message being parsed was queued on a board.
    static bool sended;
};
