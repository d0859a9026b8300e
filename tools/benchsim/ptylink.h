// A board's plug: a pseudo-terminal whose slave side appears as a symbolic link NAME in
// the device directory. Plugging creates both; unplugging removes the link (only if it
// still points at this board) and closes the terminal.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "pty.h"

class PtyLink {
public:
    PtyLink(std::string dir, std::string name);
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Opens a new pseudo-terminal and links it; false with a reason on failure.
    bool plug(std::string& error);
    void unplug();
    bool plugged() const { return pty_ != nullptr; }
    // Non-blocking master side, the board's end of the line; -1 when unplugged.
    int master() const { return pty_ ? pty_->master() : -1; }
    const std::string& slavePath() const { return slavePath_; }
    // Bytes written on the board's side that the host has not read yet; 0 when unplugged.
    int unread() const;
    std::string linkPath() const;

private:
    std::string dir_;
    std::string name_;
    std::string slavePath_;
    // Its slave side held open, so that the master never sees a hang-up while the host
    // reopens the port.
    std::unique_ptr<harness::Pty> pty_;
};
