// A small file logger: one file named after the local time it was opened, one
// time-stamped line per entry. Kept for developers chasing a fault on a bench; the daemon
// itself does not call it (the console is its log).
#pragma once

#include <fstream>
#include <string>

class Logger {
public:
    // Opens a new log file in `directory` named after the current local time.
    static void loggerInit(const std::string& directory = "/home/benchuser/Log/");
    // Appends "<time> <message>" and flushes; writes nothing before loggerInit(). Safe from any
    // thread.
    static void debug(std::string message);

    static std::ofstream fout;
};
