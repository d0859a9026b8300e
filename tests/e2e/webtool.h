// `benchctl web` as the tests run it: on a port it picks itself (printed), watching a monitor
// port; and the pieces of its event stream.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"

namespace web_e2e {

struct WebTool {
    // Started and serving once constructed (port 0 if it did not say where in time).
    explicit WebTool(uint16_t monitorPort, const std::vector<std::string>& extra = {});
    std::unique_ptr<testing_support::Process> process;
    uint16_t port = 0;
};

struct SseEvent {
    std::string name;
    std::string data;
};

// The whole events in a text/event-stream body (comments and the retry line skipped).
std::vector<SseEvent> parseEvents(const std::string& body);

// Resident memory of a process in kB, 0 when unknown.
long residentKb(pid_t pid);

}  // namespace web_e2e
